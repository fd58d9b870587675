// The built tool, run in a scratch directory: what it prints, how it ends and
// what is on disk afterwards.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "testutil.h"

namespace {

using files = std::map<std::string, std::string>;  // name -> content

// The index the tests' mailboxes use: the same header lines for every record.
std::string indexof(const std::vector<std::string>& listed) {
    std::vector<std::vector<std::string>> recs;
    for (const auto& name : listed) recs.push_back({name, "to", "from", "subj", "", "", "N"});
    return metafile(recs);
}

// The k-th record's new name.
std::string numbered(size_t k) {
    char buf[32];
    snprintf(buf, sizeof buf, "in%03zu.msg", k);
    return buf;
}

class Msgseq : public ScratchDir {
protected:
    // Writes each message file with its own name as content (so a file's
    // content tells which message it is) and a metafile listing names.
    void mailbox(const std::vector<std::string>& listed, const std::vector<std::string>& present) {
        spit("meta", indexof(listed));
        for (const auto& name : present) spit(name, "message " + name);
    }
    runresult msgseq(const std::vector<std::string>& args = {"meta"}) {
        std::vector<std::string> argv = {MSGSEQ_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        return run(argv);
    }
    // Every file but the metafile and the fault library's log, with its content.
    files ondisk() {
        files f;
        for (const auto& name : listing())
            if (name != "meta" && name != faultlog && !isreceipt(name)) f[name] = slurp(name);
        return f;
    }
    // A mailbox of 150 records listing m1, m3, m5, ... but for those
    // changed, their files on disk but for those absent, beside unlisted
    // files: enough that the index's names, and the directory's, go through
    // many batches. Runs msgseq (-u with update) and checks that every file
    // present, and nothing else, went to its record's new name.
    runresult manyrecords(const std::map<size_t, std::string>& changed,
                          const std::set<size_t>& absent, const std::vector<std::string>& unlisted,
                          bool update) {
        for (const auto& name : listing()) unlink(name.c_str());
        std::vector<std::string> listed, present;
        files want;
        for (size_t k = 0; k < 150; k++) {
            listed.push_back(changed.contains(k) ? changed.at(k) : "m" + std::to_string(2 * k + 1));
            if (absent.contains(k)) continue;
            present.push_back(listed[k]);
            want[numbered(k)] = "message " + listed[k];
        }
        for (const std::string& name : unlisted) {
            present.push_back(name);
            want[name] = "message " + name;
        }
        mailbox(listed, present);
        runresult r = msgseq(update ? std::vector<std::string>{"-u", "meta"}
                                    : std::vector<std::string>{"meta"});
        EXPECT_EQ(r.out, "150");
        EXPECT_EQ(ondisk(), want);
        return r;
    }
    static constexpr const char* faultlog = "fsfault.log";
};

std::string msg(const std::string& name) { return "message " + name; }

// Every line a failed run writes reports one file it did not move, but the
// last, which counts them.
bool complaintsonly(const std::string& err) {
    size_t at = 0;
    while (at < err.size()) {
        const size_t end = err.find('\n', at);
        if (end == std::string::npos) return false;
        const std::string_view line(err.data() + at, end - at);
        if (end + 1 == err.size() && line.starts_with("msgseq: ") &&
            line.find(" already in place, ") != line.npos)
            break;
        if (!line.starts_with("msgseq: cannot move '") || line.find("' to '") == line.npos ||
            line.find("': ") == line.npos)
            return false;
        at = end + 1;
    }
    return true;
}

// What is wrong with a directory that should hold each listed message once,
// under its listed name or its new name, beside the unlisted files extra and
// nothing else: one line per fault, "" when there is none.
std::string unsettled(const files& disk, const std::vector<std::string>& listed,
                      const files& extra) {
    std::string faults;
    std::map<std::string, std::string> owner;  // content -> the names that may hold it
    for (size_t k = 0; k < listed.size(); k++)
        if (!listed[k].empty()) owner[msg(listed[k])] = listed[k] + " " + numbered(k);
    std::map<std::string, int> seen;
    for (const auto& [name, text] : disk) {
        if (extra.contains(name) && extra.at(name) == text) continue;
        const auto it = owner.find(text);
        if (it == owner.end()) {
            faults += name + ": holds '" + text + "', no listed message\n";
            continue;
        }
        seen[text]++;
        const std::string& may = it->second;
        if (name != may.substr(0, may.find(' ')) && name != may.substr(may.find(' ') + 1))
            faults += name + ": holds '" + text + "', wants to be " + may + "\n";
    }
    for (const auto& [text, may] : owner)
        if (seen[text] != 1) faults += text + ": under " + std::to_string(seen[text]) + " names\n";
    return faults;
}

// Plays the "renamed 'OLD' -> 'NEW'" lines of out on a copy of start, each
// rename only onto a free name; *count gets what follows the last line.
files replay(files start, const std::string& out, std::string* count) {
    size_t at = 0;
    for (size_t end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string_view line(out.data() + at, end - at);
        const size_t arrow = line.find("' -> '");
        if (!line.starts_with("renamed '") || !line.ends_with('\'') || arrow == line.npos) {
            ADD_FAILURE() << "not a rename: " << line;
            continue;
        }
        const std::string from(line.substr(9, arrow - 9));
        const std::string to(line.substr(arrow + 6, line.size() - arrow - 7));
        const auto it = start.find(from);
        if (it == start.end() || start.contains(to)) {
            ADD_FAILURE() << "cannot be made here: " << line;
            continue;
        }
        start[to] = it->second;
        start.erase(it);
    }
    *count = out.substr(at);
    return start;
}

// A run with the fault library between the tool and the disk, on a mailbox of
// a.msg, in002.msg and in005.msg, listed in that order, so every record moves,
// unless the row lists a mailbox of its own.
struct faultrow {
    std::string name;
    std::vector<std::string> faults{};  // FSFAULT_* settings
    std::string out{};
    std::string err{};
    int status = 0;
    files after{};
    std::string logged{};  // calls the log shows one after another
    long calls = -1;       // when set, how many calls it shows in all
    std::vector<std::string> args{"meta"};
    std::vector<std::string> listed{};  // the index; every name but "" is a file
    std::set<std::string> missing{};    // but these
    files extra{};                      // files beside them that no record lists
    bool errpart = false;               // err is one line of what the tool says
    bool settled = false;               // after is not fixed: each message is under its
                                        // listed name or its new name, once
    bool cutshort = false;              // after is not checked: a killed ring's
                                        // set-aside name holds an inode number
    std::string unlogged{};             // what the log must never show
    bool rerun = false;                 // then the same command again, with these faults:
    std::vector<std::string> rerunfaults{};
    int rerunstatus = 0;  // and it ends so, saying nothing on stderr
    files rerunafter{};
    std::string meta{};      // when set, the index at the very end
    bool closedout = false;  // standard output a pipe whose reader has gone
    std::vector<std::pair<std::string, std::string>> links{};  // new name, existing file
    files between{};         // written, in place, before the rerun
    std::string rerunerr{};  // what the rerun says
    bool sticky = false;     // the directory sticky, the files another user's (as root only)
    bool ownsdir = false;    // and the directory the runner's (FSFAULT_EUID=4242)
    bool sametime = false;   // what between writes keeps the file's time
    std::vector<std::string> rerunargs{};  // when set, the rerun's; it prints no count
    std::string indexdir{};                // when set, the index is there, named through it
    bool newinode = false;                 // between writes each file anew, as a client does
};

void PrintTo(const faultrow& f, std::ostream* os) { *os << f.name; }

class MsgseqFault : public Msgseq, public ::testing::WithParamInterface<faultrow> {};

const files untouched = {
    {"a.msg", msg("a.msg")}, {"in002.msg", msg("in002.msg")}, {"in005.msg", msg("in005.msg")}};
const files closed = {
    {"in000.msg", msg("a.msg")}, {"in001.msg", msg("in002.msg")}, {"in002.msg", msg("in005.msg")}};
// Where a -u run on meta keeps its journal; a directory reads as "".
const std::string workdir = "meta.msgseq-update";
const std::vector<std::string> usual = {"a.msg", "in002.msg", "in005.msg"};
const std::string renamed = indexof({"in000.msg", "in001.msg", "in002.msg"});
// A ring of three: each file's new name is held by the next one's.
const std::vector<std::string> ring3 = {"in001.msg", "in002.msg", "in000.msg"};
// Two rings of two, worked one after the other, and a record moved at once;
// as a run leaves them when stopped inside the first ring.
const std::vector<std::string> tworings = {"in001.msg", "in000.msg", "in003.msg", "in002.msg",
                                           "b.msg"};
const files oneturned = {{"in000.msg", msg("in001.msg")},
                         {"in001.msg", msg("in000.msg")},
                         {"in002.msg", msg("in002.msg")},
                         {"in003.msg", msg("in003.msg")},
                         {"in004.msg", msg("b.msg")}};
// The usual mailbox stopped after its first record.
const files firstmoved = {
    {"in000.msg", msg("a.msg")}, {"in002.msg", msg("in002.msg")}, {"in005.msg", msg("in005.msg")}};
// An update's work directory beside the files.
files withwork(files f, const std::string& work = workdir) {
    f[work] = "";
    return f;
}
const files donewithwork = {{"in000.msg", msg("a.msg")},
                            {"in001.msg", msg("in002.msg")},
                            {"in002.msg", msg("in005.msg")},
                            {workdir, ""}};
const files killedfirst = {{"in000.msg", msg("a.msg")},
                           {"in002.msg", msg("in002.msg")},
                           {"in005.msg", msg("in005.msg")},
                           {workdir, ""}};
const std::string unwritten =
    "msgseq: 'meta' is not rewritten; the journal stays: run 'msgseq -u meta' again to finish the "
    "update, or 'msgseq --abort meta' to give it up\n";
const std::string otherindex =
    "msgseq: 'meta' is not the index that the update cut short was working on (record 1 "
    "differs from its journal); nothing done; put that index back, or give the update up with "
    "'msgseq --abort meta'\n";
// The lines a run stopped by sig ends with: its totals, then how to finish
// it ('msgseq args') or give it up.
std::string stopped(int moved, int unreached, const std::string& sig,
                    const std::string& args = "meta", int inplace = 0) {
    return "msgseq: " + std::to_string(moved) + " renamed, " + std::to_string(inplace) +
           " already in place, 0 missing, 0 refused, " + std::to_string(unreached) +
           " not reached, of " + std::to_string(moved + inplace + unreached) +
           " records\nmsgseq: interrupted by " + sig + "; run 'msgseq " + args +
           "' to finish, or 'msgseq --abort meta' to give it up\n";
}
// msgseq args run in the background, stopped at 'at'; meanwhile run then,
// and the run let go on.
runresult whilestopped(const std::string& args, const std::string& at,
                       const std::string& meanwhile) {
    return toolwhilestopped(MSGSEQ_PATH, args, at, meanwhile);
}
std::string otherfields(const std::vector<std::string>& names) {
    return metafile({{names[0], "to", "from", "other", "", "", "R"},
                     {names[1], "to", "from", "subj", "", "", "N"},
                     {names[2], "to", "from", "subj", "", "", "N"}});
}

// A -u killed after its first rename, then run again as row says.
faultrow killedfirstthen(faultrow row) {
    row.faults = {"FSFAULT_KILL=rename-from:a.msg"};
    row.status = 128 + SIGKILL;
    row.after = killedfirst;
    row.args = {"-u", "meta"};
    row.rerun = true;
    return row;
}

// A -u killed after its first rename, then in005.msg written to in place by
// a mail client (its old time kept when sametime): the rerun finishes.
faultrow changedresume(std::string name, std::string text, bool sametime = false) {
    files done = closed;
    done["in002.msg"] = text;
    return killedfirstthen({.name = std::move(name),
                            .rerunafter = done,
                            .meta = renamed,
                            .between = {{"in005.msg", text}},
                            .sametime = sametime});
}

// A -u killed just after a ring's file is set aside, h.msg a hard link of
// link's file: the rerun removes no other name of that file.
faultrow linkedresume(std::string name, const std::string& link) {
    return {.name = std::move(name),
            .faults = {"FSFAULT_KILL=rename-to:.msgseq-temp-*"},
            .status = 128 + SIGKILL,
            .args = {"-u", "meta"},
            .listed = {"in001.msg", "in000.msg", "h.msg"},
            .missing = {"h.msg"},
            .cutshort = true,
            .rerun = true,
            .rerunstatus = 3,
            .rerunafter = {{"in000.msg", msg("in001.msg")},
                           {"in001.msg", msg("in000.msg")},
                           {"h.msg", msg(link)}},
            .meta = indexof({"in000.msg", "in001.msg", "h.msg"}),
            .links = {{"h.msg", link}},
            .rerunerr =
                "msgseq: cannot move 'h.msg' to 'in002.msg': it is the same file as '" + link +
                "'\nmsgseq: 2 renamed, 0 already in place, 0 missing, 1 refused, of 3 records\n"};
}

std::vector<faultrow> faultrows() {
    // Enough rename lines to fill standard output's buffer many times over.
    std::vector<std::string> many;
    files manydone;
    for (size_t k = 0; k < 500; k++) {
        many.emplace_back("m").append(std::to_string(k));
        manydone[numbered(k)] = msg(many.back());
    }
    std::vector<std::string> manynew;
    for (const auto& [name, text] : manydone) manynew.push_back(name);
    const std::string brokenpipe = "msgseq: error writing standard output: Broken pipe\n";
    const std::string alldone =
        "msgseq: 500 renamed, 0 already in place, 0 missing, 0 refused, of 500 records\n" +
        brokenpipe;
    return {
        // A reader that has gone stops no rename, nor the index's update.
        {.name = "VerboseIntoAClosedPipe",
         .faults = {},
         .err = alldone,
         .status = 4,
         .after = manydone,
         .args = {"-v", "meta"},
         .listed = many,
         .closedout = true},
        {.name = "UpdateVerboseIntoAClosedPipe",
         .faults = {},
         .err = alldone,
         .status = 4,
         .after = manydone,
         .args = {"-u", "-v", "meta"},
         .listed = many,
         .meta = indexof(manynew),
         .closedout = true},
        {.name = "RefusalOutranksAClosedPipe",
         .faults = {"FSFAULT_FAIL=rename-from:m7:EPERM"},
         .err = "msgseq: cannot move 'm7' to 'in007.msg': Operation not permitted\n"
                "msgseq: 499 renamed, 0 already in place, 0 missing, 1 refused, of 500 records\n" +
                brokenpipe,
         .status = 3,
         .after =
             [&] {
                 files f = manydone;
                 f.erase(numbered(7));
                 f["m7"] = msg("m7");
                 return f;
             }(),
         .args = {"-v", "meta"},
         .listed = many,
         .closedout = true},
        // As on NFS: each move is a link and an unlink, and the run ends the
        // same. No old name goes before its new link is synced; moves that
        // wait for no other are synced together.
        {.name = "NoReplaceRefusedLinksAndUnlinks",
         .faults = {"FSFAULT_NOREPLACE=einval"},
         .out = "3",
         .status = 0,
         .after = closed,
         .logged = "renameat2 a.msg in000.msg EINVAL\nlink a.msg in000.msg 0\nlink in002.msg "
                   "in001.msg 0\nfsync . 0\nunlink a.msg 0\nunlink in002.msg 0\nlink in005.msg "
                   "in002.msg 0\nfsync . 0\nunlink in005.msg 0\nfsync . 0\n"
                   "unlink .meta.msgseq-receipt.new ENOENT\nopen .meta.msgseq-receipt.new 0\n"
                   "fsync .meta.msgseq-receipt.new 0\n"
                   "rename .meta.msgseq-receipt.new .meta.msgseq-receipt 0\nfsync . 0\n"
                   "unlinkat journal 0\n",
         // and the journal: 7 calls to write, 5 to remove; the receipt, 5 to write
         .calls = 10 + 12 + 5},
        {.name = "RenameRefused",
         .faults = {"FSFAULT_FAIL=rename-from:a.msg:EPERM"},
         .out = "3",
         .err = "msgseq: cannot move 'a.msg' to 'in000.msg': Operation not permitted\n"
                "msgseq: 2 renamed, 0 already in place, 0 missing, 1 refused, of 3 records\n",
         .status = 3,
         .after = {{"a.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in005.msg")}},
         .logged = "renameat2 a.msg in000.msg EPERM\n"},
        // Killed once its work directory is made, before its journal: the
        // rerun finds nothing to finish, and starts afresh.
        {.name = "KilledAfterTheFirstCall",
         .faults = {"FSFAULT_KILL_AFTER=1"},
         .status = 128 + SIGKILL,
         .after = withwork(untouched),
         .logged = "mkdir meta.msgseq-update 0\n",
         .calls = 1,
         .rerun = true,
         .rerunafter = closed},
        // The second file is under both names when the run dies.
        {.name = "KilledBetweenLinkAndUnlink",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_KILL=link-from:in002.msg"},
         .status = 128 + SIGKILL,
         .after = {{"a.msg", msg("a.msg")},
                   {"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in002.msg")},
                   {"in005.msg", msg("in005.msg")},
                   {workdir, ""}},
         // once refused, no-replace renames are not tried again
         .logged = "EINVAL\nlink a.msg in000.msg 0\nlink in002.msg in001.msg 0\n",
         .calls = 7 + 3},
        // A mistyped setting must not pass for a run without faults.
        {.name = "UnknownErrnoStopsTheRun",
         .faults = {"FSFAULT_FAIL=rename-from:a.msg:ENOPE"},
         .err = "fsfault: cannot use FSFAULT_FAIL='rename-from:a.msg:ENOPE'\n",
         .status = 125,
         .after = untouched,
         .calls = 0},
        // A set-aside name that no ring of this run made belongs to nobody.
        {.name = "StrayTempNameBesideItsListedFile",
         .faults = {},
         .out = "3",
         .after = {{"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in005.msg")},
                   {".msgseq-temp-a.msg", "X"}},
         .extra = {{".msgseq-temp-a.msg", "X"}}},
        // Nor is it the set-aside file of a ring cut short just because the
        // record whose new name it is named for has lost its file: no ring
        // can run through a record listing c.msg.
        {.name = "StrayTempNameWhileTheNextRecordsFileIsMissing",
         .faults = {},
         .out = "2",
         .err = "msgseq: cannot move 'c.msg' to 'in001.msg': No such file or directory\n"
                "msgseq: 1 renamed, 0 already in place, 1 missing, 0 refused, of 2 records\n",
         .status = 3,
         .after = {{"in000.msg", msg("in001.msg")}, {".msgseq-temp-in001.msg", "X"}},
         .listed = {"in001.msg", "c.msg"},
         .missing = {"c.msg"},
         .extra = {{".msgseq-temp-in001.msg", "X"}}},
        {.name = "UpdateStrayTempNameWhileTheNextRecordsFileIsMissing",
         .faults = {},
         .out = "2",
         .err = "msgseq: cannot move 'c.msg' to 'in001.msg': No such file or directory\n"
                "msgseq: 1 renamed, 0 already in place, 1 missing, 0 refused, of 2 records\n",
         .status = 3,
         .after = {{"in000.msg", msg("in001.msg")}, {".msgseq-temp-in001.msg", "X"}},
         .args = {"-u", "meta"},
         .listed = {"in001.msg", "c.msg"},
         .missing = {"c.msg"},
         .extra = {{".msgseq-temp-in001.msg", "X"}},
         .meta = indexof({"in000.msg", "c.msg"})},
        // ... and with in000.msg taken, the index must not be left waiting
        // for an update that can never finish.
        {.name = "UpdateStrayTempNameBesideAHeldTarget",
         .faults = {},
         .out = "2",
         .err = "msgseq: cannot move 'in001.msg' to 'in000.msg': File exists ('in000.msg' is not "
                "in the index)\n"
                "msgseq: cannot move 'c.msg' to 'in001.msg': No such file or directory\n"
                "msgseq: 0 renamed, 0 already in place, 1 missing, 1 refused, of 2 records\n",
         .status = 3,
         .after = {{"in000.msg", "U"},
                   {"in001.msg", msg("in001.msg")},
                   {".msgseq-temp-in001.msg", "X"}},
         .args = {"-u", "meta"},
         .listed = {"in001.msg", "c.msg"},
         .missing = {"c.msg"},
         .extra = {{".msgseq-temp-in001.msg", "X"}, {"in000.msg", "U"}}},
        {.name = "EmptyNameIsNotTheBareTempPrefix",
         .faults = {},
         .out = "2",
         .err = "msgseq: cannot move '' to 'in000.msg': No such file or directory\n"
                "msgseq: 1 renamed, 0 already in place, 1 missing, 0 refused, of 2 records\n",
         .status = 3,
         .after = {{"in001.msg", msg("b.msg")}, {".msgseq-temp-", "X"}},
         .listed = {"", "b.msg"},
         .extra = {{".msgseq-temp-", "X"}}},
        // A ring whose member can't move: whatever moved is moved back, and
        // no file is left under a set-aside name. The first pass tries each
        // member once, so the second matching rename is the ring's.
        {.name = "RingSetAsideRefused",
         .faults = {"FSFAULT_FAIL=rename-from:in001.msg:EPERM:2"},
         .out = "3",
         .err = "Operation not permitted",
         .status = 3,
         .listed = ring3,
         .errpart = true,
         .settled = true},
        {.name = "RingFirstMoveRefused",
         .faults = {"FSFAULT_FAIL=rename-from:in002.msg:EPERM:2"},
         .out = "3",
         .err = "msgseq: cannot move 'in002.msg' to 'in001.msg': Operation not permitted\n",
         .status = 3,
         .listed = ring3,
         .errpart = true,
         .settled = true},
        {.name = "RingLastMemberRefused",
         .faults = {"FSFAULT_FAIL=rename-from:in000.msg:EPERM:2"},
         .out = "3",
         .err = "msgseq: cannot move 'in000.msg' to 'in002.msg': Operation not permitted\n",
         .status = 3,
         .listed = ring3,
         .errpart = true,
         .settled = true},
        {.name = "RingMemberRefusedEveryTime",
         .faults = {"FSFAULT_FAIL=rename-from:in002.msg:EPERM"},
         .out = "3",
         .err = "msgseq: cannot move 'in002.msg' to 'in001.msg': Operation not permitted\n",
         .status = 3,
         .listed = ring3,
         .errpart = true,
         .settled = true},
        // The set-aside itself fails: the ring stays as it was, the record
        // outside it moves.
        {.name = "RingSetAsideNoSpace",
         .faults = {"FSFAULT_FAIL=rename-to:.msgseq-temp-*:ENOSPC"},
         .out = "3",
         .err = "No space left on device",
         .status = 3,
         .after = {{"in000.msg", msg("b.msg")},
                   {"in001.msg", msg("in001.msg")},
                   {"in002.msg", msg("in002.msg")}},
         .listed = {"b.msg", "in002.msg", "in001.msg"},
         .errpart = true},
        // A chain whose free end can't move needs no set-aside name at all.
        {.name = "ChainFreeEndRefused",
         .faults = {"FSFAULT_FAIL=rename-from:in001.msg:EPERM:2"},
         .out = "4",
         .err = "msgseq: cannot move 'b.msg' to 'in000.msg': File exists\n"
                "msgseq: cannot move 'in000.msg' to 'in001.msg': File exists\n"
                "msgseq: cannot move 'in001.msg' to 'in002.msg': Operation not permitted\n"
                "msgseq: 1 renamed, 0 already in place, 0 missing, 3 refused, of 4 records\n",
         .status = 3,
         .after = {{"b.msg", msg("b.msg")},
                   {"in000.msg", msg("in000.msg")},
                   {"in001.msg", msg("in001.msg")},
                   {"in003.msg", msg("in002.msg")}},
         .listed = {"b.msg", "in000.msg", "in001.msg", "in002.msg"},
         .unlogged = ".msgseq-temp-"},
        // Cut short between link and unlink, then run again on the same file
        // system: the doubled name goes, nothing else is lost.
        {.name = "KilledBetweenLinkAndUnlinkThenRerun",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_KILL=link-from:a.msg"},
         .status = 128 + SIGKILL,
         .after = {{"a.msg", msg("a.msg")},
                   {"in000.msg", msg("a.msg")},
                   {"in002.msg", msg("in002.msg")},
                   {"in005.msg", msg("in005.msg")},
                   {workdir, ""}},
         .rerun = true,
         .rerunfaults = {"FSFAULT_NOREPLACE=einval"},
         .rerunafter = closed},
        {.name = "UpdateKilledBetweenLinkAndUnlinkThenRerun",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_KILL=link-from:in002.msg"},
         .status = 128 + SIGKILL,
         .after = {{"a.msg", msg("a.msg")},
                   {"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in002.msg")},
                   {"in005.msg", msg("in005.msg")},
                   {workdir, ""}},
         .args = {"-u", "meta"},
         .rerun = true,
         .rerunfaults = {"FSFAULT_NOREPLACE=einval"},
         .rerunafter = closed,
         .meta = renamed},
        // A ring of two on links, cut short between the set-aside's link and
        // its unlink, or between the next move's: the next run finishes it.
        {.name = "RingSetAsideLinkCutShort",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_KILL=link-to:.msgseq-temp-*"},
         .status = 128 + SIGKILL,
         .listed = {"in001.msg", "in000.msg"},
         .cutshort = true,
         .rerun = true,
         .rerunfaults = {"FSFAULT_NOREPLACE=einval"},
         .rerunafter = {{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}},
        {.name = "RingLinkInCutShort",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_KILL=link-from:in000.msg"},
         .status = 128 + SIGKILL,
         .listed = {"in001.msg", "in000.msg"},
         .cutshort = true,
         .rerun = true,
         .rerunfaults = {"FSFAULT_NOREPLACE=einval"},
         .rerunafter = {{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}},
        {.name = "NoReplaceRefusedAndUnlinksFail",
         .faults = {"FSFAULT_NOREPLACE=einval",
                    "FSFAULT_FAIL=unlink:a.msg:EPERM,unlink:in000.msg:EPERM"},
         .out = "1",
         .err = "msgseq: cannot move 'a.msg' to 'in000.msg': Operation not permitted; it is now "
                "under both names\n"
                "msgseq: 0 renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n",
         .status = 3,
         .after = {{"a.msg", msg("a.msg")}, {"in000.msg", msg("a.msg")}},
         .listed = {"a.msg"}},
        // The old name that stays: the new link goes again.
        {.name = "NoReplaceRefusedAndTheOldNameStays",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_FAIL=unlink:a.msg:EPERM"},
         .out = "1",
         .err = "msgseq: cannot move 'a.msg' to 'in000.msg': Operation not permitted\n"
                "msgseq: 0 renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n",
         .status = 3,
         .after = {{"a.msg", msg("a.msg")}},
         .listed = {"a.msg"}},
        // Given up, a run cut short puts every file back under its listed
        // name; one whose name was taken meanwhile is said and left.
        {.name = "AbortOntoATakenName",
         .faults = {"FSFAULT_KILL=rename-from:in002.msg"},
         .status = 128 + SIGKILL,
         .after = withwork({{"in000.msg", msg("a.msg")},
                            {"in001.msg", msg("in002.msg")},
                            {"in005.msg", msg("in005.msg")}}),
         .rerun = true,
         .rerunstatus = 3,
         .rerunafter = {{"a.msg", "U"},
                        {"in000.msg", msg("a.msg")},
                        {"in002.msg", msg("in002.msg")},
                        {"in005.msg", msg("in005.msg")}},
         .between = {{"a.msg", "U"}},
         .rerunerr = "msgseq: cannot put 'in000.msg' back to 'a.msg': File exists; the message "
                     "is left there\n",
         .rerunargs = {"--abort", "meta"}},
        // The files are renamed but the index can't be replaced: the journal
        // stays, and the next -u run puts the index in place.
        {.name = "UpdateIndexNotReplaced",
         .faults = {"FSFAULT_FAIL=rename-to:meta:EIO"},
         .out = "3",
         .err = unwritten,
         .status = 6,
         .after = {{"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in005.msg")},
                   {workdir, ""}},
         .args = {"-u", "meta"},
         .rerun = true,
         .rerunafter = closed,
         .meta = renamed},
        // Stopped by a signal: at once between records in the first pass, and
        // in the second only once the ring under way is closed. Nothing is
        // under a temporary name, no count is printed, and the process ends by
        // the signal; with -u the journal stays and -u run again finishes.
        {.name = "SignalStopsBetweenRecords",
         .faults = {"FSFAULT_SIGNAL=SIGINT:rename-to:in000.msg"},
         .err = stopped(1, 2, "SIGINT"),
         .status = 128 + SIGINT,
         .after = withwork(firstmoved),
         .rerun = true,
         .rerunafter = closed},
        {.name = "SignalMidRingClosesTheRingFirst",
         .faults = {"FSFAULT_SIGNAL=SIGTERM:rename-to:.msgseq-temp-*"},
         .err = stopped(3, 2, "SIGTERM"),
         .status = 128 + SIGTERM,
         .after = withwork(oneturned),
         .listed = tworings},
        // A ring of three cut short after its set-aside file and one move;
        // stopped at its first move, the rerun still closes the ring, so that
        // the set-aside file is never sent back onto a name another file holds.
        {.name = "StopStillClosesARingLeftOpen",
         .faults = {"FSFAULT_KILL=rename-to:in001.msg"},
         .status = 128 + SIGKILL,
         .listed = ring3,
         .cutshort = true,
         .rerun = true,
         .rerunfaults = {"FSFAULT_SIGNAL=SIGINT:rename-to:in002.msg"},
         .rerunstatus = 128 + SIGINT,
         .rerunafter = {{"in000.msg", msg("in001.msg")},
                        {"in001.msg", msg("in002.msg")},
                        {"in002.msg", msg("in000.msg")}},
         .rerunerr =
             "msgseq: interrupted by SIGINT after the run had ended; nothing was stopped\n"},
        // A chain of five in the second pass stops between any two moves.
        {.name = "SignalStopsAChainOfFiveBetweenMoves",
         .faults = {"FSFAULT_SIGNAL=SIGINT:rename-to:in004.msg"},
         .err = stopped(2, 4, "SIGINT"),
         .status = 128 + SIGINT,
         .listed = {"b.msg", "in000.msg", "in001.msg", "in002.msg", "in003.msg", "in004.msg"},
         .cutshort = true},
        // After the last record there is nothing left to stop: the run ends
        // as it would have, and then by the signal.
        {.name = "SignalAfterTheLastRecordStopsNothing",
         .faults = {"FSFAULT_SIGNAL=SIGTERM:rename-to:in002.msg"},
         .out = "3",
         .err = "msgseq: interrupted by SIGTERM after the run had ended; nothing was stopped\n",
         .status = 128 + SIGTERM,
         .after = closed},
        {.name = "UpdateSignalBetweenRecordsThenRerun",
         .faults = {"FSFAULT_SIGNAL=HUP:rename-to:in000.msg"},
         .err = stopped(1, 2, "SIGHUP", "-u meta"),
         .status = 128 + SIGHUP,
         .after = withwork(firstmoved),
         .args = {"-u", "meta"},
         .rerun = true,
         .rerunafter = closed,
         .meta = renamed},
        {.name = "UpdateSignalMidRingThenRerun",
         .faults = {"FSFAULT_SIGNAL=TERM:rename-to:.msgseq-temp-*"},
         .err = stopped(3, 2, "SIGTERM", "-u meta"),
         .status = 128 + SIGTERM,
         .after = withwork(oneturned),
         .args = {"-u", "meta"},
         .listed = tworings,
         .rerun = true,
         .rerunafter = {{"in000.msg", msg("in001.msg")},
                        {"in001.msg", msg("in000.msg")},
                        {"in002.msg", msg("in003.msg")},
                        {"in003.msg", msg("in002.msg")},
                        {"in004.msg", msg("b.msg")}},
         .meta = indexof({"in000.msg", "in001.msg", "in002.msg", "in003.msg", "in004.msg"})},
        // The index is replaced but the journal can't be removed: said so,
        // and the next -u run removes it, changing nothing else.
        {.name = "UpdateJournalStays",
         .faults = {"FSFAULT_FAIL=unlink:journal:EIO"},
         .out = "3",
         .err = "msgseq: 'meta' is rewritten but its journal stays; 'msgseq -u' run again "
                "finishes the update\n",
         .status = 6,
         .after = {{"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in005.msg")},
                   {workdir, ""}},
         .args = {"-u", "meta"},
         .rerun = true,
         .rerunafter = closed,
         .meta = renamed},
        // Every sync of an update, in its place: the journal, its directory
        // and the one holding that before the first move; the moves before
        // the new index; the index before the journal goes; the end.
        {.name = "UpdateSyncsInOrder",
         .faults = {},
         .out = "3",
         .after = closed,
         .logged = "mkdir meta.msgseq-update 0\nunlink journal.new ENOENT\nopen journal.new 0\n"
                   "fsync journal.new 0\n"
                   "rename journal.new journal 0\nfsync meta.msgseq-update 0\nfsync . 0\n"
                   "renameat2 a.msg in000.msg 0\nrenameat2 in002.msg in001.msg 0\n"
                   "renameat2 in005.msg in002.msg 0\nfsync . 0\nlink meta before 0\n"
                   "unlink index ENOENT\nopen index 0\nwrite index 0\nfsync index 0\n"
                   "link index placed-",
         // the update's calls, the receipt's 5, and the old index kept: linked
         // before the commit, moved beside the receipt
         .calls = 27 + 5 + 2,
         .args = {"-u", "meta"},
         .meta = renamed},
        {.name = "UpdateMailboxSyncFails",
         .faults = {"FSFAULT_FAIL=fsync:.:EIO:2"},
         .out = "3",
         .err = unwritten,
         .status = 6,
         .after = donewithwork,
         .args = {"-u", "meta"},
         .unlogged = "rename index meta",
         .rerun = true,
         .rerunafter = closed,
         .meta = renamed},
        {.name = "UpdateNewIndexSyncFails",
         .faults = {"FSFAULT_FAIL=fsync:index:EIO"},
         .out = "3",
         .err = unwritten,
         .status = 6,
         .after = donewithwork,
         .args = {"-u", "meta"},
         .unlogged = "rename index meta",
         .rerun = true,
         .rerunafter = closed,
         .meta = renamed},
        // No hard links (vfat, exFAT): the index goes in place all the same.
        {.name = "UpdateWithoutHardLinks",
         .faults = {"FSFAULT_FAIL=link-to:*:EPERM"},
         .out = "3",
         .after = closed,
         .args = {"-u", "meta"},
         .meta = renamed},
        // The work directory can't be removed: said once, removed next time.
        {.name = "UpdateWorkDirectoryStays",
         .faults = {"FSFAULT_FAIL=rmdir:meta.msgseq-update:EIO"},
         .out = "3",
         .err = "msgseq: 'meta' is rewritten, but its work directory stays (Input/output error); "
                "'msgseq -u' run again removes it\n",
         .status = 6,
         .after = donewithwork,
         .args = {"-u", "meta"},
         .rerun = true,
         .rerunafter = closed,
         .meta = renamed},
        // After a kill, a message written to in place is still that message.
        changedresume("UpdateResumeFileChanged", "changed"),
        // A moved message rewritten by a client under another inode: the
        // name its record lists now holds the next record's message, so
        // the index is left alone rather than point at it.
        {.name = "UpdateResumeClientRewroteAMovedFile",
         .faults = {"FSFAULT_KILL=rename-to:in001.msg"},
         .status = 128 + SIGKILL,
         .after = withwork({{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in002.msg")},
                            {"x.msg", msg("x.msg")}}),
         .args = {"-u", "meta"},
         .listed = {"in001.msg", "in002.msg", "x.msg"},
         .rerun = true,
         .rerunstatus = 6,
         .rerunafter = withwork({{"in000.msg", "P"}, {"in001.msg", msg("in002.msg")},
                                 {"in002.msg", msg("x.msg")}}),
         .meta = indexof({"in001.msg", "in002.msg", "x.msg"}),
         .between = {{"in000.msg", "P"}},
         .rerunerr = "msgseq: record 1's file is under none of the names this run gave it, and "
                     "'in001.msg', the name it lists, now holds record 2's message\nmsgseq: "
                     "cannot move 'in001.msg' to 'in000.msg': No such file or directory\n" +
                     unwritten + "msgseq: 1 renamed, 1 already in place, 1 missing, 0 refused, "
                     "of 3 records\n",
         .newinode = true},
        // After a kill, a remount: the directory under another device number.
        killedfirstthen({.name = "UpdateResumeAfterARemount",
                         .rerunfaults = {"FSFAULT_DEV=1"},
                         .rerunafter = closed,
                         .meta = renamed}),
        // On an overlay, whose listing gives inode numbers not the files' own:
        // the journal keeps each file's own, and the rerun finds them by it.
        {.name = "UpdateResumeOnAnOverlay",
         .faults = {"FSFAULT_OVERLAY=1000", "FSFAULT_KILL=rename-from:a.msg"},
         .status = 128 + SIGKILL,
         .after = killedfirst,
         .args = {"-u", "meta"},
         .rerun = true,
         .rerunfaults = {"FSFAULT_OVERLAY=1000"},
         .rerunafter = closed,
         .meta = renamed},
        // The listing that finds the files fails: nothing is taken as missing.
        killedfirstthen(
            {.name = "UpdateResumeListingFails",
             .rerunfaults = {"FSFAULT_FAIL=opendir:.:EIO:2"},
             .rerunstatus = 6,
             .rerunafter = killedfirst,
             .rerunerr = "msgseq: cannot list the directory '.' to find the files of the update "
                         "of 'meta' that was cut short: Input/output error; nothing done; the "
                         "journal stays, and 'msgseq -u' run again finishes the update\n"}),
        // Another index put in its place: its records reordered; or the same
        // names with other fields, which the rerun keeps.
        killedfirstthen({.name = "UpdateResumeOnReorderedIndex",
                         .rerunstatus = 2,
                         .rerunafter = killedfirst,
                         .meta = indexof({"in005.msg", "in002.msg", "a.msg"}),
                         .between = {{"meta", indexof({"in005.msg", "in002.msg", "a.msg"})}},
                         .rerunerr = otherindex}),
        // A record whose subject changed is not the journal's record: the
        // rerun is refused, nothing touched.
        killedfirstthen(
            {.name = "UpdateResumeOnIndexWithOtherFields",
             .rerunstatus = 2,
             .rerunafter = killedfirst,
             .meta = otherfields({"a.msg", "in002.msg", "in005.msg"}),
             .between = {{"meta", otherfields({"a.msg", "in002.msg", "in005.msg"})}},
             .rerunerr = otherindex}),
        // Killed just after a ring's file is set aside: the rerun removes no
        // other name of that file, listed (h.msg) or not (u.msg).
        linkedresume("UpdateResumeLeavesAListedHardLink", "in001.msg"),
        {.name = "UpdateResumeLeavesAnUnlistedHardLink",
         .faults = {"FSFAULT_KILL=rename-to:.msgseq-temp-*"},
         .status = 128 + SIGKILL,
         .args = {"-u", "meta"},
         .listed = {"in001.msg", "in000.msg"},
         .cutshort = true,
         .rerun = true,
         .rerunafter = {{"in000.msg", msg("in001.msg")},
                        {"in001.msg", msg("in000.msg")},
                        {"u.msg", msg("in001.msg")}},
         .meta = indexof({"in000.msg", "in001.msg"}),
         .links = {{"u.msg", "in001.msg"}}},
        // A directory that ignores case: IN000.MSG and in000.msg are one
        // entry, not a link+unlink cut short, and neither spelling goes.
        {.name = "CaseInsensitiveNameIsOneEntry",
         .faults = {"FSFAULT_CASEFOLD=1"},
         .out = "1",
         .err = "msgseq: cannot move 'IN000.MSG' to 'in000.msg': the two names are one directory "
                "entry here\n"
                "msgseq: 0 renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n",
         .status = 3,
         .after = {{"IN000.MSG", msg("IN000.MSG")}},
         .listed = {"IN000.MSG"}},
        {.name = "UpdateCaseInsensitiveNameIsOneEntry",
         .faults = {"FSFAULT_CASEFOLD=1", "FSFAULT_NOREPLACE=einval"},
         .out = "2",
         .err = "msgseq: cannot move 'IN000.MSG' to 'in000.msg': the two names are one directory "
                "entry here\n"
                "msgseq: 1 renamed, 0 already in place, 0 missing, 1 refused, of 2 records\n",
         .status = 3,
         .after = {{"IN000.MSG", msg("IN000.MSG")}, {"in001.msg", msg("b.msg")}},
         .args = {"-u", "meta"},
         .listed = {"IN000.MSG", "b.msg"},
         .meta = indexof({"IN000.MSG", "in001.msg"})},
        // Linked, its old name could not go: refused before the link.
        {.name = "StickyDirectoryForeignFileNotLinked",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_EUID=4242"},
         .out = "1",
         .err = "msgseq: cannot move 'a.msg' to 'in000.msg': it belongs to another user in a "
                "sticky directory, where its old name could not be removed\n"
                "msgseq: 0 renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n",
         .status = 3,
         .after = {{"a.msg", msg("a.msg")}},
         .listed = {"a.msg"},
         .unlogged = "\nlink ",
         .sticky = true},
        // The directory's owner may remove any name in it.
        {.name = "StickyDirectoryItsOwnerMovesForeignFiles",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_EUID=4242"},
         .out = "1",
         .after = {{"in000.msg", msg("a.msg")}},
         .listed = {"a.msg"},
         .sticky = true,
         .ownsdir = true},
        // A dry run says the same of it.
        {.name = "StickyDirectoryForeignFileDryRun",
         .faults = {"FSFAULT_EUID=4242"},
         .out = "1",
         .err =
             "msgseq: cannot move 'a.msg' to 'in000.msg': Operation not permitted\n"
             "msgseq: 0 would be renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n",
         .status = 3,
         .after = {{"a.msg", msg("a.msg")}},
         .args = {"-n", "meta"},
         .listed = {"a.msg"},
         .sticky = true},
        {.name = "DirectoryCannotBeLocked",
         .faults = {"FSFAULT_FAIL=flock:.:ENOLCK"},
         .out = "",
         .err = "msgseq: cannot lock the working directory: No locks available; nothing done\n",
         .status = 5,
         .after = untouched,
         .unlogged = "rename"},
        {.name = "UnreadableDirectory",
         .faults = {"FSFAULT_FAIL=opendir:.:EACCES"},
         .out = "3",
         .err = "msgseq: cannot read directory '.': Permission denied\n",
         .status = 3,
         .after = untouched},
        // The journal's directory synced, the end's not: the journal stays.
        {.name = "PlainRunDirectoryNotSynced",
         .faults = {"FSFAULT_FAIL=fsync:.:EIO:2"},
         .out = "3",
         .err = "msgseq: cannot sync the directory '.': Input/output error; the renames may not "
                "survive a crash; the journal stays\n",
         .status = 3,
         .after = withwork(closed),
         .logged = "renameat2 in005.msg in002.msg 0\nfsync . EIO\n"},
        // A ring on links: each old name goes after its link is synced.
        {.name = "RingOnLinksSyncsEachMove",
         .faults = {"FSFAULT_NOREPLACE=einval"},
         .out = "2",
         .after = {{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}},
         .logged = "link in000.msg in001.msg 0\nfsync . 0\nunlink in000.msg 0\nlink "
                   ".msgseq-temp-",
         .listed = {"in001.msg", "in000.msg"}},
        // Links not on disk: their old names stay, the new ones go.
        {.name = "LinksNotSyncedKeepTheirOldNames",
         .faults = {"FSFAULT_NOREPLACE=einval", "FSFAULT_FAIL=fsync:.:EIO:2"},
         .out = "3",
         .err = "msgseq: cannot move 'a.msg' to 'in000.msg': Input/output error\n"
                "msgseq: cannot move 'in002.msg' to 'in001.msg': Input/output error\n"
                "msgseq: cannot move 'in005.msg' to 'in002.msg': File exists\n"
                "msgseq: 0 renamed, 0 already in place, 0 missing, 3 refused, of 3 records\n",
         .status = 3,
         .after = untouched,
         .unlogged = "unlink a.msg"},
        {.name = "MissingUnderItsNewName",
         .faults = {},
         .out = "2",
         .err = "msgseq: cannot find 'in001.msg': No such file or directory\n"
                "msgseq: 1 renamed, 0 already in place, 1 missing, 0 refused, of 2 records\n",
         .status = 3,
         .after = {{"in000.msg", msg("a.msg")}},
         .listed = {"a.msg", "in001.msg"},
         .missing = {"in001.msg"}},
        {.name = "MissingNameThatAnEarlierFileMovesInto",
         .faults = {},
         .out = "2",
         .err = "msgseq: cannot move 'in000.msg' to 'in001.msg': No such file or directory\n"
                "msgseq: 1 renamed, 0 already in place, 1 missing, 0 refused, of 2 records\n",
         .status = 3,
         .after = {{"in000.msg", msg("b.msg")}},
         .listed = {"b.msg", "in000.msg"},
         .missing = {"in000.msg"}},
        // Its inode is not that of the file at in001.msg: not this ring's.
        {.name = "StrayTempNameWhoseInodeDoesNotMatch",
         .faults = {},
         .out = "2",
         .after = {{"in000.msg", msg("in001.msg")},
                   {"in001.msg", msg("in000.msg")},
                   {".msgseq-temp-in001.msg.1", "X"}},
         .listed = {"in001.msg", "in000.msg"},
         .extra = {{".msgseq-temp-in001.msg.1", "X"}}},
        // Every member of a ring whose set-aside fails is reported.
        {.name = "RingSetAsideFailsEveryMemberSaid",
         .faults = {"FSFAULT_FAIL=rename-to:.msgseq-temp-*:ENOSPC"},
         .out = "3",
         .err = "No space left on device\nmsgseq: cannot move 'in002.msg' to 'in001.msg': File "
                "exists\nmsgseq: cannot move 'in000.msg' to 'in002.msg': File exists\n",
         .status = 3,
         .listed = ring3,
         .errpart = true,
         .settled = true},
        // Without no-replace renames in the kernel at all: links and unlinks.
        {.name = "NoReplaceUnsupportedLinksAndUnlinks",
         .faults = {"FSFAULT_NOREPLACE=enosys"},
         .out = "3",
         .after = closed,
         .logged = "renameat2 a.msg in000.msg ENOSYS\nlink a.msg in000.msg 0\n"},
        // One entry under two spellings, though the file has another name.
        {.name = "CaseInsensitiveNameWithAHardLink",
         .faults = {"FSFAULT_CASEFOLD=1"},
         .out = "1",
         .err = "msgseq: cannot move 'IN000.MSG' to 'in000.msg': the two names are one directory "
                "entry here\n"
                "msgseq: 0 renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n",
         .status = 3,
         .after = {{"IN000.MSG", msg("IN000.MSG")}, {"b.msg", msg("IN000.MSG")}},
         .listed = {"IN000.MSG"},
         .links = {{"b.msg", "IN000.MSG"}}},
        // The index's own directory is synced after the work directory goes.
        {.name = "UpdateSyncsTheIndexDirectoryLast",
         .faults = {},
         .out = "3",
         .after = {{"in000.msg", msg("a.msg")},
                   {"in001.msg", msg("in002.msg")},
                   {"in002.msg", msg("in005.msg")},
                   {"sub", ""}},
         .logged = "rmdir meta.msgseq-update 0\nfsync sub 0\n",
         .args = {"-u", "sub/meta"},
         .meta = renamed,
         .indexdir = "sub"},
        // A message written to in place, its size kept, or its time.
        changedresume("UpdateResumeFileSameSize", msg("in005.MSG")),
        changedresume("UpdateResumeFileSameTime", "changed", true),
        // As UpdateResumeLeavesAListedHardLink, the link being of the record
        // just before.
        linkedresume("UpdateResumeHardLinkOfTheRecordBefore", "in000.msg"),
    };
}

}  // namespace

