#ifndef KVBSIGN_PACKAGE_PATHS_H
#define KVBSIGN_PACKAGE_PATHS_H

#include <string_view>

namespace kvbsign {

// True for a package path that neither the walk nor the manifest counts: operating-system
// clutter whose last element is exactly ".DS_Store", "Thumbs.db" or "desktop.ini", and
// everything below a top-level "__MACOSX" directory. The path is plain (not percent-encoded),
// relative to the package root, with "/" separators. Only whole names count, so that a file
// such as "Thumbs.dbx/evil.js" stays listed and must be covered by the manifest.
bool isExcludedPackagePath(std::string_view path);

}  // namespace kvbsign

#endif
