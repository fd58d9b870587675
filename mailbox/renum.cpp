// The public entry points of renumbering (mailbox/renum.h): the lock, the
// check for an unfinished update and a plain run. The update of the index,
// renumindex, is mailbox/renumupdate.cpp.
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
#include "mailbox/quote.h"
#include "mailbox/renumrun.h"

std::string renumshown(std::string_view name) { return quoteshown(name); }

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

std::string renumtotals(const renumstats& st, bool dryrun) {
    std::string line = std::to_string(st.moved) + (dryrun ? " would be renamed, " : " renamed, ") +
                       std::to_string(st.stayed) + " already in place, " +
                       std::to_string(st.missing) + " missing, " + std::to_string(st.refused) +
                       " refused";
    if (st.left > 0) line += ", " + std::to_string(st.left) + " not reached";
    return line + ", of " + std::to_string(st.records) + (st.records == 1 ? " record" : " records");
}
