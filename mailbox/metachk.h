// The metafile checker: finds the line at which an index stops loading, or
// at which loading it and writing it back would not give the same file, and
// says why in plain words. It reads the file on its own, line by line, and
// agrees with readmeta on every file: it reports a fault exactly when
// readmeta would return -1.
//
// The file is opened and closed within each call; nothing is allocated that
// outlives it. The reasons are static strings: the caller never frees them.
#ifndef MAILBOX_METACHK_H
#define MAILBOX_METACHK_H

// What stops a metafile from loading whole, or from being written back as it was read.
struct metafault {
    int line;         // 1-based line number in the file; 0 when there is no fault
    const char* why;  // plain words, a static string; "" when there is no fault
};

// The reason given for a line that ends in a carriage return, which a caller
// may take as the sign of an index with CR-LF line ends.
inline constexpr char METACRLF[] = "line ends in a carriage return (CR-LF file?)";

// The first line at which readmeta would stop (exact = false), or, with exact = true, also the
// first line that loading and writing back with wrtmeta would not reproduce.
//
// Lines are counted as readmeta counts them: one line ends at each newline,
// and bytes after the last newline make one more line. A file that cannot be
// opened, or that fails to read (a directory, say), gives line -1 and the
// system's words for the error (strerror), with no line of its own.
//
// Loading stops at:
//   line 1       "file is empty"
//   line 2       "file ends after the owner's path"
//   a name line  "message file name longer than 12 bytes"
//                "message file name holds a NUL byte"
//   after the last line, where the next record or END should be:
//                "file ends before the END line"
//   after the last line, inside a record:
//                "file ends inside a record"
// Whenever loading stops, a line that ends in a carriage return, read before
// or at the line where loading stops, is the likelier cause: the first such
// line is reported instead, as "line ends in a carriage return (CR-LF file?)".
// "END" followed by a carriage return is a message file name, not the end.
//
// With exact set, also, wherever a line comes first:
//   "owner's path too long (over 1023 bytes)"
//   "owner's address too long (over 49 bytes)"
//   "to longer than 99 bytes" (from, subject, cc and bcc likewise)
//   "line holds a NUL byte"         the path, the address or a header field,
//                                   which the NUL would end early
//   "text after the END line"       at the first line after END
// A value is reported for whichever cuts it first, a NUL byte or its length.
// Lengths are counted in bytes, as the fields' limits are: a UTF-8 line is
// cut before the character that would not fit whole, which still loses it.
// The read flag is never a fault: any line is written back as "R" when it
// starts with 'R' and as "N" otherwise. Nor is a last line without its
// newline, which the writer adds. Of all these and the line where loading
// stops (or its carriage return), the earliest line is reported; on one
// line, the carriage return.
metafault metachk(const char* fname, bool exact);

// Every line that metachk would report from, rather than the first: up to
// max of them in faults[], in line order, each line once (a carriage return
// rather than what else its line would lose), and the number of such lines
// in all, 0 when there is none. The first is what metachk returns. A file
// that can't be opened or read gives the one fault of line -1. Past the line
// where loading stops nothing is looked at, so that line is the last one.
int metachkall(const char* fname, bool exact, metafault* faults, int max);

#endif
