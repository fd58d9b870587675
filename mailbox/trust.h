// Whether what a tool reads back from disk may be believed, decided in one
// place. A mailbox directory belongs to its user, who may write anything
// there: a journal naming a file outside it, a work directory that is a
// link into another, a message file swapped for a link or a FIFO between a
// listing and an open. Every reader of a journal, a receipt, a message file
// or the index asks here first; root first becomes the mailbox's owner, so
// that nothing planted can make it act where that user could not.
//
// Nothing here keeps memory or state between calls; a descriptor returned
// belongs to the caller, who closes it.
#ifndef MAILBOX_TRUST_H
#define MAILBOX_TRUST_H

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>

// A name of a file in this directory and no other: not empty, no '/', no
// NUL or line feed, not "." or "..". Every name read back from a journal
// must be one before anything is done with it. A carriage return is a byte
// of a name like any other (a CR-LF index names such files).
bool trustplain(std::string_view name);

// Opens a directory this user made (a work directory) without following a
// link: a descriptor, or -1 with errno ENOENT (nothing there), ELOOP (a
// link), ENOTDIR (something else) or EPERM (another user's).
int trustopendir(int atfd, const char* path);

// Opens for reading a file this user made (a journal, a receipt) without
// following a link or blocking: a descriptor, or -1 with errno ENOENT,
// ELOOP (a link), EINVAL (not a regular file) or EPERM (another user's).
// *st (may be null) gets what fstat gave.
int trustopenown(int atfd, const char* path, struct stat* st = nullptr);

// Opens a message file for reading without following a link or blocking
// (a FIFO swapped in must not hang a command that holds the locks): a
// descriptor, blocking again, or -1 with errno ENOENT, ELOOP (a link) or
// EINVAL (not a regular file). Any owner's file is read. *st may be null.
int trustopenmsg(int atfd, const char* path, struct stat* st = nullptr);

// As trustopenmsg, for the short reads of a command that reads thousands
// of message files (a date from each): the descriptor keeps O_NONBLOCK,
// which the reads of a regular file ignore, two calls a file fewer. Not for
// a descriptor handed on to a reader that may test its flags.
int trustpeekmsg(int atfd, const char* path, struct stat* st = nullptr);

// Whether path leads to a regular file (the index): true, or false with
// errno ENOENT, EINVAL (a FIFO, device or directory, which a command
// holding locks must not open) or what stat said (ELOOP for a chain of
// links that never ends).
bool trustmeta(const char* path);

// Run as root in a mailbox another user owns, becomes that user for good:
// supplementary groups, group and user, in that order, before the index or
// anything else is opened, as a delivery agent runs as the recipient. The
// mailbox's owner is the working directory's; the index's own directory
// (that of the file meta leads to, or names) must belong to that user or to
// root, also when the working directory is root's own. Not root, or in
// root's own directory with the index in root's too: nothing changes. true
// to go on; false with *why set (one line's words, no newline) when it must
// not.
bool trustbecome(const char* meta, std::string* why);

// What one of the errnos above means in a line to the user ("a symbolic
// link" rather than ELOOP's words); strerror's words for any other.
const char* trustwhy(int err);

#endif