TEST_F(Msgseq, UsageWithoutOrWithTooManyArguments) {
    mailbox({"in002.msg"}, {"in002.msg"});
    // Options come first: an unknown one, none but options, or two names
    // after them is a usage error.
    for (const auto& args : std::vector<std::vector<std::string>>{{},
                                                                  {"meta", "meta"},
                                                                  {"-x", "meta"},
                                                                  {"-nx", "meta"},
                                                                  {"-n", "-v"},
                                                                  {"-u", "--"},
                                                                  {"meta", "-n"},
                                                                  {"-v", "meta", "meta"},
                                                                  {"--", "meta", "meta"},
                                                                  {"--", "-n", "meta"},
                                                                  {"--help", "meta"},
                                                                  {"--version", "meta"},
                                                                  {"-v", "--help"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        runresult r = msgseq(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Usage: msgseq matafile\n");
        EXPECT_EQ(ondisk(), (files{{"in002.msg", msg("in002.msg")}}));
    }
}

TEST_F(Msgseq, ClosesGapsInIndexOrder) {
    mailbox({"in000.msg", "in002.msg", "in005.msg"}, {"in000.msg", "in002.msg", "in005.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in000.msg")},
                               {"in001.msg", msg("in002.msg")},
                               {"in002.msg", msg("in005.msg")}}));
}

