#ifndef KVBSIGN_TEST_PIPE_WRITER_H
#define KVBSIGN_TEST_PIPE_WRITER_H

#include <string>
#include <sys/types.h>

namespace kvtest {

// A child process blocked in opening a named pipe for writing. Such an open returns only once
// some process opens the pipe for reading, so the writer is still blocked afterwards exactly
// when nobody has opened the pipe for reading meanwhile. The constructor waits (bounded)
// until the child is inside the open; the destructor kills and reaps it.
class BlockedPipeWriter {
public:
    explicit BlockedPipeWriter(const std::string& pipePath);
    ~BlockedPipeWriter();
    BlockedPipeWriter(const BlockedPipeWriter&) = delete;
    BlockedPipeWriter& operator=(const BlockedPipeWriter&) = delete;

    // True once the child is inside the open of the pipe (false when that was never seen).
    bool blockedAtStart() const { return blockedAtStart_; }
    // True while the child sleeps in the open: nobody has opened the pipe to read. A released
    // child counts as released at once, before it returns from the open and exits.
    bool stillBlocked();

private:
    bool alive();

    pid_t pid_ = -1;
    bool exited_ = false;
    bool blockedAtStart_ = false;
};

}  // namespace kvtest

#endif
