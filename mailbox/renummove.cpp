// The moves of a renumbering run: the first pass in index order, then the
// records whose new name was taken, as chains and rings, with the undoing of
// a ring that can't be closed; and the lines that report what was not done.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/renumrun.h"

// The clock is read at the first call and every 1024th, so that a run of
// many records pays nearly nothing for it. done only grows, so each line is
// at least as wide as the one it covers.
void renumprogress(renumrun& r, uint32_t done) {
    if (!r.opts->progress || r.ticks++ % 1024 != 0) return;
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return;
    if (r.ticks == 1) r.began = now;
    const long long ms =
        (now.tv_sec - r.began.tv_sec) * 1000LL + (now.tv_nsec - r.began.tv_nsec) / 1000000;
    if (ms < r.opts->progressms) return;
    const int n =
        fprintf(r.opts->progress, "\r%s%s%u of %zu records", r.opts->prog ? r.opts->prog : "",
                r.opts->prog ? ": " : "", done, r.recs.size());
    (void)fflush(r.opts->progress);
    if (n > 1) r.shown = n - 1;
}

void renumprogressend(renumrun& r) {
    if (!r.shown) return;
    (void)fprintf(r.opts->progress, "\r%*s\r", r.shown, "");
    (void)fflush(r.opts->progress);
    r.shown = 0;
}

namespace {

void refuse(renumrun& r, uint32_t i, const char* why) {
    renumcomplain(r, i, renumlisted(r, i), renumtarget(i).s, why);
    r.state[i] = renumst::kept;
}

// Record i's file is under no name. One that lists its new name already
// has nowhere to move: what is missing is the file.
void lost(renumrun& r, uint32_t i) {
    if (renumlisted(r, i) == std::string_view(renumtarget(i).s))
        r.complaints.emplace_back(
            i, "cannot find '" + renumshown(renumlisted(r, i)) + "': " + strerror(ENOENT));
    else
        refuse(r, i, strerror(ENOENT));
    r.state[i] = renumst::lost;
}

// Moves record i's file to its new name; 0 or the errno of the failure,
// reported unless it is EEXIST or ENOENT, which the caller judges.
int moverec(renumrun& r, uint32_t i) {
    const std::string from(renumcur(r, i));
    const renumname to = renumtarget(i);
    bool both = false;
    const int err = renumfsmove(r, from, to.s, &both, i);
    if (err == 0) {
        r.state[i] = renumst::moved;
        r.away.erase(i);
    } else if (both) {
        renumcomplain(r, i, from, to.s,
                      (std::string(strerror(err)) + "; it is now under both names").c_str());
        r.state[i] = renumst::kept;
    } else if (err != EEXIST && err != ENOENT) {
        renumcomplain(r, i, from, to.s, renumwhy(err));
        r.state[i] = renumst::kept;
    }
    return err;
}

// With the index to be rewritten, a record that keeps its name without its
// file there (its file is missing, or it names the file of an earlier
// record) keeps that name in the index: no other record's file may move in
// under it, or two records would name one file.
void reservenames(renumrun& r) {
    if (!r.update) return;
    for (uint32_t i = 0; i < r.recs.size(); i++)
        if (r.state[i] == renumst::twin || (r.verified && r.ino[i] == 0 && !r.away.contains(i)))
            r.reserved.emplace_back(renumlisted(r, i));
    std::sort(r.reserved.begin(), r.reserved.end());
}

// A name that holds a file no record lists (nor holds set aside): the file
// in the way, which the user can't find from the index alone.
bool unlisted(const renumrun& r, std::string_view name) {
    return renumfindname(r, name) == renumnone &&
           std::none_of(r.away.begin(), r.away.end(),
                        [&](const auto& a) { return a.second == name; });
}

// A file set aside, by this run or one before it, goes on to its new name,
// or back, before a stop takes effect; so do the files that stand in its
// way, each holding the new name of the one before, so that it is never
// left set aside or put back onto a taken name.
void markaside(renumrun& r) {
    r.aside.assign(r.recs.size(), false);
    for (const auto& [i, name] : r.away) {
        if (!name.starts_with(renumtmp)) continue;
        for (uint32_t k = i; k != renumnone && !r.aside[k]; k = renumfindname(r, renumtarget(k).s))
            r.aside[k] = true;
    }
}

bool stopsat(const renumrun& r, uint32_t i) {
    return renumstopping(r) && (r.aside.empty() || !r.aside[i]);
}

// After a move of record i failed with err: its new name is still taken, or
// its file has gone from under it.
void judge(renumrun& r, uint32_t i, std::string_view from, int err) {
    if (err != EEXIST && err != ENOENT) return;  // reported where it failed
    const renumname to = renumtarget(i);
    std::string why = strerror(err);
    if (err == EEXIST && unlisted(r, to.s))
        why += " ('" + renumshown(to.s) + "' is not in the index)";
    renumcomplain(r, i, err == EEXIST ? std::string_view(renumlisted(r, i)) : from, to.s,
                  why.c_str());
    r.state[i] = err == ENOENT ? renumst::lost : renumst::kept;
}

// First pass: every record in index order, renamed at once where its new
// name is free. A listed name that an earlier record of this run has just
// moved into held no file of its own when the run began.
void firstpass(renumrun& r) {
    uint32_t waiting = 0;
    r.batch = !r.dry;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        renumprogress(r, i - waiting);
        if (r.state[i] != renumst::open && r.state[i] != renumst::twin) continue;
        if (stopsat(r, i)) continue;
        if (const char* why = renumunfit(r, i)) {
            refuse(r, i, why);
            continue;
        }
        const bool isaway = r.away.contains(i);
        if (!isaway) {
            const uint32_t k = renumtargetno(renumlisted(r, i));
            const bool gone = r.verified
                                  ? r.ino[i] == 0
                                  : !*renumlisted(r, i) || (k < i && r.state[k] == renumst::moved);
            if (gone) {
                lost(r, i);
                continue;
            }
        }
        const renumname to = renumtarget(i);
        const std::string_view cur = renumcur(r, i), tov(to.s);
        if (cur != tov && !r.reserved.empty() &&
            std::binary_search(r.reserved.begin(), r.reserved.end(), tov)) {
            refuse(r, i, "another record keeps that name in the index");
            continue;
        }
        if (cur == tov) {
            if (r.verified || renumlookup(r, to.s) != 0)
                r.state[i] = renumst::stayed;
            else
                lost(r, i);
            continue;
        }
        const int err = moverec(r, i);
        if (err == EEXIST) {
            r.state[i] = renumst::wait;
            waiting++;
        } else {
            judge(r, i, renumcur(r, i), err);
        }
    }
    renumflushlinks(r);
}

