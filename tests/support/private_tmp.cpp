#include "private_tmp.h"

#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kvtest {

namespace {

std::set<std::string>& boundBack() {
    static std::set<std::string> names;
    return names;
}

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    if (path.empty() || realpath(path.c_str(), buffer) == nullptr) return std::string();
    return buffer;
}

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string executableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) return std::string();
    buffer[n] = '\0';
    return parentOf(buffer);
}

std::string workingDirectory() {
    char buffer[PATH_MAX];
    return getcwd(buffer, sizeof buffer) != nullptr ? std::string(buffer) : std::string();
}

// The part of `path` below `root`, empty when it does not lie strictly below it.
std::string below(const std::string& root, const std::string& path) {
    if (path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 || path[root.size()] != '/')
        return std::string();
    return path.substr(root.size() + 1);
}

// The directories below /tmp (relative to it) that must stay visible in the private one: the
// source and build trees, the programs the tests run, the test program's own directory and the
// working directory. One that lies inside another is left out: the outer one brings it along.
std::vector<std::string> directoriesToKeep(const std::string& tmpRoot) {
    const std::string candidates[] = {KVBSIGN_SOURCE_DIR,
                                      KVBSIGN_BUILD_DIR,
                                      parentOf(KVBSIGN_CMD_PATH),
                                      parentOf(KVBSIGN_CRL_TOOL_PATH),
                                      parentOf(KVBSIGN_FIXTURE_TOOL_PATH),
                                      executableDirectory(),
                                      workingDirectory()};
    std::vector<std::string> inside;
    for (const std::string& candidate : candidates) {
        const std::string relative = below(tmpRoot, realPath(candidate));
        if (!relative.empty()) inside.push_back(relative);
    }
    std::sort(inside.begin(), inside.end());
    inside.erase(std::unique(inside.begin(), inside.end()), inside.end());
    std::vector<std::string> kept;
    for (const std::string& relative : inside) {
        bool covered = false;
        for (const std::string& other : inside)
            if (!below(other, relative).empty()) covered = true;
        if (!covered) kept.push_back(relative);
    }
    return kept;
}

bool makeDirectories(const std::string& path) {
    // Every pass makes one more leading part of the path, so the loop ends at its length.
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

class Descriptors {
public:
    Descriptors() = default;
    Descriptors(const Descriptors&) = delete;
    Descriptors& operator=(const Descriptors&) = delete;
    ~Descriptors() {
        for (int fd : fds_) close(fd);
    }
    bool open(const std::string& path) {
        const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return false;
        fds_.push_back(fd);
        return true;
    }
    int operator[](size_t i) const { return fds_[i]; }

private:
    std::vector<int> fds_;
};

bool makePrivateTmp() {
    const std::string tmpRoot = realPath("/tmp");
    if (tmpRoot.empty()) return false;
    const std::vector<std::string> keep = directoriesToKeep(tmpRoot);
    const std::string cwd = workingDirectory();

    if (unshare(CLONE_NEWNS) != 0) return false;
    // Mounts must stop propagating to the namespace this one was copied from before anything is
    // mounted; otherwise the new /tmp would cover the machine's /tmp for everyone.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;

    // Opened in the new namespace, before the tmpfs hides them: a bind mount takes its source
    // only from the caller's own namespace, and through the descriptor it still reaches them.
    Descriptors sources;
    for (const std::string& relative : keep)
        if (!sources.open(tmpRoot + "/" + relative)) return false;

    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) return false;
    bool ok = true;
    for (size_t i = 0; ok && i < keep.size(); ++i) {
        const std::string target = "/tmp/" + keep[i];
        const std::string source = "/proc/self/fd/" + std::to_string(sources[i]);
        ok = makeDirectories(target) && mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
        if (ok) boundBack().insert(keep[i].substr(0, keep[i].find('/')));
    }
    // The working directory is still the one under the hidden /tmp; its path must lead to it again.
    if (ok && !below(tmpRoot, cwd).empty()) ok = chdir(cwd.c_str()) == 0;
    if (!ok) {
        // Better the shared /tmp than one without the build tree.
        umount2("/tmp", MNT_DETACH);
        boundBack().clear();
    }
    return ok;
}

}  // namespace

bool usePrivateTmp() {
    // Once per process: a second mount would hide what the tests made in the first.
    static const bool result = makePrivateTmp();
    return result;
}

const std::set<std::string>& boundBackTmpEntries() { return boundBack(); }

ReadOnlyTmp::ReadOnlyTmp() {
    if (!usePrivateTmp()) return;
    // A read-only bind of the private /tmp over itself: nothing can be made in it, while the
    // directories bound back into it come along as they are (writable).
    if (mount("/tmp", "/tmp", nullptr, MS_BIND | MS_REC, nullptr) != 0) return;
    if (mount(nullptr, "/tmp", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr) != 0) {
        umount2("/tmp", MNT_DETACH);
        return;
    }
    active_ = true;
}

ReadOnlyTmp::~ReadOnlyTmp() {
    if (active_) umount2("/tmp", MNT_DETACH);
}

}  // namespace kvtest
