// Writing that survives a crash, shared by every program that changes a
// mailbox: a directory synced, a file written aside and renamed over its old
// self (keeping that one's owner, group and mode), a mailbox index written so,
// and the directory locks that keep two programs from changing one mailbox
// at once.
//
// Nothing here keeps memory or state between calls; a lock is a descriptor
// the caller owns and closes (durunlock).
#ifndef MAILBOX_DURABLE_H
#define MAILBOX_DURABLE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "mailbox/ll.h"

// The directory part of path: "." for a bare name, "/" for one in the root.
std::string durparent(const std::string& path);

// The hidden name beside path for one of its companions: "DIR/.NAME" + ext,
// where a program keeps what it writes aside or a journal of its own.
std::string durbeside(const std::string& path, const char* ext);

// The most durreadfd reads: 4 GiB, an index of millions of records. A
// file's size is anyone's to set (truncate -s 1T makes a terabyte of hole
// in no time), and memory sized by it would end the program.
inline constexpr size_t DURREADMAX = size_t{1} << 32;

// The whole file behind fd, read from its start whatever its offset (the
// index held open across a swap is read again so): false when a read fails,
// and with errno EFBIG when the file holds more than DURREADMAX bytes.
bool durreadfd(int fd, std::string* out);

// Whether the whole file behind fd, read from its start, is text byte for
// byte: false when it differs or a read fails. No copy of it is kept.
bool durreadsame(int fd, std::string_view text);

// Syncs a directory, so that the names made and removed in it survive a
// crash. true where the file system can't sync a directory (EINVAL).
bool dursyncdir(const std::string& path);

// Writes path whole or not at all: fill writes tmp, which gets like's mode
// bits, and, where this process may give them (as root), its owner and
// group; tmp is synced, renamed over path, and path's directory synced. like
// null: mode 0600, owner the caller. On failure tmp is removed and errno
// says why; path is untouched unless *renamed (may be null) is set: then
// the rename was made and only the directory's sync failed, so that path
// is the new file, which may not survive a crash.
bool durwrite(const std::string& tmp, const std::string& path, const struct stat* like,
              const std::function<bool(FILE*)>& fill, bool* renamed = nullptr);

// Replaces the index real with the list itemlist, line for line as wrtmeta
// writes it, through the temporary name tmp (which must be on real's file
// system), keeping the old index's owner, group and mode. renamed as for
// durwrite.
bool durwriteindex(const std::string& real, const std::string& tmp, const llnode* itemlist,
                   bool* renamed = nullptr);

// The records another program appended to an index that read as was: now
// is was up to its END line, then whole records of seven lines, then END.
// Their lines in *added (empty when now is was); false when now is
// anything else, which no merge can place.
bool durappended(std::string_view was, std::string_view now, std::string* added);

// text, an index's lines ending in END, with added's records before END.
std::string durwithadded(std::string_view text, std::string_view added);

enum class durswapped { done, changed, late, failed };

// Replaces the index real, through tmp, with text, when real still reads
// as seen (the caller's last look, under the locks) or as seen with records
// appended, which are then merged into text. The old index is held open
// across the swap, so that records a delivery appends to it meanwhile are
// merged into the new one too. *written: the text the index holds in the
// end. changed: real is neither (nothing written). late: the index is
// replaced, but what reached the old one after could not all be merged.
// failed: errno says why; the index is the new one only when *renamed.
durswapped durswap(const std::string& real, const std::string& tmp, const std::string& seen,
                   std::string text, std::string* written, bool* renamed);

// The whole file path; false when it can't be read.
bool durreadall(const std::string& path, std::string* out);

// The index's lines for the list itemlist, as durwriteindex writes them,
// to f: the owner block, the ACTIVE records, END. false when a line fails.
bool durputindex(FILE* f, const llnode* itemlist);
// The same lines into *out.
bool durindextext(const llnode* itemlist, std::string* out);

// Gives a file or directory that this process made to the owner of like,
// where this process may (as root), so that the mailbox's owner can remove
// it. Quietly nothing otherwise.
void durgive(const std::string& path, const struct stat& like);

// An exclusive flock(2) on the directory path, which shell scripts can take
// with flock(1) too: a descriptor to pass to durunlock, or -1 with errno
// EWOULDBLOCK when another process holds it, or another errno when the
// directory can't be opened or locked (ENOLCK: no lock manager).
// shared: a shared lock instead, which readers that change nothing take
// side by side; it still keeps them apart from a writer's exclusive one.
int durlock(const std::string& path, bool shared = false);
void durunlock(int fd);

#endif
