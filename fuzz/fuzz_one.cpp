#include "fuzz/fuzz_one.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "mailbox/dele.h"
#include "mailbox/ll.h"
#include "mailbox/meta.h"
#include "mailbox/metachk.h"

namespace {

namespace fs = std::filesystem;
constexpr size_t npos = std::string_view::npos;

// The first check that failed; fuzz_one reports it. Unwinding releases the
// lists, restores the working directory and removes the scratch directory.
struct broken {
    std::string what;
};

void need(bool ok, const char* what, long no = -1) {
    if (ok) return;
    std::string text = what;
    if (no >= 0) text += " (record " + std::to_string(no) + ")";
    throw broken{text};
}

struct fcloser {
    void operator()(FILE* f) const { (void)fclose(f); }
};
using fileptr = std::unique_ptr<FILE, fcloser>;

struct listfree {
    void operator()(llnode* l) const { llfree(l); }
};
using listptr = std::unique_ptr<llnode, listfree>;

// The round's list. From llinit it is inlist, so that the header view picks
// the in-box columns, and outlist comes with it; both are freed and the
// globals cleared, so that no later round meets a released head through them.
struct lists {
    listptr head, other;
    bool global = false;
    ~lists() {
        head.reset();
        other.reset();
        if (global) inlist = outlist = nullptr;
    }
};

void makelists(lists& l, bool useinit) {
    if (useinit) {
        llinit();
        l.global = true;
        l.head.reset(inlist);
        l.other.reset(outlist);
        return;
    }
    l.head.reset(llnew());
    l.head->mydata = static_cast<ownerdata*>(calloc(1, sizeof(ownerdata)));
    need(l.head->mydata != nullptr, "out of memory");
}

// A directory of the round's own, removed with everything in it.
struct scratch {
    std::string dir;
    scratch() {
        std::string tmpl = (fs::temp_directory_path() / "mailbox-fuzz-XXXXXX").string();
        need(mkdtemp(tmpl.data()) != nullptr, "cannot make a scratch directory");
        dir = tmpl;
    }
    ~scratch() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    scratch(const scratch&) = delete;
    scratch& operator=(const scratch&) = delete;
};

// Works in dir until it goes out of scope, then returns to where it was.
struct workin {
    int back;
    explicit workin(const std::string& dir) : back(open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        need(back >= 0, "cannot open the working directory");
        if (chdir(dir.c_str()) != 0) {
            close(back);
            need(false, "cannot enter the scratch directory");
        }
    }
    ~workin() {
        // Going on in the wrong directory could let a later purge remove
        // files that are not the round's.
        if (fchdir(back) != 0) abort();
        close(back);
    }
    workin(const workin&) = delete;
    workin& operator=(const workin&) = delete;
};

void writefile(const std::string& path, std::string_view bytes) {
    fileptr f(fopen(path.c_str(), "wb"));
    need(f != nullptr, "cannot create a scratch file");
    need(fwrite(bytes.data(), 1, bytes.size(), f.get()) == bytes.size() && fflush(f.get()) == 0,
         "cannot write a scratch file");
}

std::string readfile(const std::string& path) {
    fileptr f(fopen(path.c_str(), "rb"));
    need(f != nullptr, "cannot open a scratch file");
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
    return text;
}

std::set<std::string> names(const std::string& dir) {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename().string());
    return out;
}

// A field's text up to its NUL; a field with no NUL in it is a fault.
template <size_t N>
std::string_view text(const char (&field)[N], long no = -1) {
    const size_t len = strnlen(field, N);
    need(len < N, "a field has no terminator", no);
    return {field, len};
}

// The header fields after the message file name, in file order.
constexpr char (llnode::*headers[])[100] = {&llnode::to, &llnode::from, &llnode::subject,
                                            &llnode::cc, &llnode::bcc};
constexpr int NHEADERS = 5;

