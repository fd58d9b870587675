// Mail in and out of a mailbox: deliver (one message on standard input),
// import (mbox files, Maildir folders, loose files) and export (to an mbox
// file or a Maildir), each run with its locks held and whatever a run cut
// short left already finished (tools/mailbox/main.cpp).
#include <fcntl.h>
#include <sys/stat.h>
#include <sysexits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <set>

#include "headers/maildir.h"
#include "headers/mbox.h"
#include "headers/msghdr.h"
#include "mailbox/append.h"
#include "mailbox/durable.h"
#include "mailbox/renum.h"
#include "mailbox/trust.h"
#include "tools/cli.h"
#include "tools/mailbox/cmd.h"
#include "tools/mailbox/index.h"

namespace {

// The fields of a new record from a message's bytes, as --adopt reads a
// file's; 1 when it is not a message (no header line).
int fieldsofbytes(std::string_view bytes, apfields* f) {
    msghdr h;
    const int rc = msghdrparse(bytes, &h);
    if (rc != 0) return rc;
    f->to = h.to;
    f->from = h.from;
    f->subject = h.subject;
    f->cc = h.cc;
    f->bcc = h.bcc;
    f->read = h.read;
    return 0;
}

// The name the next append would take, without taking it.
std::string wouldtake(apbox* box) {
    for (long n = box->next; n <= APMAXNO; n++) {
        char buf[32];
        (void)snprintf(buf, sizeof buf, "in%03ld.msg", n);
        struct stat st;
        if (lstat(buf, &st) != 0) {
            box->next = n + 1;
            return buf;
        }
    }
    return "(no free name)";
}

// Whether standard output took every line; a line on standard error when
// not, as what it would have said is lost.
bool mbxoutok() {
    if (fflush(stdout) == 0 && !ferror(stdout)) return true;
    mbxsay("cannot write standard output: %s; its lines are lost\n", strerror(errno ? errno : EIO));
    return false;
}

}  // namespace

int mbxdeliverstatus(int err) {
    switch (err) {
    case EACCES:
    case EPERM:  // a file another planted: a link, another user's, not in mailbox's form
    case ELOOP:
        return EX_NOPERM;
    case ENOENT:  // the metafile missing, or not a regular file
    case ENOTDIR:
    case EISDIR:
    case EINVAL:
        return EX_CONFIG;
    case EBADMSG:  // an index that does not end in whole records and END
        return EX_UNAVAILABLE;
    case EROFS:
    case ENAMETOOLONG:
    case EMLINK:  // no free name is left
        return EX_CANTCREAT;
    // The lock, ENOSPC, EIO, EAGAIN, the index changed meanwhile, and a
    // msgseq run cut short (after a power cut, most often), which the next
    // msgseq run finishes: it may pass, and mail bounced meanwhile would be
    // mail the owner never sees.
    default:
        return EX_TEMPFAIL;
    }
}

int mbxdeliver(const mbxargs& a) {
    const std::string q = mbxq(a.meta);
    apbox box;
    std::string why, name;
    if (aplook(a.meta, &box, &why) != apresult::ok) {
        const int err = errno;
        mbxsay("cannot deliver to %s: %s; 'mailbox check %s' says more; nothing kept\n", q.c_str(),
               why.c_str(), renumshown(a.meta).c_str());
        return mbxdeliverstatus(err);
    }
    // From the wrong directory: kept by the mail agent, to try again once
    // its command runs where the mailbox is.
    if (box.records > 0 && !box.anyhere) {
        mbxsaynonehere(a.meta);
        return EX_TEMPFAIL;
    }
    apfields f;
    if (fieldsofbytes(a.input, &f) == 1) {
        mbxsay("standard input is not a message (no header line); nothing kept\n");
        return EX_DATAERR;
    }
    if (a.dryrun) {
        (void)printf("would deliver %zu bytes as %s, record %ld\n", a.input.size(),
                     mbxq(wouldtake(&box).c_str()).c_str(), box.records + 1);
        return fflush(stdout) == 0 && !ferror(stdout) ? EX_OK : EX_IOERR;
    }
    if (apwrite(&box, a.input) != apresult::ok) {
        const int err = errno;
        mbxsay("cannot write the message aside: %s; nothing kept\n", strerror(err));
        return mbxdeliverstatus(err);
    }
    if (apcommit(&box, f, &name, &why) != apresult::ok) {
        const int err = errno;
        mbxsay("cannot deliver to %s: %s\n", q.c_str(), why.c_str());
        return mbxdeliverstatus(err);
    }
    return EX_OK;
}

