#ifndef KVBSIGN_UNIQUE_FD_H
#define KVBSIGN_UNIQUE_FD_H

// Owners of a file descriptor and of a directory stream, from the call that opens them.

#include <dirent.h>
#include <unistd.h>

#include <memory>

namespace kvbsign {

class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) close(fd_);
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    int get() const { return fd_; }
    // Hands the descriptor to a new owner (a directory stream, say), or to a close whose
    // result is checked.
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};

struct CloseDirectory {
    void operator()(DIR* dir) const { closedir(dir); }
};
using DirectoryPtr = std::unique_ptr<DIR, CloseDirectory>;

}  // namespace kvbsign

#endif