// The choices a round makes that the index does not: taken from the last
// bytes of the input, which in most indexes lie after END, where the reader
// never looks, so the fuzzer can change them without spoiling the records.
struct knobs {
    bool useinit;      // llinit's inlist, or a bare head with its own owner block
    int mask;          // llprint's columns and selection
    int from, to;      // a record range for the views
    unsigned marks;    // record k is marked DELETED when bit k % 8 is set...
    unsigned unmarks;  // ...and ACTIVE again when this one's is
    int headmark;      // the head: 0 left, 1 made ACTIVE, 2 DELETED
    unsigned present;  // record k's message file exists for the purge when bit k % 8 is set
    int taint;         // 0 none; 1 a message file END; 2 a newline in a record; 3 in the owner
    unsigned target;   // which record, and which field, is tainted
};

// A byte read as two's complement, -128..127.
int signedbyte(unsigned b) { return b < 128 ? static_cast<int>(b) : static_cast<int>(b) - 256; }

knobs knobsof(const uint8_t* data, size_t size) {
    auto at = [&](size_t back) -> unsigned { return size > back ? data[size - 1 - back] : 0; };
    knobs k;
    k.mask = static_cast<int>((at(0) | at(1) << 8) & 0x1FFF);
    k.from = signedbyte(at(2)) / 8;
    k.to = signedbyte(at(3));
    k.marks = at(4);
    k.unmarks = at(5);
    k.present = ~at(6);
    k.useinit = at(7) & 1;
    k.headmark = static_cast<int>((at(7) >> 1) % 3);
    k.taint = static_cast<int>((at(7) >> 3) & 3);
    k.target = at(8);
    return k;
}

// What the reader should make of the bytes, worked out from the format alone.
struct modelrec {
    std::string name;
    std::string hdr[NHEADERS];
    bool read;
};

struct model {
    std::string path, addr;
    std::vector<modelrec> recs;
    int rc = -1;
};

