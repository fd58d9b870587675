// A message file's own headers, read and decoded into the fields of an index
// record (to, from, subject, cc, bcc and the read flag). The only part of the
// project that uses GMime (loaded for the names of character sets that iconv
// does not know; iconv converts):
// the core library stays on the standard library and POSIX. Everything
// handed back is owned by the caller's msghdr.
#ifndef MAILBOX_HEADERS_MSGHDR_H
#define MAILBOX_HEADERS_MSGHDR_H

#include <string>
#include <string_view>

struct msghdr {
    // UTF-8, folded lines unfolded, encoded words decoded; empty when the
    // header is absent. Not cut to the index's field limits: the caller cuts.
    // Each is one line: control characters (NUL, tab, CR, LF) become spaces.
    // The Subject is the first Subject header's. An
    // address field reads as a user would: every address of every header of
    // that name, its name decoded, joined by ", " ("Ivan Petrov
    // <ivan@example.org>, bob@example.org"); a header in which no address can
    // be found is kept as its decoded text.
    std::string to, from, subject, cc, bcc;
    bool read = false;  // a Status: header holding R
};

// Reads the header block alone (the lines up to the first empty one, or up
// to the first that neither starts nor continues a header), and of a longer
// one its first 1 MiB. 0: *out holds the message's fields. 1: the file is not
// a message (no header line at its top, past a byte-order mark and an mbox
// "From " line); *out is cleared. -1: it could not
// be opened or read, errno says why: ELOOP for a symbolic link, EINVAL for
// anything but a regular file (a FIFO, a device, a directory), which is
// never followed or read (trustopenmsg, mailbox/trust.h).
int msghdrread(const char* path, msghdr* out);

// The same from fd, a message file opened for reading at its start (by
// trustopenmsg, whose fstat the caller may want first); fd stays open.
int msghdrreadfd(int fd, msghdr* out);

// The same from a message's bytes in memory (0 or 1).
int msghdrparse(std::string_view message, msghdr* out);

#endif
