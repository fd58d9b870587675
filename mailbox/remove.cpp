// Journaled deletes (mailbox/remove.h).
#include "mailbox/remove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

#include "mailbox/durable.h"
#include "mailbox/meta.h"
#include "mailbox/renum.h"
#include "mailbox/trust.h"

namespace {

// A file known by more than its inode number: a number reused by another
// file since, or a file written to since, is not the one the delete meant.
struct rmid {
    unsigned long long dev = 0, ino = 0, size = 0;
    long long sec = 0, nsec = 0;
    bool operator==(const rmid&) const = default;
};

rmid idof(const struct stat& st) {
    return {static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
            static_cast<unsigned long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
            static_cast<long long>(st.st_mtim.tv_nsec)};
}

struct rmfile {
    rmid id;
    std::string name;
};

// What the journal holds: the working directory, the index as it was and
// as it will be (their sizes and sums: an index restored from a copy is
// still the one the delete began with), the records that go and the files.
struct rmlog {
    rmid here;
    unsigned long long oldsize = 0, oldsum = 0, newsize = 0, newsum = 0;
    std::vector<int> nos;
    std::vector<rmfile> files;
};

constexpr char MAGIC[] = "mailbox-delete 1";

void say(FILE* errs, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(FILE* errs, const char* fmt, ...) {  // NOLINT(cert-dcl50-cpp)
    if (!errs) return;
    (void)fputs("mailbox: ", errs);
    va_list ap;
    va_start(ap, fmt);
    (void)vfprintf(errs, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(ap);
}

std::string shown(const std::string& s) { return renumshown(s); }

unsigned long long sum(const char* p, size_t n) {
    unsigned long long h = 14695981039346656037ull;
    for (size_t k = 0; k < n; k++) h = (h ^ static_cast<unsigned char>(p[k])) * 1099511628211ull;
    return h;
}

// The bytes the index will hold once itemlist is written back.
bool newbytes(const llnode* itemlist, unsigned long long* size, unsigned long long* out) {
    std::string text;
    if (!durindextext(itemlist, &text)) return false;
    *size = text.size();
    *out = sum(text.data(), text.size());
    return true;
}

bool readall(const std::string& path, std::string* out) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) return false;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    const bool ok = !ferror(f);
    (void)fclose(f);
    return ok;
}

// A journal: a regular file this user made, no link, read without blocking
// on a FIFO put in its place.
bool readown(const std::string& path, std::string* out) {
    const int fd = trustopenown(AT_FDCWD, path.c_str());
    if (fd < 0) return false;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    const int err = errno;
    close(fd);
    errno = n < 0 ? err : 0;
    return n == 0;
}

void putid(std::ostringstream& o, const char* tag, const rmid& id) {
    o << tag << ' ' << id.dev << ' ' << id.ino << ' ' << id.size << ' ' << id.sec << ' ' << id.nsec;
}

std::string logtext(const rmlog& log) {
    std::ostringstream o;
    o << MAGIC << '\n';
    putid(o, "here", log.here);
    o << '\n';
    o << "old " << log.oldsize << ' ' << log.oldsum;
    o << "\nnew " << log.newsize << ' ' << log.newsum << '\n';
    for (int no : log.nos) o << "rec " << no << '\n';
    for (const rmfile& f : log.files) {
        putid(o, "file", f.id);
        o << ' ' << f.name << '\n';
    }
    o << "end\n";
    return o.str();
}

bool getid(std::istringstream& in, rmid* id) {
    return static_cast<bool>(in >> id->dev >> id->ino >> id->size >> id->sec >> id->nsec);
}

// false when the journal is not one this module wrote, whole.
bool parselog(const std::string& text, rmlog* log) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != MAGIC) return false;
    bool ended = false;
    while (!ended && std::getline(lines, line)) {
        std::istringstream in(line);
        std::string tag;
        in >> tag;
        rmfile f;
        if (tag == "here" && getid(in, &log->here)) continue;
        if (tag == "old" && in >> log->oldsize >> log->oldsum) continue;
        if (tag == "new" && in >> log->newsize >> log->newsum) continue;
        if (int no; tag == "rec" && in >> no) {
            log->nos.push_back(no);
            continue;
        }
        // Anyone who may write the directory may write the journal: a name
        // that leads out of the directory is no name this module wrote.
        if (tag == "file" && getid(in, &f.id) && in.get() == ' ' && std::getline(in, f.name) &&
            trustplain(f.name)) {
            log->files.push_back(f);
            continue;
        }
        if (tag != "end") return false;
        ended = true;
    }
    return ended;
}

