#include "mailbox/ll.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
        (void)fputs("mailbox: out of memory\n", stderr);
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

int llutf8step(int state, unsigned char c) {
    // 1 to 3: that many continuation bytes to come, 80..BF each. 4 to 7: the
    // second byte of E0, ED, F0 and F4, whose range is narrower.
    switch (state) {
    case 0:
        if (c < 0x80) return 0;
        if (c >= 0xC2 && c <= 0xDF) return 1;
        if (c == 0xE0) return 4;
        if (c == 0xED) return 5;
        if (c >= 0xE1 && c <= 0xEF) return 2;
        if (c == 0xF0) return 6;
        if (c >= 0xF1 && c <= 0xF3) return 3;
        if (c == 0xF4) return 7;
        return -1;
    case 1:
    case 2:
    case 3:
        return (c & 0xC0) == 0x80 ? state - 1 : -1;
    case 4:
        return c >= 0xA0 && c <= 0xBF ? 1 : -1;
    case 5:
        return c >= 0x80 && c <= 0x9F ? 1 : -1;
    case 6:
        return c >= 0x90 && c <= 0xBF ? 2 : -1;
    case 7:
        return c >= 0x80 && c <= 0x8F ? 2 : -1;
    default:
        return -1;
    }
}

void llsetfield(char* field, size_t size, const char* src) {
    if (size == 0) return;
    size_t len = src ? strnlen(src, size - 1) : 0;
    // Cut inside a character, a valid UTF-8 string keeps only whole ones: the
    // first byte left out then continues a character, whose lead is let go too.
    // Only a string that is cut is ever checked.
    if (len && src[len] != '\0' && (static_cast<unsigned char>(src[len]) & 0xC0) == 0x80) {
        int state = 0;
        for (const char* p = src; *p && state >= 0; ++p)
            state = llutf8step(state, static_cast<unsigned char>(*p));
        if (state == 0)
            while (len > 0 && (static_cast<unsigned char>(src[len]) & 0xC0) == 0x80) --len;
    }
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

namespace {

// A view line is built whole and printed at once. The widest possible line
// (every column at its field's limit) is about half this size; appends are
// still cut at the end of the buffer so that no record can write past it.
constexpr size_t LLLINE = 1024;

struct llline {
    char text[LLLINE];
    size_t len;
};

void lineadd(llline& line, std::string_view text) {
    size_t room = LLLINE - 1 - line.len;
    size_t n = text.size() < room ? text.size() : room;
    memcpy(line.text + line.len, text.data(), n);
    line.len += n;
    line.text[line.len] = '\0';
}

void linecol(llline& line, std::string_view text) {
    lineadd(line, text);
    lineadd(line, " ");
}

void linenum(llline& line, int32_t value) {
    char num[16];
    (void)snprintf(num, sizeof num, "%d", value);
    linecol(line, num);
}

// A field's text up to its NUL, never past the field's end.
template <size_t N>
std::string_view fieldtext(const char (&field)[N]) {
    return {field, strnlen(field, N)};
}

// The word for a status code, or null for a value that is none of them.
const char* statusword(int32_t status) {
    switch (status) {
        case ACTIVE: return "ACTIVE";
        case IGNORE: return "IGNORE";
        case DELETED: return "DELETED";
        default: return nullptr;
    }
}

bool selected(const llnode* rec, int mask) {
    return ((mask & LLSELACTIVE) && rec->status == ACTIVE) ||
           ((mask & LLSELIGNORE) && rec->status == IGNORE) ||
           ((mask & LLSELDELETED) && rec->status == DELETED);
}

void dumptext(const char* label, std::string_view text) {
    printf("%s is: %.*s", label, static_cast<int>(text.size()), text.data());
}

}  // namespace

void llprinta(const llnode* llptr, int mask) {
    llline line{};
    if (mask & LLNO) linenum(line, llptr->no);
    if (mask & LLDATAFILE) linecol(line, fieldtext(llptr->datafile));
    if (mask & LLTO) linecol(line, fieldtext(llptr->to));
    if (mask & LLFROM) linecol(line, fieldtext(llptr->from));
    if (mask & LLSUBJECT) linecol(line, fieldtext(llptr->subject));
    if (mask & LLCC) linecol(line, fieldtext(llptr->cc));
    if (mask & LLBCC) linecol(line, fieldtext(llptr->bcc));
    if (mask & LLSTATUS)
        if (const char* word = statusword(llptr->status)) linecol(line, word);
    if (mask & LLREAD) linecol(line, llptr->read == MSGREAD ? "READ" : "NEW");
    if (mask & LLCOUNT) linenum(line, llptr->count);
    printf("%s\n", line.text);
}

void llprint(llnode* startll, int mask, int startno, int endno) {
    for (const llnode* rec = startll; rec; rec = rec->next)
        if (rec->no >= startno && rec->no <= endno && selected(rec, mask))
            llprinta(rec, mask);
}

void disphdrs(llnode* llptr, int starton, int endno) {
    if (!llptr) return;
    int mask = llptr == inlist ? LLINBOX : LLOUTBOX;
    // The head is number 0 and the records 1..count: a range reaching outside
    // that shows only what is inside it.
    if (starton < 1) starton = 1;
    if (endno > llptr->count) endno = llptr->count;
    llprint(llptr, mask, starton, endno);
}

void lldump(const llnode* llptr) {
    if (!llptr) {
        printf("Pointer is NULL");
        return;
    }
    dumptext("Datafile", fieldtext(llptr->datafile));
    dumptext("To", fieldtext(llptr->to));
    dumptext("From", fieldtext(llptr->from));
    dumptext("Subject", fieldtext(llptr->subject));
    dumptext("CC", fieldtext(llptr->cc));
    dumptext("Bcc", fieldtext(llptr->bcc));
    // A dump is for tracing, so a value outside the codes is shown as it is.
    if (const char* word = statusword(llptr->status))
        dumptext("Status", word);
    else
        printf("Status is invalid (%d)", llptr->status);
    if (llptr->read == MSGREAD)
        dumptext("Read", "RD");
    else if (llptr->read == MSGNEW)
        dumptext("Read", "NEW");
    else
        printf("Read is invalid (%d)", llptr->read);
    printf("No is: %d", llptr->no);
    printf("Count is: %d", llptr->count);
    if (llptr->mydata) {
        dumptext("Mydata->myaddr", fieldtext(llptr->mydata->myaddr));
        dumptext("Mydata->mypath", fieldtext(llptr->mydata->mypath));
    } else {
        printf("Mydata is: NULL");
    }
    printf("%s", llptr->next ? "Next is: Non NULL" : "Next is: NULL");
}

void lldmpall(const llnode* llptr) {
    for (; llptr; llptr = llptr->next) lldump(llptr);
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