// Lines split at LF only; a last line without one is still a line.
std::vector<std::string_view> splitlines(std::string_view bytes) {
    std::vector<std::string_view> lines;
    size_t pos = 0;
    while (pos < bytes.size()) {
        const size_t nl = bytes.find('\n', pos);
        const size_t end = nl == npos ? bytes.size() : nl;
        lines.push_back(bytes.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// Decoded character by character, apart from the library's byte-at-a-time check.
bool isutf8(std::string_view s) {
    static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    for (size_t i = 0; i < s.size();) {
        const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
        const unsigned c = byte(i);
        const size_t n = c < 0x80 ? 1 : c >> 5 == 6 ? 2 : c >> 4 == 14 ? 3 : c >> 3 == 30 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        unsigned cp = n == 1 ? c : c & (0x7Fu >> n);
        for (size_t k = 1; k < n; k++) {
            if (byte(i + k) >> 6 != 2) return false;
            cp = cp << 6 | (byte(i + k) & 0x3Fu);
        }
        if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += n;
    }
    return true;
}

// A line as a field of size bytes: the reader keeps size - 1 characters of a
// line (METALINE at most), back to the start of a character cut there when
// the whole line is UTF-8, and a NUL ends the string.
std::string value(std::string_view line, size_t size) {
    const size_t keep = std::min<size_t>(METALINE, size - 1);
    if (line.size() > keep) {
        size_t n = keep;
        if (isutf8(line))
            while (n > 0 && (static_cast<unsigned char>(line[n]) & 0xC0) == 0x80) --n;
        line = line.substr(0, n);
    }
    return std::string(line.substr(0, line.find('\0')));
}

model expect(std::string_view bytes) {
    const auto lines = splitlines(bytes);
    model m;
    size_t i = 0;
    if (i == lines.size()) return m;
    m.path = value(lines[i++], sizeof(ownerdata::mypath));
    if (i == lines.size()) return m;
    m.addr = value(lines[i++], sizeof(ownerdata::myaddr));
    while (i < lines.size()) {
        const std::string_view name = lines[i++];
        if (name.size() >= sizeof(llnode::datafile) || name.find('\0') != npos) return m;
        if (name == "END") {
            m.rc = 1;
            return m;
        }
        if (lines.size() - i < NHEADERS + 1) return m;
        modelrec r;
        r.name = name;
        for (int f = 0; f < NHEADERS; f++) r.hdr[f] = value(lines[i + f], sizeof(llnode::to));
        r.read = !lines[i + NHEADERS].empty() && lines[i + NHEADERS][0] == 'R';
        i += NHEADERS + 1;
        m.recs.push_back(std::move(r));
    }
    return m;
}

// getf against the line reader it stands for: up to METALINE characters a
// call, stopping after a newline, which is then dropped; NUL bytes are kept.
void checkgetf(const std::string& fname, std::string_view bytes) {
    fileptr fd(fopen(fname.c_str(), "r"));
    need(fd != nullptr, "cannot open the index");
    char line[METALINE + 1];
    size_t pos = 0;
    for (;;) {
        const int rc = getf(fd.get(), line);
        if (pos == bytes.size()) {
            need(rc == -1, "getf read a line past the end of the file");
            return;
        }
        need(rc == 1, "getf stopped before the end of the file");
        std::string_view piece = bytes.substr(pos, METALINE);
        const size_t nl = piece.find('\n');
        if (nl != npos) piece = piece.substr(0, nl + 1);
        pos += piece.size();
        if (piece.back() == '\n') piece.remove_suffix(1);
        need(memcmp(line, piece.data(), piece.size()) == 0 && line[piece.size()] == '\0',
             "getf returned other characters than the line holds");
    }
}

void checkrec(const llnode* r, const modelrec& m, long no) {
    need(r->no == no, "records are not numbered in file order", no);
    need(r->status == ACTIVE, "a loaded record is not ACTIVE", no);
    need(r->count == 0 && r->mydata == nullptr, "a record has a head's fields", no);
    need(r->read == (m.read ? MSGREAD : MSGNEW), "the read flag differs from its line", no);
    need(text(r->datafile, no) == m.name, "the message file name differs from its line", no);
    for (int f = 0; f < NHEADERS; f++)
        need(text(r->*headers[f], no) == m.hdr[f], "a header field differs from its line", no);
}

// The records after the first `before` of the list are the model's.
void checkrecs(const llnode* head, const model& m, int before) {
    need(head->count == before + static_cast<int>(m.recs.size()),
         "the head's count is not the number of records loaded");
    const llnode* r = head->next;
    for (int k = 0; k < before; k++, r = r->next) need(r != nullptr, "the chain lost records");
    for (size_t k = 0; k < m.recs.size(); k++, r = r->next) {
        const long no = before + static_cast<long>(k) + 1;
        need(r != nullptr, "the chain is shorter than its count", no);
        checkrec(r, m.recs[k], no);
    }
    need(r == nullptr, "the chain runs on past its count");
}

// ...and the owner block holds the model's lines.
void checkloaded(const llnode* head, const model& m, int before, int rc) {
    need(rc == m.rc, "readmeta's result differs from what the index holds");
    need(head->mydata != nullptr, "the head lost its owner block");
    need(text(head->mydata->mypath) == m.path, "the owner's path differs from its line");
    need(text(head->mydata->myaddr) == m.addr, "the owner's address differs from its line");
    checkrecs(head, m, before);
}

// readhdr on its own, from just after the owner lines, onto a head with no
// owner block: the same records, and 0 where readmeta succeeds.
void checkreadhdr(const std::string& fname, std::string_view bytes, const model& m) {
    const size_t path = bytes.find('\n');
    if (path == npos || path + 1 == bytes.size()) return;  // readmeta stops at the owner
    const size_t addr = bytes.find('\n', path + 1);
    fileptr fd(fopen(fname.c_str(), "r"));
    need(fd != nullptr, "cannot open the index");
    need(fseek(fd.get(),
               addr == npos ? static_cast<long>(bytes.size()) : static_cast<long>(addr + 1),
               SEEK_SET) == 0,
         "cannot seek in the index");
    listptr head(llnew());
    int rc;
    while ((rc = readhdr(fd.get(), head.get())) == 1) {
    }
    need(rc == (m.rc == 1 ? 0 : -1), "readhdr's result differs from what the index holds");
    checkrecs(head.get(), m, 0);
}

// llcopy and lladd on the first records: a copy holds the strings alone, a
// record copied onto itself keeps them, and each append lands at the end.
void checkcopy(const llnode* head) {
    listptr copy(llnew());
    int n = 0;
    for (const llnode* r = head->next; r && n < 64; r = r->next) {
        llnode* c = llnew();
        llcopy(c, r);
        lladd(c, copy.get());
        ++n;
        need(copy->count == n && lltail(copy.get()) == c, "lladd did not append at the end", n);
        need(c->status == IGNORE && c->no == 0 && c->read == MSGNEW && c->next == nullptr,
             "llcopy copied more than the strings", n);
        for (int pass = 0; pass < 2; pass++) {
            need(text(c->datafile) == text(r->datafile), "llcopy changed the file name", n);
            for (auto field : headers)
                need(text(c->*field) == text(r->*field), "llcopy changed a header field", n);
            llcopy(c, c);
        }
    }
}

void views(llnode* head, const knobs& k) {
    disphdrs(head, INT_MIN, INT_MAX);
    disphdrs(head, k.from, k.to);
    llprint(head, k.mask, INT_MIN, INT_MAX);
    llprint(head, k.mask, k.from, k.to);
    llprint(nullptr, k.mask, INT_MIN, INT_MAX);
    lldump(nullptr);
    lldump(head);
    lldmpall(head);
    lldmpall(nullptr);
}

// The bytes wrtmeta should write for the list, or nothing when it should
// refuse: a value holding a newline, or an ACTIVE record named END.
std::optional<std::string> expectedindex(const llnode* head) {
    std::string out;
    auto add = [&out](std::string_view v) {
        if (v.find('\n') != npos) return false;
        out.append(v);
        out += '\n';
        return true;
    };
    const ownerdata* owner = head->mydata;
    if (!add(text(owner->mypath)) || !add(text(owner->myaddr))) return std::nullopt;
    for (const llnode* r = head; r; r = r->next) {
        if (r->status != ACTIVE) continue;
        if (text(r->datafile) == "END" || !add(text(r->datafile))) return std::nullopt;
        for (auto field : headers)
            if (!add(text(r->*field))) return std::nullopt;
        out += r->read == MSGREAD ? "R\n" : "N\n";
    }
    return out + "END\n";
}

// Writes the list over a placeholder index and reads it back: the ACTIVE
// records come back in order with their fields, or, when the writer must
// refuse, the placeholder is still there and nothing was left beside it.
void checkwrite(const std::string& dir, llnode* head) {
    const std::string fname = dir + "/out.meta";
    const std::string old = "placeholder index\n";
    writefile(fname, old);
    const auto before = names(dir);
    const auto want = expectedindex(head);
    const int rc = wrtmeta(fname.c_str(), head);
    need(names(dir) == before, "wrtmeta left a file beside the index");
    if (!want) {
        need(rc == -1, "wrtmeta wrote a value that cannot read back as itself");
        need(readfile(fname) == old, "a refused write changed the old index");
        return;
    }
    need(rc == 1, "wrtmeta failed on a list it can write");
    need(readfile(fname) == *want, "wrtmeta wrote other lines than the list holds");

    lists back;
    makelists(back, false);
    need(readmeta(fname.c_str(), back.head.get()) == 1, "a written index does not load whole");
    need(text(back.head->mydata->mypath) == text(head->mydata->mypath) &&
             text(back.head->mydata->myaddr) == text(head->mydata->myaddr),
         "the owner block did not survive the round trip");
    const llnode* got = back.head->next;
    long no = 0;
    for (const llnode* r = head; r; r = r->next) {
        if (r->status != ACTIVE) continue;
        ++no;
        need(got != nullptr, "a record was lost in the round trip", no);
        need(got->no == no && got->status == ACTIVE, "a reloaded record is misnumbered", no);
        need((got->read == MSGREAD) == (r->read == MSGREAD), "the read flag changed", no);
        need(text(got->datafile) == text(r->datafile), "the message file name changed", no);
        for (auto field : headers)
            need(text(got->*field) == text(r->*field), "a header field changed", no);
        got = got->next;
    }
    need(got == nullptr && back.head->count == no, "the round trip gained records");
}

// The bytes as the writer gives back an index that loses nothing: every read
// flag as "R" or "N", a newline after every line, nothing after END.
std::string rewritten(std::string_view bytes) {
    const auto lines = splitlines(bytes);
    std::string out;
    bool ended = false;
    for (size_t i = 0; i < lines.size(); i++) {
        const size_t at = i < 2 ? npos : (i - 2) % (NHEADERS + 2);  // the line's place in a record
        if (!ended && at == NHEADERS + 1)
            out += !lines[i].empty() && lines[i][0] == 'R' ? "R" : "N";
        else
            out.append(lines[i]);
        out += '\n';
        if (at == 0 && lines[i] == "END") ended = true;
    }
    return out;
}

// The checker against the reader and the writer: a fault exactly when the
// index does not load whole, and with exact also when it would not be
// written back as it was; a fault names a line and a reason, and the exact
// check never finds one later than the plain one.
void checkchk(const std::string& fname, std::string_view bytes, const model& m,
              const llnode* head) {
    const metafault loads = metachk(fname.c_str(), false);
    const metafault same = metachk(fname.c_str(), true);
    need((loads.line == 0) == (m.rc == 1), "metachk disagrees with readmeta");
    const auto back = m.rc == 1 ? expectedindex(head) : std::nullopt;
    need((same.line == 0) == (back && *back == rewritten(bytes)),
         "metachk disagrees with what the writer gives back");
    for (const metafault& f : {loads, same})
        need(f.line == 0 ? *f.why == '\0' : f.line > 0 && *f.why != '\0',
             "metachk gave a fault without a line or a reason");
    need(loads.line == 0 || (same.line > 0 && same.line <= loads.line),
         "metachk's exact check missed the fault that stops loading");
}

// Marks only reach the first 64 numbers and the last: each one walks the
// list, and a round must stay quick on the longest input.
constexpr int MARKED = 64;

bool markable(int no, int count) { return no <= MARKED || no == count; }

void checkvalid(const llnode* head, int no) {
    const llnode* r = head;
    while (r && r->no != no) r = r->next;
    const int want = r && r->status == ACTIVE ? 1 : 0;
    need(llvalid(no, const_cast<llnode*>(head)) == want, "llvalid's answer is wrong", no);
}

void checkmarks(llnode* head, const knobs& k) {
    const int n = head->count;
    std::vector<int32_t> want;
    for (const llnode* r = head; r; r = r->next) want.push_back(r->status);
    for (int no = 1; no <= n; no++) {
        if (!markable(no, n)) continue;
        if (k.marks >> (no % 8) & 1) {
            delmail(no, head);
            want[no] = DELETED;
        }
        if (k.unmarks >> (no % 8) & 1) {
            udelmail(no, head);
            want[no] = ACTIVE;
        }
    }
    if (k.headmark == 1) {
        udelmail(0, head);
        want[0] = ACTIVE;
    } else if (k.headmark == 2) {
        delmail(0, head);
        want[0] = DELETED;
    }
    for (int no : {-1, n + 1, INT_MIN, INT_MAX}) {
        delmail(no, head);
        udelmail(no, head);
    }
    int no = 0;
    for (const llnode* r = head; r; r = r->next, no++) {
        need(r->no == no, "a mark moved or renumbered a record", no);
        need(r->status == want[no], "a mark set the wrong status", no);
    }
    for (int v : {INT_MIN, -1, n + 1, INT_MAX}) checkvalid(head, v);
    for (int v = 0; v <= std::min(n, MARKED); v++) checkvalid(head, v);
    checkvalid(head, n);
}

// Tampers with one record (or the owner block) so that the writer has
// something to refuse; a DELETED record so tainted must still be written past.
void taint(llnode* head, const knobs& k) {
    if (k.taint == 0) return;
    if (k.taint == 3) {
        ownerdata* o = head->mydata;
        if (k.target & 1)
            llsetfield(o->mypath, sizeof o->mypath, "/home\n/ann");
        else
            llsetfield(o->myaddr, sizeof o->myaddr, "ann@\nexample.org");
        return;
    }
    llnode* r = llnofind(static_cast<int>(k.target % (head->count + 1u)), head);
    need(r != nullptr, "a loaded record cannot be found by its number");
    if (k.taint == 1) {
        llsetfield(r->datafile, sizeof r->datafile, "END");
        return;
    }
    const unsigned f = (k.target >> 4) % (NHEADERS + 1);
    char* field = f == 0 ? r->datafile : r->*headers[f - 1];
    const size_t size = f == 0 ? sizeof r->datafile : sizeof r->to;
    std::string v(field, strnlen(field, size));
    // One character by iterator: g++ 12 at -O3 reports a false -Wrestrict on
    // inserting the one-character string by index.
    v.insert(v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), '\n');
    llsetfield(field, size, v.c_str());
}

bool plainname(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == npos;
}

// Purges inside a directory of the round's own, holding files for some of
// the records: the files of DELETED records go, up to the first that cannot,
// and nothing else is touched, in the directory or outside it.
void checkpurge(const std::string& dir, llnode* head, const knobs& k) {
    const std::string box = dir + "/box";
    const std::string keep = dir + "/keep";
    need(mkdir(box.c_str(), 0700) == 0, "cannot make the message directory");
    writefile(keep, "not a message\n");
    std::set<std::string> files;
    for (const llnode* r = head; r; r = r->next) {
        const std::string name(text(r->datafile));
        if (!markable(r->no, head->count) || !plainname(name) || !(k.present >> (r->no % 8) & 1))
            continue;
        writefile((fs::path(box) / name).string(), name);
        files.insert(name);
    }
    std::vector<int32_t> statuses;
    int want = 1;
    for (const llnode* r = head; r; r = r->next) {
        statuses.push_back(r->status);
        if (want < 0 || r->status != DELETED) continue;
        if (!plainname(text(r->datafile)) || files.erase(std::string(text(r->datafile))) == 0)
            want = -1;
    }
    int rc;
    {
        workin in(box);
        rc = prgemail(head);
        need(prgemail(nullptr) == 1, "purging no list failed");
    }
    need(rc == want, "prgemail's result is wrong");
    need(names(box) == files, "the purge removed other files than the DELETED records'");
    need(names(dir) == std::set<std::string>{"box", "in.meta", "keep", "out.meta"},
         "the purge reached outside its directory");
    size_t i = 0;
    for (const llnode* r = head; r; r = r->next, i++)
        need(r->status == statuses[i], "the purge changed a record", r->no);
}

void onepass(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const knobs k = knobsof(data, size);
    scratch s;
    const std::string in = s.dir + "/in.meta";
    writefile(in, bytes);
    checkgetf(in, bytes);

    const model m = expect(bytes);
    lists l;
    makelists(l, k.useinit);
    llnode* head = l.head.get();
    checkloaded(head, m, 0, readmeta(in.c_str(), head));
    need(head->status == IGNORE && head->no == 0 && head->read == MSGNEW,
         "loading changed the head");
    checkreadhdr(in, bytes, m);
    checkchk(in, bytes, m, head);
    checkcopy(head);
    views(head, k);
    checkwrite(s.dir, head);

    checkmarks(head, k);
    views(head, k);
    const ownerdata owner = *head->mydata;
    taint(head, k);
    checkwrite(s.dir, head);
    checkpurge(s.dir, head, k);
    *head->mydata = owner;

    // Loading again appends: the same records, numbered on from the first.
    const int first = head->count;
    checkloaded(head, m, first, readmeta(in.c_str(), head));
    views(head, k);
}

}  // namespace

int fuzz_one(const uint8_t* data, size_t size) {
    try {
        onepass(data, size);
        return 0;
    } catch (const broken& b) {
        (void)fprintf(stderr, "fuzz_one: %s\n", b.what.c_str());
    } catch (const std::exception& e) {
        (void)fprintf(stderr, "fuzz_one: %s\n", e.what());
    }
    return 1;
}