// The working directory, by its device and inode alone: its size and time
// change with every name made or removed in it.
bool here(rmid* id) {
    struct stat st;
    if (stat(".", &st) != 0) return false;
    *id = rmid{idof(st).dev, idof(st).ino};
    return true;
}

// The files go, each only while it is still the file the journal names;
// then the directory is synced and the journal removed.
int unlinkall(const rmlog& log, const std::string& journal, FILE* errs) {
    int left = 0;
    for (const rmfile& f : log.files) {
        struct stat st;
        if (lstat(f.name.c_str(), &st) != 0) {
            if (errno == ENOENT) continue;  // gone already
            say(errs, "cannot look at '%s': %s; it is left\n", shown(f.name).c_str(),
                strerror(errno));
            left++;
        } else if (!(idof(st) == f.id)) {
            say(errs, "'%s' is not the file the delete began with; it is left as it is\n",
                shown(f.name).c_str());
            left++;
        } else if (unlink(f.name.c_str()) != 0 && errno != ENOENT) {
            say(errs, "cannot remove '%s': %s\n", shown(f.name).c_str(), strerror(errno));
            left++;
        }
    }
    if (!dursyncdir(".") || (unlink(journal.c_str()) != 0 && errno != ENOENT) ||
        !dursyncdir(durparent(journal))) {
        say(errs,
            "the files are removed, but the delete may not be on disk (%s); the next "
            "mailbox command makes sure\n",
            strerror(errno));
        return RMFAIL;
    }
    return left ? RMLEFT : RMOK;
}

struct listfree {
    void operator()(llnode* l) const { llfree(l); }
};

// The index is the one the delete writes (size bytes that sum to sum), or
// that with records a delivery appended since.
bool grownfrom(const std::string& index, unsigned long long size, unsigned long long s) {
    if (index.size() < size || size < 4) return false;
    std::string base = index.substr(0, size - 4);
    base += "END\n";
    std::string added;
    return sum(base.data(), base.size()) == s && durappended(base, index, &added);
}

// The records numbered in nos marked deleted, in one walk of the list: a
// search by number for each would take time in the square of the index's size.
void markgone(llnode* itemlist, const std::vector<int>& nos) {
    const std::set<int> gone(nos.begin(), nos.end());
    for (llnode* rec = itemlist->next; rec; rec = rec->next)
        if (rec->no > 0 && gone.contains(rec->no)) rec->status = DELETED;
}

// The index as the journal found it: its records deleted and written back
// now, when that gives the bytes the journal expects.
bool rewrite(const std::string& real, const rmlog& log) {
    std::unique_ptr<llnode, listfree> head(llnew());
    head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    if (!head->mydata || readmeta(real.c_str(), head.get()) != 1) return false;
    markgone(head.get(), log.nos);
    unsigned long long size, s;
    if (!newbytes(head.get(), &size, &s) || size != log.newsize || s != log.newsum) return false;
    return durwriteindex(real, durbeside(real, ".mailbox-new"), head.get());
}

}  // namespace

std::string rmjournal(const char* fname) {
    char buf[PATH_MAX];
    if (!realpath(fname, buf)) return {};
    return durbeside(buf, ".mailbox-delete");
}

bool rmunfinished(const char* fname) {
    const std::string j = rmjournal(fname);
    struct stat st;
    return !j.empty() && lstat(j.c_str(), &st) == 0;
}

