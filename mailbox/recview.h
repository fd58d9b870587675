// The index's records seen in place, in the bytes of the index as one read
// took them, without a list: what the commands that only look (list, show,
// pick) need of 100,000 records in a few milliseconds, and what the commands
// that only reorder records or change read flags (sort, mark) write back,
// every other byte as it was.
//
// Ownership: an rvindex owns the index's text; its records' fields point into
// it and live as long as it does (moving the rvindex keeps them valid).
// Nothing here keeps memory or state between calls.
#ifndef MAILBOX_RECVIEW_H
#define MAILBOX_RECVIEW_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

struct rvrec {
    std::string_view name, to, from, subject, cc, bcc, flag;  // each line, whole, newline dropped
    size_t at = 0, len = 0;                                   // its seven lines in the text
    int no = 0;                                               // 1..n in index order
    bool read() const { return !flag.empty() && flag[0] == 'R'; }
};

struct rvindex {
    std::string text;
    std::vector<rvrec> recs;
    size_t head = 0;  // bytes of the two owner lines
    size_t end = 0;   // where the END line starts
};

// The records of an index's text, split as the metafile reader splits it
// (one line a field, ended by LF): true when the text holds the two owner
// lines and whole records up to a line END. The caller has checked that the
// index loads whole (metachk); text after END is the caller's to refuse.
bool rvparse(std::string text, rvindex* out);

// A field as the metafile reader loads it into a record of size bytes (its
// terminator included): cut at a whole UTF-8 character when the line is
// valid UTF-8, else at size - 1 bytes, and ended by a NUL byte in it.
std::string_view rvfield(std::string_view line, size_t size);

// The index's text with its records in the order given (record numbers from
// 1, each once, all of them), every byte of each record as it was.
std::string rvreorder(const rvindex& idx, const std::vector<int>& order);

// The index's text with the read flag of each record in nos set to read
// (R) or new (N); a record already so keeps its line as it is.
std::string rvmark(const rvindex& idx, const std::vector<int>& nos, bool read);

#endif
