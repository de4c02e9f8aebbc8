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
// The directories below /tmp that the tests need (the source and build trees, the test
// program's directory, the working directory) are bound back into the new /tmp, so the suite
// runs from a checkout anywhere, /tmp included.
// Call it while the process has one thread, before any scratch directory is made.
bool usePrivateTmp();

// The names of the /tmp entries that hold directories bound back into the private /tmp (empty
// without one). They belong to no verification and no test.
const std::set<std::string>& boundBackTmpEntries();

// For its lifetime, makes the private /tmp read-only where nothing can be created, while the
// directories bound back into it stay usable. Needs the private /tmp; active() tells whether
// it took effect.
class ReadOnlyTmp {
public:
    ReadOnlyTmp();
    ~ReadOnlyTmp();
    ReadOnlyTmp(const ReadOnlyTmp&) = delete;
    ReadOnlyTmp& operator=(const ReadOnlyTmp&) = delete;
    bool active() const { return active_; }

private:
    bool active_ = false;
};

}  // namespace kvtest

#endif
