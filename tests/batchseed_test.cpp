// Imports a batch at a time: where a batch ends (its count and its bytes),
// what a failed batch stops, what a run cut short finds changed meanwhile
// (the index, the ledger, a message's name), the ledger read back on the
// next run, and batch journals not in the form the import writes.
#ifdef MAILBOX_PATH
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "boxfixture.h"
#include "testutil.h"

namespace {

namespace fs = std::filesystem;
using args = std::vector<std::string>;

const std::string lunch = "From: Bob <bob@example.org>\nSubject: Lunch\n\nFriday?\n";
const std::string empty = metafile({});
const std::string other = "in009.msg\nto\nfrom\nsubj\n\n\nN\n";  // a record another program added

// n messages "Subject: from..from+n-1", each "Subject: k\n\n" once taken in.
std::string mboxof(int n, int from = 0) {
    std::string s;
    for (int k = from; k < from + n; k++)
        s += "From a@x Thu Jan  1 00:00:00 1970\nSubject: " + std::to_string(k) + "\n\n\n";
    return s;
}

class BatchSeed : public BoxDir {
protected:
    static runresult tool(args a, const std::vector<std::string>& faults = {}) {
        a.insert(a.begin(), MAILBOX_PATH);
        return run(a, nullptr, faults.empty() ? std::vector<std::string>{} : fsfaultenv(faults),
                   runhow{.timeout = 120});
    }
    // The bytes of every message file, each name once.
    static std::multiset<std::string> messages() {
        std::multiset<std::string> out;
        for (const auto& n : listing("."))
            if (n.starts_with("in")) out.insert(slurp(n));
        return out;
    }
    static std::map<std::string, std::string> files() {
        std::map<std::string, std::string> out;
        for (const auto& n : listing(".")) out[n] = slurp(n);
        return out;
    }
};

// A batch that fails stops the import there: the batches before it stay,
// nothing after it is taken, from an mbox, from a Maildir or from the next
// source; run again, the rest comes in, each message once.
TEST_F(BatchSeed, FailedBatchStopsTheImport) {
    struct row {
        const char* name;
        bool maildir;
        const char* fault;
        size_t kept;
    };
    for (const row& r : {row{"MboxSecondBatch", false, "rename-to:in256.msg:EIO:1", 256},
                         row{"MboxFirstBatch", false, "rename-to:in001.msg:EIO:1", 0},
                         row{"MaildirFirstBatch", true, "rename-to:in001.msg:EIO:1", 0}}) {
        SCOPED_TRACE(r.name);
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        fs::remove_all("../src");
        fs::create_directories("../src/md/new");
        fs::create_directories("../src/md/cur");
        if (r.maildir)
            for (int k = 0; k < 300; k++)
                spit("../src/md/new/" + std::to_string(1000 + k) + ".x",
                     "Subject: " + std::to_string(k) + "\n\n");
        else
            spit("../src/a.mbox", mboxof(300));
        spit("../src/b", lunch);
        const args imp = {"import", "meta", r.maildir ? "../src/md" : "../src/a.mbox", "../src/b"};
        spit("meta", empty);
        const runresult got = tool(imp, {"FSFAULT_FAIL=" + std::string(r.fault)});
        EXPECT_EQ(got.status, 2) << got.err;
        EXPECT_EQ(messages().size(), r.kept) << got.err;
        EXPECT_FALSE(exists("in" + std::to_string(r.kept) + ".msg"));
        const runresult again = tool(imp);
        EXPECT_EQ(again.status, 0) << again.err;
        const auto all = messages();
        EXPECT_EQ(all.size(), 301u);
        EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), 301u);
        EXPECT_EQ(all.count(lunch), 1u);
    }
}

// A batch ends at its bytes too: a fault in the message after the first
// 32 MiB takes only that batch.
TEST_F(BatchSeed, BatchEndsAtItsBytes) {
    const std::string big = "Subject: big\n\n" + times(17 << 16, "0123456789abcde\n");  // 17 MiB
    for (const char* n : {"../src/a", "../src/b", "../src/c"}) spit(n, big + n + "\n");
    spit("meta", empty);
    const runresult got = tool({"import", "meta", "../src/a", "../src/b", "../src/c"},
                               {"FSFAULT_FAIL=rename-to:in002.msg:EIO:1"});
    EXPECT_EQ(got.status, 2) << got.err;
    EXPECT_EQ(listing("."), (std::set<std::string>{".meta.mailbox-import", "in000.msg", "in001.msg", "meta"}));
}