namespace {

// One source of an import, as the command line names it.
struct source {
    std::string path;
    enum { mbox, maildir, loose } kind = loose;
    std::string id;    // one line: what it is, by identity and time (an earlier release's key)
    std::string real;  // its full path, the ledger's key for it
    dev_t dev = 0;
    ino_t ino = 0;
};

std::string idline(const char* kind, const struct stat& st, const std::string& path) {
    return std::string(kind) + " " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) +
           " " + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + " " + path;
}

// A signal that stops an import between two messages.
volatile sig_atomic_t stopsig = 0;
void onstop(int sig) { stopsig = sig; }

// A source opened, not followed into a FIFO or a device. An mbox is read
// only while its writers hold none of their locks (an fcntl lock on it, a
// dot lock beside it), and its read lock is held until it is closed: a
// message half delivered read now could never be told from its whole self
// later. *locked when a lock was held past w. The descriptor, or -1.
int opensource(const std::string& path, struct stat* st, const cliwait* w, bool* locked) {
    *locked = false;
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    bool ok = fstat(fd, st) == 0;
    if (ok && !S_ISREG(st->st_mode)) {
        errno = EINVAL;
        ok = false;
    }
    while (ok && w) {
        // A stop signal ends the wait for a writer: nothing of it read.
        if (stopsig) {
            errno = EINTR;
            ok = false;
            break;
        }
        struct flock lk {};
        lk.l_type = F_RDLCK;
        lk.l_whence = SEEK_SET;
        struct stat dot;
        if (lstat((path + ".lock").c_str(), &dot) != 0 && fcntl(fd, F_SETLK, &lk) == 0) break;
        if (!clinexttry(*w)) {
            *locked = true;
            errno = EAGAIN;
            ok = false;
        }
    }
    // Its size as the lock was had: one taken before may end inside the
    // message its writer was adding then.
    ok = ok && fstat(fd, st) == 0;
    if (ok) return fd;
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
}

// The messages of an open mbox, a piece at a time, so that a mailbox of
// any size is held no more than a message and a piece at once: its bytes
// up to the size it had once its writers let it be (what is appended since is
// the next import's). false, errno set, when a read fails; false with
// *shorter when the file ends before that size: another program cut or
// rewrote it meanwhile, and the message at its end may be a part.
bool eachofmbox(int fd, off_t size, const std::function<bool(std::string&&)>& each,
                bool* shorter) {
    *shorter = false;
    constexpr size_t piece = 1 << 20;
    std::string buf;
    for (off_t left = size;;) {
        // A message longer than what is held is read on at its own length,
        // so that it is split once, not once a piece.
        const size_t want =
            static_cast<size_t>(std::min(left, static_cast<off_t>(std::max(piece, buf.size()))));
        const size_t had = buf.size();
        buf.resize(had + want);
        const ssize_t n = want ? read(fd, buf.data() + had, want) : 0;
        if (n < 0 && errno == EINTR) {
            buf.resize(had);
            continue;
        }
        if (n < 0) return false;
        if (n == 0 && left > 0) {
            *shorter = true;
            return false;
        }
        buf.resize(had + static_cast<size_t>(n));
        left -= n;
        bool stopped = false;
        const size_t done = mboxpart(buf, left > 0, each, &stopped);
        if (stopped || left == 0) return true;
        buf.erase(0, done);
    }
}

