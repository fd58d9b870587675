// The index against its directory (mailbox/check.h).
#include "mailbox/check.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "mailbox/append.h"
#include "mailbox/durable.h"
#include "mailbox/metachk.h"
#include "mailbox/quote.h"
#include "mailbox/remove.h"
#include "mailbox/renum.h"

namespace {

bool isdigit(char c) { return c >= '0' && c <= '9'; }

// The field each line of a record holds, after its name line, with its limit.
constexpr const char* fieldname[] = {"to", "from", "subject", "cc", "bcc"};
constexpr int FIELDMAX = 99;
constexpr int ADDRMAX = 49;
constexpr int NAMEMAX = 12;

struct dircloser {
    void operator()(DIR* d) const { closedir(d); }
};
struct filecloser {
    void operator()(FILE* f) const { (void)fclose(f); }
};

// The index's lines longer than their field: the owner's address, and the
// five header fields of the records loaded. Their line numbers in *lines.
void toolong(const char* fname, int records, chkreport* out, std::set<int>* lines) {
    std::unique_ptr<FILE, filecloser> f(fopen(fname, "r"));
    if (!f) return;
    char* buf = nullptr;
    size_t cap = 0;
    ssize_t n;
    for (int line = 1; (n = getline(&buf, &cap, f.get())) >= 0; line++) {
        const int len = static_cast<int>(n) - (n > 0 && buf[n - 1] == '\n');
        if (line < 3) {  // the owner's path (which getf's own limit guards) and address
            if (line == 2 && len > ADDRMAX) {
                out->items.push_back({chkkind::toolong, 0, "address", len, ADDRMAX});
                lines->insert(line);
            }
            continue;
        }
        const int at = (line - 3) % 7;  // 0: the name line
        const int rec = (line - 3) / 7 + 1;
        // A name too long is where loading stops: the record after the
        // last one loaded is looked at for it.
        if (at == 0 && (rec > records + 1 || (len == 3 && !memcmp(buf, "END", 3)))) break;
        const int limit = at == 0 ? NAMEMAX : at <= 5 && rec <= records ? FIELDMAX : 0;
        if (limit == 0 || len <= limit) continue;
        out->items.push_back(
            {chkkind::toolong, rec, at == 0 ? "file name" : fieldname[at - 1], len, limit});
        if (at != 0) lines->insert(line);  // the name's own line says loading stops there
    }
    free(buf);
}

// What else keeps the index from loading whole or being written back as it
// is, but the lines already said to be too long (unless their carriage
// return is the reason).
void indexfaults(const char* fname, const std::set<int>& long_, chkreport* out) {
    const int n = metachkall(fname, true, nullptr, 0);
    std::vector<metafault> faults(static_cast<size_t>(std::max(n, 0)));
    (void)metachkall(fname, true, faults.data(), n);
    for (const metafault& f : faults)
        if (!long_.contains(f.line) || strcmp(f.why, METACRLF) == 0)
            out->items.push_back({chkkind::index, f.line, f.why});
}

void unfinished(const char* fname, const std::vector<std::string>& dots, chkreport* out) {
    if (const renumcut cut = renumcutshort(fname); cut != renumcut::none)
        out->items.push_back({chkkind::unfinished,
                              cut == renumcut::update ? 1
                              : cut == renumcut::undo ? 4
                                                      : 3,
                              fname});
    if (rmunfinished(fname)) out->items.push_back({chkkind::unfinished, 2, fname});
    // One left when this check began (one it could not finish, or with -n)
    // stops every command that changes the index.
    if (apunfinished(fname)) out->items.push_back({chkkind::unfinished, 5, fname});
    for (const std::string& name : dots)
        if (name.starts_with(".msgseq-temp-")) out->items.push_back({chkkind::unfinished, 0, name});
}

// The directory's names: regular files a mailbox may hold in *files, dot
// files in *dots, everything in *all; in the directory's order.
bool scandir(const char* fname, std::vector<std::string>* files, std::vector<std::string>* dots,
             std::unordered_set<std::string>* all) {
    std::unique_ptr<DIR, dircloser> d(opendir("."));
    if (!d) return false;
    struct stat index {
    }, kept{};
    const bool hasindex = stat(fname, &index) == 0;
    const bool haskept = stat((std::string(fname) + ".old").c_str(), &kept) == 0;
    errno = 0;
    while (const dirent* e = readdir(d.get())) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (all) all->insert(name);
        if (name[0] == '.') {
            if (dots) dots->push_back(name);
            continue;
        }
        // The entry's own type and inode spare a call per file where the
        // file system gives them.
        struct stat st;
        if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
        if (e->d_type == DT_UNKNOWN && (lstat(e->d_name, &st) != 0 || !S_ISREG(st.st_mode)))
            continue;
        auto same = [e](const struct stat& o) { return o.st_ino == e->d_ino; };
        if (((hasindex && same(index)) || (haskept && same(kept))) && lstat(e->d_name, &st) == 0 &&
            ((hasindex && st.st_dev == index.st_dev && st.st_ino == index.st_ino) ||
             (haskept && st.st_dev == kept.st_dev && st.st_ino == kept.st_ino)))
            continue;
        files->push_back(name);
    }
    return errno == 0;
}

