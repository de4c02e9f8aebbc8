// Resolving a path inside the package without ever leaving it.

#include "package/inside.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <deque>

namespace kvbsign {

namespace {

// As many links as the system itself follows in one path.
constexpr int kMaxLinks = 40;

void pushElements(const std::string& path, std::deque<std::string>& elements) {
    std::deque<std::string> front;
    std::string::size_type start = 0;
    // Each pass takes one element; empty ones (from "//" or a leading "/") are dropped.
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) front.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    elements.insert(elements.begin(), front.begin(), front.end());
}

std::string join(const std::string& directory, const std::string& name) {
    return directory.empty() || directory.back() != '/' ? directory + "/" + name : directory + name;
}

}  // namespace

bool isSameOrBelow(const std::string& path, const std::string& dir) {
    if (path == dir) return true;
    if (!dir.empty() && dir.back() == '/') return path.compare(0, dir.size(), dir) == 0;
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

InsideResult resolveInsidePackage(const std::string& root, const std::string& relative, std::string& resolved) {
    std::deque<std::string> elements;
    pushElements(relative, elements);
    std::string current = root;
    int links = 0;
    struct stat info;
    if (lstat(current.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return InsideResult::Error;

    // Each pass consumes one element or replaces a link by its target; the link count bounds
    // the replacements.
    while (!elements.empty()) {
        const std::string element = std::move(elements.front());
        elements.pop_front();
        if (element == ".") continue;
        if (element == "..") {
            if (current == root) return InsideResult::LeavesPackage;
            current.erase(current.rfind('/') == 0 ? 1 : current.rfind('/'));
            continue;
        }
        const std::string candidate = join(current, element);
        if (lstat(candidate.c_str(), &info) != 0)
            return errno == ENOENT || errno == ENOTDIR ? InsideResult::Missing : InsideResult::Error;
        if (S_ISLNK(info.st_mode)) {
            if (++links > kMaxLinks) return InsideResult::Error;
            char target[PATH_MAX];
            const ssize_t n = readlink(candidate.c_str(), target, sizeof target);
            if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return InsideResult::Error;
            const std::string text(target, static_cast<size_t>(n));
            if (text[0] == '/') {
                // An absolute target is followed only into the package, from its root.
                if (!isSameOrBelow(text, root)) return InsideResult::LeavesPackage;
                pushElements(text.substr(root == "/" ? 0 : root.size()), elements);
                current = root;
            } else {
                pushElements(text, elements);
            }
            continue;
        }
        if (!elements.empty() && !S_ISDIR(info.st_mode)) return InsideResult::Missing;
        current = candidate;
    }
    if (lstat(current.c_str(), &info) != 0) return InsideResult::Error;
    resolved = current;
    return S_ISREG(info.st_mode) ? InsideResult::RegularFile : InsideResult::NotRegular;
}

}  // namespace kvbsign
