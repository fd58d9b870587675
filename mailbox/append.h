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
// An import takes its messages in batches: each message written aside as
// ".mailbox-import-K.tmp" in the working directory, the batch synced; a
// journal of the batch (the same name, "mailbox-append 2") names each
// file, the name it takes and its record, and is on disk before anything
// moves; the files take their names, the directory is synced, the records
// and END go over the old END, synced; then the ledger. A batch cut short
// is finished by apfinish: the messages that got their names keep them,
// with their records in order; the rest come out and stay in their source.
//
// The ledger, ".<index>.mailbox-import", lists every message an import took
// in: a sum of its source's full path, a sum of its bytes and its length,
// a line each. An import run again, whole or cut short, takes only the
// messages its sources hold that the ledger does not list (so mail that
// arrived in a source since comes in, and nothing comes in twice); a
// message that a source holds twice, byte for byte, is two. A ledger of the
// form an earlier release wrote (its sources and how many of their messages
// are in) is read so too.
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
#include <unordered_map>
#include <vector>

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
    bool anyhere = false;  // a listed file is in the working directory
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
// fields, as the header comment says; *name gets the name. The box is moved
// on to the next append's state. On failure APTEMP is removed unless the
// journal was written (then apfinish owns it), and *why says what is on
// disk.
apresult apcommit(apbox* box, const apfields& fields, std::string* name, std::string* why);

// Removes APTEMP (a message not taken in).
void apdiscard();

// The journal of an append to meta; "" when meta leads nowhere.
std::string apjournal(const char* meta);
bool apunfinished(const char* meta);

// Finishes (or undoes, where its message never got in) an append cut short,
// and removes a stray APTEMP. One line to errs when there was one: *done
// set. false when it can't be finished now (said), the journal kept.
bool apfinish(const char* meta, FILE* errs, bool* done);

// One message of an import batch, written aside and not yet in.
struct apstaged {
    std::string aside;  // its name in the working directory
    int fd = -1;        // open until the batch is synced
    long long size = 0;
    unsigned long long sum = 0;
    unsigned long long source = 0;  // apsource of the source it came from
    unsigned long long keysum = 0;  // apkey's
    long long keylen = 0;
    apfields fields;                // the caller's, from the file aside
};

// An import's batch; its descriptors are closed and its files removed by
// apcommitbatch or apdiscardbatch, or when it goes out of scope.
struct apbatch {
    std::vector<apstaged> msgs;
    long long bytes = 0;
    apbatch() = default;
    apbatch(const apbatch&) = delete;
    apbatch& operator=(const apbatch&) = delete;
    ~apbatch();
};

// What the ledger lists: each message an import took in, counted.
struct apledger {
    std::unordered_map<std::string, long> had;  // by the ledger's line for it
    long long size = 0;                         // where the next lines go
};

// What the ledger knows a message by: a sum and a length of its bytes but
// the header lines mail readers rewrite in place (Status, X-Status,
// X-Keywords, X-UID, X-Mozilla-Status, Content-Length) and its last line
// ends, which the separator an mbox writer adds may give or take.
void apkey(std::string_view message, unsigned long long* sum, long long* len);

// The ledger lines of the messages of an import batch cut short, and the
// number of the highest name it takes (-1 when none): what its finish will
// have in, for a dry run's sake. false when there is no such batch.
bool apbatchpending(const char* meta, std::vector<std::string>* lines, long* highest);

// A source's key in the ledger: a sum of its full path.
unsigned long long apsource(const std::string& realpath);

// Reads the ledger of meta into *l (empty when there is none). A ledger of
// the earlier form gives its sources' lines and count in *oldsources and
// *olddone, to be taken over by apledgerbegin. false, *why, when it can't
// be read or is not in a form mailbox writes.
bool apledgerread(const char* meta, apledger* l, std::string* oldsources, long* olddone,
                  std::string* why);
// Writes the ledger as *l lists it plus taken (the lines of messages an
// earlier release took in), synced, replacing the one there; before the
// first batch.
bool apledgerbegin(const char* meta, apledger* l, const std::vector<std::string>& taken);
// Whether the ledger of meta is still as *l left it (its size), so that a
// run that let others have the mailbox between batches can go on writing
// it; false when another import (or a hand) changed it meanwhile.
bool apledgersame(const char* meta, const apledger& l);
// The ledger's line for a message.
std::string apledgerline(unsigned long long source, unsigned long long sum, long long size);
// Whether the ledger lists this message (one more time than it was asked
// before): then it is in already.
bool apledgertake(apledger* l, const std::string& line);

// Writes message aside for the batch, unsynced (apcommitbatch syncs it).
// busy with errno for a full disk, failed for another error: nothing kept.
apresult apstage(const apbox* box, apbatch* b, std::string_view message, unsigned long long source,
                 unsigned long long keysum, long long keylen);
// Takes the last message staged out again (not a message, left out).
void apunstage(apbatch* b);

// Takes the batch in as the header comment says, each message under the
// next free name, its name in (*names)[k]; the box and the ledger are moved
// on. On failure, what is on disk is said in *why: nothing of the batch, or
// (where even taking it back failed) a journal apfinish finishes.
apresult apcommitbatch(apbox* box, apbatch* b, apledger* l, std::vector<std::string>* names,
                       std::string* why);
void apdiscardbatch(apbatch* b);

// The record's seven lines for name and fields, as the index holds them.
std::string aprecordtext(const std::string& name, const apfields& fields);

#endif