void sortnames(std::vector<std::string>* names) {
    std::sort(names->begin(), names->end(),
              [](const std::string& a, const std::string& b) { return chknamecmp(a, b) < 0; });
}

}  // namespace

int chknamecmp(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit(a[i]) && isdigit(b[j])) {
            size_t ei = i, ej = j;
            while (ei < a.size() && isdigit(a[ei])) ei++;
            while (ej < b.size() && isdigit(b[ej])) ej++;
            std::string_view x = a.substr(i, ei - i), y = b.substr(j, ej - j);
            while (x.size() > 1 && x[0] == '0') x.remove_prefix(1);
            while (y.size() > 1 && y[0] == '0') y.remove_prefix(1);
            if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
            if (const int c = x.compare(y)) return c;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]) ? -1 : 1;
        i++;
        j++;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    return a.compare(b);  // in7 and in007: one order all the same
}

std::vector<std::string> chkfiles(const char* fname) {
    std::vector<std::string> files;
    (void)scandir(fname, &files, nullptr, nullptr);
    sortnames(&files);
    return files;
}

bool chkindex(const char* fname, const llnode* itemlist, chkreport* out) {
    *out = chkreport{};
    out->records = itemlist->count;
    std::vector<std::string> files, dots;
    std::unordered_set<std::string> all;
    const bool read = scandir(fname, &files, &dots, &all);
    const int err = errno;
    unfinished(fname, dots, out);
    std::set<int> long_;
    std::vector<chkitem> longs;
    {
        chkreport tl;
        toolong(fname, itemlist->count, &tl, &long_);
        longs = std::move(tl.items);
    }
    indexfaults(fname, long_, out);
    out->items.insert(out->items.end(), longs.begin(), longs.end());
    // Each name once, with every record that lists it.
    std::unordered_map<std::string, std::vector<int>> listed;
    listed.reserve(static_cast<size_t>(itemlist->count));
    std::vector<chkitem> missing;
    for (const llnode* rec = itemlist->next; rec; rec = rec->next) {
        auto& nos = listed[rec->datafile];
        nos.push_back(rec->no);
        if (nos.size() > 1) continue;
        struct stat st;
        const bool here = strchr(rec->datafile, '/') ? lstat(rec->datafile, &st) == 0
                                                     : all.contains(rec->datafile);
        if (read && !here) missing.push_back({chkkind::missing, rec->no, rec->datafile});
    }
    for (const llnode* rec = itemlist->next; rec; rec = rec->next) {
        const auto& nos = listed[rec->datafile];
        if (nos.size() < 2 || nos[0] != rec->no) continue;  // said at its first record
        out->items.push_back({chkkind::twice, rec->no, rec->datafile, 0, 0,
                              std::vector<int>(nos.begin() + 1, nos.end())});
    }
    // Mid-run, files stand under names the index does not list yet: the
    // journal knows where each one is, and missing or unlisted would mislead.
    const bool moving = std::any_of(out->items.begin(), out->items.end(), [](const chkitem& i) {
        return i.kind == chkkind::unfinished && i.no != 2 && i.no != 5;
    });
    if (moving) files.clear();
    if (!moving) out->items.insert(out->items.end(), missing.begin(), missing.end());
    std::vector<std::string> unlisted;
    for (std::string& name : files)
        if (!listed.contains(name)) unlisted.push_back(std::move(name));
    sortnames(&unlisted);
    for (std::string& name : unlisted)
        out->items.push_back({chkkind::unlisted, 0, std::move(name)});
    for (const chkitem& item : out->items) out->counts[static_cast<int>(item.kind)]++;
    errno = err;
    return read;
}

