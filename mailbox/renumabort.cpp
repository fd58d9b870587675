// Giving up a run cut short (renumabort, mailbox/renum.h): each file its
// journal knows goes back under the name the index lists, the index is left
// as it is, and the journal and its work directory go.
//
// Each file is found by its inode under the names a run gives it (the name
// the index listed, its new name, a set-aside name), as a resume finds it.
// The moves back form chains and rings as the run's own did: a file goes
// back once its name is free, and a ring is opened through a set-aside
// name. The journal is removed only once every move is on disk, so that a
// giving up cut short is finished by giving up again.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "mailbox/renum.h"
#include "mailbox/renumrun.h"
#include "mailbox/trust.h"

namespace {

// A file to go back: journal record rec, now under at, back to to.
struct backmove {
    uint32_t rec;
    std::string at, to;
    bool done = false;
};

// The name journal record i goes back to: the one the index lists, when
// that is its new name and the index is the one the update put in place,
// else the one listed when the run began. An index of another program's
// lists the names from then: its records are placed by those, wherever
// they stand.
std::string backname(const renumrun& r, const renumlog& log, renumkind kind, uint32_t i) {
    const renumname to = renumtarget(i);
    if (kind != renumkind::old && i < r.recs.size() && to.s == std::string_view(renumlisted(r, i)))
        return to.s;
    return log.recs[i].name;
}

// Every name in the working directory of a file the journal knows, by
// record. Records that a plain run found to be one file (hard links) share
// its inode: each takes the names that are its own.
std::vector<std::vector<std::string>> namesof(const renumrun& r, const renumlog& log,
                                              renumkind kind) {
    std::unordered_map<ino_t, uint32_t> byino;
    std::vector<uint32_t> nextsame(log.recs.size(), renumnone);
    for (auto i = static_cast<uint32_t>(log.recs.size()); i-- > 0;) {
        if (!log.recs[i].ino) continue;
        auto [it, fresh] = byino.emplace(log.recs[i].ino, i);
        if (!fresh) {
            nextsame[i] = it->second;
            it->second = i;
        }
    }
    std::vector<std::vector<std::string>> found(log.recs.size());
    renumdirptr d{opendir(".")};
    if (!d) return found;
    const bool listingino = renumtrustlisting(dirfd(d.get()));
    while (const dirent* ent = readdir(d.get())) {
        auto it = byino.find(renumfileino(dirfd(d.get()), ent, listingino));
        if (it == byino.end()) continue;
        const std::string_view name(ent->d_name);
        const bool shared = nextsame[it->second] != renumnone;
        for (uint32_t i = it->second; i != renumnone; i = nextsame[i]) {
            const std::string_view listed(log.recs[i].name);
            const bool aside = name.starts_with(renumtmp) &&
                               (!shared || name.substr(renumtmp.size()).starts_with(listed));
            if (name == listed || name == renumtarget(i).s || aside ||
                name == backname(r, log, kind, i))
                found[i].emplace_back(name);
        }
    }
    return found;
}

// Where each file is, and where it goes back to. A file under its name and
// under a run's name too was cut short between a link and an unlink: the
// run's name goes. A file under no name is said: where another file holds
// its new name (a mail client wrote the message anew there, say), that one
// is left where it is, since nothing shows it is this record's message.
std::vector<backmove> planback(renumrun& r, const renumlog& log, renumkind kind) {
    const std::vector<std::vector<std::string>> found = namesof(r, log, kind);
    std::vector<backmove> moves;
    for (uint32_t i = 0; i < log.recs.size(); i++) {
        if (!log.recs[i].ino) continue;
        const std::string to = backname(r, log, kind, i);
        const std::vector<std::string>& names = found[i];
        if (names.empty()) {
            const renumname moved = renumtarget(i);
            if (to != moved.s && renumlookup(r, moved.s) != 0 &&
                renumfindname(r, moved.s) == renumnone)
                r.complaints.emplace_back(
                    i, "cannot put back '" + renumshown(to) + "': '" + std::string(moved.s) +
                           "', where the run moved its file, holds another file now (written "
                           "anew by another program?), which is left there; if it is that "
                           "message, move it back by hand");
            else
                r.complaints.emplace_back(i, "cannot put back '" + renumshown(to) +
                                                 "': its file is under none of the names the "
                                                 "run gave it");
            continue;
        }
        std::string at = names.front();
        for (const std::string& name : names)
            if (name == to || (at != to && name == renumtarget(i).s)) at = name;
        for (const std::string& name : names)
            if (name != at && renumtwoentries(r, name, at)) (void)renumfsunlink(r, name);
        if (at != to) moves.push_back({i, at, to});
    }
    return moves;
}

// One file back, and the one that waited for the name it leaves.
void moveback(renumrun& r, std::vector<backmove>& moves, size_t k,
              std::unordered_map<std::string, size_t>& wants, std::deque<size_t>& ready) {
    backmove& m = moves[k];
    if (const int err = renumfsmove(r, m.at, m.to.c_str())) {
        r.complaints.emplace_back(m.rec, "cannot put '" + renumshown(m.at) + "' back to '" +
                                             renumshown(m.to) + "': " + renumwhy(err) +
                                             "; the message is left there");
        m.done = true;
        return;
    }
    m.done = true;
    if (auto it = wants.find(m.at); it != wants.end()) ready.push_back(it->second);
}

// Every file back where its name is free, then each ring opened through a
// set-aside name and closed.
void putallback(renumrun& r, std::vector<backmove>& moves) {
    std::unordered_map<std::string, size_t> wants, holds;
    for (size_t k = 0; k < moves.size(); k++) {
        wants.emplace(moves[k].to, k);
        holds.emplace(moves[k].at, k);
    }
    std::deque<size_t> ready;
    for (size_t k = 0; k < moves.size(); k++)
        if (!holds.contains(moves[k].to)) ready.push_back(k);
    auto drain = [&] {
        while (!ready.empty()) {
            const size_t k = ready.front();
            ready.pop_front();
            if (!moves[k].done) moveback(r, moves, k, wants, ready);
        }
    };
    drain();
    for (backmove& m : moves) {  // drain only marks moves done: m stays valid
        if (m.done) continue;
        const std::string temp =
            std::string(renumtmp) + m.to + "." + std::to_string(renumlookup(r, m.at));
        if (const int err = renumfsmove(r, m.at, temp.c_str())) {
            r.complaints.emplace_back(m.rec, "cannot put '" + renumshown(m.at) + "' back to '" +
                                                 renumshown(m.to) + "': " + renumwhy(err) +
                                                 "; the message is left there");
            m.done = true;
            continue;
        }
        const std::string freed = m.at;
        m.at = temp;
        if (auto it = wants.find(freed); it != wants.end()) ready.push_back(it->second);
        drain();
    }
}

// The moves on disk, then the journal and its work directory gone.
int clearup(const renumrun& r, const renumwork& w, int rc) {
    if (!dursyncdir(".")) {
        renumsay(r.opts, "cannot sync the directory '.': %s; the journal stays\n", strerror(errno));
        return RENUMFILES;
    }
    return renumdropwork(r.opts, w.dir, false) ? rc : RENUMFILES;
}

}  // namespace

