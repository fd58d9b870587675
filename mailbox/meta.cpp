#include "mailbox/meta.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace {

struct fcloser {
    void operator()(FILE* f) const { (void)fclose(f); }  // a reader's close; the writer checks its own
};
using fileptr = std::unique_ptr<FILE, fcloser>;

// Removes a half-written index unless released once it has been renamed.
struct unlinker {
    void operator()(const char* path) const { unlink(path); }
};
using tempguard = std::unique_ptr<const char, unlinker>;

// The rest of a line longer than the n characters kept in line: read and
// dropped, so that one line of the file is always one field of the index,
// however long it is. When the whole line is valid UTF-8 and the cut falls
// inside a character, that character goes too; any other line keeps all n.
// Returns how many characters line keeps.
size_t droprest(FILE* fd, const char* line, size_t n) {
    int c = getc_unlocked(fd);
    if (c == EOF || c == '\n') return n;  // it fitted exactly
    const bool inside = (c & 0xC0) == 0x80;
    int state = 0;
    for (size_t i = 0; i < n && state >= 0; i++)
        state = llutf8step(state, static_cast<unsigned char>(line[i]));
    for (; c != EOF && c != '\n'; c = getc_unlocked(fd))
        if (state >= 0) state = llutf8step(state, static_cast<unsigned char>(c));
    if (state != 0 || !inside) return n;
    while (n > 1 && (static_cast<unsigned char>(line[n - 1]) & 0xC0) == 0x80) --n;
    return n - 1;  // the cut character's lead byte
}

// Reads one line into line (room for keep + 1, keep at most METALINE),
// newline dropped, NUL bytes kept; *len gets the number of characters stored.
// Like the classic line reader it stops after keep characters, newline
// included; with whole set it then drops the rest of the line (droprest).
// -1 when nothing was read.
int readline(FILE* fd, char* line, size_t* len, size_t keep, bool whole) {
    size_t n = 0;
    int c = EOF;
    while (n < keep && (c = getc_unlocked(fd)) != EOF) {
        if (c == '\n') break;
        line[n++] = static_cast<char>(c);
    }
    if (n == keep && whole) n = droprest(fd, line, n);
    line[n] = '\0';
    *len = n;
    return (n == 0 && c == EOF) ? -1 : 1;
}

// A whole line as a field of size characters: cut here, where the rest of the
// line can still tell whether it is UTF-8, rather than by llsetfield.
int readfield(FILE* fd, char* line, size_t size) {
    size_t len;
    return readline(fd, line, &len, std::min<size_t>(METALINE, size - 1), true);
}

// One record's lines, read into buffers of the caller's: the name in name,
// the other fields in fields. 1 when a record was read, 0 at "END", -1 after a
// message when the record is cut short or its name is not one.
int readlines(FILE* fd, char (&name)[METALINE + 1], char (&fields)[6][METALINE + 1]) {
    static const char* const names[] = {"to", "from", "subject", "cc", "bcc", "read"};
    size_t len;

    // A name that does not fit its field, or that a NUL byte cuts short,
    // would name some other file: refuse it rather than cut it.
    if (readline(fd, name, &len, METALINE, true) < 0 || len >= sizeof(llnode::datafile) ||
        len != strlen(name)) {
        printf("FILE ERROR: readhdr, error in reading datafile");
        return -1;
    }
    if (strcmp(name, "END") == 0) return 0;
    for (int i = 0; i < 6; i++) {
        // Only the read flag's first character counts.
        const size_t size = i < 5 ? sizeof(llnode::to) : METALINE + 1;
        if (readfield(fd, fields[i], size) < 0) {
            printf("FILE ERROR: readhdr, error in reading %s", names[i]);
            return -1;
        }
    }
    return 1;
}