namespace {

std::string numbers(const std::vector<int>& nos) {
    std::string s;
    for (size_t k = 0; k < nos.size(); k++)
        s += (k == 0 ? "" : k + 1 == nos.size() ? " and " : ", ") + std::to_string(nos[k]);
    return s;
}

}  // namespace

std::string chkline(const chkitem& item) {
    switch (item.kind) {
    case chkkind::missing:
        return "missing: record " + std::to_string(item.no) + " lists " + quotename(item.name) +
               ", which is not here";
    case chkkind::unlisted:
        return "unlisted: " + quotename(item.name) + " is a file that no record lists";
    case chkkind::twice: {
        std::vector<int> nos{item.no};
        nos.insert(nos.end(), item.also.begin(), item.also.end());
        return "twice: " + quotename(item.name) + " is listed by records " + numbers(nos);
    }
    case chkkind::toolong:
        return "too long: " +
               (item.no ? "record " + std::to_string(item.no) + "'s " + item.name
                        : std::string("the owner's address")) +
               " is " + std::to_string(item.len) + " bytes; the limit is " +
               std::to_string(item.limit) + " bytes";
    case chkkind::unfinished:
        if (item.no == 2)
            return "unfinished: a delete by 'mailbox delete' was cut short; a mailbox command "
                   "without -n finishes it";
        if (item.no == 5)
            return "unfinished: an append (a delivery or an import) was cut short: see the "
                   "line before";
        if (item.no == 4)
            return "unfinished: an undo by 'msgseq --undo' was cut short; run 'msgseq --undo " +
                   renumshown(item.name) + "' to finish it, or 'msgseq --abort " +
                   renumshown(item.name) + "' to give it up";
        if (item.no == 3)
            return "unfinished: a run of msgseq was cut short; run 'msgseq " +
                   quoteshown(item.name) + "' to finish it, or 'msgseq --abort " +
                   quoteshown(item.name) + "' to give it up";
        if (item.no)
            return "unfinished: an update by 'msgseq -u' was cut short; run 'msgseq -u " +
                   quoteshown(item.name) + "' to finish it, or 'msgseq --abort " +
                   quoteshown(item.name) + "' to give it up";
        return "unfinished: " + quotename(item.name) +
               " was left by a msgseq run cut short; run msgseq again to finish it";
    case chkkind::index:
        if (item.no < 0) return "index: cannot read it: " + item.name;
        return "index: line " + std::to_string(item.no) + ": " + item.name;
    }
    return {};
}

std::string chktotals(const chkreport& report) {
    static constexpr const char* words[CHKKINDS] = {"missing",  "unlisted",   "twice",
                                                    "too long", "unfinished", "index"};
    const size_t n = report.items.size() + (report.stale ? 1 : 0);
    std::string s =
        n == 0 ? "no problems" : std::to_string(n) + (n == 1 ? " problem" : " problems");
    s += " in " + std::to_string(report.records) + (report.records == 1 ? " record" : " records");
    if (n == 0) return s;
    s += ":";
    for (int k = 0; k < CHKKINDS; k++)
        s += (k ? ", " : " ") + std::to_string(report.counts[k]) + " " + words[k];
    if (report.stale) s += ", 1 stale";
    return s;
}
