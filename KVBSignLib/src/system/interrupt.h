#ifndef KVBSIGN_SYSTEM_INTERRUPT_H
#define KVBSIGN_SYSTEM_INTERRUPT_H

// Interruption of a verification by SIGINT, SIGTERM or SIGHUP.
//
// Ctrl-C signals the whole process group, a service manager stops the tool with SIGTERM, a
// closed terminal sends SIGHUP. Dying at once would leave the package copy, the extracted tree
// and a download's directory in /tmp, and the extractor (in a session of its own, out of the
// terminal's reach) would go on writing. So while a verification runs, a handler only records
// the first of these signals and writes a byte to a pipe. Every wait of the library wakes on
// that pipe or looks at the flag at least every 100 ms, every long step looks at it between
// chunks, and each then fails the way it fails already; the call unwinds through its usual
// clean-up (children killed and reaped, temporary trees removed), restores the dispositions it
// found and raises the signal again, so that the process ends by it as if no handler had been
// there.

#include <signal.h>

#include <stdexcept>

namespace kvbsign {
namespace interrupt {

// The signals a verification stops for.
constexpr int kHandledSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kHandledCount = sizeof kHandledSignals / sizeof kHandledSignals[0];

// Handles the signals for its lifetime. A signal the process ignores stays ignored (a run under
// nohup goes on when the terminal closes). Scopes do not nest: while one is active, another
// changes nothing.
class Scope {
public:
    Scope() noexcept;
    ~Scope() { end(); }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

    // Restores the dispositions found; when a signal came, raises it again (which ends the
    // process unless the disposition found was a handler that returns, or the signal is
    // blocked). True when the scope was interrupted. Only the first call does anything.
    bool end() noexcept;

private:
    bool active_ = false;
    bool installed_[kHandledCount] = {};
    struct sigaction previous_[kHandledCount];
};

// True once a handled signal came during the active scope.
bool interrupted() noexcept;

// The first signal that came, 0 when none.
int signalNumber() noexcept;

// The read end of a pipe that is readable once a signal came (never drained during a scope),
// for waits that poll; -1 when there is none.
int wakeDescriptor() noexcept;

// Raised by steps that cannot return a failure of their own; callers catch it as any error.
class Interrupted : public std::runtime_error {
public:
    Interrupted() : std::runtime_error("interrupted by a signal") {}
};

inline void throwIfInterrupted() {
    if (interrupted()) throw Interrupted();
}

// Blocks the handled signals in the calling thread for its lifetime: around fork (the child
// must not run the handler before it resets it) and around the start of a thread (which
// inherits the mask, so the signals reach the thread that runs the verification).
class SignalsBlocked {
public:
    SignalsBlocked() noexcept;
    ~SignalsBlocked();
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t previous_;
};

// In a forked child before exec, only async-signal-safe calls: the handled signals, SIGPIPE
// and SIGXFSZ back to their defaults (ignored signals stay ignored across exec, and the
// tools must end by them), then every signal unblocked.
void resetSignalsInChild() noexcept;

}  // namespace interrupt
}  // namespace kvbsign

#endif
