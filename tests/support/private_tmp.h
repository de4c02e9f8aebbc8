#ifndef KVBSIGN_TEST_PRIVATE_TMP_H
#define KVBSIGN_TEST_PRIVATE_TMP_H

#include <set>
#include <string>

namespace kvtest {

// Gives the calling process (and the processes it starts later) a /tmp of its own: an empty
// memory file system in a private mount namespace, gone when the process ends. Tests that
// compare the /tmp/kvbsign* entries before and after a verification use it so that other
// tests running at the same time cannot disturb the comparison. Needs the right to make
// mount namespaces (root); returns false and changes nothing visible when it is missing.
// Call it while the process has one thread, before any scratch directory is made.
bool usePrivateTmp();

// The /tmp/kvbsign* entries that exist now and are not in `known`. With a shared /tmp (no
// private one could be made) other processes make and remove entries of their own
// meanwhile: an entry counts only when it is still there after a short grace period.
std::set<std::string> newTempEntries(const std::set<std::string>& known);

}  // namespace kvtest

#endif
