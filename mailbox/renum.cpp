// The public entry points of renumbering (mailbox/renum.h): the lock, the
// check for an unfinished update, a plain run and an update of the index.
#include "mailbox/renum.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/meta.h"
#include "mailbox/metachk.h"
#include "mailbox/renumrun.h"

std::string renumshown(std::string_view name) {
    std::string out(name);
    std::replace_if(
        out.begin(), out.end(),
        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }, '?');
    return out;
}

int renumlock() { return durlock("."); }

void renumunlock(int lockfd) { durunlock(lockfd); }

namespace {

// Locks the directory path for this run, or finds it locked already: flock
// locks belong to an open description, so a second exclusive lock is refused
// even to the process that holds the first. A directory that can't be locked
// at all (NFS without its lock manager) is not worked on unlocked. RENUMOK,
// with *keep holding the lock when this run took it, or RENUMBUSY, said.
int lockat(const std::string& path, std::string_view fname, const renumopts* opts, renumfd* keep) {
    keep->fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (keep->fd >= 0 && flock(keep->fd, LOCK_EX | LOCK_NB) == 0) return RENUMOK;
    const int err = errno;
    if (keep->fd >= 0) close(keep->fd);
    keep->fd = -1;
    if (fname.empty()) {                         // the working directory
        if (err == EWOULDBLOCK) return RENUMOK;  // the caller's lock
        renumsay(opts, "cannot lock the working directory: %s; nothing done\n", strerror(err));
        return RENUMBUSY;
    }
    const std::string shown = renumshown(fname);
    if (err == EWOULDBLOCK)
        renumsay(opts,
                 "another process (a msgseq run, or flock(1)) holds the lock on the directory "
                 "of '%s'; nothing done\n",
                 shown.c_str());
    else
        renumsay(opts, "cannot lock the directory of '%s': %s; nothing done\n", shown.c_str(),
                 strerror(err));
    return RENUMBUSY;
}

}  // namespace

// The working directory's lock, which the caller should hold already.
int renumheld(const renumopts* opts, renumfd* keep) { return lockat(".", {}, opts, keep); }

// The index's own directory is locked too when it is another one, so that
// two updates of one index from two directories never meet.
int renumlockindexdir(const std::string& real, const char* fname, const renumopts* opts,
                      renumfd* keep) {
    struct stat st;
    const std::string up = durparent(real);
    if (stat(up.c_str(), &st) == 0 && renumid{st.st_dev, st.st_ino} == renumhere()) return RENUMOK;
    return lockat(up, fname, opts, keep);
}

