// The lines that list and pick print, one a record: the default columns
// (number, read flag, from, subject, separated by tabs) or a format of the
// user's, fields by name:
//
//   %n        the record's number, as delete takes it
//   %flag     R read, N new
//   %file     the message file's name
//   %from %to %cc %bcc %subject   the index's fields
//   %date     the message's Date: header, YYYY-MM-DD HH:MM local time ("-"
//             when it has none); the only field read from the message file
//   %{name}   any of these, where letters follow
//   %%        a percent sign; \t a tab; \n a newline; \\ a backslash
//
// Every other character stands as it is; each line ends in a newline. A
// control character in a field is shown as '?', so that a line is one line.
//
// Ownership: a colformat is plain data the caller owns. Nothing here keeps
// memory or state between calls.
#ifndef MAILBOX_COLUMNS_H
#define MAILBOX_COLUMNS_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/recview.h"

enum class colfield { text, no, flag, file, from, to, cc, bcc, subject, date };

struct colitem {
    colfield field;
    std::string text;  // colfield::text: the characters that stand as they are
};

struct colformat {
    std::vector<colitem> items;
    bool dated = false;  // some field is %date: each message file is read
};

// The default columns: "%n\t%flag\t%from\t%subject".
colformat coldefault();

// A format of the user's: false, with *why set, when it names a field that
// is none (any header but these, such as %{message-id}: the index holds no
// other; *why quotes it as written and names the fields there are), or ends
// inside a %{...} or after a lone '%' or '\'.
bool colparse(std::string_view format, colformat* out, std::string* why);

// Appends the line of record r to *out; date is its message's date (seconds
// since 1970), known when dated is set.
void colline(const colformat& f, const rvrec& r, bool dated, int64_t date, std::string* out);

#endif