// Works a ring of waiting records, where each one's new name holds the file
// of the next (ring[j + 1], and the last's holds the first's): the first
// file is set aside, the others move from the far end, and the first follows
// last. Should a move fail, the moves made are undone, so that nothing stays
// under a temporary name.
void workring(renumrun& r, const std::vector<uint32_t>& ring) {
    const size_t m = ring.size();
    const uint32_t first = ring[0];
    std::vector<std::string> was(m);
    for (size_t j = 0; j < m; j++) was[j] = renumcur(r, ring[j]);
    // The name says which file is to move in where the first one was, so
    // that a run after a kill can tell this file from a stray one.
    const std::string temp = std::string(renumtmp) + renumlisted(r, first) + "." +
                             std::to_string(renumlookup(r, was[m - 1]));
    if (int err = renumfsmove(r, was[0], temp.c_str())) {
        renumcomplain(r, first, was[0], temp, renumwhy(err));
        r.state[first] = renumst::kept;
        for (size_t j = 1; j < m; j++) judge(r, ring[j], was[j], EEXIST);
        return;
    }
    r.away[first] = temp;
    size_t j = m;
    int err = 0;
    while (j-- > 0)
        if ((err = moverec(r, ring[j])) != 0) break;
    if (j == SIZE_MAX) return;  // the whole ring moved
    // ring[j] could not move: undo the moves after it, nearest first, and
    // bring the first file back to its name.
    judge(r, ring[j], was[j], err);
    size_t undo = j + 1;
    for (; undo < m; undo++) {
        if (renumfsmove(r, renumtarget(ring[undo]).s, was[undo].c_str()) != 0) break;
        r.state[ring[undo]] = renumst::wait;
        if (was[undo] != renumlisted(r, ring[undo])) r.away[ring[undo]] = was[undo];
    }
    if (undo == m && r.state[first] != renumst::moved &&
        renumfsmove(r, temp, was[0].c_str()) == 0) {
        if (was[0] == renumlisted(r, first))
            r.away.erase(first);
        else
            r.away[first] = was[0];
    }
    for (size_t t = 0; t < m; t++)
        if (r.state[ring[t]] == renumst::wait) judge(r, ring[t], was[t], EEXIST);
}