// Cut short in a later batch, an import is finished by the next command
// and run again takes each message once.
TEST_F(BatchSeed, CutInALaterBatchIsFinished) {
    spit("../src/a.mbox", mboxof(300));
    spit("meta", empty);
    const args imp = {"import", "meta", "../src/a.mbox"};
    ASSERT_EQ(tool(imp, {"FSFAULT_KILL=rename-to:in257.msg"}).status, 128 + SIGKILL);
    const runresult l = tool({"list", "meta", "--format=%file"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(std::count(l.out.begin(), l.out.end(), '\n'), 300);
    EXPECT_EQ(tool(imp).status, 0);
    EXPECT_EQ(messages().size(), 300u);
}

// An import cut short, then the index changed by hand before the next
// command finishes it: records another program put in stay, and in an
// index that is not the one the batch went into the records go after its own.
TEST_F(BatchSeed, CutThenIndexChanged) {
    struct row {
        const char* name;
        const char* kill;
        std::function<void()> change;
        std::vector<std::string> listed;  // the files `list` names after
        bool untouched;                   // the index as changed, byte for byte
    };
    const auto addother = [] {
        std::string s = slurp("meta");
        spit("meta", s.insert(s.size() - 4, other));
        spit("in009.msg", "Subject: other\n\n");
    };
    // Another index, whose bytes at the old END are no record's start.
    const std::string bobs = metafile({{"in009.msg", "to", "from", "subj", "", "", "N"}}, "/home/bobby/mail");
    for (const row& r :
         {row{"AfterTheRecords", "fsync:meta", addother, {"in000.msg", "in001.msg", "in009.msg"}, true},
          row{"BeforeTheRecords", "rename-to:in001.msg", addother,
              {"in000.msg", "in001.msg", "in009.msg"}, false},
          row{"AnotherIndex", "fsync:meta", [&] { spit("meta", bobs); },
              {"in009.msg", "in000.msg", "in001.msg"}, false}}) {
        SCOPED_TRACE(r.name);
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("../src/a.mbox", mboxof(2));
        spit("meta", empty);
        ASSERT_EQ(tool({"import", "meta", "../src/a.mbox"}, {"FSFAULT_KILL=" + std::string(r.kill)}).status,
                  128 + SIGKILL);
        r.change();
        const std::string changed = slurp("meta");
        const runresult l = tool({"list", "meta", "--format=%file"});
        EXPECT_EQ(l.status, 0) << l.err;
        std::string want;
        for (const auto& n : r.listed) want += n + "\n";
        EXPECT_EQ(l.out, want) << l.err;
        if (r.untouched) {
            EXPECT_EQ(slurp("meta"), changed);
        }
        EXPECT_FALSE(exists(".meta.mailbox-append"));
    }
}

// The ledger changed when a cut import is finished: another user's is
// not written, the journal stays; one cut shorter than where the batch's
// lines go gets them after its last whole line; one removed is begun anew.
TEST_F(BatchSeed, CutThenLedgerChanged) {
    for (const std::string how : {"others", "shorter", "removed"}) {
        SCOPED_TRACE(how);
        if (how == "others" && geteuid() != 0) continue;
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("../src/a.mbox", mboxof(2));
        spit("../src/b", lunch);
        spit("meta", empty);
        ASSERT_EQ(tool({"import", "meta", "../src/b"}).status, 0);
        const args imp = {"import", "meta", "../src/a.mbox"};
        ASSERT_EQ(tool(imp, {"FSFAULT_KILL=fsync:meta"}).status, 128 + SIGKILL);
        if (how == "others")
            ASSERT_EQ(chown(".meta.mailbox-import", 65533, 65533), 0);
        else if (how == "shorter")
            ASSERT_EQ(truncate(".meta.mailbox-import", 30), 0);  // into b's line
        else
            ASSERT_EQ(unlink(".meta.mailbox-import"), 0);  // to take b's messages again
        const std::string ledger = slurp(".meta.mailbox-import");
        const runresult l = tool({"list", "meta"});
        if (how == "others") {
            EXPECT_NE(l.status, 0) << l.err;
            EXPECT_NE(l.err.find("the journal kept"), std::string::npos) << l.err;
            EXPECT_EQ(slurp(".meta.mailbox-import"), ledger);
            EXPECT_TRUE(exists(".meta.mailbox-append"));
            continue;
        }
        EXPECT_EQ(l.status, 0) << l.err;
        const runresult again = tool(imp);
        EXPECT_EQ(again.status, 0) << again.err;
        EXPECT_EQ(again.out, "imported 0 messages into 'meta'\n");
        EXPECT_EQ(messages().size(), 3u);
        EXPECT_EQ(tool({"import", "meta", "../src/b"}).status, 0);  // b's line gone or kept, read
    }
}

// Killed while staging, before a journal: the next command leaves no
// staged file behind.
TEST_F(BatchSeed, CutWhileStagingLeavesNothingAside) {
    spit("../src/a.mbox", mboxof(3));
    spit("meta", empty);
    ASSERT_EQ(tool({"import", "meta", "../src/a.mbox"}, {"FSFAULT_KILL=create:.mailbox-import-1.tmp"}).status,
              128 + SIGKILL);
    ASSERT_TRUE(exists(".mailbox-import-1.tmp"));
    EXPECT_EQ(tool({"list", "meta"}).status, 0);
    EXPECT_EQ(listing("."), (std::set<std::string>{".meta.mailbox-import", "meta"}));
}

// Cut short with the journal written and no message moved yet, then a
// message's name taken by another file: that file stays, the message comes
// in on the next run.
TEST_F(BatchSeed, CutThenNameTaken) {
    spit("../src/a.mbox", mboxof(2));
    spit("meta", empty);
    const args imp = {"import", "meta", "../src/a.mbox"};
    ASSERT_EQ(tool(imp, {"FSFAULT_KILL=rename-to:.meta.mailbox-append"}).status, 128 + SIGKILL);
    ASSERT_FALSE(exists("in000.msg"));
    spit("in000.msg", "Subject: planted\n\n");
    const runresult l = tool({"list", "meta", "--format=%file"});
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_EQ(l.out, "in001.msg\n");
    EXPECT_EQ(tool(imp).status, 0);
    EXPECT_EQ(messages(), (std::multiset<std::string>{"Subject: 0\n\n", "Subject: 1\n\n",
                                                      "Subject: planted\n\n"}));
}

// The finish of a cut import whose sync fails (before the ledger and
// the journal's removal, or the removal's own) says so.
TEST_F(BatchSeed, FinishWhoseSyncFailsSaysSo) {
    for (const char* fault : {"fsync:.:EIO:1", "fsync:.:EIO:2"}) {
        SCOPED_TRACE(fault);
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("../src/a.mbox", mboxof(2));
        spit("meta", empty);
        const args imp = {"import", "meta", "../src/a.mbox"};
        ASSERT_EQ(tool(imp, {"FSFAULT_KILL=rename-to:.meta.mailbox-append"}).status, 128 + SIGKILL);
        const runresult l = tool({"list", "meta"}, {"FSFAULT_FAIL=" + std::string(fault)});
        EXPECT_NE(l.status, 0) << l.err;
        EXPECT_NE(l.err.find("cannot finish an import"), std::string::npos) << l.err;
        EXPECT_EQ(tool(imp).status, 0);
        EXPECT_EQ(messages().size(), 2u);
    }
}

// A batch taken back takes out only what it moved in: a file another
// writer put under one of its names meanwhile stays.
TEST_F(BatchSeed, TakenBackLeavesOthersFiles) {
    spit("../src/a.mbox", mboxof(3));
    spit("meta", empty);
    const runresult got = run(
        {"/bin/sh", "-c",
         "\"$0\" import meta ../src/a.mbox & pid=$!\n"
         "until grep -q '^State:.*stopped' /proc/$pid/status || ! kill -0 $pid; do sleep 0.05; done\n"
         "printf 'Subject: other\\n\\n' > in002.msg; kill -CONT $pid; wait $pid",
         MAILBOX_PATH},
        nullptr,
        fsfaultenv({"FSFAULT_SIGNAL=STOP:rename-to:in000.msg", "FSFAULT_FAIL=rename-to:in001.msg:EIO"}));
    EXPECT_EQ(got.status, 2) << got.err;
    EXPECT_NE(got.err.find("nothing of this batch kept"), std::string::npos) << got.err;
    EXPECT_EQ(slurp("meta"), empty);
    EXPECT_EQ(messages(), std::multiset<std::string>{"Subject: other\n\n"});
}

// The last name there is is given.
TEST_F(BatchSeed, LastFreeName) {
    spit("meta", plainindex({"in999998.msg"}));
    spit("in999998.msg", "x");
    spit("../src/b", lunch);
    const runresult got = tool({"import", "meta", "../src/b"});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(slurp("in999999.msg"), lunch);
}

// Root importing into a user's mailbox, in the user's directory or in a
// spool directory of root's own, leaves the messages the index owner's.
TEST_F(BatchSeed, ImportAsRootLeavesTheOwnersFiles) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ASSERT_EQ(chmod("..", 0755), 0);
    ASSERT_EQ(chmod("../src", 0755), 0);
    spit("../src/a.mbox", mboxof(2));
    for (const bool spool : {false, true}) {
        SCOPED_TRACE(spool ? "root's spool" : "the user's directory");
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("meta", empty);
        ASSERT_EQ(chown(".", spool ? 0 : 65534, spool ? 0 : 65534), 0);
        ASSERT_EQ(chown("meta", 65534, 65534), 0);
        const runresult got = tool({"import", "meta", "../src/a.mbox"});
        ASSERT_EQ(got.status, 0) << got.err;
        for (const char* n : {"in000.msg", "in001.msg", "meta"}) {
            struct stat st;
            ASSERT_EQ(lstat(n, &st), 0) << n;
            EXPECT_EQ(st.st_uid, 65534u) << n;
        }
    }
}

// An earlier release's count of other sources says nothing of these.
TEST_F(BatchSeed, EarlierCountOfOtherSourcesIgnored) {
    spit("../src/a.mbox", mboxof(2));
    spit("meta", empty);
    const std::string id = "mbox 1 2 3 4.5 ../src/elsewhere\n";
    spit(".meta.mailbox-import",
         "mailbox-import 1\ndone 2\nsources " + std::to_string(id.size()) + "\n" + id);
    const runresult got = tool({"import", "meta", "../src/a.mbox"});
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(messages().size(), 2u);
}

// A batch journal not in the form the import writes is refused, nothing
// touched: a name or an aside out of this directory, a record of another
// file or of more than a record's lines, a name twice, bytes after the last
// record, an aside name that is no staged file's.
TEST_F(BatchSeed, PlantedBatchJournalRefused) {
    const auto msg = [](const std::string& aside, const std::string& name, std::string rec = "") {
        if (rec.empty()) rec = name + "\n\n\n\n\n\nN\n";
        return aside + " " + name + " 1 1 1 1 1 1 " + std::to_string(rec.size()) + "\n" + rec;
    };
    const auto jour = [](size_t n, const std::string& body) {
        return "mailbox-append 2\nindex 1 1\nend 30\ntail 0 0\nledger 0\ncount " + std::to_string(n) +
               "\n" + body;
    };
    const std::string zero = ".mailbox-import-0.tmp";
    for (const auto& [name, text, refused] :
         {// As the import writes one: finished, its message left out.
          std::tuple{"AsWritten", jour(1, msg(zero, "in001.msg")), false},
          std::tuple{"NameElsewhere", jour(1, msg(zero, "../x")), true},
          std::tuple{"AsideElsewhere", jour(1, msg("../src/j", "in001.msg")), true},
          std::tuple{"RecordOfAnother", jour(1, msg(zero, "in001.msg", "in002.msg\n\n\n\n\n\nN\n")), true},
          std::tuple{"MoreThanARecord",
                     jour(1, msg(zero, "in001.msg", "in001.msg\n\n\n\n\n\nN\nEND\nin9\n")), true},
          std::tuple{"NameTwice",
                     jour(2, msg(zero, "in001.msg") + msg(".mailbox-import-1.tmp", "in001.msg")), true},
          std::tuple{"BytesAfter", jour(1, msg(zero, "in001.msg") + "x"), true},
          std::tuple{"AsideNotStaged", jour(1, msg(".mailbox-import-x.tmp", "in001.msg")), true}}) {
        SCOPED_TRACE(name);
        for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
        spit("meta", plainindex({"in000.msg"}));
        // Files of its messages here, or it would wait for the right directory.
        for (const char* n : {"in000.msg", "in001.msg", ".mailbox-import-0.tmp",
                              ".mailbox-import-1.tmp", ".mailbox-import-x.tmp"})
            spit(n, "x");
        spit(".meta.mailbox-append", text);
        const auto before = files();
        const runresult l = tool({"list", "meta"});
        EXPECT_EQ(l.status, refused ? 2 : 0) << l.err;
        if (refused) {
            EXPECT_EQ(files(), before);
        } else {
            EXPECT_FALSE(exists(".meta.mailbox-append"));
        }
    }
}

}  // namespace
#endif