TEST_F(Msgseq, AlreadyInSequenceChangesNothing) {
    mailbox({"in000.msg", "in001.msg"}, {"in000.msg", "in001.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in000.msg")}, {"in001.msg", msg("in001.msg")}}));
}

TEST_F(Msgseq, EmptyIndexPrintsZero) {
    mailbox({}, {"other.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"other.msg", msg("other.msg")}}));
}

TEST_F(Msgseq, MissingMetafile) {
    spit("a.msg", "x");
    runresult r = msgseq({"nometa"});
    EXPECT_EQ(r.out, "FILE ERROR:  readmeta, error in opening nometa0");
    EXPECT_EQ(r.err, "msgseq: nometa: No such file or directory\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(listing(), std::set<std::string>{"a.msg"});
}

TEST_F(Msgseq, RecordCutShortRenamesTheCompleteOnes) {
    spit("meta", "/p\na\nb.msg\nt\nf\ns\nc\nb\nN\nc.msg\nt\nf\n");
    spit("b.msg", "B");
    spit("c.msg", "C");
    runresult r = msgseq();
    EXPECT_EQ(r.out,
              "FILE ERROR: readhdr, error in reading subject"
              "FILE ERROR: readmeta, error in reading meta record from meta1");
    EXPECT_EQ(r.err, "msgseq: meta:13: file ends inside a record\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ondisk(), (files{{"c.msg", "C"}, {"in000.msg", "B"}}));
}

TEST_F(Msgseq, TargetsHeldByLaterRecordsGoThroughTemporaryNames) {
    // b.msg wants in000.msg, whose file wants in001.msg, whose file wants
    // in002.msg; and a ring of two.
    mailbox({"b.msg", "in000.msg", "in001.msg", "in004.msg", "in003.msg"},
            {"b.msg", "in000.msg", "in001.msg", "in003.msg", "in004.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "5");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("b.msg")},
                               {"in001.msg", msg("in000.msg")},
                               {"in002.msg", msg("in001.msg")},
                               {"in003.msg", msg("in004.msg")},
                               {"in004.msg", msg("in003.msg")}}));
}

TEST_F(Msgseq, SwapOfTwo) {
    mailbox({"in001.msg", "in000.msg"}, {"in000.msg", "in001.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}));
}

TEST_F(Msgseq, TargetHeldByAnUnlistedFileIsRefusedDownTheChain) {
    // in001.msg is nobody's: the second record can't move, so neither can the
    // first, whose target the second record's file keeps. The third goes on.
    mailbox({"x.msg", "in000.msg", "in007.msg"}, {"x.msg", "in000.msg", "in001.msg", "in007.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'x.msg' to 'in000.msg': File exists\n"
              "msgseq: cannot move 'in000.msg' to 'in001.msg': File exists ('in001.msg' is not in "
              "the index)\n"
              "msgseq: 1 renamed, 0 already in place, 0 missing, 2 refused, of 3 records\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"x.msg", msg("x.msg")},
                               {"in000.msg", msg("in000.msg")},
                               {"in001.msg", msg("in001.msg")},
                               {"in002.msg", msg("in007.msg")}}));
}

TEST_F(Msgseq, FailuresAreReportedAndTheCounterAdvances) {
    mkdir("sub", 0755);
    spit("sub/a.msg", "sub");
    mailbox({"", "gone.msg", "a.msg", "a.msg", "sub/a.msg", "..", "z.msg"}, {"a.msg", "z.msg"});
    runresult r = msgseq();
    EXPECT_EQ(r.out, "7");
    EXPECT_EQ(r.err,
              "msgseq: cannot move '' to 'in000.msg': No such file or directory\n"
              "msgseq: cannot move 'gone.msg' to 'in001.msg': No such file or directory\n"
              "msgseq: cannot move 'a.msg' to 'in003.msg': listed twice in the index\n"
              "msgseq: cannot move 'sub/a.msg' to 'in004.msg': not a name in this directory\n"
              "msgseq: cannot move '..' to 'in005.msg': not a name in this directory\n"
              "msgseq: 2 renamed, 0 already in place, 2 missing, 3 refused, of 7 records\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"in002.msg", msg("a.msg")},
                               {"in006.msg", msg("z.msg")},
                               {"sub", ""}}));  // the directory itself
    EXPECT_EQ(slurp("sub/a.msg"), "sub");
}

TEST_F(Msgseq, ManyRecordsEveryOneFoundInTheListing) {
    std::vector<std::string> unlisted;  // names longer than a record's may be
    for (size_t k = 0; k < 40; k++)
        unlisted.push_back(std::string("x").append(std::to_string(k)).append("-unlisted12"));
    runresult r = manyrecords({{77, "abcdefghijkl"}}, {}, unlisted, true);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    // A twin far down the index.
    r = manyrecords({{77, "abcdefghijkl"}, {120, "m181"}}, {120}, unlisted, false);
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'm181' to 'in120.msg': listed twice in the index\n"
              "msgseq: 149 renamed, 0 already in place, 0 missing, 1 refused, of 150 records\n");
    EXPECT_EQ(r.status, 3);
}

// Names that share their 32-bit hash, a pair each: the first listed, the
// second only on disk; the first only on disk, the second listed and
// missing; both listed, the first twice.
TEST_F(Msgseq, NamesSharingAHashAreEachTheirOwn) {
    const std::string a1 = "6tt7pubclu7r", b1 = "1o8jv012k2v7";
    const std::string a2 = "iab86ul9mdss", b2 = "rtid66e24rfw";
    const std::string a3 = "kaweq7ytzj5h", b3 = "a1212h44ekpk";
    const std::string gone = "msgseq: cannot move '" + b2 + "' to 'in040.msg': No such file or directory\n";
    for (const bool update : {false, true}) {
        SCOPED_TRACE(update ? "-u" : "plain");
        std::map<size_t, std::string> changed = {{10, a1}, {40, b2}, {60, a3}, {139, b3}};
        if (!update) changed[145] = a3;
        runresult r = manyrecords(changed, update ? std::set<size_t>{40} : std::set<size_t>{40, 145},
                                  {b1, a2}, update);
        EXPECT_EQ(r.err, update ? gone + "msgseq: 149 renamed, 0 already in place, 1 missing, 0 "
                                         "refused, of 150 records\n"
                                : gone + "msgseq: cannot move '" + a3 +
                                      "' to 'in145.msg': listed twice in the index\n"
                                      "msgseq: 148 renamed, 0 already in place, 1 missing, "
                                      "1 refused, of 150 records\n");
        EXPECT_EQ(r.status, 3);
    }
}

// A file's size promises no records: a sparse terabyte after END once took
// the run down before it read a line.
TEST_F(Msgseq, IndexWithATerabyteHoleAfterItsEnd) {
    mailbox({"a.msg"}, {"a.msg"});
    ASSERT_EQ(truncate("meta", off_t{1} << 40), 0);
    runresult r = msgseq();
    EXPECT_EQ(r.out, "1");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")}}));
}

TEST_F(Msgseq, ShellCharactersAreJustCharacters) {
    const std::vector<std::string> names = {"$(touch X)", "a;b c.msg",  "`touch Y`",
                                            "-n.msg",     "it's \"q\"", "*"};
    mailbox(names, names);
    runresult r = msgseq();
    EXPECT_EQ(r.out, "6");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    files want;
    for (size_t i = 0; i < names.size(); i++)
        want["in00" + std::to_string(i) + ".msg"] = msg(names[i]);
    EXPECT_EQ(ondisk(), want);
}

TEST_F(Msgseq, SecondRunOnTheSameIndexDestroysNothing) {
    mailbox({"in001.msg", "in002.msg", "in009.msg"}, {"in001.msg", "in002.msg", "in009.msg"});
    ASSERT_EQ(msgseq().status, 0);
    files after = ondisk();
    // The first run's receipt tells the second that it is done.
    runresult r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "msgseq: 'meta' was renumbered by the last run; nothing moved (msgseq -u brings "
              "the index up to date)\n");
    EXPECT_EQ(ondisk(), after);
    // Without it, the second run is one of its own, which refuses what it
    // can no longer do.
    ASSERT_EQ(unlink(".meta.msgseq-receipt"), 0);
    r = msgseq();
    EXPECT_EQ(r.out, "3");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'in001.msg' to 'in000.msg': File exists ('in000.msg' is not in "
              "the index)\n"
              "msgseq: cannot move 'in002.msg' to 'in001.msg': File exists\n"
              "msgseq: cannot move 'in009.msg' to 'in002.msg': No such file or directory\n"
              "msgseq: 0 renamed, 0 already in place, 1 missing, 2 refused, of 3 records\n");
    EXPECT_EQ(ondisk(), after);
}