// What each source is, and a line of identity for it: a Maildir by its
// new/ and cur/ (a delivery or a reader changes them), a file by its own.
bool classify(const std::string& path, source* s) {
    s->path = path;
    char buf[PATH_MAX];
    s->real = realpath(path.c_str(), buf) ? buf : path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        mbxsay("cannot read %s: %s; nothing done\n", mbxq(path.c_str()).c_str(), strerror(errno));
        return false;
    }
    s->dev = st.st_dev;
    s->ino = st.st_ino;
    if (S_ISDIR(st.st_mode)) {
        if (!mdis(path)) {
            mbxsay("%s is a directory but not a Maildir (no cur/ or new/ in it); nothing done\n",
                   mbxq(path.c_str()).c_str());
            return false;
        }
        s->kind = source::maildir;
        s->id = idline("maildir", st, path);
        for (const char* sub : {"/new", "/cur"}) {
            struct stat d {};
            (void)stat((path + sub).c_str(), &d);
            s->id += ' ';
            s->id += std::to_string(d.st_mtim.tv_sec);
            s->id += '.';
            s->id += std::to_string(d.st_mtim.tv_nsec);
        }
        return true;
    }
    if (!S_ISREG(st.st_mode)) {
        mbxsay("%s is not a regular file; nothing done\n", mbxq(path.c_str()).c_str());
        return false;
    }
    char head[5] = {};
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const ssize_t n = fd >= 0 ? read(fd, head, sizeof head) : -1;
    if (fd >= 0) close(fd);
    if (n < 0) {
        mbxsay("cannot read %s: %s; nothing done\n", mbxq(path.c_str()).c_str(), strerror(errno));
        return false;
    }
    s->kind = mboxis(std::string_view(head, static_cast<size_t>(n))) ? source::mbox : source::loose;
    s->id = idline(s->kind == source::mbox ? "mbox" : "file", st, path);
    return true;
}

// Each message of the sources in order: how the user knows it, its bytes,
// the read flag a Maildir's name gives (its reader keeps it there and not
// in the message's own Status header), or the errno of a message that
// can't be read. each returns false to stop; so does walk, after a line,
// when a source can't be read.
using eachmsg = std::function<bool(const std::string& shown, unsigned long long source,
                                   std::string_view bytes, std::optional<bool> seen, int err)>;

int walk(const std::vector<source>& sources, const cliwait* w, const eachmsg& each) {
    for (const source& s : sources) {
        const std::string q = mbxq(s.path.c_str());
        const unsigned long long key = apsource(s.real);
        if (s.kind == source::maildir) {
            std::vector<mdmsg> msgs;
            if (!mdlist(s.path, &msgs)) {
                mbxsay("cannot list %s: %s; the import stops here\n", q.c_str(), strerror(errno));
                return MBXFAIL;
            }
            for (const mdmsg& m : msgs) {
                std::string bytes;
                struct stat st;
                const int fd = trustopenmsg(AT_FDCWD, m.path.c_str(), &st);
                const bool ok = fd >= 0 && durreadfd(fd, &bytes);
                const int err = ok ? 0 : errno;
                if (fd >= 0) close(fd);
                if (!each(mbxq(m.path.c_str()), key, bytes, m.seen, err)) return MBXOK;
            }
            continue;
        }
        std::string text;
        struct stat st;
        bool locked = false;
        const int fd = opensource(s.path, &st, s.kind == source::mbox ? w : nullptr, &locked);
        long k = 0;
        bool more = true, shorter = false;
        const bool ok =
            fd >= 0 && (s.kind == source::loose ? durreadfd(fd, &text)
                                                : eachofmbox(fd, st.st_size, [&](std::string&& msg) {
                                                      more = each(q + " message " + std::to_string(++k),
                                                                  key, msg, std::nullopt, 0);
                                                      return more;
                                                  }, &shorter));
        const int err = errno;
        if (fd >= 0) close(fd);  // the read lock with it
        if (shorter) {
            mbxsay("%s got shorter while it was read (another program cut or rewrote it); the "
                   "import stops here, and run again goes on\n", q.c_str());
            return MBXFAIL;
        }
        if (!ok) {
            if (err == EINTR && stopsig) return MBXOK;  // said as the import ends
            if (locked) {
                mbxsay("%s is locked by its writer (mail being delivered to it); the import stops "
                       "here, and run again goes on\n", q.c_str());
                return MBXBUSY;
            }
            mbxsay("cannot read %s: %s; the import stops here\n", q.c_str(), trustwhy(err));
            return MBXFAIL;
        }
        if (s.kind == source::loose && !each(q, key, text, std::nullopt, 0)) return MBXOK;
        if (!more) return MBXOK;
    }
    return MBXOK;
}