// Second pass: the records whose new name was taken. Each new name is held
// by at most one file, so the records form chains, each worked from its
// free end, and rings.
void secondpass(renumrun& r) {
    std::vector<uint32_t> waits;
    for (uint32_t i = 0; i < r.recs.size(); i++)
        if (r.state[i] == renumst::wait) waits.push_back(i);
    if (waits.empty()) return;
    auto done = static_cast<uint32_t>(r.recs.size() - waits.size());

    // A move cut short between its link and its unlink left the file under
    // both names: finish it. Two spellings of one entry are no such move.
    for (uint32_t i : waits) {
        const std::string from(renumcur(r, i));
        const renumname to = renumtarget(i);
        if (!renumsamefile(r, from, to.s)) continue;
        if (!renumtwoentries(r, from, to.s)) {
            renumcomplain(r, i, from, to.s, "the two names are one directory entry here");
            r.state[i] = renumst::kept;
        } else if (int err = renumfsunlink(r, from)) {
            renumcomplain(r, i, from, to.s,
                          (std::string(strerror(err)) + "; it is now under both names").c_str());
            r.state[i] = renumst::kept;
        } else {
            renumtrace(r, from, to.s);
            r.state[i] = renumst::moved;
            r.away.erase(i);
        }
        renumprogress(r, ++done);
    }

    std::unordered_map<std::string, uint32_t> holder;
    for (uint32_t i : waits)
        if (r.state[i] == renumst::wait) holder.emplace(renumcur(r, i), i);
    auto next = [&](uint32_t i) {
        auto it = holder.find(renumtarget(i).s);
        return it == holder.end() ? renumnone : it->second;
    };
    std::vector<uint8_t> seen(r.recs.size(), 0);  // 1 on the walk now, 2 done
    std::vector<uint32_t> path;
    for (uint32_t start : waits) {
        if (r.state[start] != renumst::wait || seen[start]) continue;
        if (stopsat(r, start)) continue;  // between one chain or ring and the next
        path.clear();
        uint32_t i = start;
        while (i != renumnone && !seen[i] && r.state[i] == renumst::wait) {
            seen[i] = 1;
            path.push_back(i);
            i = next(i);
        }
        size_t chain = path.size();
        if (i != renumnone && seen[i] == 1) {
            // The walk came back onto itself: a ring, then the chain into it.
            chain = static_cast<size_t>(std::find(path.begin(), path.end(), i) - path.begin());
            workring(r, std::vector<uint32_t>(path.begin() + static_cast<long>(chain), path.end()));
            done += static_cast<uint32_t>(path.size() - chain);
        }
        // From the free end back: each move frees the name the one before waits for.
        bool free = i == renumnone || renumhome(r.state[i]);
        for (size_t j = chain; j-- > 0;) {
            const uint32_t rec = path[j];
            // A chain can stop between any two moves: each made a name free.
            if (stopsat(r, path[0])) break;
            renumprogress(r, done++);
            if (!free) {
                judge(r, rec, renumcur(r, rec), EEXIST);
                continue;
            }
            const std::string from(renumcur(r, rec));
            const int err = moverec(r, rec);
            judge(r, rec, from, err);
            free = err == 0;
        }
        for (uint32_t p : path) seen[p] = 2;
    }
}

void report(renumrun& r, renumstats* stats) {
    std::stable_sort(r.complaints.begin(), r.complaints.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [i, line] : r.complaints) renumsay(r.opts, "%s\n", line.c_str());
    if (!stats) return;
    *stats = renumstats{};
    stats->records = static_cast<int>(r.recs.size());
    for (renumst s : r.state) {
        stats->stayed += s == renumst::stayed;
        stats->moved += s == renumst::moved;
        stats->missing += s == renumst::lost;
        stats->refused += s == renumst::kept;
        stats->left += s == renumst::open || s == renumst::twin || s == renumst::wait;
    }
}

