// Which records a pick selects: fields matched by POSIX extended regular
// expressions, case ignored, the read flag, and the message's date against
// a day or two. Every criterion given must hold.
//
// Ownership: a pickcrit owns its compiled expressions and frees them when it
// goes (it can be moved, not copied). Nothing here keeps state between calls.
#ifndef MAILBOX_PICK_H
#define MAILBOX_PICK_H

#include <regex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "mailbox/recview.h"

enum class pickfield { from, to, cc, subject };

struct pickre {
    pickfield field;
    std::unique_ptr<regex_t, void (*)(regex_t*)> re{nullptr, nullptr};
};

struct pickcrit {
    std::vector<pickre> res;
    bool onlynew = false;
    bool since = false, before = false;  // a bound on the date is given
    int64_t from = 0, until = 0;         // since: date >= from; before: date < until
    bool dated() const { return since || before; }
};

// Adds the expression pattern on field: false, with *why set (the
// expression library's words), when it is no expression.
bool pickadd(pickcrit* c, pickfield field, const char* pattern, std::string* why);

// Whether record r meets every criterion. known: the message's date could
// be read (date then holds it); a record whose date is not known meets no
// bound on the date.
bool pickmatch(const pickcrit& c, const rvrec& r, bool known, int64_t date);

#endif