// The import's state through its messages.
struct importrun {
    const mbxargs& a;
    apbox box;
    apledger ledger;
    apbatch batch;
    std::vector<std::string> shown;  // how the user knows each message of the batch
    long in = 0, left = 0;
    bool stop = false;
    int rc = MBXOK;
    timespec held{};  // when the locks were last taken
};

// Every second or so, between two batches, the locks are let go for a
// moment (mbxargs::letin), so that a reader or a delivery waiting for them
// is not held out by a long import; the index is looked at anew then, and
// the ledger must be as this run left it. false, said, to stop.
bool letin(importrun* r) {
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    if ((now.tv_sec - r->held.tv_sec) * 1000000000L + (now.tv_nsec - r->held.tv_nsec) < 1000000000L)
        return true;
    int rc = r->a.letin();
    const std::string q = mbxq(r->a.meta);
    std::string why;
    if (rc == MBXOK && !apledgersame(r->a.meta, r->ledger)) {
        mbxsay("another import into %s ran meanwhile\n", q.c_str());
        rc = MBXBUSY;
    } else if (rc == MBXOK && aplook(r->a.meta, &r->box, &why) != apresult::ok) {
        mbxsay("cannot import into %s: %s\n", q.c_str(), why.c_str());
        rc = MBXFAIL;
    }
    if (clistopsig()) stopsig = clistopsig();
    (void)clock_gettime(CLOCK_MONOTONIC, &r->held);
    if (rc == MBXOK || stopsig) return rc == MBXOK;
    mbxsay("the import stops here, with %ld message%s in; run the same import again to go on\n",
           r->in, r->in == 1 ? "" : "s");
    r->stop = true;
    r->rc = rc;
    return false;
}

// A batch is this many messages or bytes at most: its files are open until
// it is synced, and a run stopped loses no more than a batch's work.
constexpr size_t BATCHMSGS = 256;
constexpr long long BATCHBYTES = 32LL << 20;

// The batch in, a line for each message.
void flush(importrun* r) {
    std::vector<std::string> names;
    std::string why;
    const size_t n = r->batch.msgs.size();
    if (n == 0) return;
    if (apcommitbatch(&r->box, &r->batch, &r->ledger, &names, &why) != apresult::ok) {
        mbxsay("cannot import %s%s: %s; run the same import again to go on\n", r->shown[0].c_str(),
               n > 1 ? (" and the " + std::to_string(n - 1) + " after it").c_str() : "", why.c_str());
        r->stop = true;
        r->rc = MBXFAIL;
    }
    for (size_t k = 0; k < names.size(); k++)
        (void)printf("imported %s as %s\n", r->shown[k].c_str(), mbxq(names[k].c_str()).c_str());
    r->in += static_cast<long>(names.size());
    r->shown.clear();
}

