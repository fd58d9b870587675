// mbox files: many messages in one file, each after a "From " line, read
// and written so that a message makes the round trip byte for byte. Lines
// of a body that begin with "From " or with '>'s and "From " are quoted with
// one more '>' when written, and one '>' is taken off when read (the
// quoting that undoes itself); every message is followed by one line feed
// of its own, taken off when read, so that a message without a final
// newline comes back without one. Line ends are kept as they are: a file
// written with CR-LF gives messages with CR-LF (the CR-LF before each
// "From " line taken off as the separator).
//
// Plain functions on text the caller owns; nothing is kept between calls.
#ifndef MAILBOX_HEADERS_MBOX_H
#define MAILBOX_HEADERS_MBOX_H

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

// Whether text is an mbox: empty, or starting with a "From " line.
bool mboxis(std::string_view text);

// Calls each with every message's bytes in order, unquoted; stops when it
// returns false. A "From " line starts a message when it opens the file,
// or when it is a separator as mbox writers write one: "From ", the
// sender's address as one word, and a date (a day of the week, then a
// month, a time and a four-digit year), whether or not an empty line is
// before it; any other ("From here on, ...", even after an empty line)
// stays in the body it is in, byte for byte. A message whose header block
// gives its body's length (the first "Content-Length:", digits only) is
// taken whole, dated "From " and ">From " lines in it as they are, when
// that many bytes after the empty line end at the file's end or at the line
// end before a separator; a length that does not so end is not believed.
void mboxeach(std::string_view text, const std::function<bool(std::string&&)>& each);

// As mboxeach, on the next piece of an mbox read a piece at a time: text
// starts at a separator line (or the file's start) and, with more, may go
// on past its end, so that a message whose end can't yet be told from it
// is left for the next piece. Returns where the next piece must start (its
// separator line), text.size() when every message in it was given; with
// *stopped when each returned false, at the message after that one.
size_t mboxpart(std::string_view text, bool more, const std::function<bool(std::string&&)>& each,
                bool* stopped);

// One message as an mbox holds it, appended to *out: the "From " line
// (sender and the date when), the message with "Status: RO" first when
// read and its own first Status line (if any) does not say so, or
// "Status: O" first when new and that line says read, its "From " lines
// quoted, and the line feed that ends it.
void mboxput(std::string_view message, std::string_view sender, time_t when, bool read,
             std::string* out);

// The address of a From field, for the "From " line: the part in angle
// brackets, else the first word (a quoted local part as one); "MAILER-DAEMON"
// when there is none, or it would not read back as one word.
std::string mboxsender(std::string_view from);

#endif
