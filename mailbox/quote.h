// Names as one line of output shows them, for every program and module that
// says something about a file: control bytes (a newline above all, which
// would start a line of its own) become '?'. Each call returns a string of
// its own, which the caller owns; nothing is kept between calls.
#ifndef MAILBOX_QUOTE_H
#define MAILBOX_QUOTE_H

#include <string>
#include <string_view>

// name with every byte below 0x20 and DEL as '?'.
std::string quoteshown(std::string_view name);

// quoteshown(name) in single quotes, as lines name files: 'in000.msg'.
std::string quotename(std::string_view name);

#endif