// One message: skipped when the ledger has it, else staged, or with -n
// said. false to stop.
bool importone(importrun* r, const std::string& from, unsigned long long source,
               std::string_view bytes, std::optional<bool> seen, int err) {
    if (stopsig) {
        r->stop = true;
        return false;
    }
    if (err) {
        mbxsay("cannot read %s: %s; left out\n", from.c_str(), trustwhy(err));
        r->left++;
        return true;
    }
    unsigned long long keysum = 0;
    long long keylen = 0;
    apkey(bytes, &keysum, &keylen);
    if (apledgertake(&r->ledger, apledgerline(source, keysum, keylen))) return true;
    apfields f;
    if (fieldsofbytes(bytes, &f) == 1) {
        mbxsay("%s is not a message (no header block); %s\n", from.c_str(),
               r->a.dryrun ? "would be left out" : "left out");
        r->left++;
        return true;
    }
    if (r->a.dryrun) {
        (void)printf("would import %s as %s\n", from.c_str(), mbxq(wouldtake(&r->box).c_str()).c_str());
        r->in++;
        return true;
    }
    if (r->batch.msgs.empty() && r->in > 0 && !letin(r)) return false;
    if (stopsig) {
        r->stop = true;
        return false;
    }
    if (apstage(&r->box, &r->batch, bytes, source, keysum, keylen) != apresult::ok) {
        const int serr = errno;
        flush(r);
        mbxsay("cannot write %s aside: %s; the import stops here, and run again goes on\n",
               from.c_str(), strerror(serr));
        r->stop = true;
        r->rc = MBXFAIL;
        return false;
    }
    if (seen) f.read = *seen;
    r->batch.msgs.back().fields = std::move(f);
    r->shown.push_back(from);
    if (r->batch.msgs.size() >= BATCHMSGS || r->batch.bytes >= BATCHBYTES) flush(r);
    return !r->stop;
}

// The lines of the messages an earlier release's import took in: the
// first done of these sources, counted as it counted them (those it left
// out and those it could not read too).
int oldtaken(const std::vector<source>& sources, long done, std::vector<std::string>* out) {
    long n = 0;
    const cliwait once = clistartwait(0);
    return walk(sources, &once, [&](const std::string&, unsigned long long key, std::string_view bytes,
                                    std::optional<bool>, int err) {
        if (++n > done) return false;
        unsigned long long sum = 0;
        long long len = 0;
        apkey(bytes, &sum, &len);
        if (!err) out->push_back(apledgerline(key, sum, len));
        return true;
    });
}

}  // namespace