// One record; last is the list's final record, moved on when one is appended,
// so that a whole file loads without walking the chain per record.
int readrec(FILE* fd, llnode* itemlist, llnode** last) {
    char name[METALINE + 1];
    char fields[6][METALINE + 1];
    const int rc = readlines(fd, name, fields);
    if (rc != 1) return rc;
    llnode* rec = llnew();
    llfill(rec, name, fields[0], fields[1], fields[2], fields[3], fields[4], ACTIVE,
           fields[5][0] == 'R' ? MSGREAD : MSGNEW, itemlist->count + 1);
    *last = llappend(rec, itemlist, *last);
    return 1;
}

// The index's two owner lines, then its records, each handed to record(fd):
// 1 when everything up to "END" was read, -1 after a message otherwise.
// owner (may be null) gets the owner lines.
template <typename F>
int readindex(const char* fname, ownerdata* owner, F record) {
    char buf[METABUF];  // outlives fd; a large index reads in fewer calls
    fileptr fd(fopen(fname, "r"));
    if (!fd) {
        printf("FILE ERROR:  readmeta, error in opening %s", fname);
        return -1;
    }
    (void)setvbuf(fd.get(), buf, _IOFBF, sizeof buf);
    char line[METALINE + 1];
    if (readfield(fd.get(), line, sizeof(ownerdata::mypath)) < 0) {
        printf("FILE ERROR: readmeta, error in reading my path from %s", fname);
        return -1;
    }
    if (owner) llsetfield(owner->mypath, sizeof owner->mypath, line);
    if (readfield(fd.get(), line, sizeof(ownerdata::myaddr)) < 0) {
        printf("FILE ERROR: readmeta, error in reading my address from %s", fname);
        return -1;
    }
    if (owner) llsetfield(owner->myaddr, sizeof owner->myaddr, line);

    int rc;
    while ((rc = record(fd.get())) == 1) {
    }
    fd.reset();
    if (rc < 0) {
        printf("FILE ERROR: readmeta, error in reading meta record from %s", fname);
        return -1;
    }
    return 1;
}

// A newline inside a value would split it into two lines of the index and
// shift every line after it.
int putvalue(FILE* fd, const char* value) {
    if (strchr(value, '\n')) return -1;
    return putf(fd, value);
}

// Owner block, ACTIVE records and terminator.
int writeindex(FILE* fd, const char* fname, const llnode* itemlist) {
    const ownerdata* owner = itemlist->mydata;
    if (putvalue(fd, owner ? owner->mypath : "") < 0) {
        printf("FILE ERROR: wrtmeta, error in writting my path to %s", fname);
        return -1;
    }
    if (putvalue(fd, owner ? owner->myaddr : "") < 0) {
        printf("FILE ERROR: wrtmeta, error in writting my address to %s", fname);
        return -1;
    }
    for (const llnode* rec = itemlist; rec; rec = rec->next) {
        if (wrthdr(fd, rec) < 0) {
            printf("FILE ERROR: wrtmeta, error in writting record to %s", fname);
            return -1;
        }
    }
    if (putf(fd, "END") < 0) {
        printf("FILE ERROR: wrtmeta, error in writting terminator (END) to %s", fname);
        return -1;
    }
    return 1;
}

// The bits the new index takes over. A link's own bits mean nothing; its
// target's do, and a dangling link leaves the private bits of a fresh file.
mode_t keptmode(const char* fname, const struct stat& old) {
    if (!S_ISLNK(old.st_mode)) return old.st_mode & 07777;
    struct stat target;
    return stat(fname, &target) == 0 ? target.st_mode & 07777 : 0600;
}

// Makes the rename itself durable. A file system that cannot sync a directory
// says EINVAL; there is nothing more to do there.
int syncdir(const char* fname) {
    std::string_view name(fname);
    const size_t slash = name.rfind('/');
    const std::string dir = slash == std::string_view::npos ? std::string(".")
                            : slash == 0                    ? std::string("/")
                                                            : std::string(name.substr(0, slash));
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return -1;
    int rc = fsync(fd);
    if (rc != 0 && errno == EINVAL) rc = 0;
    close(fd);
    return rc;
}

int fail(const char* what, const char* fname) {
    printf("FILE ERROR: wrtmeta, error in %s %s", what, fname);
    return -1;
}

