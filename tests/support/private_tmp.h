#ifndef KVBSIGN_TEST_PRIVATE_TMP_H
#define KVBSIGN_TEST_PRIVATE_TMP_H

namespace kvtest {

// Gives the calling process (and the processes it starts later) a /tmp of its own: an empty
// memory file system in a private mount namespace, gone when the process ends. Tests that
// compare the /tmp/kvbsign* entries before and after a verification use it so that other
// tests running at the same time cannot disturb the comparison. Needs the right to make
// mount namespaces (root); returns false and changes nothing visible when it is missing.
// Call it while the process has one thread, before any scratch directory is made.
bool usePrivateTmp();

}  // namespace kvtest

#endif