TEST_F(Msgseq, RunAfterAnInterruptionFinishesASetAsideFile) {
    // As a run killed inside a ring of two: in001.msg set aside under a name
    // that gives the inode of the file to move in after it, in000.msg's,
    // which then did. The second run finishes the ring.
    mailbox({"in001.msg", "in000.msg"}, {});
    spit("in001.msg", msg("in000.msg"));
    struct stat st;
    ASSERT_EQ(stat("in001.msg", &st), 0);
    spit(".msgseq-temp-in001.msg." + std::to_string(st.st_ino), msg("in001.msg"));
    runresult r = msgseq();
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}));
}

TEST_F(Msgseq, StopStillFinishesASetAsideFile) {
    // As RunAfterAnInterruptionFinishesASetAsideFile, in the second and third
    // records; the run is stopped at its first rename. in002.msg's file keeps
    // its name, so the set-aside one could not go back: it is moved on.
    mailbox({"a.msg", "in002.msg", "in001.msg", "d.msg"}, {"a.msg", "d.msg"});
    spit("in002.msg", msg("in001.msg"));
    struct stat st;
    ASSERT_EQ(stat("in002.msg", &st), 0);
    spit(".msgseq-temp-in002.msg." + std::to_string(st.st_ino), msg("in002.msg"));
    runresult r = runfsfault({"meta"}, {"FSFAULT_SIGNAL=TERM:rename-to:in000.msg"});
    EXPECT_EQ(r.err, stopped(2, 1, "SIGTERM", "meta", 1));
    EXPECT_EQ(r.status, 128 + SIGTERM);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")},
                               {"in001.msg", msg("in002.msg")},
                               {"in002.msg", msg("in001.msg")},
                               {"d.msg", msg("d.msg")},
                               {workdir, ""}}));
}

TEST_F(Msgseq, ProgressLineInPlaceThenBlankedOut) {
    // The clock is read at the first record and every 1024th; with no wait
    // asked for, each reading shows. The line is blanked out before the
    // complaints: here every file is missing.
    std::vector<std::string> names(1025);
    std::string complaints;
    for (size_t k = 0; k < names.size(); k++) {
        names[k] = numbered(k).insert(0, 1, 'm');
        complaints += "msgseq: cannot move '" + names[k] + "' to '" + numbered(k) +
                      "': No such file or directory\n";
    }
    mailbox(names, {});
    llinit();
    ASSERT_EQ(readmeta("meta", inlist), 1);
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    renumopts opts{"msgseq", false, nullptr, f};
    opts.progress = f;
    EXPECT_EQ(renumfiles("meta", inlist, &opts, false, nullptr), RENUMFILES);
    // Shorter than its wait, a run shows nothing.
    opts.errs = nullptr;
    opts.progressms = 60000;
    EXPECT_EQ(renumfiles("meta", inlist, &opts, false, nullptr), RENUMFILES);
    ASSERT_EQ(fclose(f), 0);
    const std::string last = "msgseq: 1024 of 1025 records";
    EXPECT_EQ(std::string(text, size), "\rmsgseq: 0 of 1025 records\r" + last + "\r" +
                                           std::string(last.size(), ' ') + "\r" + complaints);
    free(text);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
}

