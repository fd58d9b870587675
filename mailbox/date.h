// When a message was written: its Date: header read from the message file
// and turned into seconds since 1970 (UTC), and the dates a user gives on the
// command line. Mail as it really is: the date form of today's mail
// ("Tue, 8 Dec 2026 10:00:00 +0100"), the older forms readers still meet
// (no weekday, two-digit years, zone names such as GMT or EST, no seconds,
// comments, spaces around the colons) and the C library's "Tue Dec  8
// 10:00:00 2026" of some old mailers.
//
// Nothing here keeps memory, descriptors or state between calls.
#ifndef MAILBOX_DATE_H
#define MAILBOX_DATE_H

#include <cstdint>
#include <string_view>

// A Date: header's value as seconds since 1970-01-01 00:00 UTC; false when
// it is no date (a field out of range, a month that has no such day, text
// that is not a date). A zone that is not given or not known counts as UTC.
bool dateparse(std::string_view text, int64_t* out);

// Seconds since 1970 of the civil date and time y-m-d h:mi:s in UTC; false
// when the date has no such day or a field is out of range.
bool datecivil(int y, int m, int d, int h, int mi, int s, int64_t* out);

// The value of the first Date: header of the header block of the message
// file name (in the directory atfd, as openat takes it), opened without
// following a link or blocking (trustpeekmsg): 0 with *out set; 1 when the
// header block holds no Date: header or one that is no date; -1 when the
// file can't be opened or read, errno saying why (ELOOP for a link, EINVAL
// for anything but a regular file). The file is read in pieces only as far
// as the Date: header (and the lines folded into it) or the end of the
// header block, and never past its first 1 MiB; nothing is allocated unless
// that takes more than the first piece.
int dateofmsg(int atfd, const char* name, int64_t* out);

// A date given on the command line: YYYY-MM-DD (that day's first second,
// local time), YYYY-MM-DD HH:MM (local time), or a date as a Date: header
// writes it. false when it is none of these.
bool datearg(std::string_view text, int64_t* out);

// The time t as "YYYY-MM-DD HH:MM" in local time, into buf of at least 17
// bytes, terminated; "-" when it can't be shown.
void dateshow(int64_t t, char* buf, size_t size);

#endif
