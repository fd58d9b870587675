// The index against the directory it lists message files in: records whose
// file is gone, files no record lists, names listed twice, fields over their
// byte limit, runs cut short, and the lines that keep the index from being
// written back as it is.
//
// Everything found is handed back in a chkreport the caller owns (plain
// strings and vectors); nothing here keeps memory, descriptors or state
// between calls, and nothing on disk is changed.
#ifndef MAILBOX_CHECK_H
#define MAILBOX_CHECK_H

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

#include "mailbox/ll.h"

enum class chkkind { missing, unlisted, twice, toolong, unfinished, index };
constexpr int CHKKINDS = 6;

// One problem. Which of the numbers mean anything depends on the kind.
struct chkitem {
    chkkind kind;
    int no = 0;                  // the record (missing, twice: the first; too long: 0 for the
                                 // owner's address); the line (index); unfinished: 1 an update
                                 // by msgseq -u, 2 a delete, 3 a plain run's journal, 0 a
                                 // file a plain run set aside (name: its file)
    std::string name;            // the file's name; the field's (too long); the reason (index)
    int len = 0, limit = 0;      // too long: the field's bytes and the most it may hold
    std::vector<int> also = {};  // twice: the other records listing name
};

struct chkreport {
    std::vector<chkitem> items;  // in kind order, then record or name order
    int counts[CHKKINDS] = {};
    int records = 0;  // the records loaded
    // The index lists the names a plain msgseq run has since changed (its
    // receipt says so, which the caller reads): one more problem, which
    // the caller says in its own line.
    bool stale = false;
};

// Compares two message file names as a person would: runs of digits by their
// value, so that in999.msg comes before in1000.msg. Negative, zero, positive.
int chknamecmp(std::string_view a, std::string_view b);

// The regular files of the working directory that a mailbox may hold as
// messages: no dot files, and not the index fname or its kept copies
// ("<fname>.old"), whichever directory they are in. In chknamecmp order.
std::vector<std::string> chkfiles(const char* fname);

// Checks the index fname, of which itemlist holds what loaded (all of it, or
// the records before the line where loading stopped), against the working
// directory. false, with errno set, when the directory can't be read; the
// report then holds what was found before.
bool chkindex(const char* fname, const llnode* itemlist, chkreport* out);

// The line that says an item, kind first, without its newline.
std::string chkline(const chkitem& item);
// The totals line, without its newline; a stale index counts as a problem,
// named last ("1 stale") only then.
std::string chktotals(const chkreport& report);

#endif