int failopen(const char* fname) {
    printf("FILE ERROR: wrtmeta, error in opening %s for output", fname);
    return -1;
}

}  // namespace

int getf(FILE* fd, char* line) {
    size_t len;
    return readline(fd, line, &len, METALINE, false);
}

int readhdr(FILE* fd, llnode* itemlist) {
    llnode* last = lltail(itemlist);
    return readrec(fd, itemlist, &last);
}

int readmeta(const char* fname, llnode* itemlist) {
    llnode* last = lltail(itemlist);
    return readindex(fname, itemlist->mydata,
                     [itemlist, &last](FILE* fd) { return readrec(fd, itemlist, &last); });
}

int readmetaeach(const char* fname, const std::function<void(const metarec&)>& each) {
    return readindex(fname, nullptr, [&each](FILE* fd) {
        char name[METALINE + 1];
        char fields[6][METALINE + 1];
        const int rc = readlines(fd, name, fields);
        if (rc != 1) return rc;
        // As the list's fields would hold them: the reader cut each line to
        // its field already; a NUL byte ends it.
        auto field = [&fields](int i) {
            return std::string_view(fields[i], strnlen(fields[i], sizeof(llnode::to) - 1));
        };
        each(metarec{name, field(0), field(1), field(2), field(3), field(4), fields[5][0] == 'R'});
        return 1;
    });
}

int putf(FILE* fd, const char* line) { return fprintf(fd, "%s\n", line) < 0 ? -1 : 1; }

int wrthdr(FILE* fd, const llnode* item) {
    if (item->status != ACTIVE) return 1;
    const struct {
        const char* name;
        const char* value;
    } fields[] = {{"datafile", item->datafile}, {"to", item->to},
                  {"from", item->from},         {"subject", item->subject},
                  {"cc", item->cc},             {"bcc", item->bcc}};
    for (const auto& f : fields) {
        // A message file called END would read back as the end of the index.
        const bool end = f.value == item->datafile && strcmp(f.value, "END") == 0;
        if (end || putvalue(fd, f.value) < 0) {
            printf("FILE ERROR: wrthdr, error in writting %s (%s)", f.name, f.value);
            return -1;
        }
    }
    const char* flag = item->read == MSGREAD ? "R" : "N";
    if (putf(fd, flag) < 0) {
        printf("FILE ERROR: wrthdr, error in writting read (%s)", flag);
        return -1;
    }
    return 1;
}

int wrtmeta(const char* fname, llnode* itemlist) {
    // Only an existing metafile is replaced, and never a directory.
    struct stat old;
    if (lstat(fname, &old) != 0 || S_ISDIR(old.st_mode)) {
        printf("FILE ERROR: wrtmeta, error in deleting %s prior to output", fname);
        return -1;
    }

    // The new index is built beside the old one, which stays whole until the
    // rename replaces it in one step.
    std::string tmpname = std::string(fname) + ".XXXXXX";
    const int tmpfd = mkostemp(tmpname.data(), O_CLOEXEC);
    if (tmpfd < 0) return failopen(fname);
    tempguard guard(tmpname.c_str());
    char buf[METABUF];  // outlives fd, which is closed first
    fileptr fd(fdopen(tmpfd, "w"));
    if (!fd) {
        close(tmpfd);
        return failopen(fname);
    }
    if (setvbuf(fd.get(), buf, _IOFBF, sizeof buf) != 0 ||
        fchmod(tmpfd, keptmode(fname, old)) != 0)
        return failopen(fname);

    if (writeindex(fd.get(), fname, itemlist) < 0) return -1;
    // Buffered lines meet the disk here: a write that fails late fails now.
    if (fflush(fd.get()) != 0 || ferror(fd.get())) return fail("flushing", fname);
    if (fsync(tmpfd) != 0) return fail("syncing", fname);
    if (fclose(fd.release()) != 0) return fail("closing", fname);
    if (rename(tmpname.c_str(), fname) != 0) return fail("renaming", fname);
    (void)guard.release();  // renamed into place: nothing left to remove
    if (syncdir(fname) != 0) return fail("syncing", fname);
    return 1;
}
