// The message list: one header record per message, chained behind a head
// record that counts the records and carries the owner block.
//
// Ownership: a list owns its head, every record chained after it and the
// head's owner block. Records and owner blocks come zero-filled from the heap
// (llnew, llinit) and are released together by llfree on the head; nothing
// else frees them. The strings are fixed arrays inside each record. The views
// and dumps only read a list and print it to standard output.
#ifndef MAILBOX_LL_H
#define MAILBOX_LL_H

#include <cstddef>
#include <cstdint>

// Record status.
constexpr int32_t ACTIVE = 0;    // a live message
constexpr int32_t IGNORE = -1;   // a list head, or a record passed over
constexpr int32_t DELETED = -2;  // marked for deletion

// Read flag.
constexpr int32_t MSGREAD = -1;
constexpr int32_t MSGNEW = -2;

struct ownerdata {
    char myaddr[50];    // owner's mail address
    char mypath[1024];  // owner's path
};

struct llnode {
    char datafile[13];  // message file name, at most 12 bytes
    char to[100];
    char from[100];
    char subject[100];
    char cc[100];
    char bcc[100];
    int32_t status;      // ACTIVE, IGNORE or DELETED
    int32_t read;        // MSGREAD or MSGNEW
    int32_t no;          // 1..n within the list; 0 in a head
    int32_t count;       // in a head: records appended with lladd
    ownerdata* mydata;   // in a head from llinit: its owner block
    llnode* next;
};

extern llnode *inlist, *outlist, *currlist;

// A zero-filled record: empty strings, IGNORE, MSGNEW, no links. Running out
// of memory is reported on standard error and aborts: no list operation can
// go on without its record.
llnode* llnew();
// Makes inlist and outlist: heads with empty owner blocks.
void llinit();
// Copies src into a field of size characters: at most size - 1 of them, always
// terminated, so a string longer than its field is cut, never written past it.
// When src is valid UTF-8 the cut falls after the last whole character that
// fits, so a field never ends in half a character; any other string is cut at
// size - 1 bytes.
void llsetfield(char* field, size_t size, const char* src);
// UTF-8 checked a byte at a time, as the reader and llsetfield need to cut a
// field at a whole character. state is 0 before the first byte; the result is
// 0 after each whole character, -1 for good once the bytes cannot be UTF-8
// (a stray or overlong sequence, a surrogate, past U+10FFFF), and otherwise
// what the character under way still needs.
int llutf8step(int state, unsigned char c);
// Copies the strings into the record's fields, cutting each to fit its field,
// and sets status, read and no.
void llfill(llnode* llptr, const char* datafile, const char* to, const char* from,
            const char* subject, const char* cc, const char* bcc, int status, int read,
            int no);
// Appends newll at the end of the chain that starts at startll and counts it
// on startll.
void lladd(llnode* newll, llnode* startll);
// The last record of the chain that starts at llptr.
llnode* lltail(llnode* llptr);
// Appends newll after last, which must end startll's chain, and counts it on
// startll. Loaders that keep the tail use this to append in constant time;
// returns newll, the chain's new last record.
llnode* llappend(llnode* newll, llnode* startll, llnode* last);
// The first record from llstart on (llstart itself first) numbered no, or null.
llnode* llnofind(int no, llnode* llstart);
// Copies the six strings of in into out, cut to fit; nothing else changes.
void llcopy(llnode* out, const llnode* in);
// Releases the owner block, llptr and every record after it.
void llfree(llnode* llptr);
// 1 when mailno names an ACTIVE record of the list; otherwise prints why and
// returns 0.
int llvalid(int mailno, llnode* llptr);

// Display mask: which columns a one-line view shows and which records a list
// view selects by status.
constexpr int LLDATAFILE = 0x0001;
constexpr int LLTO = 0x0002;
constexpr int LLFROM = 0x0004;
constexpr int LLSUBJECT = 0x0008;
constexpr int LLCC = 0x0010;
constexpr int LLBCC = 0x0020;
constexpr int LLSTATUS = 0x0040;  // ACTIVE, IGNORE or DELETED
constexpr int LLREAD = 0x0080;    // READ or NEW
constexpr int LLNO = 0x0100;
constexpr int LLCOUNT = 0x0200;
constexpr int LLSELACTIVE = 0x0400;
constexpr int LLSELIGNORE = 0x0800;
constexpr int LLSELDELETED = 0x1000;
// The header views: the in-box shows who a message is from, any other list
// whom it is to.
constexpr int LLINBOX = LLNO | LLFROM | LLSUBJECT | LLREAD | LLSELACTIVE;
constexpr int LLOUTBOX = LLNO | LLTO | LLSUBJECT | LLREAD | LLSELACTIVE;
static_assert(LLINBOX == 0x058C && LLOUTBOX == 0x058A);

// Prints the record's columns chosen by mask, each followed by a space, on one
// line; a status other than the three codes shows nothing, not even its space.
// The selection bits are not used here.
void llprinta(const llnode* llptr, int mask);
// Prints, with llprinta, each record from startll (itself included; may be
// null) to the end of the chain that is numbered startno..endno and whose
// status is selected by mask.
void llprint(llnode* startll, int mask, int startno, int endno);
// Header view of the ACTIVE records starton..endno of a list, the range cut to
// 1..count; LLINBOX for inlist, LLOUTBOX for any other list.
void disphdrs(llnode* llptr, int starton, int endno);
// Every field of one record (or "Pointer is NULL") as one run of text with no
// line terminator.
void lldump(const llnode* llptr);
// lldump of llptr and of each record after it; nothing for null.
void lldmpall(const llnode* llptr);

// Purge: removes, through delfile, the message file of every DELETED record
// from llstart on (llstart itself first). Stops at the first file that cannot
// be removed, a file already gone included: 1 when every file went, -1 after
// a message otherwise. Records keep their status and place in the list; a
// null llstart purges nothing.
int prgemail(llnode* llstart);

#endif
