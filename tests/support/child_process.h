#ifndef KVBSIGN_TEST_CHILD_PROCESS_H
#define KVBSIGN_TEST_CHILD_PROCESS_H

// Running library code in a forked child, for what a test must not do to its own process:
// drop privileges, or see another /tmp.

#include <sys/types.h>

#include <functional>
#include <string>

namespace kvtest {

// Runs `body` in a forked child of this (single-threaded) process; its result is the exit
// status. Returns that status, 128 + the signal that ended the child, or -1 when it was
// still running after `timeoutSeconds` (it is killed then).
int runInChild(const std::function<int()>& body, int timeoutSeconds = 60);

// In a child: becomes the user "nobody" with its group and no supplementary groups. False
// when that user does not exist or the change fails.
bool becomeNobody();

// In a child: a private mount namespace with a fresh memory file system of `megabytes` on
// /tmp. False when it cannot be made (no right to make mount namespaces).
bool mountSmallTmp(int megabytes);

// True when this process may drop to another user (it runs as root).
bool canDropPrivileges();

// A process as it was seen: its pid and its start time (clock ticks after boot, field 22 of
// /proc/<pid>/stat), which tells it apart from a later process that gets the same pid.
struct ProcessId {
    pid_t pid = 0;
    unsigned long long startTime = 0;
};

// The process that runs under `pid` now; startTime 0 when there is none.
ProcessId lookAtProcess(pid_t pid);

// True when the process no longer runs: its pid is gone, names a later process, or names a
// zombie (dead, not reaped yet). Waits for that at most `timeoutSeconds`.
bool processEnds(const ProcessId& process, int timeoutSeconds);

}  // namespace kvtest

#endif
