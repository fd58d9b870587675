// New mail into a mailbox, one message at a time, without rewriting the
// index: the message is written aside under ".mailbox-append.tmp" in the
// working directory and synced; a journal beside the index,
// ".<index>.mailbox-append", names that file, the name it takes and the
// record it gets, and is on disk before anything moves; the file then takes
// the next free "in%03d.msg" name without replacing anything, and the record
// and a new "END" line are written over the old "END" and synced, with the
// working directory. The journal goes last, unsynced. After a crash the
// message is known by its length and a sum of its bytes. A run cut short
// anywhere is finished (where the record got in, or for an import) or
// undone (a delivery whose record had not got in) by apfinish, which every
// command calls first: no message is ever left in the mailbox without its
// record, nor listed twice. Every append reads every record's name for the
// highest: no hint kept beside the index could tell an edit in place whose
// times were set back.
//
// An import keeps a second file beside the index, ".<index>.mailbox-import":
// the sources it reads and how many of their messages are in, so that an
// import run again after a cut goes on where it stopped. It stays after
// the import is whole, until an import of other sources replaces it.
//
// apbox is a plain value owned by the caller; nothing here keeps memory,
// descriptors or state between calls. Lines for the user go to the stream
// given, each starting "mailbox: ".
#ifndef MAILBOX_APPEND_H
#define MAILBOX_APPEND_H

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <string_view>

// The fields of a new record, each one line (no CR or LF), cut to its limit
// when written.
struct apfields {
    std::string to, from, subject, cc, bcc;
    bool read = false;
};

// The index as an append finds it: where its END line starts, the highest
// number of an "in%03d.msg" name it lists, and its identity.
struct apbox {
    std::string meta;  // as given
    std::string real;  // the index's full path
    off_t end = 0;     // the offset of the END line, which a record replaces
    long next = 0;     // the number to try first for the next name
    long records = 0;
    dev_t dev = 0;
    ino_t ino = 0;
    uid_t uid = 0;  // the index's owner and group, whose the message files become
    gid_t gid = 0;
    std::string tail;  // up to 4096 bytes before end, which must still be there
    long long msgsize = 0;  // the message apwrite wrote aside: its length and sum
    unsigned long long msgsum = 0;
};

// The name the message is written under before it takes its own.
constexpr const char* APTEMP = ".mailbox-append.tmp";
// Largest number a name may carry within the index's 12 bytes.
constexpr long APMAXNO = 999999;

enum class apresult {
    ok,      // done and on disk
    busy,    // a message cannot be taken now: the disk full, a lock, ...; nothing kept
    broken,  // the index is not one an append may write to (said): nothing kept
    failed,  // a write or sync failed (said, errno kept): nothing kept unless the line says so
};

// Looks at the index meta: it must be the owner's two lines, whole records
// of seven lines and END as its last line, nothing after. *why (one line's
// words, no newline) when not.
apresult aplook(const char* meta, apbox* box, std::string* why);

// Writes message as APTEMP in the working directory, synced, and keeps its
// length and sum in the box. failed/busy with errno (ENOSPC, EDQUOT: busy).
apresult apwrite(apbox* box, std::string_view message);

// Takes APTEMP into the mailbox under the next free name, with a record of
// fields, as the header comment says; *name gets the name. ordinal: 0 for a
// delivery, else the import's count of messages with this one, kept in the
// journal until the next replaces it (apimportsave removes it). The box is
// moved on to the next append's state. On failure APTEMP is removed unless
// the journal was written (then apfinish owns it), and *why says what is on
// disk.
apresult apcommit(apbox* box, const apfields& fields, long ordinal, std::string* name,
                  std::string* why);

// Removes APTEMP (a message not taken in).
void apdiscard();

// The journal of an append to meta; "" when meta leads nowhere.
std::string apjournal(const char* meta);
bool apunfinished(const char* meta);

// Finishes (or undoes, where its message never got in) an append cut short,
// and removes a stray APTEMP. One line to errs when there was one: *done
// set. false when it can't be finished now (said), the journal kept.
bool apfinish(const char* meta, FILE* errs, bool* done);

// An import's record of its sources (one line each, as the caller words
// them: the same text on a run again means the same sources) and how many
// of their messages are in. apimportread: false when there is none
// (*sources empty) or it can't be read (*why).
bool apimportread(const char* meta, std::string* sources, long* done, std::string* why);
// Writes it, synced, before the first message of the import.
bool apimportbegin(const char* meta, const std::string& sources, long done);
// The import is whole, or stopped between two messages, done its count of
// them: the record says so, and the last message's journal goes, synced.
// The record stays: the same import run again goes on after them (once
// whole, it imports none).
bool apimportsave(const char* meta, long done);

// The record's seven lines for name and fields, as the index holds them.
std::string aprecordtext(const std::string& name, const apfields& fields);

#endif
