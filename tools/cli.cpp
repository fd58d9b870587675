// The bounded wait for a lock and the stop signals that end it (tools/cli.h).
#include "tools/cli.h"

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

volatile sig_atomic_t stopsig = 0;
constexpr int stops[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction before[3];
bool caught[3];

extern "C" void onstop(int sig) {
    if (!stopsig) stopsig = sig;
}

constexpr long billion = 1000000000L;
// A try every 50 ms: a lock let go is taken soon after, and the tries cost
// next to nothing.
constexpr long pausens = 50000000L;

bool later(const timespec& a, const timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

}  // namespace

bool cliwaitvalue(std::string_view text, int* seconds) {
    if (text.empty() || text.size() > 5) return false;
    int n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n > CLIWAITMAX) return false;
    *seconds = n;
    return true;
}

cliwait clistartwait(int seconds) {
    cliwait w;
    w.seconds = seconds;
    (void)clock_gettime(CLOCK_MONOTONIC, &w.until);
    w.until.tv_sec += seconds;
    return w;
}

bool clinexttry(const cliwait& w) {
    if (w.seconds <= 0 || stopsig) return false;
    timespec now{};
    (void)clock_gettime(CLOCK_MONOTONIC, &now);
    if (!later(w.until, now)) return false;
    long left = (w.until.tv_sec - now.tv_sec) * billion + (w.until.tv_nsec - now.tv_nsec);
    if (left > billion) left = billion;  // no overflow below, whatever the wait
    const timespec pause{0, left < pausens ? left : pausens};
    // A signal cuts the pause short (EINTR): the caller learns of it at once.
    (void)nanosleep(&pause, nullptr);
    return !stopsig;
}

void clicatch() {
    struct sigaction sa {};
    sa.sa_handler = onstop;
    sigemptyset(&sa.sa_mask);
    for (const int sig : stops) sigaddset(&sa.sa_mask, sig);
    sa.sa_flags = 0;  // no SA_RESTART: the pause ends
    for (int k = 0; k < 3; k++) {
        caught[k] = false;
        if (sigaction(stops[k], nullptr, &before[k]) != 0 || before[k].sa_handler == SIG_IGN)
            continue;
        caught[k] = sigaction(stops[k], &sa, nullptr) == 0;
    }
}

void cliuncatch() {
    for (int k = 0; k < 3; k++)
        if (caught[k]) (void)sigaction(stops[k], &before[k], nullptr);
}

int clistopsig() { return stopsig; }

const char* clisigname(int sig) {
    return sig == SIGINT ? "SIGINT" : sig == SIGTERM ? "SIGTERM" : "SIGHUP";
}

int cliraise(int sig) {
    (void)fflush(stdout);
    (void)signal(sig, SIG_DFL);
    (void)raise(sig);
    return 128 + sig;
}
