# One-line faults in the bounds that keep a file's size from sizing memory:
# the whole-file read, the receipt's sum, the journal's read, the undo's
# check of the index and the mailbox tool's index read.
M = [
    # durreadfd
    ("dr-no-size-bound", "if (static_cast<uintmax_t>(st.st_size) > DURREADMAX) return toolarge(out);",
     "", "a terabyte's size trusted: memory sized by it"),
    ("dr-bound-off", "if (static_cast<uintmax_t>(st.st_size) > DURREADMAX) return toolarge(out);",
     "if (static_cast<uintmax_t>(st.st_size) > DURREADMAX * 512) return toolarge(out);",
     "the bound far past any memory"),
    ("dr-no-errno", "    errno = EFBIG;\n    return false;\n}\n\nstruct fdcloser",
     "    return false;\n}\n\nstruct fdcloser", "a refused file said with a stale errno"),
    ("dr-toolarge-true", "    errno = EFBIG;\n    return false;\n}\n\nstruct fdcloser",
     "    errno = EFBIG;\n    return true;\n}\n\nstruct fdcloser", "a refused file taken as read, empty"),
    ("dr-max-small", "inline constexpr size_t DURREADMAX = size_t{1} << 32;",
     "inline constexpr size_t DURREADMAX = size_t{1} << 8;", "a bound of 256 bytes: real files refused"),
    # rcptsumindex
    ("rs-no-size-bound", "    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||\n        static_cast<uintmax_t>(st.st_size) > DURREADMAX) {",
     "    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {", "a terabyte index read through for its sum"),
    ("rs-unknown-kept", "    if (n < 0 || total > DURREADMAX) return out;", "    if (n < 0) return out;",
     "an index cut off at the bound summed as if whole"),
    # renumreadjournal
    ("rj-read-ignored", "    if (!durreadfd(fd.fd, &text)) return renumjournal::bad;", "    durreadfd(fd.fd, &text);",
     "an unreadable journal taken as empty"),
    # renumundo
    ("ru-unread-passes", "    if (!read || !expect.known) {", "    if (!expect.known) {",
     "an unreadable index checked as if read"),
    ("ru-unsummed-passes", "    if (!read || !expect.known) {", "    if (!read) {",
     "a receipt with no sum taken as matching"),
    ("ru-not-counted", "                 read ? \"the run could not sum it\" : trustwhy(errno));\n        said++;",
     "                 read ? \"the run could not sum it\" : trustwhy(errno));",
     "the unchecked index said, the undo still done"),
    ("ru-why-swapped", "read ? \"the run could not sum it\" : trustwhy(errno)",
     "read ? trustwhy(errno) : \"the run could not sum it\"", "the two reasons swapped"),
    ("ru-kept-bare", "if (!durreadfd(fd.fd, text)) return std::string(\"can't be read: \") + strerror(errno);",
     "if (!durreadfd(fd.fd, text)) return strerror(errno);", "the kept index's read failure said bare"),
    # mailbox readwhole / pastend
    ("rw-no-end-stop", "    while (ok && end == std::string::npos) {", "    while (ok) {",
     "the index read to its end past END"),
    ("rw-first-whole", "    if (ok) out->resize(std::min(static_cast<size_t>(st.st_size), first) + 1);",
     "    if (ok) out->resize(static_cast<size_t>(st.st_size) + 1);", "the first buffer sized by the file"),
    ("rw-cut-at-have", "    out->resize(end == std::string::npos ? have : end);", "    out->resize(have);",
     "text after END kept in what the views see"),
    ("pe-any-end", "        if (*line >= 2 && (*line - 2) % 7 == 0 && got == \"END\") return *at;",
     "        if (got == \"END\") return *at;", "a field reading END taken as the index's end"),
    ("pe-line-stuck", "    for (size_t nl; (nl = text.find('\\n', *at)) != std::string_view::npos; ++*line) {",
     "    for (size_t nl; (nl = text.find('\\n', *at)) != std::string_view::npos;) {",
     "lines never counted: END never found"),
    ("pe-off-one", "        if (*line >= 2 && (*line - 2) % 7 == 0 && got == \"END\") return *at;",
     "        if (*line >= 2 && (*line - 2) % 7 == 0 && got == \"END\") return *at - 1;",
     "the END line's newline left out"),
    # the mailbox tool's message read
    ("rf-no-size-bound", "if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uintmax_t>(st.st_size) > DURREADMAX) {",
     "if (false) {", "a terabyte message read into memory"),
    ("rf-no-errno", "        errno = EFBIG;\n        return false;\n    }\n    char buf[65536];",
     "        return false;\n    }\n    char buf[65536];", "a refused message said with a stale errno"),
]
