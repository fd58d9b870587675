// Shared by the tests of a finished run's receipt and its undo: msgseq run
// with faults injected or not, a run's arguments, and the chain mailbox
// they work on.
#ifndef MAILBOX_TESTS_UNDOFIXTURE_H
#define MAILBOX_TESTS_UNDOFIXTURE_H

#include <string>
#include <vector>

#include "testutil.h"

namespace undofix {

inline runresult msgseq(std::vector<std::string> args, const std::vector<std::string>& faults = {}) {
    if (!faults.empty()) return runfsfault(args, faults);
    args.insert(args.begin(), MSGSEQ_PATH);
    return run(args);
}
inline std::vector<std::string> runargs(bool update) {
    return update ? std::vector<std::string>{"-u", "meta"} : std::vector<std::string>{"meta"};
}
// b.msg, in000.msg and a.msg, each holding "msg NAME", and an index that
// lists listed: b.msg takes in000.msg's name, which moves on to in001.msg.
inline void chainbox(const std::vector<std::string>& listed) {
    for (const char* n : {"b.msg", "in000.msg", "a.msg"}) spit(n, std::string("msg ") + n);
    spit("meta", plainindex(listed));
}

}  // namespace undofix

#endif