namespace {

const char* progof(const renumopts* opts) { return opts->prog ? opts->prog : "msgseq"; }

// What stops an update before anything is touched, said the same by a dry
// run and a real one: a line to errs and RENUMINDEX, or RENUMOK to go on.
int precheck(const char* fname, const std::string& real, const std::string& dir,
             const renumopts* opts) {
    struct stat st;
    if (dir.empty() || stat(real.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        renumsay(opts, "'%s' is not a metafile that can be rewritten\n", renumshown(fname).c_str());
        return RENUMINDEX;
    }
    if (dir.size() - dir.rfind('/') - 1 > NAME_MAX || dir.size() >= PATH_MAX) {
        renumsay(opts,
                 "cannot update '%s': the name of its work directory would be too long (%s)\n",
                 renumshown(fname).c_str(), strerror(ENAMETOOLONG));
        return RENUMINDEX;
    }
    // The index is written back from the list: a line that would not come
    // back as it was would be lost, so such an index is not touched.
    if (const metafault f = metachk(real.c_str(), true); f.line != 0) {
        renumsay(opts, "'%s' would not be written back as it is (line %d: %s); nothing done\n",
                 renumshown(fname).c_str(), f.line, f.why);
        return RENUMINDEX;
    }
    // The new index and the work directory are made beside the index.
    if (access(durparent(real).c_str(), W_OK) != 0) {
        renumsay(opts, "cannot write in '%s', where the index '%s' is (%s); nothing done\n",
                 renumshown(durparent(real)).c_str(), renumshown(fname).c_str(), strerror(errno));
        return RENUMINDEX;
    }
    return RENUMOK;
}

}  // namespace

int renumindex(const char* fname, llnode* itemlist, const renumopts* opts, renumstats* stats) {
    renumfd lock{-1};
    if (int rc = renumheld(opts, &lock)) return rc;
    std::string real;
    const std::string dir = renumworkdir(fname, &real);
    if (const int rc = precheck(fname, real, dir, opts)) return rc;
    // The index as this run found it: another program that writes to it
    // meanwhile (a delivery that takes no lock) must not lose what it wrote.
    struct stat loaded {};
    (void)stat(real.c_str(), &loaded);
    // Names past in999999.msg would not fit a record's name field.
    if (itemlist->count > 1000000) {
        renumsay(opts,
                 "'%s' lists more than 1000000 messages, whose new names would not fit "
                 "the index\n",
                 renumshown(fname).c_str());
        return RENUMINDEX;
    }
    renumfd uplock{-1};
    if (int rc = renumlockindexdir(real, fname, opts, &uplock)) return rc;
    renumlog log;
    const renumjournal found = renumreadjournal(dir, &log);
    if (found == renumjournal::bad) {
        renumsay(opts, "cannot read the journal '%s/journal': %s\n", renumshown(dir).c_str(),
                 errno ? strerror(errno) : "not in a form msgseq writes");
        return RENUMINDEX;
    }
    if (renumworkforeign(dir)) {
        renumsay(opts, "'%s' holds files that msgseq did not put there; nothing done\n",
                 renumshown(dir).c_str());
        return RENUMINDEX;
    }
    renumrun r;
    std::vector<uint32_t> same;
    if (found == renumjournal::good) {
        if (!renumstart(r, fname, itemlist, opts, false, true)) return RENUMFILES;
        if (!(log.where == r.here) || log.recs.size() != r.recs.size()) {
            renumsay(opts,
                     "the update of '%s' that was cut short worked in another directory "
                     "or on another index; finish it there, or give it up by removing '%s' "
                     "(the files keep the names they have now)\n",
                     renumshown(fname).c_str(), renumshown(dir).c_str());
            return RENUMINDEX;
        }
        uint32_t differs = 0;
        std::string changed;
        const renumresume how = renumfindfiles(r, log, &differs, &changed);
        if (how == renumresume::changed) {
            renumsay(opts,
                     "'%s', the file of record %u, is not the file the update of '%s' began "
                     "with (its size or time differs); nothing done; put that message back, or "
                     "give the update up by removing '%s' (the files keep the names they have "
                     "now)\n",
                     renumshown(changed).c_str(), differs + 1, renumshown(fname).c_str(),
                     renumshown(dir).c_str());
            return RENUMINDEX;
        }
        if (how == renumresume::other) {
            renumsay(opts,
                     "'%s' is not the index that the update cut short was working on (record %u "
                     "differs from its journal); nothing done; put that index back, or give the "
                     "update up by removing '%s' (the files keep the names they have now)\n",
                     renumshown(fname).c_str(), differs + 1, renumshown(dir).c_str());
            return RENUMINDEX;
        }
        if (how == renumresume::apart) {
            renumsay(opts,
                     "files in this directory share inode numbers; the update of '%s' "
                     "that was cut short can't be finished safely here\n",
                     renumshown(fname).c_str());
            return RENUMINDEX;
        }
    } else {
        if (!renumstart(r, fname, itemlist, opts, true))
            return r.recs.empty() ? RENUMOK : RENUMFILES;
        same = renumrefuselinked(r);
        if (const uint32_t i = renumstranded(r); i != renumnone) {
            renumsay(opts,
                     "the file of the record listing '%s' was set aside by a run cut short, and "
                     "can take neither its new name '%s', which another record keeps in the "
                     "index, nor its own, which another file has; run '%s %s' to finish that "
                     "run, then '%s -u %s'; nothing done\n",
                     renumshown(renumlisted(r, i)).c_str(), renumtarget(i).s, progof(opts),
                     renumshown(fname).c_str(), progof(opts), renumshown(fname).c_str());
            return RENUMINDEX;
        }
    }
    r.verified = true;
    r.update = true;
    bool named = true;
    auto unwritten = [&] {
        renumsay(opts,
                 "'%s' is not rewritten; the journal stays, and '%s -u' run again "
                 "finishes the update\n",
                 renumshown(fname).c_str(), progof(opts));
        return RENUMWRITE;
    };
    if (r.dry) {
        const int rc = renumpasses(r, stats, false, &named);
        return named ? rc : unwritten();
    }

    // Stopped before the journal is written, the run has changed nothing.
    if (found == renumjournal::none && renumstopping(r)) {
        if (stats) {
            *stats = renumstats{};
            stats->records = stats->left = static_cast<int>(r.recs.size());
        }
        return RENUMSTOPPED;
    }
    if (found == renumjournal::none) {
        // A work directory without a journal is from a run cut short before
        // its first rename, or after its last step: nothing to finish.
        if (const int err = renumclearwork(dir)) {
            renumsay(opts, "cannot remove '%s': %s; nothing done\n", renumshown(dir).c_str(),
                     strerror(err));
            return RENUMINDEX;
        }
        if (!renumbegin(r, dir, same)) {
            renumsay(opts, "cannot write the journal '%s/journal': %s\n", renumshown(dir).c_str(),
                     strerror(errno));
            (void)renumclearwork(dir);
            return RENUMINDEX;
        }
    }
    const int rc = renumpasses(r, stats, true, &named);
    if (rc == RENUMSTOPPED) return rc;  // the journal stays for the run that finishes
    // The renames on disk before the index that names them, the index before
    // the journal goes.
    if (!named || !dursyncdir(".")) return unwritten();
    struct stat now {};
    if (stat(real.c_str(), &now) != 0 || now.st_ino != loaded.st_ino ||
        now.st_size != loaded.st_size || now.st_mtim.tv_sec != loaded.st_mtim.tv_sec ||
        now.st_mtim.tv_nsec != loaded.st_mtim.tv_nsec) {
        renumsay(opts,
                 "'%s' was changed by another program during the update, and is not rewritten, "
                 "so that nothing written to it is lost; the journal stays\n",
                 renumshown(fname).c_str());
        return RENUMWRITE;
    }
    if (!durwriteindex(real, dir + "/index", itemlist)) return unwritten();
    if (const int err = renumclearwork(dir)) {
        struct stat st;
        if (lstat((dir + "/journal").c_str(), &st) == 0)
            renumsay(opts,
                     "'%s' is rewritten but its journal stays; '%s -u' run again "
                     "finishes the update\n",
                     renumshown(fname).c_str(), progof(opts));
        else
            renumsay(opts,
                     "'%s' is rewritten, but its work directory stays (%s); '%s -u' run "
                     "again removes it\n",
                     renumshown(fname).c_str(), strerror(err), progof(opts));
        return RENUMWRITE;
    }
    if (!dursyncdir(durparent(real))) {
        renumsay(opts,
                 "'%s' is rewritten, but the end of the update may not be on disk (%s); '%s -u' "
                 "run again makes sure\n",
                 renumshown(fname).c_str(), strerror(errno), progof(opts));
        return RENUMWRITE;
    }
    return rc;
}
