// Which records a pick selects: fields matched by POSIX extended regular
// expressions, case ignored, the read flag, and the message's date against
// a day or two. Every criterion given must hold.
//
// The index's fields are UTF-8, so the expressions are compiled and run in
// a UTF-8 character type (C.UTF-8 where the system has it), set for this
// thread alone while they compile and match: case is then ignored for every
// letter ("müller" matches "MÜLLER") and '.' is one character, and nothing
// else the program prints (numbers, quoting, its messages) sees that
// locale. Where no UTF-8 locale is to be had, case is ignored for ASCII
// letters alone.
//
// Ownership: a pickcrit owns its compiled expressions and the locale they
// run in, and frees them when it goes (it can be moved, not copied).
// Nothing here keeps state between calls.
#ifndef MAILBOX_PICK_H
#define MAILBOX_PICK_H

#include <locale.h>  // NOLINT(modernize-deprecated-headers): newlocale and uselocale are POSIX, not C++
#include <regex.h>

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "mailbox/recview.h"

enum class pickfield { from, to, cc, subject };

struct pickre {
    pickfield field;
    bool utf8 = false;  // compiled in the pickcrit's UTF-8 locale, and run in it
    std::unique_ptr<regex_t, void (*)(regex_t*)> re{nullptr, nullptr};
};

struct pickloc {
    void operator()(locale_t l) const { freelocale(l); }
};

struct pickcrit {
    // The UTF-8 character type the expressions run in; null: the C locale.
    std::unique_ptr<std::remove_pointer_t<locale_t>, pickloc> utf8;
    bool utf8tried = false;
    std::vector<pickre> res;
    bool onlynew = false;
    bool since = false, before = false;  // a bound on the date is given
    int64_t from = 0, until = 0;         // since: date >= from; before: date < until
    bool dated() const { return since || before; }
};

// The locales tried, in turn, for the UTF-8 character type.
extern const char* const pickutf8[3];

// Adds the expression pattern on field: false, with *why set (the
// expression library's words), when it is no expression. ctype names the
// UTF-8 locale to take (null: the first of pickutf8 the system has); a
// pattern that is not UTF-8, or a system without the locale, is compiled in
// the C locale instead.
bool pickadd(pickcrit* c, pickfield field, const char* pattern, std::string* why,
             const char* ctype = nullptr);

// Whether record r meets every criterion. known: the message's date could
// be read (date then holds it); a record whose date is not known meets no
// bound on the date.
bool pickmatch(const pickcrit& c, const rvrec& r, bool known, int64_t date);

#endif