TEST_F(Msgseq, ProgressOnATerminalOnly) {
    // The tool stops itself after its first rename and is let go on a second
    // later: at record 1024 the run has gone on long enough to show.
    std::vector<std::string> names(1025);
    for (size_t k = 0; k < names.size(); k++) names[k] = numbered(k).insert(0, 1, 'm');
    const std::string line = "msgseq: 1024 of 1025 records";
    for (const bool tty : {true, false}) {
        SCOPED_TRACE(tty ? "terminal" : "file");
        const std::string sub = tty ? "tty" : "file";
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        ASSERT_EQ(chdir(sub.c_str()), 0);
        mailbox(names, names);
        const runresult r =
            run({MSGSEQ_PATH, "meta"}, nullptr,
                fsfaultenv({"FSFAULT_SIGNAL=STOP:rename-to:in000.msg"}), {.errtty = tty});
        EXPECT_EQ(r.err, tty ? "\r" + line + "\r" + std::string(line.size(), ' ') + "\r" : "");
        EXPECT_EQ(r.out, "1025");
        EXPECT_EQ(r.status, 0);
        ASSERT_EQ(chdir(".."), 0);
    }
}

TEST_F(Msgseq, SetAsideFileThatCannotMoveGoesBackToItsName) {
    mailbox({"a.msg"}, {"in000.msg"});
    spit(".msgseq-temp-a.msg", msg("a.msg"));
    runresult r = msgseq();
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'a.msg' to 'in000.msg': File exists ('in000.msg' is not in the "
              "index)\n"
              "msgseq: 0 renamed, 0 already in place, 0 missing, 1 refused, of 1 record\n");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(ondisk(), (files{{"a.msg", msg("a.msg")}, {"in000.msg", msg("in000.msg")}}));
}

TEST_F(Msgseq, FourDigitsFromAThousandOn) {
    std::vector<std::string> names;
    // Appended rather than "m" + std::to_string(...): g++ 12 at -O3 reports a
    // false -Wrestrict on the concatenation.
    for (int i = 0; i < 1002; i++) names.emplace_back("m").append(std::to_string(2 * i));
    mailbox(names, names);
    runresult r = msgseq();
    EXPECT_EQ(r.out, "1002");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(slurp("in999.msg"), msg("m1998"));
    EXPECT_EQ(slurp("in1000.msg"), msg("m2000"));
    EXPECT_EQ(slurp("in1001.msg"), msg("m2002"));
    EXPECT_EQ(ondisk().size(), 1002u);
}

TEST_F(Msgseq, UnwritableOutputIsAFailure) {
    mailbox({"a.msg"}, {"a.msg"});
    runresult r = run({MSGSEQ_PATH, "meta"}, "/dev/full");
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "msgseq: error writing standard output: No space left on device\n");
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")}}));
    mailbox({"b.msg"}, {});  // a file not renamed says more than the count unwritten
    EXPECT_EQ(run({MSGSEQ_PATH, "meta"}, "/dev/full").status, 3);
}

TEST_F(Msgseq, TheMetafileItselfIsNeverMoved) {
    ASSERT_EQ(symlink("meta", "link"), 0);
    // Reached from another file system (/dev/shm is a tmpfs), and as the
    // tool's standard input.
    const std::string shm = "/dev/shm/" + dir.substr(dir.rfind('/') + 1) + "-link";
    ASSERT_EQ(symlink((dir + "/meta").c_str(), shm.c_str()), 0);
    for (const std::string& path :
         {std::string("meta"), std::string("link"), shm, std::string("/dev/stdin")}) {
        SCOPED_TRACE(path);
        unlink("in001.msg");
        mailbox({"meta", "a.msg"}, {"a.msg"});
        runresult r = path == "/dev/stdin"
                          ? run({"/bin/sh", "-c", "exec \"$0\" /dev/stdin < meta", MSGSEQ_PATH})
                          : msgseq({path});
        EXPECT_EQ(r.out, "2");
        EXPECT_EQ(r.err,
                  "msgseq: cannot move 'meta' to 'in000.msg': it is the metafile being read\n"
                  "msgseq: 1 renamed, 0 already in place, 0 missing, 1 refused, of 2 records\n");
        EXPECT_EQ(r.status, 3);
        EXPECT_TRUE(exists("meta"));
        EXPECT_FALSE(exists("in000.msg"));
        EXPECT_EQ(slurp("in001.msg"), msg("a.msg"));
    }
    EXPECT_EQ(unlink(shm.c_str()), 0);
}

TEST_P(MsgseqFault, EndsAsTheFaultsLeaveIt) {
    const faultrow& f = GetParam();
    const std::vector<std::string>& listed = f.listed.empty() ? usual : f.listed;
    std::vector<std::string> present;
    std::copy_if(
        listed.begin(), listed.end(), std::back_inserter(present),
        [&f](const std::string& name) { return !name.empty() && !f.missing.contains(name); });
    mailbox(listed, present);
    for (const auto& [name, text] : f.extra) spit(name, text);
    for (const auto& [name, to] : f.links) ASSERT_EQ(link(to.c_str(), name.c_str()), 0);
    if (f.sticky) {
        if (geteuid() != 0) GTEST_SKIP() << "files can be given away by root only";
        ASSERT_EQ(chmod(".", 01777), 0);
        for (const auto& name : present) ASSERT_EQ(chown(name.c_str(), 4243, 4243), 0);
        ASSERT_TRUE(!f.ownsdir || chown(".", 4242, 4242) == 0);
    }
    const std::string metapath = f.indexdir.empty() ? "meta" : f.indexdir + "/meta";
    if (!f.indexdir.empty()) {
        ASSERT_EQ(mkdir(f.indexdir.c_str(), 0755), 0);
        ASSERT_EQ(rename("meta", metapath.c_str()), 0);
    }
    const std::string index = slurp(metapath);
    std::vector<std::string> faults = f.faults;
    faults.push_back(std::string("FSFAULT_LOG=") + faultlog);
    runresult r = runfsfault(f.args, faults, {.closedout = f.closedout});
    EXPECT_EQ(r.status, f.status);
    EXPECT_EQ(r.out, f.out);
    if (f.errpart) {
        EXPECT_NE(r.err.find(f.err), std::string::npos) << r.err;
        EXPECT_TRUE(complaintsonly(r.err)) << r.err;
    } else {
        EXPECT_EQ(r.err, f.err);
    }
    if (f.settled) {
        EXPECT_EQ(unsettled(ondisk(), listed, f.extra), "");
    } else if (!f.cutshort) {
        EXPECT_EQ(ondisk(), f.after);
    }
    const std::string log = slurp(faultlog);
    EXPECT_NE(log.find(f.logged), std::string::npos) << log;
    if (!f.unlogged.empty()) {
        EXPECT_EQ(log.find(f.unlogged), std::string::npos) << log;
    }
    if (f.calls >= 0) {
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), f.calls) << log;
    }
    if (f.rerun) {
        for (const auto& [name, text] : f.between) {
            struct stat st {};
            ASSERT_TRUE(!f.sametime || stat(name.c_str(), &st) == 0);
            spit(f.newinode ? name + ".new" : name, text);
            ASSERT_TRUE(!f.newinode || rename((name + ".new").c_str(), name.c_str()) == 0);
            const timespec times[2] = {st.st_atim, st.st_mtim};
            ASSERT_TRUE(!f.sametime || utimensat(AT_FDCWD, name.c_str(), times, 0) == 0);
        }
        runresult again = runfsfault(f.rerunargs.empty() ? f.args : f.rerunargs, f.rerunfaults);
        EXPECT_EQ(again.status, f.rerunstatus);
        EXPECT_EQ(again.out, f.rerunargs.empty() ? std::to_string(listed.size()) : "");
        // The working directory, as the tool names it, reads as DIR.
        const std::string here = std::filesystem::canonical(".").string();
        for (size_t at; (at = again.err.find(here)) != std::string::npos;)
            again.err.replace(at, here.size(), "DIR");
        EXPECT_EQ(again.err, f.rerunerr);
        EXPECT_EQ(ondisk(), f.rerunafter);
    }
    EXPECT_EQ(slurp(metapath), f.meta.empty() ? index : f.meta);
}

INSTANTIATE_TEST_SUITE_P(Faults, MsgseqFault, ::testing::ValuesIn(faultrows()),
                         [](const ::testing::TestParamInfo<faultrow>& info) {
                             return info.param.name;
                         });

namespace {

// A command line the tool accepts, on a mailbox of a.msg listed alone.
struct argrow {
    std::string name;
    std::vector<std::string> args;
    std::string out;
    std::string err = "";
    int status = 0;
    bool moved = false;         // a.msg became in000.msg
    std::string meta = "meta";  // where the index is
    bool outstart = false;      // out only starts the output
};

void PrintTo(const argrow& a, std::ostream* os) { *os << a.name; }

class MsgseqArgs : public Msgseq, public ::testing::WithParamInterface<argrow> {};

std::vector<argrow> argrows() {
    const std::string one = "renamed 'a.msg' -> 'in000.msg'\n1";
    const std::string did =
        "msgseq: 1 renamed, 0 already in place, 0 missing, 0 refused, of 1 record\n";
    const std::string would =
        "msgseq: 1 would be renamed, 0 already in place, 0 missing, 0 refused, of 1 record\n";
    const std::string longname(250, 'm');
    return {
        // Alone, an argument that looks like an option is still the metafile.
        {.name = "LoneOptionIsAMetafileName",
         .args = {"-u"},
         .out = "FILE ERROR:  readmeta, error in opening -u0",
         .err = "msgseq: -u: No such file or directory\n",
         .status = 2},
        {.name = "LoneOptionNamesTheIndex",
         .args = {"-v"},
         .out = "1",
         .moved = true,
         .meta = "-v"},
        {.name = "Help",
         .args = {"--help"},
         .out = "Usage: msgseq [-n] [-v] [-u] [--] METAFILE\n",
         .outstart = true},
        {.name = "Version", .args = {"--version"}, .out = "msgseq 1.1.0\n"},
        {.name = "DoubleDashEndsOptions", .args = {"--", "meta"}, .out = "1", .moved = true},
        {.name = "DoubleDashBeforeADashName",
         .args = {"--", "-n"},
         .out = "1",
         .moved = true,
         .meta = "-n"},
        {.name = "Verbose", .args = {"-v", "meta"}, .out = one, .err = did, .moved = true},
        {.name = "VerboseTwice",
         .args = {"-v", "-v", "--", "meta"},
         .out = one,
         .err = did,
         .moved = true},
        {.name = "DryRunClustered", .args = {"-nv", "meta"}, .out = one, .err = would},
        {.name = "DryRunAloneShowsTheRenames", .args = {"-n", "meta"}, .out = one, .err = would},
        {.name = "DryRunUpdateShowsTheRenames",
         .args = {"-n", "-u", "meta"},
         .out = one,
         .err = would},
        {.name = "DryRunUpdateClustered", .args = {"-vun", "meta"}, .out = one, .err = would},
        // Its work directory's name would pass the longest a name can be.
        {.name = "UpdateIndexNameTooLong",
         .args = {"-u", longname},
         .out = "1",
         .err = "msgseq: cannot update '" + longname +
                "': the name of its work directory would be too long (File name too long)\n",
         .status = 2,
         .meta = longname},
        {.name = "DashAfterOptionsIsTheMetafile",
         .args = {"-v", "-"},
         .out = one,
         .err = did,
         .moved = true,
         .meta = "-"},
        // The reader's message ends no line: -v ends it before the count.
        {.name = "VerboseEndsTheReadersLine",
         .args = {"-v", "nometa"},
         .out = "FILE ERROR:  readmeta, error in opening nometa\n0",
         .err = "msgseq: nometa: No such file or directory\n",
         .status = 2},
    };
}

}  // namespace

TEST_P(MsgseqArgs, AcceptedCommandLine) {
    const argrow& a = GetParam();
    mailbox({"a.msg"}, {"a.msg"});
    if (a.meta != "meta") {
        ASSERT_EQ(rename("meta", a.meta.c_str()), 0);
    }
    const std::string index = slurp(a.meta);
    runresult r = msgseq(a.args);
    if (a.outstart) {
        EXPECT_TRUE(r.out.starts_with(a.out)) << r.out;
    } else {
        EXPECT_EQ(r.out, a.out);
    }
    EXPECT_EQ(r.err, a.err);
    EXPECT_EQ(r.status, a.status);
    files disk = ondisk();
    disk.erase(a.meta);
    EXPECT_EQ(disk, (files{{a.moved ? "in000.msg" : "a.msg", msg("a.msg")}}));
    EXPECT_EQ(slurp(a.meta), index);
}

INSTANTIATE_TEST_SUITE_P(CommandLines, MsgseqArgs, ::testing::ValuesIn(argrows()),
                         [](const ::testing::TestParamInfo<argrow>& info) {
                             return info.param.name;
                         });

TEST_F(Msgseq, VerboseNamesEveryRenameSetAsidesToo) {
    // A gap, a chain from b.msg, a ring of two.
    const std::vector<std::string> names = {"b.msg", "in000.msg", "in003.msg", "in002.msg"};
    mailbox(names, names);
    const files before = ondisk();
    runresult r = msgseq({"-v", "meta"});
    EXPECT_EQ(r.err, "msgseq: 4 renamed, 0 already in place, 0 missing, 0 refused, of 4 records\n");
    EXPECT_EQ(r.status, 0);
    std::string count;
    EXPECT_EQ(replay(before, r.out, &count), ondisk()) << r.out;
    EXPECT_EQ(count, "4");
    EXPECT_NE(r.out.find("-> '.msgseq-temp-"), std::string::npos) << r.out;
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("b.msg")},
                               {"in001.msg", msg("in000.msg")},
                               {"in002.msg", msg("in003.msg")},
                               {"in003.msg", msg("in002.msg")}}));
}

TEST_F(Msgseq, NoneOfTheListedFilesFound) {
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    for (const auto& args : std::vector<std::vector<std::string>>{{"meta"}, {"-u", "meta"}}) {
        mailbox({"a.msg", "b.msg"}, {});
        spit("other.msg", "x");
        runresult r = msgseq(args);
        EXPECT_EQ(r.out, "2");
        EXPECT_EQ(r.err,
                  "msgseq: cannot move 'a.msg' to 'in000.msg': No such file or directory\n"
                  "msgseq: cannot move 'b.msg' to 'in001.msg': No such file or directory\n"
                  "msgseq: none of the listed files was found; names are taken relative to the "
                  "working directory, " +
                      std::string(cwd) + "\nmsgseq: 0 renamed, 0 already in place, 2 missing, " +
                      "0 refused, of 2 records\n");
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(ondisk(), (files{{"other.msg", "x"}}));
        EXPECT_EQ(slurp("meta"), indexof({"a.msg", "b.msg"}));
    }
}