int renumabort(const char* fname, llnode* itemlist, const renumopts* opts) {
    renumfd lock{-1};
    if (const int rc = renumheld(opts, &lock)) return rc;
    renumwork w;
    renumfindwork(fname, &w);
    const std::string shown = renumshown(fname);
    if (w.found == renumjournal::bad) {
        renumsay(opts, "cannot read the journal '%s/journal': %s; nothing done\n",
                 renumshown(w.dir).c_str(),
                 w.err ? trustwhy(w.err) : "not in a form msgseq writes");
        return RENUMINDEX;
    }
    if (w.found == renumjournal::none) {
        // A work directory with no journal is from a run cut short before
        // its first move, or after its last: only the directory goes.
        struct stat st;
        if (!opts->dryrun && !w.dir.empty() && lstat(w.dir.c_str(), &st) == 0 &&
            renumclearwork(w.dir) == 0)
            (void)dursyncdir(durparent(w.dir));
        renumsay(opts, "no run of '%s' was cut short; nothing to give up\n", shown.c_str());
        return RENUMOK;
    }
    renumfd uplock{-1};
    if (!w.real.empty() && w.dir != renumsparedir())
        if (const int rc = renumlockindexdir(w.real, fname, opts, &uplock)) return rc;
    renumrun r;
    r.recs = renumrecsof(itemlist, nullptr);
    if (!renumstart(r, fname, opts, false, true)) return RENUMFILES;
    // Elsewhere, no file would be found, and the journal must stay.
    if (w.log.where.ino != r.here.ino) {
        renumsay(opts,
                 "the run of '%s' that was cut short worked in another directory; give it up "
                 "there; nothing done\n",
                 shown.c_str());
        return RENUMINDEX;
    }
    // The index the update put in place names the records' new names in
    // its order: that order must be the journal's, or a file could go back
    // under a name another record lists.
    const renumkind kind = renumindexkind(w.dir, w.real, w.log);
    if (kind != renumkind::old) {
        const uint32_t count = static_cast<uint32_t>(std::min(r.recs.size(), w.log.recs.size()));
        if (const uint32_t p = renummisplaced(r, w.log, kind, namesof(r, w.log, kind), count);
            p != renumnone) {
            renumsay(opts,
                     "'%s' is not the index that the run cut short was working on, or its "
                     "records are not in that run's order (record %u differs from its journal, "
                     "or could be another of its records); nothing done; put that index back, "
                     "then run '%s --abort %s' again\n",
                     shown.c_str(), p + 1, progof(opts), shown.c_str());
            return RENUMINDEX;
        }
    }
    std::vector<backmove> moves = planback(r, w.log, kind);
    putallback(r, moves);
    std::stable_sort(r.complaints.begin(), r.complaints.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [i, line] : r.complaints) renumsay(opts, "%s\n", line.c_str());
    const int rc = r.complaints.empty() ? RENUMOK : RENUMFILES;
    if (r.dry) return rc;
    return clearup(r, w, rc);
}