int rmfinish(const char* fname, FILE* errs, bool* done) {
    if (done) *done = false;
    const std::string journal = rmjournal(fname);
    struct stat st;
    if (journal.empty() || lstat(journal.c_str(), &st) != 0) return RMOK;
    char buf[PATH_MAX];
    const std::string real = realpath(fname, buf) ? buf : fname;
    const std::string name = shown(fname);
    std::string text;
    rmlog log;
    errno = 0;
    if (!readown(journal, &text) || !parselog(text, &log)) {
        say(errs, "cannot read '%s', the journal of a delete from '%s' cut short: %s\n",
            shown(journal).c_str(), name.c_str(),
            errno ? trustwhy(errno) : "not in a form mailbox writes");
        return RMFAIL;
    }
    rmid cwd;
    if (!here(&cwd) || !(cwd == log.here)) {
        say(errs,
            "a delete from '%s' was cut short in another directory; run mailbox there "
            "to finish it\n",
            name.c_str());
        return RMFAIL;
    }
    unsigned long long size = 0, now = 0;
    std::string index;
    const bool read = readall(real, &index);
    size = index.size();
    now = sum(index.data(), index.size());
    if (read && size == log.oldsize && now == log.oldsum) {
        if (!rewrite(real, log)) {
            say(errs, "cannot finish the delete from '%s' that was cut short: %s\n", name.c_str(),
                errno ? strerror(errno) : "the index is not the one it began with");
            return RMFAIL;
        }
    } else if (!read || !grownfrom(index, log.newsize, log.newsum)) {
        say(errs,
            "'%s' was changed since a delete from it was cut short; nothing done; give "
            "that delete up by removing '%s'\n",
            name.c_str(), shown(journal).c_str());
        return RMFAIL;
    }
    const int rc = unlinkall(log, journal, errs);
    if (rc == RMFAIL) return rc;
    say(errs, "finished a delete of %zu record%s from '%s' that was cut short\n", log.nos.size(),
        log.nos.size() == 1 ? "" : "s", name.c_str());
    if (done) *done = true;
    return rc;
}

namespace {

// The files that the names lead to, by device and inode: "a", "./a", a
// link to it and another name of it are one file, which a delete that
// keeps any of them must keep.
std::set<std::pair<dev_t, ino_t>> filesof(const std::set<std::string>& names) {
    std::set<std::pair<dev_t, ino_t>> files;
    for (const std::string& name : names) {
        struct stat st;
        if (stat(name.c_str(), &st) == 0) files.insert({st.st_dev, st.st_ino});
    }
    return files;
}

// The names of the records in an index's lines (seven a record).
std::vector<std::string> namesin(const std::string& records) {
    std::vector<std::string> names;
    std::istringstream in(records);
    std::string line;
    for (int k = 0; std::getline(in, line); k++)
        if (k % 7 == 0) names.push_back(line);
    return names;
}

// Which files the deleted records leave behind: a name that a record that
// stays lists too is kept, a name that is not a plain one of this directory
// or not a regular file is never removed, and each name is removed once.
// One line a record to *said, saying why a file stays.
void choose(const llnode* itemlist, const struct stat& index, const std::vector<std::string>& more,
            bool dryrun, std::string* said, rmlog* log) {
    std::set<std::string> kept(more.begin(), more.end()), chosen;
    for (const llnode* rec = itemlist->next; rec; rec = rec->next)
        if (rec->status == ACTIVE) kept.insert(rec->datafile);
    std::set<std::pair<dev_t, ino_t>> keptfiles;
    bool looked = false;  // the kept names are looked up only once a file could go
    auto keeps = [&](const struct stat& st) {
        if (!looked) keptfiles = filesof(kept);
        looked = true;
        return keptfiles.contains({st.st_dev, st.st_ino});
    };
    for (const llnode* rec = itemlist->next; rec; rec = rec->next) {
        if (rec->status != DELETED) continue;
        log->nos.push_back(rec->no);
        const std::string name = rec->datafile;
        struct stat st;
        const char* why = "";
        const bool odd =
            name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos;
        const bool there = !name.empty() && lstat(name.c_str(), &st) == 0;
        const int err = there ? 0 : errno;
        // A file a staying record lists stays, under whatever spelling.
        if (kept.contains(name) || (there && keeps(st)))
            why = ", whose file another record lists and keeps";
        else if (odd)
            why = ", whose file is not one of this directory's and stays";
        else if (!there)
            why = err == ENOENT ? ", whose file was missing" : "";
        else if (!S_ISREG(st.st_mode))
            why = ", whose file is not a regular file and stays";
        else if (st.st_dev == index.st_dev && st.st_ino == index.st_ino)
            why = ", whose file is the index itself and stays";
        else if (chosen.insert(name).second)
            log->files.push_back({idof(st), name});
        *said += std::string(dryrun ? "would delete" : "deleted") + " record " +
                 std::to_string(rec->no) + " ('" + shown(name) + "')" + why + "\n";
    }
}

}  // namespace