TEST_F(Msgseq, AnotherRunHoldingTheDirectoryStopsThisOne) {
    mailbox({"a.msg", "in005.msg"}, {"a.msg", "in005.msg"});
    const files before = ondisk();
    for (const int how : {LOCK_EX, LOCK_SH}) {  // a run's lock shares with none
        const int fd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(flock(fd, how | LOCK_NB), 0);
        for (const auto& args : std::vector<std::vector<std::string>>{
                 {"meta"}, {"-u", "meta"}, {"-n", "-v", "meta"}, {"-v", "-u", "meta"}}) {
            SCOPED_TRACE(::testing::PrintToString(args));
            runresult r = msgseq(args);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err,
                      "msgseq: another process (a msgseq run, or flock(1)) holds the lock on "
                      "this directory; nothing done\n");
            EXPECT_EQ(r.status, 5);
            EXPECT_EQ(ondisk(), before);
            EXPECT_EQ(slurp("meta"), indexof({"a.msg", "in005.msg"}));
        }
        close(fd);
    }
    // An update locks the index's own directory too.
    ASSERT_EQ(mkdir("sub", 0755), 0);
    ASSERT_EQ(rename("meta", "sub/meta"), 0);
    const int sub = open("sub", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(flock(sub, LOCK_SH | LOCK_NB), 0);
    runresult u = msgseq({"-u", "sub/meta"});
    EXPECT_EQ(
        u.err,
        "msgseq: another process (a msgseq run, or flock(1)) holds the lock on the directory of "
        "'sub/meta'; nothing done\n");
    EXPECT_EQ(u.status, 5);
    EXPECT_EQ(u.out, "");
    EXPECT_TRUE(exists("a.msg") && exists("in005.msg") && !exists("sub/meta.msgseq-update"));
    close(sub);
    ASSERT_EQ(rename("sub/meta", "meta"), 0);
    ASSERT_EQ(rmdir("sub"), 0);
    // Held by a shell script's flock(1) all the same.
    runresult r = run({"/usr/bin/flock", ".", MSGSEQ_PATH, "meta"});
    EXPECT_EQ(r.status, 5);
    EXPECT_EQ(r.err,
              "msgseq: another process (a msgseq run, or flock(1)) holds the lock on this "
              "directory; nothing done\n");
    EXPECT_EQ(msgseq().status, 0);
    EXPECT_EQ(ondisk(), (files{{"in000.msg", msg("a.msg")}, {"in001.msg", msg("in005.msg")}}));
}

namespace {

// A mailbox for a dry run and a real one side by side.
struct dryrow {
    std::string name;
    std::vector<std::string> listed;
    std::vector<std::string> present;
    files extra = {};                    // unlisted files
    std::vector<std::string> dirs = {};  // made first
    int updatestatus = -1;               // when set, how both -u runs end
    std::vector<std::string> updated{};  // when set, the names -u leaves in the index
};

void PrintTo(const dryrow& d, std::ostream* os) { *os << d.name; }

class MsgseqDryRun : public Msgseq, public ::testing::WithParamInterface<dryrow> {
protected:
    // The row's mailbox in a directory of its own.
    void boxin(const std::string& sub) {
        const dryrow& d = GetParam();
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        ASSERT_EQ(chdir(sub.c_str()), 0);
        for (const auto& name : d.dirs) ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
        mailbox(d.listed, d.present);
        for (const auto& [name, text] : d.extra) spit(name, text);
        ASSERT_EQ(chdir(".."), 0);
    }
    // The tool run in sub with args; what the directory then holds, the
    // index apart, in *after.
    runresult runin(const std::string& sub, const std::vector<std::string>& args, files* after) {
        EXPECT_EQ(chdir(sub.c_str()), 0);
        runresult r = msgseq(args);
        *after = ondisk();
        EXPECT_EQ(chdir(".."), 0);
        return r;
    }
    files filesin(const std::string& sub) {
        EXPECT_EQ(chdir(sub.c_str()), 0);
        files f = ondisk();
        EXPECT_EQ(chdir(".."), 0);
        return f;
    }
};

std::vector<dryrow> dryrows() {
    return {
        {.name = "Gaps",
         .listed = {"in000.msg", "in002.msg", "in005.msg"},
         .present = {"in000.msg", "in002.msg", "in005.msg"}},
        // b.msg's new name is held by the file of a record further on.
        {.name = "ChainWhoseHolderMovesLater",
         .listed = {"b.msg", "in003.msg", "in000.msg"},
         .present = {"b.msg", "in003.msg", "in000.msg"}},
        {.name = "RingOfTwo",
         .listed = {"in001.msg", "in000.msg"},
         .present = {"in000.msg", "in001.msg"}},
        {.name = "RingOfThree",
         .listed = {"in001.msg", "in002.msg", "in000.msg"},
         .present = {"in000.msg", "in001.msg", "in002.msg"}},
        {.name = "TargetHeldByAnUnlistedFile",
         .listed = {"x.msg", "in000.msg", "in007.msg"},
         .present = {"x.msg", "in000.msg", "in001.msg", "in007.msg"}},
        {.name = "MissingFile",
         .listed = {"a.msg", "gone.msg", "c.msg"},
         .present = {"a.msg", "c.msg"}},
        {.name = "NameListedTwice",
         .listed = {"a.msg", "b.msg", "a.msg", "in009.msg"},
         .present = {"a.msg", "b.msg", "in009.msg"},
         // -u renames nothing: the second record would name a file gone
         .updatestatus = 2,
         .updated = {"a.msg", "b.msg", "a.msg", "in009.msg"}},
        {.name = "ListsTheMetafile", .listed = {"meta", "a.msg"}, .present = {"a.msg"}},
        {.name = "NamesThatAreNoFilesHere",
         .listed = {"", "..", "/etc/passwd", "z.msg"},
         .present = {"z.msg"}},
        {.name = "StrayTempNameBesideAHeldTarget",
         .listed = {"in001.msg", "c.msg"},
         .present = {"in001.msg"},
         .extra = {{".msgseq-temp-in001.msg", "X"}, {"in000.msg", "U"}}},
        // As a run killed inside a ring leaves it.
        {.name = "SetAsideFileLeftBehind",
         .listed = {"b.msg", "in000.msg"},
         .present = {},
         .extra = {{"in000.msg", msg("b.msg")}, {".msgseq-temp-in000.msg", msg("in000.msg")}}},
        // ... whose listed name b.msg's file takes, while its new name is
        // held: it can't go back, and -u can't name it in the index.
        {.name = "SetAsideFileThatCannotGoBack",
         .listed = {"in001.msg", "b.msg"},
         .present = {"b.msg"},
         .extra = {{".msgseq-temp-in001.msg", msg("in001.msg")}, {"in000.msg", "U"}},
         .updatestatus = 6},
        {.name = "ForeignFileInTheWorkDirectory",
         .listed = {"a.msg"},
         .present = {"a.msg"},
         .extra = {{"meta.msgseq-update/x", "X"}},
         .dirs = {"meta.msgseq-update"},
         .updatestatus = 2},
    };
}

}  // namespace

