// Replays the fuzzing seeds and every input that once found a fault through
// the same round the fuzzer runs, so that the ordinary suite keeps each fault
// mended. The round's checks are its own (fuzz/fuzz_one.cpp); here each input
// must pass them all, and a round must leave no file and no other working
// directory behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "fuzz/fuzz_one.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;

struct input {
    std::string name;  // as the test is listed: directory and file name
    std::string path;
};

// Shown in test listings instead of the struct's bytes.
void PrintTo(const input& in, std::ostream* os) { *os << in.path; }

// Quiet on a missing directory: an empty list then fails CorpusIsThere
// rather than the whole program at start-up.
std::vector<input> inputs(const char* sub) {
    std::vector<input> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(fs::path(FUZZ_DIR) / sub, ec)) {
        const std::string file = e.path().filename().string();
        if (!e.is_regular_file() || file[0] == '.') continue;
        std::string name = std::string(sub) + "_" + file;
        std::replace_if(
            name.begin(), name.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
        out.push_back({name, e.path().string()});
    }
    std::sort(out.begin(), out.end(),
              [](const input& a, const input& b) { return a.name < b.name; });
    return out;
}

std::vector<input> allinputs() {
    std::vector<input> all = inputs("corpus");
    for (auto& r : inputs("regressions")) all.push_back(std::move(r));
    return all;
}

// One round on the file's bytes, its views and messages swallowed.
int replay(const std::string& path) {
    const std::string bytes = slurp(path);
    testing::internal::CaptureStdout();
    const int rc = fuzz_one(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    testing::internal::GetCapturedStdout();
    return rc;
}

std::string cwd() {
    char buf[4096];
    return getcwd(buf, sizeof buf) ? buf : "";
}

// Points TMPDIR, where rounds make their scratch directories, somewhere else
// for one test.
class TmpDir : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        if (const char* old = getenv("TMPDIR")) oldtmp = old;
    }
    void TearDown() override {
        if (oldtmp)
            setenv("TMPDIR", oldtmp->c_str(), 1);
        else
            unsetenv("TMPDIR");
        ScratchDir::TearDown();
    }
    std::optional<std::string> oldtmp;
};

class FuzzInput : public testing::TestWithParam<input> {};

}  // namespace

TEST_P(FuzzInput, PassesEveryCheck) { EXPECT_EQ(replay(GetParam().path), 0) << GetParam().path; }

INSTANTIATE_TEST_SUITE_P(Replay, FuzzInput, testing::ValuesIn(allinputs()),
                         [](const testing::TestParamInfo<input>& info) { return info.param.name; });

TEST(FuzzCorpus, CorpusIsThere) { EXPECT_GE(inputs("corpus").size(), 5u); }

TEST_F(TmpDir, RoundsLeaveNothingBehindAndComeBack) {
    ASSERT_EQ(setenv("TMPDIR", dir.c_str(), 1), 0);
    const std::string here = cwd();
    const std::vector<input> all = allinputs();
    for (const auto& in : all) EXPECT_EQ(replay(in.path), 0) << in.path;
    EXPECT_EQ(cwd(), here);
    EXPECT_EQ(listing(dir), std::set<std::string>{});
}

TEST_F(TmpDir, ARoundThatCannotStartSaysSo) {
    const std::string missing = dir + "/missing";
    ASSERT_EQ(setenv("TMPDIR", missing.c_str(), 1), 0);
    const std::string here = cwd();
    testing::internal::CaptureStderr();
    EXPECT_EQ(fuzz_one(reinterpret_cast<const uint8_t*>("x\n"), 2), 1);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(said.rfind("fuzz_one: ", 0), 0u) << said;
    EXPECT_EQ(said.back(), '\n');
    EXPECT_EQ(cwd(), here);
    EXPECT_EQ(listing(dir), std::set<std::string>{});
}