int rmdelete(const char* fname, llnode* itemlist, const std::vector<int>& nos, bool dryrun,
             FILE* out, FILE* errs) {
    char buf[PATH_MAX];
    if (!realpath(fname, buf)) {
        say(errs, "cannot find '%s': %s; nothing done\n", shown(fname).c_str(), strerror(errno));
        return RMFAIL;
    }
    const std::string real = buf;
    // The list must be the index as it is now, line for line, but for
    // records a delivery appended since it was read, which are kept.
    rmlog log;
    std::string was, seen, added;
    if (!durindextext(itemlist, &was) || !readall(real, &seen) || !durappended(was, seen, &added)) {
        say(errs,
            "'%s' is not as it was read (another program wrote to it, or it would not be "
            "written back as it is); nothing done\n",
            shown(fname).c_str());
        return RMFAIL;
    }
    log.oldsize = seen.size();
    log.oldsum = sum(seen.data(), seen.size());
    markgone(itemlist, nos);
    struct stat index {};
    (void)stat(real.c_str(), &index);
    std::string said;
    choose(itemlist, index, namesin(added), dryrun, &said, &log);
    if (dryrun) {
        if (out) (void)fputs(said.c_str(), out);
        return RMOK;
    }
    std::string text;
    if (!here(&log.here) || !durindextext(itemlist, &text)) {
        say(errs, "cannot read '%s': %s; nothing done\n", shown(fname).c_str(), strerror(errno));
        return RMFAIL;
    }
    text = durwithadded(text, added);
    log.newsize = text.size();
    log.newsum = sum(text.data(), text.size());
    const std::string journal = durbeside(real, ".mailbox-delete");
    const std::string logged = logtext(log);
    bool renamed = false;
    if (!durwrite(
            durbeside(real, ".mailbox-delete.new"), journal, nullptr,
            [&logged](FILE* f) {
                return fwrite(logged.data(), 1, logged.size(), f) == logged.size();
            },
            &renamed)) {
        const int err = errno;
        // A journal renamed in but not on disk would carry the delete out
        // at the next command: it goes, unless it can't.
        if (renamed && !(unlink(journal.c_str()) == 0 && dursyncdir(durparent(journal)))) {
            say(errs,
                "cannot write the journal '%s' to disk: %s; the next mailbox command carries "
                "the delete out\n",
                shown(journal).c_str(), strerror(err));
            return RMFAIL;
        }
        say(errs, "cannot write the journal '%s': %s; nothing done\n", shown(journal).c_str(),
            strerror(err));
        return RMFAIL;
    }
    std::string written;
    switch (durswap(real, durbeside(real, ".mailbox-new"), seen, text, &written, &renamed)) {
    case durswapped::done:
        break;
    case durswapped::changed:
        if (unlink(journal.c_str()) == 0) (void)dursyncdir(durparent(journal));
        say(errs, "'%s' was changed by another program meanwhile; nothing done\n",
            shown(fname).c_str());
        return RMFAIL;
    case durswapped::failed: {
        const int err = errno;
        if (renamed) {
            // The new index is in: the journal stays, and finishes the delete.
            if (out) (void)fputs(said.c_str(), out);
            say(errs,
                "the new '%s' is in place but not on disk (%s); the delete's journal stays, "
                "and the next mailbox command (such as 'mailbox list %s') finishes it: give "
                "no record numbers again, they name other records now\n",
                shown(fname).c_str(), strerror(err), shown(fname).c_str());
            return RMFAIL;
        }
        // Nothing changed: the journal goes too, unless it can't, and then
        // the next command finishes what it says.
        if (unlink(journal.c_str()) == 0) (void)dursyncdir(durparent(journal));
        say(errs, "cannot write '%s': %s; nothing done\n", shown(fname).c_str(), strerror(err));
        return RMFAIL;
    }
    case durswapped::late:
        if (out) (void)fputs(said.c_str(), out);
        say(errs,
            "'%s' is rewritten, but what another program wrote to it meanwhile could not all "
            "be kept; the delete's journal stays, and the next mailbox command finishes it\n",
            shown(fname).c_str());
        return RMFAIL;
    }
    if (out) (void)fputs(said.c_str(), out);
    return unlinkall(log, journal, errs);
}