TEST_P(MsgseqDryRun, ReportsWhatTheRealRunDoes) {
    for (const auto& mode : std::vector<std::vector<std::string>>{{"-v"}, {"-u", "-v"}}) {
        SCOPED_TRACE(::testing::PrintToString(mode));
        // The dry run first, then the real one on the same files: a ring's
        // temporary name carries an inode number, which a copy would not share.
        const std::string tag = mode.size() == 1 ? "plain" : "update";
        boxin(tag);
        const files before = filesin(tag);
        const std::string index = slurp(tag + "/meta");
        std::vector<std::string> dryargs = {"-n"};
        dryargs.insert(dryargs.end(), mode.begin(), mode.end());
        dryargs.push_back("meta");
        std::vector<std::string> realargs = mode;
        realargs.push_back("meta");

        files dryafter, realafter;
        const runresult dry = runin(tag, dryargs, &dryafter);
        EXPECT_EQ(dryafter, before);
        dryargs.erase(std::find(dryargs.begin(), dryargs.end(), "-v"));
        const runresult quiet = runin(tag, dryargs, &dryafter);
        EXPECT_EQ(quiet.out, dry.out);
        EXPECT_EQ(quiet.err, dry.err);
        EXPECT_EQ(quiet.status, dry.status);
        EXPECT_EQ(dryafter, before);
        EXPECT_EQ(slurp(tag + "/meta"), index);
        const runresult real = runin(tag, realargs, &realafter);
        EXPECT_EQ(dry.out, real.out);
        EXPECT_EQ(asreal(dry.err), real.err);
        // which differ only in how the dry run counts what it would do
        EXPECT_EQ(dry.err == real.err, real.err.find(" renamed, ") == std::string::npos);
        EXPECT_EQ(dry.status, real.status);
        if (tag == "update" && GetParam().updatestatus >= 0) {
            EXPECT_EQ(real.status, GetParam().updatestatus);
        }
        if (tag == "update" && !GetParam().updated.empty()) {
            EXPECT_EQ(slurp(tag + "/meta"), indexof(GetParam().updated));
        }
        if (real.status == 6) realafter.erase("meta.msgseq-update");  // the journal stays
        // A work directory with no journal holds nothing to finish: a plain
        // run keeps its journal elsewhere; -u is turned away, silently on stdout.
        const bool away = false;
        std::string count;
        EXPECT_EQ(replay(before, real.out, &count), realafter) << real.out;
        EXPECT_EQ(count, away ? "" : std::to_string(GetParam().listed.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Mailboxes, MsgseqDryRun, ::testing::ValuesIn(dryrows()),
                         [](const ::testing::TestParamInfo<dryrow>& info) {
                             return info.param.name;
                         });

TEST_F(Msgseq, UpdateRewritesTheIndexAndASecondRunDoesNothing) {
    // A chain from b.msg, a gap, a file already in place, a ring of two;
    // header fields of every length the index keeps, and read flags as
    // people write them.
    const std::string longest(99, 's');
    const std::vector<std::string> names = {"b.msg",     "in000.msg", "in004.msg", "in003.msg",
                                            "in007.msg", "in006.msg", "in005.msg"};
    const std::vector<std::string> flags = {"R", "N", "Read", "x", "", "R", "n"};
    auto index = [&](const std::vector<std::string>& datafiles, bool written) {
        std::vector<std::vector<std::string>> recs;
        for (size_t k = 0; k < datafiles.size(); k++) {
            const std::string flag = written ? (flags[k].starts_with('R') ? "R" : "N") : flags[k];
            recs.push_back({datafiles[k], "to" + std::to_string(k), "from",
                            k == 2 ? longest : "subj", k == 1 ? "cc@x" : "", k == 3 ? "bcc@y" : "",
                            flag});
        }
        return metafile(recs, "/home/ann/mail", std::string(49, 'a'));
    };
    spit("meta", index(names, false));
    for (const auto& name : names) spit(name, msg(name));
    const files want = {{"in000.msg", msg("b.msg")},     {"in001.msg", msg("in000.msg")},
                        {"in002.msg", msg("in004.msg")}, {"in003.msg", msg("in003.msg")},
                        {"in004.msg", msg("in007.msg")}, {"in005.msg", msg("in006.msg")},
                        {"in006.msg", msg("in005.msg")}};
    std::vector<std::string> renamed;
    for (size_t k = 0; k < names.size(); k++) renamed.push_back(numbered(k));

    runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.out, "7");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), want);  // no work directory either
    EXPECT_EQ(slurp("meta"), index(renamed, true));

    r = msgseq({"-u", "-v", "meta"});
    EXPECT_EQ(r.out, "7");
    EXPECT_EQ(r.err, "msgseq: 0 renamed, 7 already in place, 0 missing, 0 refused, of 7 records\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), want);
    EXPECT_EQ(slurp("meta"), index(renamed, true));
}

TEST_F(Msgseq, CutShortUpdateIsFinishedOnlyWhereItWorked) {
    ASSERT_EQ(mkdir("box", 0755), 0);
    ASSERT_EQ(mkdir("other", 0755), 0);
    ASSERT_EQ(chdir("box"), 0);
    mailbox(usual, usual);
    EXPECT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-to:in000.msg"}).status,
              128 + SIGKILL);
    const files left = ondisk();
    ASSERT_EQ(chdir("../other"), 0);
    spit("a.msg", "other a");
    runresult r = msgseq({"-u", "../box/meta"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("worked in another directory"), std::string::npos) << r.err;
    EXPECT_EQ(ondisk(), (files{{"a.msg", "other a"}}));
    ASSERT_EQ(chdir("../box"), 0);
    EXPECT_EQ(ondisk(), left);
    EXPECT_EQ(msgseq({"-u", "meta"}).status, 0);
    EXPECT_EQ(ondisk(), closed);
}

TEST_F(Msgseq, UpdateKeepsTheNamesOfRecordsNotMoved) {
    mailbox({"gone.msg", "x.msg", "c.msg"}, {"x.msg", "c.msg", "in001.msg"});
    for (int pass = 0; pass < 2; pass++) {
        SCOPED_TRACE("pass " + std::to_string(pass));
        runresult r = msgseq({"-u", "meta"});
        EXPECT_EQ(r.out, "3");
        EXPECT_EQ(r.err,
                  "msgseq: cannot move 'gone.msg' to 'in000.msg': No such file or directory\n"
                  "msgseq: cannot move 'x.msg' to 'in001.msg': File exists ('in001.msg' is not in "
                  "the index)\nmsgseq: " +
                      std::string(pass ? "0 renamed, 1" : "1 renamed, 0") +
                      " already in place, 1 missing, 1 refused, of 3 records\n");
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(ondisk(), (files{{"x.msg", msg("x.msg")},
                                   {"in001.msg", msg("in001.msg")},
                                   {"in002.msg", msg("c.msg")}}));
        EXPECT_EQ(slurp("meta"), indexof({"gone.msg", "x.msg", "in002.msg"}));
    }
}

TEST_F(Msgseq, SecondUpdateChangesNothing) {
    // Names a record keeps because its file was not moved, which another
    // record's file then takes as its new name.
    struct box {
        std::vector<std::string> listed;
        std::vector<std::string> present;
    };
    for (const box& b : {box{{"in001.msg", "b.msg"}, {"b.msg"}},
                         box{{"in002.msg", "in002.msg", "b.msg"}, {"in002.msg", "b.msg"}},
                         box{{"in005.msg", "in003.msg", "a.msg", "in001.msg"},
                             {"in005.msg", "a.msg", "in001.msg"}}}) {
        SCOPED_TRACE(::testing::PrintToString(b.listed));
        for (const auto& name : listing()) unlink(name.c_str());
        mailbox(b.listed, b.present);
        const runresult first = msgseq({"-u", "meta"});
        // A name listed twice: -u changes nothing.
        EXPECT_EQ(first.status, b.listed[0] == b.listed[1] ? 2 : 3) << first.err;
        const files after = ondisk();
        const std::string index = slurp("meta");
        const runresult again = msgseq({"-u", "-v", "meta"});
        EXPECT_EQ(again.out, std::to_string(b.listed.size()));
        EXPECT_EQ(again.status, first.status);
        EXPECT_EQ(ondisk(), after);
        EXPECT_EQ(slurp("meta"), index);
    }
}

TEST_F(Msgseq, UpdateThroughASymlinkRewritesWhereItLeads) {
    ASSERT_EQ(mkdir("store", 0755), 0);
    spit("store/meta", indexof({"a.msg", "in005.msg"}));
    spit("a.msg", msg("a.msg"));
    spit("in005.msg", msg("in005.msg"));
    ASSERT_EQ(symlink("store/meta", "mlink"), 0);
    auto islink = [] {
        struct stat st;
        char to[64] = {};
        return lstat("mlink", &st) == 0 && S_ISLNK(st.st_mode) &&
               readlink("mlink", to, sizeof to - 1) > 0 && std::string(to) == "store/meta";
    };

    // Cut short after its first rename: the work directory is beside the
    // index itself, not the link.
    runresult r = runfsfault({"-u", "mlink"}, {"FSFAULT_KILL=rename-from:a.msg"});
    EXPECT_EQ(r.status, 128 + SIGKILL);
    EXPECT_TRUE(exists("store/meta.msgseq-update"));
    EXPECT_FALSE(exists("mlink.msgseq-update"));
    r = msgseq({"mlink"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err, "");

    r = msgseq({"-u", "mlink"});
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(islink());
    EXPECT_EQ(slurp("store/meta"), indexof({"in000.msg", "in001.msg"}));
    // The receipt beside the index, where the link leads.
    EXPECT_EQ(listing("store"),
              (std::set<std::string>{".meta.msgseq-before", ".meta.msgseq-receipt", "meta"}));
    EXPECT_EQ(listing(), (std::set<std::string>{"in000.msg", "in001.msg", "mlink", "store"}));
    EXPECT_EQ(slurp("in000.msg"), msg("a.msg"));
    EXPECT_EQ(slurp("in001.msg"), msg("in005.msg"));

    // And uninterrupted.
    spit("store/meta", indexof({"in001.msg", "in000.msg"}));
    r = msgseq({"-u", "mlink"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(islink());
    EXPECT_EQ(slurp("store/meta"), indexof({"in000.msg", "in001.msg"}));
    EXPECT_EQ(listing("store"),
              (std::set<std::string>{".meta.msgseq-before", ".meta.msgseq-receipt", "meta"}));
    EXPECT_EQ(slurp("in000.msg"), msg("in005.msg"));
}

namespace {

// An index that -u must not rewrite: it would not come back as it is.
struct refusedrow {
    std::string name;
    std::string meta;
    std::string out;
    std::string err;
};

void PrintTo(const refusedrow& r, std::ostream* os) { *os << r.name; }

class MsgseqUpdateRefused : public Msgseq, public ::testing::WithParamInterface<refusedrow> {};

std::string rec(const std::string& name, const std::string& subject = "s",
                const std::string& bcc = "") {
    return name + "\nt\nf\n" + subject + "\n\n" + bcc + "\nN\n";
}

std::vector<refusedrow> refusedrows() {
    const std::string head = "/p\naddr\n";
    const std::string crlf = "/p\r\naddr\r\na.msg\r\nt\r\nf\r\ns\r\n\r\n\r\nN\r\nEND\r\n";
    const std::string x100(100, 'x');
    auto times = [](const std::string& s, int n) {
        std::string all;
        while (n-- > 0) all += s;
        return all;
    };
    // Twelve subjects too long: ten lines shown, then how many more.
    std::string tenlong;
    for (int k = 0; k < 10; k++)
        tenlong += "msgseq: meta:" + std::to_string(6 + 7 * k) + ": subject longer than 99 bytes\n";
    tenlong += "msgseq: meta: and 2 more such lines\n";
    return {
        {.name = "CutShort",
         .meta = head + "a.msg\nt\n",
         .out = "FILE ERROR: readhdr, error in reading from"
                "FILE ERROR: readmeta, error in reading meta record from meta0",
         .err = "msgseq: meta:5: file ends inside a record\n"},
        {.name = "SubjectTooLong",
         .meta = head + rec("a.msg") + rec("b.msg", std::string(100, 'x')) + "END\n",
         .out = "2",
         .err = "msgseq: meta:13: subject longer than 99 bytes\n"},
        {.name = "BccTooLong",
         .meta = head + rec("a.msg", "s", std::string(100, 'x')) + rec("b.msg") + "END\n",
         .out = "2",
         .err = "msgseq: meta:8: bcc longer than 99 bytes\n"},
        {.name = "AddressTooLong",
         .meta = "/p\n" + std::string(50, 'a') + "\n" + rec("a.msg") + rec("b.msg") + "END\n",
         .out = "2",
         .err = "msgseq: meta:2: owner's address too long (over 49 bytes)\n"},
        {.name = "NulInASubject",
         .meta = head + rec("a.msg", std::string("x\0y", 3)) + rec("b.msg") + "END\n",
         .out = "2",
         .err = "msgseq: meta:6: line holds a NUL byte\n"},
        {.name = "TextAfterEnd",
         .meta = head + rec("a.msg") + rec("b.msg") + "END\nmore\n",
         .out = "2",
         .err = "msgseq: meta:18: text after the END line\n"},
        // Every line that stops it, up to ten, then how many more.
        {.name = "EveryLineNamed",
         .meta = head + times(rec("a.msg", x100), 12) + "END\n",
         .out = "12",
         .err = tenlong},
        // A line both too long and ending in CR, past the ten shown, is one more line.
        {.name = "CrOnALongLineCountedOnce",
         .meta = head + times(rec("a.msg", x100), 11) + rec("a.msg", x100 + "\r") + "END\r\n",
         .out = "FILE ERROR: readhdr, error in reading to"
                "FILE ERROR: readmeta, error in reading meta record from meta12",
         .err = tenlong},
        {.name = "TooLongThenCutShort",
         .meta = head + rec("a.msg", std::string(100, 'x')) + "b.msg\nt\n",
         .out = "FILE ERROR: readhdr, error in reading from"
                "FILE ERROR: readmeta, error in reading meta record from meta1",
         .err = "msgseq: meta:6: subject longer than 99 bytes\n"
                "msgseq: meta:12: file ends inside a record\n"},
        {.name = "CrLf",
         .meta = crlf,
         .out = "FILE ERROR: readhdr, error in reading to"
                "FILE ERROR: readmeta, error in reading meta record from meta1",
         .err = "msgseq: meta:1: line ends in a carriage return (CR-LF file?)\n"},
    };
}

}  // namespace

TEST_P(MsgseqUpdateRefused, NothingRenamedIndexUntouched) {
    const refusedrow& f = GetParam();
    spit("meta", f.meta);
    spit("a.msg", msg("a.msg"));
    spit("b.msg", msg("b.msg"));
    runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.out, f.out);
    EXPECT_EQ(r.err, f.err +
                         "msgseq: nothing done; 'mailbox check meta' lists what stops the update, "
                         "and 'mailbox mend meta' mends it\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ondisk(), (files{{"a.msg", msg("a.msg")}, {"b.msg", msg("b.msg")}}));
    EXPECT_EQ(slurp("meta"), f.meta);
}

INSTANTIATE_TEST_SUITE_P(Indexes, MsgseqUpdateRefused, ::testing::ValuesIn(refusedrows()),
                         [](const ::testing::TestParamInfo<refusedrow>& info) {
                             return info.param.name;
                         });

TEST_F(Msgseq, LinksOnTheWayToTheMetafileAreNeverMoved) {
    // meta2 leads to lnk1, which leads to meta; the index lists lnk1.
    mailbox({"lnk1", "a.msg"}, {"a.msg"});
    ASSERT_EQ(symlink("meta", "lnk1"), 0);
    ASSERT_EQ(symlink("lnk1", "meta2"), 0);
    runresult r = msgseq({"meta2"});
    EXPECT_EQ(r.out, "2");
    EXPECT_EQ(r.err,
              "msgseq: cannot move 'lnk1' to 'in000.msg': it is the metafile being read\n"
              "msgseq: 1 renamed, 0 already in place, 0 missing, 1 refused, of 2 records\n");
    EXPECT_EQ(r.status, 3);
    char to[16] = {};
    EXPECT_EQ(readlink("lnk1", to, sizeof to - 1), 4);
    EXPECT_STREQ(to, "meta");
    EXPECT_FALSE(exists("in000.msg"));
    EXPECT_EQ(slurp("in001.msg"), msg("a.msg"));
}

TEST_F(Msgseq, UpdateOnAReadOnlyIndexDirectory) {
    // Left there by an update cut short at its end, and then mounted
    // read-only: what stops -u is said as what it is, by a dry run too.
    ASSERT_EQ(mkdir("store", 0755), 0);
    ASSERT_EQ(mkdir("store/meta.msgseq-update", 0700), 0);
    spit("store/meta", indexof({"a.msg"}));
    spit("a.msg", msg("a.msg"));
    char real[PATH_MAX];
    ASSERT_NE(realpath("store", real), nullptr);
    const std::string ro =
        "mount --bind store store && mount -o remount,bind,ro store store && exec \"$0\" \"$@\"";
    for (const std::vector<std::string>& args : {std::vector<std::string>{"-n", "-u", "store/meta"},
                                                 std::vector<std::string>{"-u", "store/meta"}}) {
        std::vector<std::string> argv = {"/usr/bin/unshare", "-rm", "/bin/sh", "-c", ro,
                                         MSGSEQ_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        const runresult r = run(argv);
        if (r.status != 2 && (r.err.starts_with("unshare") || r.err.starts_with("mount")))
            GTEST_SKIP() << "no mount namespace here: " << r.err;
        EXPECT_EQ(r.out, "1");
        EXPECT_EQ(r.err, "msgseq: cannot write in '" + std::string(real) +
                             "', where the index 'store/meta' is (Read-only file system); "
                             "nothing done\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(slurp("a.msg"), msg("a.msg"));
    }
}

TEST_F(Msgseq, PlainRunOnAReadOnlyIndexDirectoryJournalsHere) {
    // Its journal goes to the working directory: killed, the rerun finishes.
    ASSERT_EQ(mkdir("store", 0755), 0);
    spit("store/meta", indexof(usual));
    for (const std::string& name : usual) spit(name, msg(name));
    auto ro = [](const std::vector<std::string>& faults) {
        return run({"/usr/bin/unshare", "-rm", "/bin/sh", "-c",
                    "mount --bind store store && mount -o remount,bind,ro store store && exec "
                    "\"$0\" \"$@\"",
                    MSGSEQ_PATH, "store/meta"},
                   nullptr, fsfaultenv(faults));
    };
    const runresult cut = ro({"FSFAULT_KILL=rename-from:a.msg"});
    if (cut.err.starts_with("unshare") || cut.err.starts_with("mount"))
        GTEST_SKIP() << "no mount namespace here: " << cut.err;
    EXPECT_EQ(cut.status, 128 + SIGKILL);
    EXPECT_TRUE(exists(".msgseq-update/journal"));
    const runresult r = ro({});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), withwork(closed, "store"));
}

TEST_F(Msgseq, UpdateAfterAPlainRunCutShortInARingOnATwiceListedName) {
    // The second in000.msg keeps its name in the index, so -u can't close
    // the ring, nor send in001.msg's file back: it says what to do and
    // changes nothing; that done, -u ends.
    mailbox({"in001.msg", "in000.msg", "in000.msg"}, {"in000.msg", "in001.msg"});
    ASSERT_EQ(runfsfault({"meta"}, {"FSFAULT_KILL=rename-to:in001.msg"}).status, 128 + SIGKILL);
    const files cut = ondisk();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-n", "-u", "meta"}, std::vector<std::string>{"-u", "meta"}}) {
        const runresult r = msgseq(args);
        EXPECT_EQ(r.err,
                  "msgseq: the file of the record listing 'in001.msg' was set aside by a run cut "
                  "short, and can take neither its new name 'in000.msg', which another record "
                  "keeps in the index, nor its own, which another file has; run 'msgseq meta' to "
                  "finish that run, then 'msgseq -u meta'; nothing done\n");
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(ondisk(), cut);
    }
    // A plain run closes the ring; -u then can't name the files from its
    // receipt (the third record would name the first's message), and
    // changes nothing.
    EXPECT_EQ(msgseq().status, 3);
    const files ends = {{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}};
    EXPECT_EQ(ondisk(), ends);
    // -u then refuses the name listed twice, and changes nothing.
    const runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.err,
              "msgseq: record 3 of 'meta' lists 'in000.msg', which the last run gave record 1's "
              "file; the index can't be brought up to date from that run's receipt; nothing "
              "done; 'mailbox rebuild meta' makes it again from the files\n");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(ondisk(), ends);
    EXPECT_EQ(slurp("meta"), indexof({"in001.msg", "in000.msg", "in000.msg"}));
}

TEST_F(Msgseq, UpdateAfterAPlainRunCutShortOnAnIndexAbove) {
    // As the one before, the index in the directory above: -u is refused
    // the same, a plain run finishes, and -u is then refused as there.
    ASSERT_EQ(mkdir("box", 0755), 0);
    spit("meta", indexof({"in001.msg", "in000.msg", "in000.msg"}));
    ASSERT_EQ(chdir("box"), 0);
    mailbox({}, {"in000.msg", "in001.msg"});
    ASSERT_EQ(runfsfault({"../meta"}, {"FSFAULT_KILL=rename-to:in001.msg"}).status, 128 + SIGKILL);
    const runresult r = msgseq({"-u", "../meta"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("run 'msgseq ../meta' to finish that run"), std::string::npos) << r.err;
    EXPECT_EQ(msgseq({"../meta"}).status, 3);
    EXPECT_EQ(msgseq({"-u", "../meta"}).status, 2);  // the name listed twice
    EXPECT_EQ(ondisk(), files({{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}));
    EXPECT_FALSE(exists("../meta.msgseq-update"));
}

TEST_F(Msgseq, UpdateAfterAPlainRunCutShortInARing) {
    // The set-aside file is the ring's, whose other file is home already:
    // -u closes the ring and ends.
    mailbox({"in001.msg", "in000.msg"}, {"in000.msg", "in001.msg"});
    ASSERT_EQ(runfsfault({"meta"}, {"FSFAULT_KILL=rename-to:in001.msg"}).status, 128 + SIGKILL);
    const runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), files({{"in000.msg", msg("in001.msg")}, {"in001.msg", msg("in000.msg")}}));
    EXPECT_EQ(slurp("meta"), indexof({"in000.msg", "in001.msg"}));
}

TEST_F(Msgseq, UpdateKeepsWhatAnotherProgramWroteMeanwhile) {
    // A delivery that takes no lock adds a record, and a client marks the
    // first message read, while the update is stopped at each of its steps:
    // before its journal, among its renames, writing the new index, after
    // the swap. Both are kept; the delivered record keeps its own name.
    const std::string deliver =
        "truncate -s -4 meta && printf '%s\\n' d.msg to from subj '' '' N END >> meta && "
        "printf R | dd of=meta conv=notrunc status=none bs=1 "
        "seek=$(grep -b -m1 '^N$' meta | cut -d: -f1)";
    std::vector<std::vector<std::string>> want;
    for (const auto& name : {"in000.msg", "in001.msg", "d.msg"})
        want.push_back({name, "to", "from", "subj", "", "", want.empty() ? "R" : "N"});
    for (const std::string at : {"mkdir:meta.msgseq-update", "rename-to:in000.msg",
                                 "create:index", "fsync:index", "rename-to:meta"}) {
        SCOPED_TRACE(at);
        for (const auto& name : listing()) std::filesystem::remove_all(name);
        mailbox({"a.msg", "in002.msg"}, {"a.msg", "in002.msg"});
        const runresult r = whilestopped("-u meta", at, deliver);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(slurp("meta"), metafile(want));
        EXPECT_FALSE(exists("meta.msgseq-update"));
    }
}

TEST_F(Msgseq, UpdateLeavesAnIndexReorderedMeanwhile) {
    // A record removed from the middle while the update renames: the index
    // stays as that program left it, and the journal with it.
    mailbox({"a.msg", "in002.msg", "in005.msg"}, usual);
    const runresult r = whilestopped("-u meta", "rename-to:in000.msg", "sed -i 10,16d meta");
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err,
              "msgseq: 'meta' was changed by another program during the update (record 2 was "
              "removed or changed), and is not rewritten, so that nothing written to it is lost; "
              "the journal stays; give the update up with 'msgseq --abort meta'\n");
    EXPECT_EQ(slurp("meta"), indexof({"a.msg", "in005.msg"}));
    EXPECT_TRUE(exists(workdir + "/journal"));
}

TEST_F(Msgseq, UpdateAsRootKeepsTheOwnersIndex) {
    // Killed after its first rename, then finished: the work directory and
    // the journal are root's, who ran here (a rerun believes no journal
    // another user made); the index keeps owner and mode.
    if (geteuid() != 0) GTEST_SKIP() << "files can be given away by root only";
    for (const mode_t mode : {0600, 0640}) {
        for (const auto& name : listing()) std::filesystem::remove_all(name);
        mailbox(usual, usual);
        ASSERT_EQ(chown("meta", 4243, 4244), 0);
        ASSERT_EQ(chmod("meta", mode), 0);
        auto owned = [](const std::string& path, mode_t want) {
            struct stat st {};
            return stat(path.c_str(), &st) == 0 && st.st_uid == 4243 && st.st_gid == 4244 &&
                   (!want || (st.st_mode & 07777) == want);
        };
        EXPECT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-from:a.msg"}).status,
                  128 + SIGKILL);
        auto roots = [](const std::string& path) {
            struct stat st {};
            return lstat(path.c_str(), &st) == 0 && st.st_uid == 0;
        };
        EXPECT_TRUE(roots(workdir));
        EXPECT_TRUE(roots(workdir + "/journal"));
        EXPECT_EQ(msgseq({"-u", "meta"}).status, 0);
        EXPECT_TRUE(owned("meta", mode));
        EXPECT_EQ(slurp("meta"), renamed);
    }
}

