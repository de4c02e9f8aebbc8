#ifndef KVBSIGN_SYSTEM_TEMP_DIR_H
#define KVBSIGN_SYSTEM_TEMP_DIR_H

// The library's temporary directories (made by KVBSignLibInternal::createTempDirectory): their
// removal, whole or below the directory. Every directory of a tree is opened up for its owner
// first, so that modes an extracted archive stored cannot keep its contents in place.

#include <string>
#include <utility>

namespace kvbsign {

// Removes the directory and everything below it, never following a link; an empty path names
// no directory. Never throws: the remover reports only file-system errors, and should
// anything else stop it (memory exhaustion), the removal is tried once more without it.
void removeTemporaryDirectory(std::string& path) noexcept;

// Removes everything below `directory`, which stays. Best effort: the caller removes the
// directory itself later and reports what remains.
void removeContents(const std::string& directory) noexcept;

// Removes a temporary directory when the step that made it ends, on every path.
class TempDirGuard {
public:
    explicit TempDirGuard(std::string path) : path_(std::move(path)) {}
    ~TempDirGuard() { removeTemporaryDirectory(path_); }
    TempDirGuard(const TempDirGuard&) = delete;
    TempDirGuard& operator=(const TempDirGuard&) = delete;

    // Empty when no directory was made.
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace kvbsign

#endif
