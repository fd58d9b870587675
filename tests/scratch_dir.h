// A fresh directory per test, entered in SetUp and left and removed in
// TearDown, so tests that make, rename and remove files never meet each
// other's files or the build tree.
#ifndef MAILBOX_TESTS_SCRATCH_DIR_H
#define MAILBOX_TESTS_SCRATCH_DIR_H

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <system_error>

struct ScratchDir : testing::Test {
    std::filesystem::path olddir;
    std::string dir;

    void SetUp() override {
        olddir = std::filesystem::current_path();
        std::string tmpl = (std::filesystem::temp_directory_path() / "mailbox-XXXXXX").string();
        ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
        dir = tmpl;
        ASSERT_EQ(chdir(dir.c_str()), 0);
    }

    void TearDown() override {
        EXPECT_EQ(chdir(olddir.c_str()), 0);
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
        EXPECT_FALSE(ec) << ec.message();
    }

    static std::string slurp(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static void spit(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    static bool exists(const std::string& path) {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }

    // Names in the working directory, "." and ".." left out.
    static std::set<std::string> listing() {
        std::set<std::string> names;
        for (const auto& ent : std::filesystem::directory_iterator("."))
            names.insert(ent.path().filename().string());
        return names;
    }
};

#endif