TEST_F(Msgseq, FifoWithNoWriterYieldsToSigterm) {
    // Blocked opening the metafile, the run has changed nothing: a signal
    // ends it there (timeout says 124 for its TERM, 137 had it to kill).
    ASSERT_EQ(mkfifo("meta", 0600), 0);
    const runresult r =
        run({"/usr/bin/timeout", "-k", "5", "-s", "TERM", "0.5", MSGSEQ_PATH, "meta"});
    EXPECT_EQ(r.status, 124);
}

TEST_F(Msgseq, UpdateJournalNotOnDiskMovesNothing) {
    // Its contents, its directory, or the one holding that (the first sync
    // of the working directory) not synced: nothing moves.
    for (const char* fault :
         {"fsync:journal.new:EIO", "fsync:meta.msgseq-update:EIO", "fsync:.:EIO:1"}) {
        SCOPED_TRACE(fault);
        mailbox(usual, usual);
        const runresult r = runfsfault({"-u", "meta"}, {std::string("FSFAULT_FAIL=") + fault});
        EXPECT_TRUE(r.err.starts_with("msgseq: cannot write the journal '")) << r.err;
        EXPECT_TRUE(r.err.ends_with("/meta.msgseq-update/journal': Input/output error\n")) << r.err;
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(ondisk(), untouched);
        EXPECT_EQ(slurp("meta"), indexof(usual));
    }
}

TEST_F(Msgseq, UpdateResumesAJournalOfTheReleaseBefore) {
    mailbox(usual, usual);
    ASSERT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-from:a.msg"}).status, 128 + SIGKILL);
    // Written again as the release before wrote it: each file's inode and
    // name alone.
    const std::string now = slurp(workdir + "/journal");
    std::string old = "msgseq update journal\n";
    const size_t from = now.find('\n', now.find('\n') + 1) + 1;  // past the run line
    size_t at = from;
    for (int head = 0; head < 2; head++) at = now.find('\n', at) + 1;
    old += now.substr(from, at - from);
    for (size_t end; (end = now.find('\n', at)) != std::string::npos; at = end + 1)
        old += now.substr(at, now.find(' ', at) - at) +
               now.substr(now.rfind(' ', end), end - now.rfind(' ', end) + 1);
    spit(workdir + "/journal", old);
    const runresult r = msgseq({"-u", "meta"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), closed);
    EXPECT_EQ(slurp("meta"), renamed);
}
// Killed once the new index is in place, an update of as many records as an
// index may hold leaves a journal that the next run can still read.
TEST_F(Msgseq, MillionRecordsUpdateResumed) {
    if (sanitized) GTEST_SKIP() << "a million lines of complaint: left to the plain builds";
    std::vector<std::string> names;
    for (size_t k = 0; k < 1000000; k++) names.push_back(numbered(k));
    spit("meta", indexof(names));
    EXPECT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-to:meta"}).status, 128 + SIGKILL);
    ASSERT_TRUE(exists(workdir + "/journal"));
    EXPECT_EQ(msgseq({"-u", "meta"}).status, 3);  // every file missing
    EXPECT_FALSE(exists(workdir));
    EXPECT_EQ(slurp("meta"), indexof(names));
}

namespace {

// renumfiles and renumindex called in the test's own process, on an index
// whose files do not exist.
struct callrow {
    std::string name;
    std::vector<std::string> listed;
    bool update = false;
    int rc = RENUMFILES;
    std::string errs{};  // all the run says; with quiet, not asked for
    size_t records = 0;  // when set, the index lists this many records, each its new name
    bool gone = false;   // the working directory is removed before the run
    bool quiet = false;
    bool stopped = false;  // a stop asked for before the call
};

void PrintTo(const callrow& c, std::ostream* os) { *os << c.name; }

class RenumCall : public ScratchDir, public ::testing::WithParamInterface<callrow> {};

std::vector<callrow> callrows() {
    return {
        {.name = "MillionRecordsUpdate",
         .listed = {},
         .update = true,
         .records = 1000000,
         .quiet = true},
        // A stop before the journal is written changes nothing, and writes none.
        {.name = "StoppedBeforeThePlainJournal",
         .listed = {"a.msg", "b.msg"},
         .rc = RENUMSTOPPED,
         .stopped = true},
        {.name = "StoppedBeforeTheUpdateJournal",
         .listed = {"a.msg", "b.msg"},
         .update = true,
         .rc = RENUMSTOPPED,
         .stopped = true},
    };
}

}  // namespace

TEST_P(RenumCall, EndsAsDocumented) {
    const callrow& c = GetParam();
    std::string text = "/home/ann/mail\nann@example.org\n";
    const size_t n = c.records ? c.records : c.listed.size();
    for (size_t k = 0; k < n; k++)
        text.append(c.records ? numbered(k) : c.listed[k]).append("\nto\nfrom\nsubj\n\n\nN\n");
    text += "END\n";
    const std::string meta = dir + "/meta";
    spit(meta, text);
    llinit();
    ASSERT_EQ(readmeta(meta.c_str(), inlist), 1);
    char* said = nullptr;
    size_t saidsize = 0;
    FILE* errs = c.quiet ? nullptr : open_memstream(&said, &saidsize);
    renumopts opts{"msgseq", false, nullptr, errs};
    static volatile sig_atomic_t stop = 0;
    stop = c.stopped;
    opts.stop = &stop;
    renumstats stats{};
    const int rc = c.update ? renumindex(meta.c_str(), inlist, &opts, &stats)
                            : renumfiles(meta.c_str(), inlist, &opts, false, &stats);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    if (errs) fclose(errs);
    EXPECT_EQ(rc, c.rc);
    EXPECT_EQ(said ? std::string(said) : "", c.errs);
    free(said);
    EXPECT_EQ(stats.missing, c.rc == RENUMFILES ? static_cast<int>(n) : 0);
    EXPECT_EQ(slurp(meta), text);
    EXPECT_FALSE(exists(meta + ".msgseq-update"));
}

INSTANTIATE_TEST_SUITE_P(Calls, RenumCall, ::testing::ValuesIn(callrows()),
                         [](const ::testing::TestParamInfo<callrow>& info) {
                             return info.param.name;
                         });

namespace {

// A journal written for these names, inodes, times and directory reads back
// as written; the same text changed as corrupt reads as bad, never as none
// or as a shorter journal. An update's journal is written with inodes
// alone, as a plain run's is; one the release before wrote, with each file's
// size and time, is read back with them.
struct journalrow {
    std::string name;
    std::vector<std::string> names;
    bool update = true;        // an update's journal, in the form with sizes and times
    ino_t ino = 0;             // each record's inode
    int64_t sec = 0;           // each file's time
    std::string from{}, to{};  // the journal's text changed so: bad
};

// The journal of an update as the release before wrote it: each record's
// inode, size and time, the sum of its fields, 0 and its name.
std::string timedjournal(const renumrun& r, const std::vector<std::string>& names) {
    std::string t = "msgseq update journal 4\nrun update\ndir " + std::to_string(r.here.dev) +
                    " " + std::to_string(r.here.ino) + "\nrecords " +
                    std::to_string(names.size()) + "\n";
    for (size_t k = 0; k < names.size(); k++) {
        struct stat st {};
        EXPECT_EQ(lstat(names[k].c_str(), &st), 0);
        char sum[17];
        snprintf(sum, sizeof sum, "%016jx",
                 uintmax_t(renumfieldsum(r.recs[k], r.recs[k].read)));
        char nsec[16];
        snprintf(nsec, sizeof nsec, "%09ld", long(st.st_mtim.tv_nsec));
        t += std::to_string(r.ino[k]) + " " + std::to_string(st.st_size) + " " +
             std::to_string(st.st_mtim.tv_sec) + "." + nsec + " " + sum + " 0 " + names[k] + "\n";
    }
    return t;
}

void PrintTo(const journalrow& j, std::ostream* os) { *os << j.name; }

class JournalRoundTrip : public ScratchDir, public ::testing::WithParamInterface<journalrow> {};

}  // namespace

TEST_P(JournalRoundTrip, ReadsBackWhatItWrote) {
    const journalrow& j = GetParam();
    spit("meta", indexof(j.names));
    llinit();
    ASSERT_EQ(readmeta("meta", inlist), 1);
    renumrun r;
    r.update = j.update;
    r.here = {~dev_t{0}, ~ino_t{0}};
    for (const llnode* n = inlist->next; n; n = n->next) r.recs.push_back(renumrecof(n));
    r.state.assign(r.recs.size(), renumst::open);
    r.ino.assign(r.recs.size(), j.ino);
    for (const std::string& name : j.names) {
        spit(name, "x");
        const timespec t[2] = {{j.sec, 5}, {j.sec, 999999999}};
        ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), t, AT_SYMLINK_NOFOLLOW), 0);
    }
    ASSERT_TRUE(renumbegin(r, dir + "/w", {}));
    if (j.update) {
        // Written now with no size and time, and read back so.
        renumlog mine;
        ASSERT_EQ(renumreadjournal(dir + "/w", &mine), renumjournal::good) << slurp("w/journal");
        EXPECT_FALSE(mine.plain);
        ASSERT_EQ(mine.recs.size(), j.names.size());
        for (size_t k = 0; k < j.names.size(); k++)
            EXPECT_EQ(std::make_tuple(mine.recs[k].name, mine.recs[k].ino, mine.recs[k].timed),
                      std::make_tuple(j.names[k], r.ino[k], false));
        spit("w/journal", timedjournal(r, j.names));
    }
    if (!j.from.empty()) {
        std::string text = slurp("w/journal");
        ASSERT_NE(text.find(j.from), std::string::npos) << text;
        spit("w/journal", text.replace(text.rfind(j.from), j.from.size(), j.to));
    }
    renumlog log;
    const renumjournal got = renumreadjournal(dir + "/w", &log);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    ASSERT_EQ(got, j.from.empty() ? renumjournal::good : renumjournal::bad) << slurp("w/journal");
    if (!j.from.empty()) return;
    EXPECT_TRUE(log.plain != j.update && log.where == r.here);
    ASSERT_EQ(log.recs.size(), j.names.size());
    for (size_t k = 0; k < j.names.size(); k++) {
        const renumentry& e = log.recs[k];
        EXPECT_EQ(std::make_tuple(e.name, e.ino, e.timed, e.sec, e.nsec),
                  std::make_tuple(j.names[k], r.ino[k], j.update, j.update ? j.sec : 0,
                                  j.update ? 999999999L : 0L));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Journal, JournalRoundTrip,
    ::testing::ValuesIn(std::vector<journalrow>{
        {"BeforeNineteenSeventy", {"a.msg", "b c"}, true, 1, -86400 * 365 * 30},
        {"LargestInodeAndOddNames", {" - 0 1 ", "\r\x7f\xff", "-"}, false, ~ino_t{0}},
        {"SeparatorCorrupted", {"a.msg"}, true, 1, 7, "7.999999999 ", "7x999999999 "},
        {"LinesMissing", {"a.msg", "b.msg"}, true, 1, 7, "records 2\n", "records 3\n"},
        {"LinesBeyondItsCount", {"a.msg"}, true, 1, 7, "a.msg\n", "a.msg\nb.msg\n"},
        {"TimeOutOfRange", {"a.msg"}, true, 1, 7, "7.", "-9223372036854775809."},
        {"NoRunLine", {"a.msg"}, false, 1, 0, "run plain\n", ""},
    }),
    [](const ::testing::TestParamInfo<journalrow>& info) { return info.param.name; });

// A journal a rerun can't trust is never taken for none, nor for a shorter
// one: plain, -u and --abort all stop, and change nothing; renumfiles too,
// in-process, beside an update cut short.
TEST_F(Msgseq, UntrustedJournalStopsEveryRun) {
    for (const std::string what : {"loop", "directory", "short"}) {
        SCOPED_TRACE(what);
        for (const std::string& name : listing()) std::filesystem::remove_all(name);
        mailbox(usual, usual);
        ASSERT_EQ(runfsfault({"meta"}, {"FSFAULT_KILL=rename-from:a.msg"}).status, 128 + SIGKILL);
        const std::string j = workdir + "/journal", text = slurp(j);
        unlink(j.c_str());
        ASSERT_TRUE(what != "loop" || symlink("journal", j.c_str()) == 0);
        ASSERT_TRUE(what != "directory" || mkdir(j.c_str(), 0700) == 0);
        if (what == "short") spit(j, text.substr(0, text.rfind('\n', text.size() - 2) + 1));
        const files cut = ondisk();
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"meta"}, {"-u", "meta"}, {"--abort", "meta"}}) {
            const runresult r = msgseq(args);
            EXPECT_EQ(r.status, 2) << args[0];
            EXPECT_NE(r.err.find("cannot read the journal"), std::string::npos) << r.err;
            EXPECT_EQ(ondisk(), cut);
        }
    }
    for (const std::string& name : listing()) std::filesystem::remove_all(name);
    mailbox(usual, usual);
    ASSERT_EQ(runfsfault({"-u", "meta"}, {"FSFAULT_KILL=rename-from:a.msg"}).status, 128 + SIGKILL);
    const files cut = ondisk();
    llinit();
    ASSERT_EQ(readmeta("meta", inlist), 1);
    const renumopts opts{nullptr, false, nullptr, nullptr};
    EXPECT_EQ(renumfiles("meta", inlist, &opts, false, nullptr), RENUMINDEX);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    EXPECT_EQ(ondisk(), cut);
}

// Started with SIGHUP ignored (nohup), the run is not stopped by one.
TEST_F(Msgseq, IgnoredHangupStaysIgnored) {
    mailbox(usual, usual);
    const runresult r = run({"/bin/sh", "-c", "trap '' HUP; exec \"$0\" meta", MSGSEQ_PATH},
                            nullptr, fsfaultenv({"FSFAULT_SIGNAL=SIGHUP:rename-to:in000.msg"}));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), closed);
}

// Nothing to give up: said, and nothing changed.
TEST_F(Msgseq, AbortWithNothingToGiveUp) {
    mailbox(usual, usual);
    const runresult r = msgseq({"--abort", "meta"});
    EXPECT_EQ(r.err, "msgseq: no run of 'meta' was cut short; nothing to give up\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(ondisk(), untouched);
}
