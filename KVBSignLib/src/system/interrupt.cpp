#include "system/interrupt.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kvbsign {
namespace interrupt {
namespace {

// What the handler touches: lock-free atomics and write(2), nothing else.
static_assert(std::atomic<int>::is_always_lock_free, "the handler needs a lock-free flag");
std::atomic<int> gSignal{0};
std::atomic<int> gWakeRead{-1};
std::atomic<int> gWakeWrite{-1};
std::atomic<bool> gActive{false};

void onSignal(int signal) {
    const int savedErrno = errno;
    int none = 0;
    // Only the first signal counts: a second Ctrl-C during the removal must neither cut the
    // removal short nor change the signal the process ends by.
    gSignal.compare_exchange_strong(none, signal);
    const int fd = gWakeWrite.load();
    if (fd >= 0) {
        const char byte = 1;
        // Non-blocking: when the pipe is full it is readable already.
        const ssize_t ignored = write(fd, &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

// The pipe is made once and kept for the life of the process: closing it while a handler on
// another thread may still be about to write would send the byte to whatever descriptor takes
// its number next.
void openWakePipe() {
    if (gWakeRead.load() >= 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    gWakeRead.store(fds[0]);
    gWakeWrite.store(fds[1]);
}

// Bytes of an earlier scope whose signal the caller's own handler took.
void drainWakePipe() {
    const int fd = gWakeRead.load();
    if (fd < 0) return;
    char buffer[64];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

void addHandledSignals(sigset_t& set) {
    for (const int signal : kHandledSignals) sigaddset(&set, signal);
}

bool ignored(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == SIG_IGN;
}

}  // namespace

Scope::Scope() noexcept {
    bool expected = false;
    if (!gActive.compare_exchange_strong(expected, true)) return;
    active_ = true;
    openWakePipe();
    drainWakePipe();
    gSignal.store(0);

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    addHandledSignals(action.sa_mask);
    // No SA_RESTART: a blocking call that the signal interrupts returns EINTR, and the loop
    // around it looks at the flag.
    action.sa_flags = 0;
    for (int i = 0; i < kHandledCount; ++i) {
        if (sigaction(kHandledSignals[i], nullptr, &previous_[i]) != 0 || ignored(previous_[i])) continue;
        installed_[i] = sigaction(kHandledSignals[i], &action, nullptr) == 0;
    }
}

bool Scope::end() noexcept {
    if (!active_) return false;
    active_ = false;
    for (int i = 0; i < kHandledCount; ++i) {
        if (installed_[i]) sigaction(kHandledSignals[i], &previous_[i], nullptr);
    }
    // From here on a signal meets the disposition found; the flag is cleared for whatever the
    // caller does next.
    const int signal = gSignal.exchange(0);
    gActive.store(false);
    if (signal != 0) raise(signal);
    return signal != 0;
}

bool interrupted() noexcept { return gSignal.load(std::memory_order_relaxed) != 0; }

int signalNumber() noexcept { return gSignal.load(); }

int wakeDescriptor() noexcept { return gActive.load() ? gWakeRead.load() : -1; }

SignalsBlocked::SignalsBlocked() noexcept {
    sigset_t set;
    sigemptyset(&set);
    addHandledSignals(set);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsBlocked::~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

void resetSignalsInChild() noexcept {
    struct sigaction byDefault;
    std::memset(&byDefault, 0, sizeof byDefault);
    byDefault.sa_handler = SIG_DFL;
    for (const int signal : kHandledSignals) sigaction(signal, &byDefault, nullptr);
    // The front end ignores SIGXFSZ so that its own writes past a file size limit fail (and
    // are checked); a tool past its limit must end instead.
    sigaction(SIGPIPE, &byDefault, nullptr);
    sigaction(SIGXFSZ, &byDefault, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace interrupt
}  // namespace kvbsign
