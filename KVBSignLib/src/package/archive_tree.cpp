// The extracted tree against the archive's listing.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "package/archive_format.h"
#include "system/interrupt.h"
#include "system/unique_fd.h"

namespace kvbsign {
namespace archive {

bool treeMatchesListing(const std::string& root, const Listing& listing, std::string& reason) {
    std::uint64_t expectedFiles = 0;
    std::uint64_t expectedDirectories = 0;
    for (const Entry& entry : listing.entries) {
        if (entry.kind == EntryKind::Directory)
            ++expectedDirectories;
        else
            ++expectedFiles;
    }
    std::uint64_t files = 0;
    std::uint64_t directories = 0;

    if (chmod(root.c_str(), S_IRWXU) != 0) {
        reason = "cannot prepare the extraction directory";
        return false;
    }
    // Directories still to list, relative to the root. One is open at a time.
    std::vector<std::string> pending(1);
    while (!pending.empty()) {
        const std::string relative = std::move(pending.back());
        pending.pop_back();
        const std::string path = relative.empty() ? root : root + "/" + relative;
        kvbsign::UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC));
        if (fd.get() < 0) {
            reason = "cannot list an extracted directory";
            return false;
        }
        kvbsign::DirectoryPtr dir(fdopendir(fd.get()));
        if (dir.get() == nullptr) {
            reason = "cannot list an extracted directory";
            return false;
        }
        // The directory stream owns the descriptor from here on.
        const int dirFd = fd.release();

        for (;;) {
            errno = 0;
            const dirent* item = readdir(dir.get());
            if (item == nullptr) {
                if (errno != 0) {
                    reason = "cannot list an extracted directory";
                    return false;
                }
                break;
            }
            const char* base = item->d_name;
            if (std::strcmp(base, ".") == 0 || std::strcmp(base, "..") == 0) continue;
            if (kvbsign::interrupt::interrupted()) {
                reason = "interrupted";
                return false;
            }
            const std::string name = relative.empty() ? std::string(base) : relative + "/" + base;
            struct stat info;
            if (fstatat(dirFd, base, &info, AT_SYMLINK_NOFOLLOW) != 0) {
                reason = "cannot examine an extracted entry";
                return false;
            }
            const Entry* entry = listing.find(name);
            if (S_ISDIR(info.st_mode)) {
                if (entry != nullptr ? entry->kind != EntryKind::Directory : !listing.hasEntryBelow(name)) {
                    reason = "the extraction made a directory the archive does not hold: " + name;
                    return false;
                }
                if (entry != nullptr) ++directories;
                if ((info.st_mode & S_IRWXU) != S_IRWXU &&
                    fchmodat(dirFd, base, (info.st_mode & 07777) | S_IRWXU, 0) != 0) {
                    reason = "cannot open up an extracted directory";
                    return false;
                }
                pending.push_back(name);
                continue;
            }
            const EntryKind kind = S_ISREG(info.st_mode)   ? EntryKind::File
                                   : S_ISLNK(info.st_mode) ? EntryKind::Symlink
                                                           : EntryKind::Directory;
            if (entry == nullptr || kind == EntryKind::Directory || entry->kind != kind ||
                static_cast<std::uint64_t>(info.st_size) != entry->size) {
                reason = "the extraction wrote what the archive does not hold: " + name;
                return false;
            }
            // The link checks judged the target the archive stores.
            if (kind == EntryKind::Symlink) {
                char target[kMaxLinkTargetLength + 1];
                const ssize_t n = readlinkat(dirFd, base, target, sizeof target);
                if (n < 0 || listing.target(*entry) != std::string_view(target, static_cast<std::size_t>(n))) {
                    reason = "the extraction wrote another link target than the archive holds: " + name;
                    return false;
                }
            }
            ++files;
        }
    }
    if (files != expectedFiles || directories != expectedDirectories) {
        reason = "the extraction left out entries of the archive";
        return false;
    }
    return true;
}

}  // namespace archive
}  // namespace kvbsign
