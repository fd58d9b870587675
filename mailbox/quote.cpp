// Names as one line shows them (mailbox/quote.h).
#include "mailbox/quote.h"

#include <algorithm>

std::string quoteshown(std::string_view name) {
    std::string out(name);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    return out;
}

// Built by character: GCC 12 at -O3 misreads a literal prepended to a string.
std::string quotename(std::string_view name) {
    std::string q(1, '\'');
    q += quoteshown(name);
    q += '\'';
    return q;
}
