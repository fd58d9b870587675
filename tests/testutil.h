// Shared by the tests: a scratch directory to work in, and small file helpers.
#ifndef MAILBOX_TESTS_TESTUTIL_H
#define MAILBOX_TESTS_TESTUTIL_H

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

// Sanitized builds run several times slower: the tests that make the most
// calls do fewer of them there, or are left to the plain builds.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool sanitized = true;
#else
inline constexpr bool sanitized = false;
#endif
#else
inline constexpr bool sanitized = false;
#endif

// Each test runs in a fresh directory of its own, removed afterwards, so tests
// that make, rename and remove files never meet each other's files or the
// build tree.
class ScratchDir : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::string dir;
    // Where dir is made: the system's temporary directory unless set, and
    // it too when this one is not there.
    const char* base = nullptr;

private:
    std::string oldcwd;
};

// The whole file; empty when it can't be read.
std::string slurp(const std::string& path);
void spit(const std::string& path, const std::string& text);
bool exists(const std::string& path);  // as a name of any kind, a dangling link too
// The names in a directory, without "." and "..".
std::set<std::string> listing(const std::string& path = ".");
// A metafile: owner lines, then one record of seven lines per entry
// (name, to, from, subject, cc, bcc, flag), then END.
std::string metafile(const std::vector<std::vector<std::string>>& records,
                     const std::string& path = "/home/ann/mail",
                     const std::string& addr = "ann@example.org");
// An index of one record a name, each with the same other fields, unread.
inline std::string plainindex(const std::vector<std::string>& names) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& n : names) recs.push_back({n, "to", "from", "subj", "", "", "N"});
    return metafile(recs);
}

// The receipt a finished msgseq run leaves beside the index or in the
// working directory, and the index an update replaced, kept beside it for
// msgseq --undo: the tests of other things leave them out of what they
// compare (tests/receipt_test.cpp and tests/undo_test.cpp check them).
inline bool isreceipt(const std::string& name) {
    return name.ends_with(".msgseq-receipt") || name.ends_with(".msgseq-before");
}

// s repeated n times.
std::string times(size_t n, const std::string& s);

// What a command run through the shell printed and how it ended.
struct runresult {
    std::string out;
    std::string err;
    int status;  // exit status, or 128 + signal
    bool signaled = false;  // ended by that signal, as a shell that runs it sees
};
// How a command is run beyond its arguments.
struct runhow {
    bool closedout = false;  // standard output a pipe whose reader has gone, SIGPIPE as in
                             // a shell (out is then "")
    unsigned timeout = 0;    // seconds, when set: a command still running is then ended by
                             // SIGALRM, so that a hang fails rather than stalls the tests
    bool errtty = false;     // standard error a terminal (see run)
    const char* inpath = nullptr;  // standard input read from this file (else /dev/null)
};
// Standard output goes to outpath when one is given (e.g. /dev/full). env
// holds "NAME=value" settings that the command gets on top of the test's own
// environment, each replacing a variable of that name. With errtty, standard
// error is a terminal (a raw pseudo-terminal) and err what it was sent. A
// command that stops itself (FSFAULT_SIGNAL=SIGSTOP:...) is let go on after
// a pause of just over a second: long enough for a run to count as long.
runresult run(const std::vector<std::string>& argv, const char* outpath = nullptr,
              const std::vector<std::string>& env = {}, const runhow& how = {});

// A dry run's standard error in a real run's words: "would be renamed" in its
// last line, the totals, becomes "renamed".
std::string asreal(std::string err);

// The environment that preloads the fault library (tests/fsfault.cpp, which
// describes its settings) into a command, with faults, its "FSFAULT_...=value"
// settings, added.
std::vector<std::string> fsfaultenv(const std::vector<std::string>& faults);
// The built tool run with args under the fault library and these settings.
runresult runfsfault(const std::vector<std::string>& args, const std::vector<std::string>& faults,
                     const runhow& how = {});

// tool with args (shell words) run in the background, stopped at 'at' (an
// fsfault OP:NAME); meanwhile run then, and the tool let go on.
inline runresult toolwhilestopped(const char* tool, const std::string& args, const std::string& at,
                                  const std::string& meanwhile) {
    return run({"/bin/sh", "-c",
                "\"$0\" " + args + " & pid=$!\nuntil grep -q '^State:.*stopped' /proc/$pid/" +
                    "status || ! kill -0 $pid; do sleep 0.05; done\n" + meanwhile +
                    "; kill -CONT $pid; wait $pid",
                tool},
               nullptr, fsfaultenv({"FSFAULT_SIGNAL=STOP:" + at}));
}

#ifdef MAILBOX_PATH
inline runresult mbxwhilestopped(const std::string& cmd, const std::string& at, const std::string& meanwhile) {
    return toolwhilestopped(MAILBOX_PATH, cmd, at, meanwhile);
}

#endif

#endif