int mbximport(const mbxargs& a) {
    const std::string q = mbxq(a.meta);
    std::vector<source> sources(a.sources.size());
    std::string ids;
    for (size_t k = 0; k < a.sources.size(); k++) {
        if (!classify(a.sources[k], &sources[k])) return MBXFAIL;
        ids += sources[k].id + "\n";
    }
    // A source named twice (another spelling, a link) is read once.
    for (size_t k = 0; k < sources.size(); k++)
        for (size_t e = 0; e < k; e++)
            if (sources[k].dev == sources[e].dev && sources[k].ino == sources[e].ino) {
                mbxsay("%s is %s again; read once\n", mbxq(sources[k].path.c_str()).c_str(),
                       mbxq(sources[e].path.c_str()).c_str());
                sources.erase(sources.begin() + static_cast<long>(k--));
                break;
            }
    importrun r{a, {}, {}, {}, {}};
    std::string why, oldids;
    long olddone = 0;
    if (!apledgerread(a.meta, &r.ledger, &oldids, &olddone, &why)) {
        mbxsay("cannot read what earlier imports into %s left: %s; nothing done\n", q.c_str(),
               why.c_str());
        return MBXFAIL;
    }
    if (aplook(a.meta, &r.box, &why) != apresult::ok) {
        mbxsay("cannot import into %s: %s; 'mailbox check %s' says more; nothing done\n",
               q.c_str(), why.c_str(), renumshown(a.meta).c_str());
        return MBXFAIL;
    }
    // From the wrong directory the messages would land beside files of
    // another mailbox, or none.
    if (r.box.records > 0 && !r.box.anyhere) {
        mbxsaynonehere(a.meta);
        return MBXFAIL;
    }
    // A batch cut short that a run without -n finishes first: its
    // messages are in by then, under its names.
    std::vector<std::string> pending;
    if (long highest = -1; a.dryrun && apbatchpending(a.meta, &pending, &highest)) {
        for (const std::string& line : pending) r.ledger.had[line]++;
        r.box.next = std::max(r.box.next, highest + 1);
    }
    // An earlier release's record names its sources and a count: the same
    // sources' first messages are in.
    std::vector<std::string> taken;
    if (oldids == ids && olddone > 0)
        if (const int rc = oldtaken(sources, olddone, &taken); rc != MBXOK) return rc;
    if (r.ledger.size == 0) {
        if (!a.dryrun && !apledgerbegin(a.meta, &r.ledger, taken)) {
            mbxsay("cannot write what an import keeps beside %s: %s; nothing done\n", q.c_str(),
                   strerror(errno));
            return MBXFAIL;
        }
        if (a.dryrun)  // as if written
            for (const std::string& line : taken) r.ledger.had[line]++;
    }
    // Ctrl-C, SIGTERM and SIGHUP stop it between two messages; one ignored
    // at the start (nohup) stays ignored.
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction was {};
        if (sigaction(sig, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            (void)signal(sig, onstop);
    }
    // An mbox's writer is waited for as the locks were.
    int seconds = a.row->wait;
    if (a.wait) (void)cliwaitvalue(a.wait, &seconds);
    const cliwait w = clistartwait(seconds);
    (void)clock_gettime(CLOCK_MONOTONIC, &r.held);
    if (const int rc = walk(sources, &w,
                            [&r](const std::string& from, unsigned long long key,
                                 std::string_view bytes, std::optional<bool> seen, int err) {
                                return importone(&r, from, key, bytes, seen, err);
                            });
        rc != MBXOK)
        r.rc = rc;
    flush(&r);
    if (stopsig) {
        (void)printf("imported %ld message%s into %s\n", r.in, r.in == 1 ? "" : "s", q.c_str());
        (void)fflush(stdout);
        // The count is of the messages in, not of those left out on the way.
        mbxsay("interrupted by %s after %ld messages in%s; run the same import again to go on\n",
               sigabbrev_np(stopsig) ? (std::string("SIG") + sigabbrev_np(stopsig)).c_str() : "a signal",
               r.in, r.left ? (" (" + std::to_string(r.left) + " left out)").c_str() : "");
        (void)signal(stopsig, SIG_DFL);
        (void)raise(stopsig);
        return MBXFAIL;
    }
    (void)printf("%s %ld message%s into %s%s\n", a.dryrun ? "would import" : "imported", r.in,
                 r.in == 1 ? "" : "s", q.c_str(),
                 r.left ? (", " + std::to_string(r.left) + " left out").c_str() : "");
    const bool out = mbxoutok();
    if (r.rc != MBXOK) return r.rc;
    if (!out) return MBXOUT;
    return r.left ? MBXFOUND : MBXOK;
}

namespace {

// The records the numbers name ("N", "A-B"), in the order given; all when
// none is. 0, or the status after a line.
int chosen(const mbxargs& a, const llnode* head, std::vector<const llnode*>* out) {
    std::vector<const llnode*> byno;
    for (const llnode* rec = head->next; rec; rec = rec->next) byno.push_back(rec);
    if (a.nums.empty()) {
        *out = byno;
        return 0;
    }
    for (const std::string& arg : a.nums) {
        const char* p = arg.c_str();
        const char* end = p + arg.size();
        int lo = 0, hi = 0;
        auto r = std::from_chars(p, end, lo);
        if (r.ec == std::errc() && r.ptr == end) {
            hi = lo;
        } else if (r.ec != std::errc() || *r.ptr != '-' ||
                   (r = std::from_chars(r.ptr + 1, end, hi)).ec != std::errc() || r.ptr != end ||
                   hi < lo) {
            mbxsay("%s is not a record number or a range of them (such as 3-7)\n",
                   mbxq(arg.c_str()).c_str());
            return MBXUSAGE;
        }
        if (lo < 1 || hi > static_cast<int>(byno.size())) {
            mbxsay("%s has no record %d (its records are numbered 1 to %zu); nothing done\n",
                   mbxq(a.meta).c_str(), lo < 1 ? lo : hi, byno.size());
            return MBXFAIL;
        }
        for (int no = lo; no <= hi; no++) out->push_back(byno[static_cast<size_t>(no - 1)]);
    }
    // Each record once, where it is first named: an mbox with a message
    // twice would import as two.
    std::set<const llnode*> seen;
    std::vector<const llnode*> once;
    int twice = 0;
    for (const llnode* rec : *out) {
        if (seen.insert(rec).second)
            once.push_back(rec);
        else if (twice++ == 0)
            mbxsay("record %d is named more than once; each record is exported once, where it "
                   "is first named\n",
                   rec->no);
    }
    *out = std::move(once);
    return 0;
}

// A no-replace move of from to to, a link and an unlink where the file
// system has no such rename.
int noreplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    if (link(from.c_str(), to.c_str()) != 0) return -1;
    return unlink(from.c_str()) == 0 || errno == ENOENT ? 0 : -1;
}

bool writefile(const std::string& path, std::string_view bytes) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = true;
    while (ok && !bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) bytes.remove_prefix(static_cast<size_t>(n));
    }
    ok = ok && fsync(fd) == 0;
    const int err = errno;
    ok = close(fd) == 0 && ok;
    if (!ok) (void)unlink(path.c_str());
    errno = err;
    return ok;
}