// A file still under a temporary name at the end goes back to its listed
// name; should that fail, it is reported where it is.
bool putback(renumrun& r) {
    bool ok = true;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        if (renumhome(r.state[i])) continue;
        auto it = r.away.find(i);
        if (it == r.away.end() || !it->second.starts_with(renumtmp)) continue;
        const std::string temp = it->second;
        if (int err = renumfsmove(r, temp, renumlisted(r, i))) {
            r.complaints.emplace_back(i, "cannot move '" + renumshown(temp) + "' back to '" +
                                             renumshown(renumlisted(r, i)) + "': " + renumwhy(err) +
                                             "; the message is left there");
            ok = false;
        } else {
            r.away.erase(it);
        }
    }
    return ok;
}

// The record whose new name is name, when its file has it: a record left
// behind that still lists that name would point at another's message (its
// own file rewritten under a new inode by a client, say, or a run before
// this one that moved another file there). renumnone when there is none.
uint32_t heldby(const renumrun& r, uint32_t i, std::string_view name) {
    if (!name.starts_with("in") || !name.ends_with(".msg") || name.size() > 14) return renumnone;
    uint32_t k = 0;
    for (char c : name.substr(2, name.size() - 6)) {
        if (c < '0' || c > '9') return renumnone;
        k = k * 10 + static_cast<uint32_t>(c - '0');
    }
    if (k == i || k >= r.recs.size() || !renumhome(r.state[k]) || name != renumtarget(k).s)
        return renumnone;
    return k;
}

// Each record names the file it now has: its new name, or where it was left.
// false when some file is under a name that a record can't hold, or a
// record would name another record's message.
bool namefiles(renumrun& r) {
    bool ok = true;
    for (uint32_t i = 0; i < r.recs.size(); i++) {
        const std::string name(renumhome(r.state[i]) ? std::string_view(renumtarget(i).s)
                                                     : renumcur(r, i));
        if (name.size() >= sizeof r.recs[i].datafile || name.starts_with(renumtmp)) {
            ok = false;
            continue;
        }
        if (const uint32_t k = renumhome(r.state[i]) ? renumnone : heldby(r, i, name);
            k != renumnone) {
            renumsay(r.opts,
                     "record %u's file is under none of the names this run gave it, and '%s', "
                     "the name it lists, now holds record %u's message\n",
                     i + 1, renumshown(name).c_str(), k + 1);
            ok = false;
            continue;
        }
        llsetfield(r.recs[i].datafile, sizeof r.recs[i].datafile, name.c_str());
    }
    return ok;
}

}  // namespace

bool renumstampnow(const renumrun& r, uint32_t i, renumstamp* out) {
    if (i >= r.ino.size() || !r.ino[i]) return false;
    const std::string at(renumhome(r.state[i]) ? std::string_view(renumtarget(i).s)
                                               : renumcur(r, i));
    struct stat st;
    if (fstatat(AT_FDCWD, at.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_ino != r.ino[i])
        return false;
    *out = {st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
    return true;
}

// Both passes, once the run knows where every file is. *named (may be null)
// is false when update was asked for but some record can't name its file.
int renumpasses(renumrun& r, renumstats* stats, bool update, bool* named) {
    r.update = update || r.update;
    reservenames(r);
    if (!r.away.empty()) markaside(r);
    firstpass(r);
    secondpass(r);
    renumprogressend(r);
    bool ok = putback(r);
    const bool stopped =
        renumstopping(r) && std::any_of(r.state.begin(), r.state.end(), [](renumst s) {
            return s == renumst::open || s == renumst::twin || s == renumst::wait;
        });
    if (update) ok = namefiles(r) && ok;
    if (named) *named = ok;
    report(r, stats);
    if (stopped) return RENUMSTOPPED;
    return std::all_of(r.state.begin(), r.state.end(), renumhome) ? RENUMOK : RENUMFILES;
}
