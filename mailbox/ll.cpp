#include "mailbox/ll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mailbox/datafile.h"

llnode *inlist = nullptr, *outlist = nullptr, *currlist = nullptr;

namespace {

template <size_t N>
void copyfield(char (&dst)[N], const char* src) {
    llsetfield(dst, N, src);
}

void* zalloc(size_t size) {
    void* p = calloc(1, size);
    if (!p) {
        fputs("mailbox: out of memory\n", stderr);
        abort();
    }
    return p;
}

void copystrings(llnode* out, const char* datafile, const char* to, const char* from,
                 const char* subject, const char* cc, const char* bcc) {
    copyfield(out->datafile, datafile);
    copyfield(out->to, to);
    copyfield(out->from, from);
    copyfield(out->subject, subject);
    copyfield(out->cc, cc);
    copyfield(out->bcc, bcc);
}

}  // namespace

void llsetfield(char* field, size_t size, const char* src) {
    if (size == 0) return;
    size_t len = src ? strnlen(src, size - 1) : 0;
    if (len) memmove(field, src, len);  // llcopy may be handed the same record twice
    field[len] = '\0';
}

llnode* llnew() {
    auto* rec = static_cast<llnode*>(zalloc(sizeof(llnode)));
    rec->status = IGNORE;
    rec->read = MSGNEW;
    return rec;
}

void llinit() {
    inlist = llnew();
    outlist = llnew();
    inlist->mydata = static_cast<ownerdata*>(zalloc(sizeof(ownerdata)));
    outlist->mydata = static_cast<ownerdata*>(zalloc(sizeof(ownerdata)));
}

void llfill(llnode* llptr, const char* datafile, const char* to, const char* from,
            const char* subject, const char* cc, const char* bcc, int status, int read,
            int no) {
    copystrings(llptr, datafile, to, from, subject, cc, bcc);
    llptr->status = status;
    llptr->read = read;
    llptr->no = no;
}

llnode* lltail(llnode* llptr) {
    while (llptr->next) llptr = llptr->next;
    return llptr;
}

llnode* llappend(llnode* newll, llnode* startll, llnode* last) {
    last->next = newll;
    startll->count++;
    return newll;
}

void lladd(llnode* newll, llnode* startll) { llappend(newll, startll, lltail(startll)); }

llnode* llnofind(int no, llnode* llstart) {
    for (llnode* rec = llstart; rec; rec = rec->next)
        if (rec->no == no) return rec;
    return nullptr;
}

void llcopy(llnode* out, const llnode* in) {
    copystrings(out, in->datafile, in->to, in->from, in->subject, in->cc, in->bcc);
}

void llfree(llnode* llptr) {
    if (!llptr) return;
    free(llptr->mydata);
    while (llptr) {
        llnode* next = llptr->next;
        free(llptr);
        llptr = next;
    }
}

int llvalid(int mailno, llnode* llptr) {
    const llnode* rec = llnofind(mailno, llptr);
    if (!rec) {
        printf("%d is not a valid message", mailno);
        return 0;
    }
    if (rec->status != ACTIVE) {
        printf("%d is not an active message", mailno);
        return 0;
    }
    return 1;
}

int prgemail(llnode* llstart) {
    for (llnode* rec = llstart; rec; rec = rec->next) {
        if (rec->status != DELETED) continue;
        if (delfile(rec, llstart) < 0) {
            printf("FILE ERROR: prgemail, error in deleting message file %s", rec->datafile);
            return -1;
        }
    }
    return 1;
}
