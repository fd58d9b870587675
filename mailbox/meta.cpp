#include "mailbox/meta.h"

#include <cstring>
#include <memory>

namespace {

struct fcloser {
    void operator()(FILE* f) const { fclose(f); }
};
using fileptr = std::unique_ptr<FILE, fcloser>;

// Reads one line into line (room for METALINE + 1), newline dropped, NUL
// bytes kept; *len gets the number of characters stored. Like the classic
// line reader it stops after METALINE characters, newline included; with
// whole set it then drops the rest of the line, so that one line of the file
// is always one field of the index, however long it is. -1 when nothing was
// read.
int readline(FILE* fd, char* line, size_t* len, bool whole) {
    size_t n = 0;
    int c = EOF;
    while (n < static_cast<size_t>(METALINE) && (c = getc_unlocked(fd)) != EOF) {
        if (c == '\n') break;
        line[n++] = static_cast<char>(c);
    }
    if (n == static_cast<size_t>(METALINE) && whole)
        while ((c = getc_unlocked(fd)) != EOF && c != '\n') {
        }
    line[n] = '\0';
    *len = n;
    return (n == 0 && c == EOF) ? -1 : 1;
}

int readfield(FILE* fd, char* line) {
    size_t len;
    return readline(fd, line, &len, true);
}

// One record; last is the list's final record, moved on when one is appended,
// so that a whole file loads without walking the chain per record.
int readrec(FILE* fd, llnode* itemlist, llnode** last) {
    static const char* const names[] = {"to", "from", "subject", "cc", "bcc", "read"};
    char name[METALINE + 1];
    char fields[6][METALINE + 1];
    size_t len;

    // A name that does not fit its field, or that a NUL byte cuts short,
    // would name some other file: refuse it rather than cut it.
    if (readline(fd, name, &len, true) < 0 || len >= sizeof(llnode::datafile) ||
        len != strlen(name)) {
        printf("FILE ERROR: readhdr, error in reading datafile");
        return -1;
    }
    if (strcmp(name, "END") == 0) return 0;
    for (int i = 0; i < 6; i++) {
        if (readfield(fd, fields[i]) < 0) {
            printf("FILE ERROR: readhdr, error in reading %s", names[i]);
            return -1;
        }
    }
    llnode* rec = llnew();
    llfill(rec, name, fields[0], fields[1], fields[2], fields[3], fields[4], ACTIVE,
           fields[5][0] == 'R' ? MSGREAD : MSGNEW, itemlist->count + 1);
    *last = llappend(rec, itemlist, *last);
    return 1;
}

}  // namespace

int getf(FILE* fd, char* line) {
    size_t len;
    return readline(fd, line, &len, false);
}

int readhdr(FILE* fd, llnode* itemlist) {
    llnode* last = lltail(itemlist);
    return readrec(fd, itemlist, &last);
}

int readmeta(const char* fname, llnode* itemlist) {
    fileptr fd(fopen(fname, "r"));
    if (!fd) {
        printf("FILE ERROR:  readmeta, error in opening %s", fname);
        return -1;
    }
    char line[METALINE + 1];
    ownerdata* owner = itemlist->mydata;
    if (readfield(fd.get(), line) < 0) {
        printf("FILE ERROR: readmeta, error in reading my path from %s", fname);
        return -1;
    }
    if (owner) llsetfield(owner->mypath, sizeof owner->mypath, line);
    if (readfield(fd.get(), line) < 0) {
        printf("FILE ERROR: readmeta, error in reading my address from %s", fname);
        return -1;
    }
    if (owner) llsetfield(owner->myaddr, sizeof owner->myaddr, line);

    llnode* last = lltail(itemlist);
    int rc;
    while ((rc = readrec(fd.get(), itemlist, &last)) == 1) {
    }
    fd.reset();
    if (rc < 0) {
        printf("FILE ERROR: readmeta, error in reading meta record from %s", fname);
        return -1;
    }
    return 1;
}
