// The order a sort gives the index's records: by the message's date (its
// Date: header), by from, by subject (its "Re:" and "Fwd:" prefixes set
// aside, so that a thread stays together) or by the message file's size.
// Case is ignored in from and subject. The sort is stable: records of equal
// keys keep their order in the index, reversed or not; a record whose key
// can't be had (no Date: header, no file) sorts first, or last reversed.
//
// Nothing here keeps memory or state between calls; what is handed back is
// the caller's.
#ifndef MAILBOX_ORDER_H
#define MAILBOX_ORDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "mailbox/recview.h"

enum class ordby { date, from, subject, size };

struct ordkey {
    bool known = false;
    int64_t num = 0;   // date, size
    std::string text;  // from, subject: as compared
};

// A subject as the sort compares it: its leading "Re:", "Fw:", "Fwd:"
// (any case, any number of them, "Re[2]:" too) gone, the rest in lower case.
std::string ordsubject(std::string_view subject);

// The key of each record of idx, in index order; date and size read from
// the message files in the directory atfd (never through a link, never
// blocking on a FIFO).
std::vector<ordkey> ordkeys(const rvindex& idx, ordby by, int atfd);

// The record numbers (from 1) in their new order.
std::vector<int> ordsort(const std::vector<ordkey>& keys, bool reverse);

#endif
