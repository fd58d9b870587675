// One fuzzing round over the mailbox library, shared by the libFuzzer target
// and by the test that replays the corpus. The bytes are taken as a metafile:
// checked by metachk, loaded, shown, written back and read again, marked,
// purged and freed, and every result is checked against what the bytes
// themselves say.
//
// A round owns everything it makes and releases it before returning: its
// lists, a scratch directory of its own (under TMPDIR, or /tmp) and the
// working directory, which it changes only while purging and always restores.
// It redirects nothing: the library's messages and views go to standard
// output as usual, so the caller decides where they end up.
#ifndef MAILBOX_FUZZ_FUZZ_ONE_H
#define MAILBOX_FUZZ_FUZZ_ONE_H

#include <cstddef>
#include <cstdint>

// 0 when every check held. 1 after one line on standard error, starting
// "fuzz_one: ", that names the first check that failed.
int fuzz_one(const uint8_t* data, size_t size);

#endif
