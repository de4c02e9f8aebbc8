#ifndef KVBSIGN_PACKAGE_INSIDE_H
#define KVBSIGN_PACKAGE_INSIDE_H

#include <string>

namespace kvbsign {

enum class InsideResult {
    RegularFile,    // `resolved` names a regular file inside the package
    NotRegular,     // inside the package, but no regular file (a directory, pipe, device)
    Missing,        // no such file inside the package
    LeavesPackage,  // a link on the way points out of the package; it is not followed
    Error,          // a loop of links, a name too long, a file-system error
};

// Resolves `relative` below the package root `root` (canonical, no trailing "/" unless it is
// "/") one element at a time, following symbolic links only while they stay inside the
// root. Nothing is opened: only lstat and readlink touch the file system. On RegularFile,
// `resolved` is the file's path with every link resolved.
InsideResult resolveInsidePackage(const std::string& root, const std::string& relative, std::string& resolved);

// True when `path` is `dir` or lies below it, element by element: "/a/pkg2" is not below
// "/a/pkg". Both are canonical texts in generic form.
bool isSameOrBelow(const std::string& path, const std::string& dir);

}  // namespace kvbsign

#endif
