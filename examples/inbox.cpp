// A first program on the mailbox library: it loads a mailbox's index, shows
// its in-box view, marks one message deleted and writes the index back
// without it.
//
//   inbox METAFILE NUMBER
//
// METAFILE is rewritten in place, so try it on a copy:
//
//   cp examples/mailbox/inbox.meta /tmp && build/inbox /tmp/inbox.meta 2
//
// Message files are never touched: the deleted record only leaves the index
// (prgemail would remove its file as well). Exit status 0 when the index was
// rewritten, 1 for a bad argument or a number that names no active message,
// 2 when the index could not be read or written.
#include <charconv>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "mailbox/dele.h"
#include "mailbox/ll.h"
#include "mailbox/meta.h"

namespace {

// Works on inlist only; the caller made the lists and frees them, whichever
// way this returns. Library calls print their failures to standard output
// without a line end, so each failure here finishes the line.
int rewrite(const char* metafile, int number) {
    // One record per message, numbered 1..count in index order, plus the
    // owner's path and address in the head's owner block. On a failure the
    // records read so far stay in the list, still owned by its head.
    if (readmeta(metafile, inlist) != 1) {
        printf("\n");
        return 2;
    }
    printf("%s: %d messages\n", inlist->mydata->myaddr, inlist->count);
    // The in-box view of records 1..count: number, sender, subject, read flag.
    disphdrs(inlist, 1, inlist->count);

    if (!llvalid(number, inlist)) {
        printf("\n");
        return 1;
    }
    // Only a mark: the record keeps its number and place in the list, but the
    // views and the writer pass it over from now on.
    delmail(number, inlist);
    printf("deleted %d:\n", number);
    disphdrs(inlist, 1, inlist->count);

    // The new index is written beside the old one and renamed over it only
    // once complete, so a failure leaves the old index as it was.
    if (wrtmeta(metafile, inlist) != 1) {
        printf("\n");
        return 2;
    }
    printf("wrote %s\n", metafile);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // (void): if standard error cannot be written, there is nowhere left to
    // say so; the exit status still tells.
    if (argc != 3) {
        (void)fputs("usage: inbox METAFILE NUMBER\n", stderr);
        return 1;
    }
    const std::string_view arg = argv[2];
    int number = 0;
    const auto [end, ec] = std::from_chars(arg.data(), arg.data() + arg.size(), number);
    if (ec != std::errc() || end != arg.data() + arg.size()) {
        (void)fprintf(stderr, "inbox: not a message number: %s\n", argv[2]);
        return 1;
    }

    // The lists are globals: llinit makes the heads inlist (mail received)
    // and outlist (mail sent), each with an empty owner block. A head owns
    // that block and every record chained after it, and llfree on the head
    // is the only way they are released, so both heads are freed here even
    // though only inlist was used.
    llinit();
    const int status = rewrite(argv[1], number);
    llfree(inlist);
    llfree(outlist);
    inlist = outlist = nullptr;
    return status;
}