// A record's message whole, or false after a line (left out).
bool message(const llnode* rec, std::string* bytes, struct stat* st) {
    const int fd = trustopenmsg(AT_FDCWD, rec->datafile, st);
    const bool ok = fd >= 0 && durreadfd(fd, bytes);
    const int err = errno;
    if (fd >= 0) close(fd);
    if (!ok) mbxsay("cannot read %s: %s; left out\n", mbxq(rec->datafile).c_str(), trustwhy(err));
    return ok;
}

// Every piece written to fd; false with errno.
bool writeall(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// The mbox written aside a message at a time, synced, then moved in
// without replacing anything.
int tombox(const mbxargs& a, const std::vector<const llnode*>& recs) {
    const std::string file = a.mboxto, q = mbxq(a.mboxto);
    struct stat st;
    if (lstat(file.c_str(), &st) == 0) {
        mbxsay("%s is there already, and export never writes over a file; nothing done\n",
               q.c_str());
        return MBXFAIL;
    }
    const std::string tmp = durbeside(file, ".mailbox-export");
    int fd = -1;
    if (!a.dryrun) {
        (void)unlink(tmp.c_str());
        fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    const auto failed = [&](const std::string& what) {
        const int err = errno;
        if (fd >= 0) close(fd);
        (void)unlink(tmp.c_str());
        mbxsay("cannot write %s: %s; nothing done\n", mbxq(what.c_str()).c_str(), strerror(err));
        return MBXFAIL;
    };
    if (!a.dryrun && fd < 0) return failed(tmp);
    int left = 0, out = 0;
    std::string text;
    for (const llnode* rec : recs) {
        std::string bytes;
        if (!message(rec, &bytes, &st)) {
            left++;
            continue;
        }
        if (a.dryrun)
            (void)printf("would export record %d (%s)\n", rec->no, mbxq(rec->datafile).c_str());
        text.clear();
        mboxput(bytes, mboxsender(rec->from), st.st_mtim.tv_sec, rec->read == MSGREAD, &text);
        if (fd >= 0 && !writeall(fd, text)) return failed(tmp);
        out++;
    }
    if (fd >= 0) {
        if (fsync(fd) != 0) return failed(tmp);
        if (close(fd) != 0) {
            fd = -1;
            return failed(tmp);
        }
        fd = -1;
        if (noreplace(tmp, file) != 0) return failed(file);
        if (!dursyncdir(durparent(file))) {
            mbxsay("%s is written, but not on disk: %s; run 'sync'\n", q.c_str(), strerror(errno));
            return MBXFAIL;
        }
    }
    (void)printf("%s %d record%s to %s\n", a.dryrun ? "would export" : "exported", out,
                 out == 1 ? "" : "s", q.c_str());
    return left ? MBXFOUND : MBXOK;
}

int tomaildir(const mbxargs& a, const std::vector<const llnode*>& recs) {
    const std::string dir = a.maildirto, q = mbxq(a.maildirto);
    struct stat st;
    const bool had = lstat(dir.c_str(), &st) == 0;
    if (had && (!S_ISDIR(st.st_mode) || !mdis(dir))) {
        mbxsay("%s is there already and is not a Maildir; nothing done\n", q.c_str());
        return MBXFAIL;
    }
    if (!a.dryrun) {
        for (const std::string& d : {dir, dir + "/tmp", dir + "/new", dir + "/cur"}) {
            if (mkdir(d.c_str(), 0700) != 0 && errno != EEXIST) {
                mbxsay("cannot make %s: %s; nothing done\n", mbxq(d.c_str()).c_str(),
                       strerror(errno));
                return MBXFAIL;
            }
        }
    }
    int left = 0, out = 0;
    for (const llnode* rec : recs) {
        std::string bytes;
        if (!message(rec, &bytes, &st)) {
            left++;
            continue;
        }
        const bool seen = rec->read == MSGREAD;
        const std::string name = mdname(out, seen);
        std::string into = dir;
        into += seen ? "/cur/" : "/new/";
        into += name;
        if (a.dryrun) {
            (void)printf("would export record %d (%s)\n", rec->no, mbxq(rec->datafile).c_str());
        } else if (const std::string tmp = std::string(dir).append("/tmp/").append(name);
                   !writefile(tmp, bytes) || noreplace(tmp, into) != 0) {
            const int err = errno;
            (void)unlink(tmp.c_str());
            mbxsay("cannot write %s: %s; the export stops here (%d records are in %s)\n",
                   mbxq(into.c_str()).c_str(), strerror(err), out, q.c_str());
            (void)dursyncdir(dir + "/new");
            (void)dursyncdir(dir + "/cur");
            return MBXFAIL;
        }
        out++;
    }
    if (!a.dryrun) {
        for (const std::string& d : {dir + "/new", dir + "/cur", dir + "/tmp", dir, durparent(dir)})
            if (!dursyncdir(d)) {
                mbxsay("cannot sync %s: %s; the messages may not be on disk\n",
                       mbxq(d.c_str()).c_str(), strerror(errno));
                return MBXFAIL;
            }
    }
    (void)printf("%s %d record%s to %s\n", a.dryrun ? "would export" : "exported", out,
                 out == 1 ? "" : "s", q.c_str());
    return left ? MBXFOUND : MBXOK;
}

}  // namespace

int mbxexport(const mbxargs& a) {
    const mbxhead head = mbxload(a.meta);
    if (!head) return MBXFAIL;
    std::vector<const llnode*> recs;
    if (const int rc = chosen(a, head.get(), &recs)) return rc;
    if (mbxnonehere(head.get())) return MBXFAIL;
    const int rc = a.mboxto ? tombox(a, recs) : tomaildir(a, recs);
    if (!mbxoutok()) return rc != MBXFAIL ? MBXOUT : rc;
    return rc;
}
