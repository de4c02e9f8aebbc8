#ifndef KVBSIGN_TEST_LEFTOVER_CHECK_H
#define KVBSIGN_TEST_LEFTOVER_CHECK_H

// Finds what a run left in /tmp: the /tmp/kvbsign* entries that were not there before it.

#include <time.h>

#include <set>
#include <string>
#include <vector>

namespace kvtest {

// What tells a run's own entries from those of other tests where /tmp is shared.
struct LeftoverHints {
    // An entry made after this moment is not the run's (tv_sec 0: not known).
    struct timespec runEnded {};
    // Files only this kind of run makes: a new directory counts only when it is empty or holds
    // one of them (none named: every new entry counts).
    std::vector<std::string> workingFiles;
};

// Hints for a run that ended at `runEnded` (taken with wallClockNow() just after it).
LeftoverHints runEndedAt(const struct timespec& runEnded);
// Hints for the certificate steps: their directories hold the working files they write.
LeftoverHints certificateStepHints();

// The /tmp/kvbsign* entries that exist now and are not in `known` (taken just before the
// run). With a private /tmp (see private_tmp.h) every one of them is the run's. With a
// shared one, other tests running at the same time make and remove entries of their own:
// an entry counts only when the hints do not rule it out and it is still there after a short,
// bounded wait (3 s a call and 20 s in all per process, so that a run that leaks every time
// fails the suite quickly instead of running it into the time-out).
std::set<std::string> newTempEntries(const std::set<std::string>& known, const LeftoverHints& hints = {});

// The current wall-clock time, for LeftoverHints::runEnded.
struct timespec wallClockNow();

}  // namespace kvtest

#endif
