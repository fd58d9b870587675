// A message file's own headers, read and decoded into the fields of an index
// record (to, from, subject, cc, bcc and the read flag). The only part of the
// project that links GMime: the core library stays on the standard library
// and POSIX.
#ifndef MAILBOX_HEADERS_MSGHDR_H
#define MAILBOX_HEADERS_MSGHDR_H

#endif
