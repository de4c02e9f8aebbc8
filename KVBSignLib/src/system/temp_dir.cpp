// Temporary directories: making them, and removing them whole or emptying them.

#include "system/temp_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

#include "KVBSignLibInternal.h"
#include "system/interrupt.h"
#include "system/unique_fd.h"

namespace fs = boost::filesystem;

namespace {

// Gives the owner read, write and search permission on every directory of the tree, without
// following links: an extracted archive may store read-only or closed directories, whose
// contents could otherwise not be removed by anyone but root. Best effort; the removal
// reports what remains.
void openUpTree(const std::string& root) {
    struct stat info;
    if (lstat(root.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return;
    if ((info.st_mode & S_IRWXU) != S_IRWXU) chmod(root.c_str(), (info.st_mode & 07777) | S_IRWXU);
    std::vector<std::string> pending{root};
    // Each pass lists one directory; only directories of the tree are queued, links never.
    while (!pending.empty()) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        kvbsign::UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (fd.get() < 0) continue;
        kvbsign::DirectoryPtr dir(fdopendir(fd.get()));
        if (!dir) continue;
        const int dirFd = fd.release();
        while (const dirent* item = readdir(dir.get())) {
            if (std::strcmp(item->d_name, ".") == 0 || std::strcmp(item->d_name, "..") == 0) continue;
            if (item->d_type != DT_DIR && item->d_type != DT_UNKNOWN) continue;
            if (fstatat(dirFd, item->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode)) continue;
            if ((info.st_mode & S_IRWXU) != S_IRWXU)
                fchmodat(dirFd, item->d_name, (info.st_mode & 07777) | S_IRWXU, 0);
            pending.push_back(path + "/" + item->d_name);
        }
    }
}

}  // namespace

std::string KVBSignLibInternal::createTempDirectory(int quiet, int) {
    // An interrupted verification only removes what it made.
    if (kvbsign::interrupt::interrupted()) return std::string();
    char pathTemplate[] = "/tmp/kvbsignXXXXXXXXXXXXXXXX";
    if (mkdtemp(pathTemplate) == nullptr) return std::string();
    // The directory exists now; if handing its name back fails (memory exhaustion), nobody
    // could remove it later, so remove it here.
    try {
        std::string path(pathTemplate);
        if (quiet == 0) debugMessage("TEMP DIRECTORY: " + path);
        return path;
    } catch (...) {
        rmdir(pathTemplate);
        throw;
    }
}

std::string KVBSignLibInternal::tmpDir() {
    return createTempDirectory(1, 0);
}

void KVBSignLibInternal::removeTempDirectory(std::string& path) {
    try {
        openUpTree(path);
        fs::remove_all(path);  // removes links, never follows them
    } catch (const fs::filesystem_error& e) {
        debugError(std::string("Failed to remove temporary directory: ") + e.what());
    }
}

namespace kvbsign {

void removeContents(const std::string& directory) noexcept {
    try {
        openUpTree(directory);
        boost::system::error_code ec;
        for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
            boost::system::error_code ignored;
            fs::remove_all(it->path(), ignored);  // removes links, never follows them
        }
    } catch (...) {
    }
}

void removeTemporaryDirectory(std::string& path) noexcept {
    if (path.empty()) return;
    try {
        KVBSignLibInternal::removeTempDirectory(path);
    } catch (...) {
        try {
            boost::system::error_code ignored;
            fs::remove_all(path, ignored);
        } catch (...) {
        }
    }
}

}  // namespace kvbsign
