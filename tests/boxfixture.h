// Shared by the tests that run the mailbox tool on a mailbox in box/, with
// what it reads beside it in src/: the fixture, and what they compare.
#ifndef MAILBOX_TESTS_BOXFIXTURE_H
#define MAILBOX_TESTS_BOXFIXTURE_H

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testutil.h"

#ifdef MAILBOX_PATH
class BoxDir : public ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        ASSERT_EQ(mkdir("box", 0755), 0);
        ASSERT_EQ(mkdir("src", 0755), 0);
        ASSERT_EQ(chdir("box"), 0);
    }
    // Standard input from inpath when given; a hang fails after a minute.
    static runresult tool(std::vector<std::string> a, const std::vector<std::string>& env = {},
                          const char* inpath = nullptr) {
        a.insert(a.begin(), MAILBOX_PATH);
        runhow how{.timeout = 60};
        how.inpath = inpath;
        return run(a, nullptr, env, how);
    }
    static void clear() {
        for (const auto& e : std::filesystem::directory_iterator("."))
            std::filesystem::remove_all(e.path());
    }
};
#endif

// A table's test named by its row's name.
inline constexpr auto rowname = [](const auto& info) { return std::string(info.param.name); };

// The bytes of every message file here, sorted: each message once,
// whatever its name.
inline std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (const auto& n : listing("."))
        if (n.starts_with("in")) out.push_back(slurp(n));
    std::sort(out.begin(), out.end());
    return out;
}

// Every name here and what it holds; without ledger, but the record a
// finished import leaves (ImportRunAgainImportsNothing checks it).
inline std::map<std::string, std::string> files(bool ledger = false) {
    std::map<std::string, std::string> out;
    for (const auto& n : listing("."))
        if (ledger || n != ".meta.mailbox-import") out[n] = slurp(n);
    return out;
}

#endif
