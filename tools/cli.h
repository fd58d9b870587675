// What msgseq and the mailbox tool share on the command line: waiting a
// bounded time for a lock that another process holds, and the stop signals
// that may end that wait. Nothing here allocates; the handlers and the
// signal that came live in this module's own static storage, which
// cliuncatch puts back as it was.
#ifndef MAILBOX_TOOLS_CLI_H
#define MAILBOX_TOOLS_CLI_H

#include <ctime>
#include <string_view>

// The longest wait a command line may ask for, in seconds: a day.
inline constexpr int CLIWAITMAX = 86400;

// SECONDS as a command line gives it: decimal digits only, 0 to
// CLIWAITMAX. false for anything else (empty, a sign, a fraction, spaces).
bool cliwaitvalue(std::string_view text, int* seconds);

// When the wait for the locks ends, from the moment it starts.
struct cliwait {
    int seconds = 0;          // 0: one try, never a sleep
    struct timespec until {};  // CLOCK_MONOTONIC
};
cliwait clistartwait(int seconds);

// Between two tries at a lock that another process holds: sleeps a short
// while, never past the deadline, and true to try again; false once the
// deadline has passed or a stop signal came (clistopsig). A wait of 0 is
// false at once.
bool clinexttry(const cliwait& w);

// SIGINT, SIGTERM and SIGHUP caught while a command waits, so that a wait
// under way ends at once and the command can say so; a signal the process
// was started ignoring (nohup) stays ignored. cliuncatch puts the
// dispositions back as they were: what follows the wait meets a signal as
// it always did.
void clicatch();
void cliuncatch();
// The stop signal that came while caught, or 0.
int clistopsig();
// "SIGINT", "SIGTERM" or "SIGHUP".
const char* clisigname(int sig);
// Ends the process by sig itself, so that a shell that started it sees it
// stopped by that signal (status 128 + sig); returns that status if it
// somehow lives on.
int cliraise(int sig);

#endif
