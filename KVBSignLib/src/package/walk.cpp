// Package walk: turns the files of an unpacked package into manifest references (URI relative
// to the package root, base64 SHA-256 of the bytes) and enforces the symbolic-link rules.
//
// The walk reads the directories itself and takes each entry's type from the directory entry,
// so that a plain file costs one open, one fstat and its reads: its relative and real paths
// follow from the walk. Only symbolic links are resolved, through the file-system library.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>
#include <openssl/evp.h>

#include "KVBSignLibInternal.h"
#include "ossl_ptr.h"
#include "package/inside.h"
#include "package/package_paths.h"
#include "system/interrupt.h"
#include "system/unique_fd.h"

namespace fs = boost::filesystem;

namespace {

// Numbers every reference reached through a symbolic link. Process-wide and never reset,
// so verifications must not overlap.
int symlinkCount = 0;

// Canonical directories whose walks are in progress (the outermost walk first, then the
// targets of the directory links being followed). A link whose target holds one of them
// would lead the walk back into itself.
std::vector<std::string> walksInProgress;

// Directory links followed in the current outermost walk. A tree of links without a cycle
// can still multiply the paths at every level; the budget keeps such a package from
// holding the verification for hours.
int linkedDirectoryWalks = 0;
const int kMaxLinkedDirectoryWalks = 1024;

// Entries (files, directories and anything else) reached below directory links in the
// current outermost walk. Links that fan out can reach an entry by very many paths, and each
// link walks the whole tree below its target again, empty directories included; past this
// bound the package is refused.
long linkedReferences = 0;
const long kMaxLinkedReferences = 100000;

// Digests of the files reached through symbolic links in the current outermost walk, by their
// real location: however many links lead to a file, it is read once through them. A file met
// by its own path is met once and not kept, so a package without links keeps nothing here.
std::map<std::string, std::string> digestsByRealPath;

// What resolving a link found, by the link's real location, for the links accepted in the
// current outermost walk. A link below a directory link is met again in every walk through
// that link, and resolving it may walk thousands of elements: on disk it is one link, resolved
// once.
struct ResolvedLink {
    fs::file_status followed;
    std::string canonicalTarget;
    bool targetExists = false;
};
std::map<std::string, ResolvedLink> linksByRealPath;

const char* const kClutterNames[] = {".DS_Store", "Thumbs.db", "desktop.ini"};

bool isClutterName(std::string_view relative) {
    const std::string_view::size_type slash = relative.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? relative : relative.substr(slash + 1);
    for (const char* name : kClutterNames) {
        if (last == name) return true;
    }
    return false;
}

// Files the walk passes over by name, before anything about them is read.
bool isPassedOverByName(std::string_view relative) {
    return isClutterName(relative) || relative == "META-INF/signatures.xml" || relative == "mimetype";
}

using kvbsign::isSameOrBelow;

// A canonical path relative to the package root, cut from the text when it lies below.
std::string relativeToRoot(const std::string& path, const std::string& root) {
    if (path == root) return "";
    if (!root.empty() && isSameOrBelow(path, root)) return path.substr(root.back() == '/' ? root.size() : root.size() + 1);
    return KVBSignLibInternal::relativePath(path, root).generic_string();
}

// Raises the file-system library's error, so that the walk's own system calls end it the way
// the library's do.
[[noreturn]] void raiseFileSystemError(const char* what, const std::string& path, int error) {
    throw fs::filesystem_error(what, fs::path(path), boost::system::error_code(error, boost::system::system_category()));
}

class WalkInProgress {
public:
    explicit WalkInProgress(std::string canonicalDirectory) {
        if (walksInProgress.empty()) {
            linkedDirectoryWalks = 0;
            linkedReferences = 0;
            digestsByRealPath.clear();
            linksByRealPath.clear();
        }
        walksInProgress.push_back(std::move(canonicalDirectory));
    }
    ~WalkInProgress() {
        walksInProgress.pop_back();
        // What the caches hold is only good while the files stay as they were.
        if (walksInProgress.empty()) {
            digestsByRealPath.clear();
            linksByRealPath.clear();
        }
    }
    WalkInProgress(const WalkInProgress&) = delete;
    WalkInProgress& operator=(const WalkInProgress&) = delete;
};

using kvbsign::DirectoryPtr;
using kvbsign::UniqueFd;

const std::size_t kReadChunk = 1 << 20;

// Flags of every open for a digest: a named pipe must neither block the open nor wait for a
// writer, and a terminal must not become the controlling one.
const int kDigestOpenFlags = O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

// The digest of an open file as base64 text in a buffer from malloc; null after setting the
// status to 10 or 11. Only a regular file is read: a device may never reach its end.
char* digestOpenFile(int fd, KVBSIGN_STATUS* status) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *status = KVBSIGN_FILE_NOT_FOUND;
        return nullptr;
    }

    kvbsign::EvpMdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        *status = KVBSIGN_FILE_POINTER_FAILED;
        return nullptr;
    }
    // Fixed-size chunks keep memory flat whatever the file's size; small files get a
    // buffer of their own size so that a package of many small files allocates little.
    std::size_t chunk = kReadChunk;
    if (info.st_size >= 0 && static_cast<unsigned long long>(info.st_size) < kReadChunk)
        chunk = static_cast<std::size_t>(info.st_size) + 1;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[chunk]);
    for (;;) {
        if (kvbsign::interrupt::interrupted()) {
            *status = KVBSIGN_FILE_NOT_FOUND;
            return nullptr;
        }
        ssize_t n = read(fd, buffer.get(), chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            *status = KVBSIGN_FILE_NOT_FOUND;
            return nullptr;
        }
        if (n == 0) break;
        if (EVP_DigestUpdate(ctx.get(), buffer.get(), static_cast<std::size_t>(n)) != 1) {
            *status = KVBSIGN_FILE_POINTER_FAILED;
            return nullptr;
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(ctx.get(), digest, &digestLength) != 1 || digestLength != 32) {
        *status = KVBSIGN_FILE_POINTER_FAILED;
        return nullptr;
    }

    // 32 bytes give 44 base64 characters; EVP_EncodeBlock adds the NUL and no line end.
    char* text = static_cast<char*>(malloc(45));
    if (text == nullptr) {
        *status = KVBSIGN_FILE_POINTER_FAILED;
        return nullptr;
    }
    if (EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text), digest, 32) != 44) {
        free(text);
        *status = KVBSIGN_FILE_POINTER_FAILED;
        return nullptr;
    }
    return text;
}

// Where the bytes of a file are read from: a name relative to an open directory (or to the
// working directory, AT_FDCWD), and whether a link in its last element may be followed.
struct FileSource {
    int directory;
    const char* name;
    bool followLink;
};

// Counts an entry met below a directory link; false past the bound.
bool withinLinkedReferenceBound() {
    if (walksInProgress.size() > 1 && ++linkedReferences > kMaxLinkedReferences) {
        KVBSignLibInternal::debugError("Too many entries reached through symbolic links");
        return false;
    }
    return true;
}

// Digests one file and appends its reference (unless its path is excluded); 0, 10, 11, or 14
// when too many files have been reached through directory links.
int addReference(std::vector<nonXMLManifestReference>& references, const FileSource& source,
                 const std::string& relative, const char* realRelative) {
    if (!withinLinkedReferenceBound()) return KVBSIGN_SYMLINK_INVALID_LOCATION;
    // Only a file reached through a link has a real location other than its path, and only
    // such a file can be met again by another path.
    const bool throughLink = !walksInProgress.empty() && realRelative != nullptr && relative != realRelative;
    std::string digest;
    const auto known = throughLink ? digestsByRealPath.find(realRelative) : digestsByRealPath.end();
    if (known != digestsByRealPath.end()) {
        digest = known->second;
    } else {
        KVBSIGN_STATUS status = KVBSIGN_SUCCESS;
        const UniqueFd fd(
            openat(source.directory, source.name, kDigestOpenFlags | (source.followLink ? 0 : O_NOFOLLOW)));
        char* text = nullptr;
        if (fd.get() < 0)
            status = KVBSIGN_FILE_NOT_FOUND;
        else
            text = digestOpenFile(fd.get(), &status);
        if (text == nullptr) return status != KVBSIGN_SUCCESS ? status : KVBSIGN_FILE_POINTER_FAILED;
        digest = text;
        free(text);
        if (throughLink) digestsByRealPath.emplace(realRelative, digest);
    }

    nonXMLManifestReference reference;
    reference.uri = KVBSignLibInternal::uriPercentEncode(relative);
    if (realRelative != nullptr && relative != realRelative) {
        reference.symlinkInfo = "[" + std::string(realRelative) + "]" + std::to_string(symlinkCount);
        ++symlinkCount;
    }
    reference.digestValue = std::move(digest);

    // Files below a top-level "__MACOSX" are digested but not listed; the counter has moved
    // on for them all the same.
    if (!kvbsign::isExcludedPackagePath(relative)) references.push_back(std::move(reference));
    return KVBSIGN_SUCCESS;
}

// The link rules, for a link met in the walk and for the root's "mimetype": a link whose
// target exists must lead to the package root or below it, and no link may name an absolute
// target. 0, 14 or 15; when the target exists, `canonicalTarget` receives its canonical text.
int checkLink(const fs::path& link, const std::string& root, std::string& canonicalTarget, bool& targetExists) {
    const fs::path target = fs::read_symlink(link);
    const fs::path placed = target.is_absolute() ? target : link.parent_path() / target;
    targetExists = fs::exists(placed);
    if (targetExists) {
        // The base is only used for a relative path, and the walk's paths are absolute.
        canonicalTarget = fs::canonical(placed, fs::path(root)).generic_string();
        if (!isSameOrBelow(canonicalTarget, root)) {
            KVBSignLibInternal::debugError("Symlinks to paths outside extension directory are not permitted");
            return KVBSIGN_SYMLINK_INVALID_LOCATION;
        }
    }
    if (target.is_absolute()) {
        KVBSignLibInternal::debugError("Symlinks to absolute paths are not permitted");
        return KVBSIGN_SYMLINK_ABSOLUTE_PATH;
    }
    // A missing target must not climb out either: installed elsewhere, the link would lead to
    // whatever is there. Resolved step by step inside the package, it must not leave it.
    const std::string linkText = link.generic_string();
    if (!targetExists && linkText != root && isSameOrBelow(linkText, root)) {
        std::string resolved;
        if (kvbsign::resolveInsidePackage(root, relativeToRoot(linkText, root), resolved) ==
            kvbsign::InsideResult::LeavesPackage) {
            KVBSignLibInternal::debugError("Symlinks to paths outside extension directory are not permitted");
            return KVBSIGN_SYMLINK_INVALID_LOCATION;
        }
    }
    return KVBSIGN_SUCCESS;
}

// One outermost walk and the walks below the directory links it follows.
class Walker {
public:
    Walker(std::vector<nonXMLManifestReference>& references, std::string root)
        : references_(references), root_(std::move(root)) {}

    // Walks the directory at `walkedPath` (absolute), whose path relative to the package root
    // is `walkedRelative` and whose canonical text is `canonicalWalked`. Every entry's path is
    // walkedPath + "/" + its path inside, and its relative path walkedRelative + "/" + the same.
    int walk(const std::string& walkedPath, const std::string& walkedRelative, const std::string& canonicalWalked);

private:
    int linkEntry(const std::string& path, const std::string& relative);

    std::vector<nonXMLManifestReference>& references_;
    const std::string root_;
};

int Walker::walk(const std::string& walkedPath, const std::string& walkedRelative,
                 const std::string& canonicalWalked) {
    const WalkInProgress inProgress(canonicalWalked);
    // Below a plain directory nothing is a link, so an entry's real location is the walked
    // directory's real location followed by the entry's path inside.
    const std::string realPrefix = relativeToRoot(canonicalWalked, root_);
    std::string relative = walkedRelative;
    const std::size_t insideStart = relative.empty() ? 0 : relative.size() + 1;
    auto pathOf = [&]() { return walkedPath + "/" + relative.substr(insideStart); };

    struct Level {
        DirectoryPtr directory;
        std::size_t relativeLength;  // of the directory's own relative path
    };
    std::vector<Level> levels;
    {
        DirectoryPtr top(opendir(walkedPath.c_str()));
        if (!top) raiseFileSystemError("Cannot open directory", walkedPath, errno);
        levels.push_back({std::move(top), relative.size()});
    }
    std::string real;
    // Each pass reads one entry or leaves one directory; directories are finite, and the
    // levels grow only by the plain directories met.
    while (!levels.empty()) {
        DIR* directory = levels.back().directory.get();
        const std::size_t parentLength = levels.back().relativeLength;
        errno = 0;
        const dirent* entry = readdir(directory);
        if (entry == nullptr) {
            const int error = errno;
            relative.resize(parentLength);
            if (error != 0) raiseFileSystemError("Cannot read directory", pathOf(), error);
            levels.pop_back();
            continue;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (kvbsign::interrupt::interrupted()) raiseFileSystemError("Interrupted", pathOf(), EINTR);
        relative.resize(parentLength);
        if (parentLength > 0) relative += '/';
        relative += name;
        // The library refuses such a path, whatever the entry is.
        if (walkedPath.size() + 1 + (relative.size() - insideStart) >= PATH_MAX)
            raiseFileSystemError("Path too long", pathOf(), ENAMETOOLONG);

        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat info;
            if (fstatat(dirfd(directory), name, &info, AT_SYMLINK_NOFOLLOW) == 0)
                type = IFTODT(info.st_mode);
            else if (errno != ENOENT && errno != ENOTDIR)
                raiseFileSystemError("Cannot read the type", pathOf(), errno);
            // An entry gone since it was listed stays of unknown type: a file that is missing.
        }

        if (type == DT_LNK) {
            const int status = linkEntry(pathOf(), relative);
            if (status != KVBSIGN_SUCCESS) return status;
            continue;
        }
        if (type == DT_DIR) {
            if (!withinLinkedReferenceBound()) return KVBSIGN_SYMLINK_INVALID_LOCATION;
            UniqueFd fd(openat(dirfd(directory), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (fd.get() < 0) raiseFileSystemError("Cannot open directory", pathOf(), errno);
            DirectoryPtr below(fdopendir(fd.get()));
            if (!below) {
                const int error = errno;
                raiseFileSystemError("Cannot open directory", pathOf(), error);
            }
            fd.release();  // the directory stream owns it now
            levels.push_back({std::move(below), relative.size()});
            continue;
        }

        if (isPassedOverByName(relative)) continue;
        if (type != DT_REG) {
            // A pipe, a socket or a device holds nothing to digest, and opening one can have
            // effects; one that vanished since it was listed is missing. Left out, it would be
            // a file that no manifest entry has to cover.
            if (!withinLinkedReferenceBound()) return KVBSIGN_SYMLINK_INVALID_LOCATION;
            KVBSignLibInternal::debugError("Cannot digest " + relative);
            return KVBSIGN_FILE_NOT_FOUND;
        }
        const std::string* realRelative = &relative;
        if (!realPrefix.empty() || insideStart != 0) {
            real.assign(realPrefix);
            if (!real.empty()) real += '/';
            real.append(relative, insideStart, std::string::npos);
            realRelative = &real;
        }
        const int added = addReference(references_, {dirfd(directory), name, false}, relative, realRelative->c_str());
        if (added != KVBSIGN_SUCCESS) {
            KVBSignLibInternal::debugError("Cannot digest " + relative);
            return added;
        }
    }
    return KVBSIGN_SUCCESS;
}

int Walker::linkEntry(const std::string& path, const std::string& relative) {
    const fs::path entry(path);
    // Directories below a directory link are walked where they are on disk, so a link met
    // again in another walk through a directory link comes with the same `path`.
    std::map<std::string, ResolvedLink>::const_iterator resolved = linksByRealPath.find(path);
    if (resolved == linksByRealPath.end()) {
        ResolvedLink link;
        // Follows every link; a loop of links raises the library's error here.
        link.followed = fs::status(entry);
        const int checked = checkLink(entry, root_, link.canonicalTarget, link.targetExists);
        if (checked != KVBSIGN_SUCCESS) return checked;
        resolved = linksByRealPath.emplace(path, std::move(link)).first;
    }
    const fs::file_status followed = resolved->second.followed;
    std::string canonicalTarget = resolved->second.canonicalTarget;
    const bool targetExists = resolved->second.targetExists;

    if (!fs::is_directory(followed)) {
        if (isPassedOverByName(relative)) return KVBSIGN_SUCCESS;
        // A link whose target is missing raises "no such file" here.
        if (!targetExists) canonicalTarget = fs::canonical(entry, fs::path(root_)).generic_string();
        const std::string real = relativeToRoot(canonicalTarget, root_);
        // Opened by its real location, where no link is left to follow, and only when it is a
        // regular file there.
        int added = KVBSIGN_FILE_NOT_FOUND;
        if (fs::is_regular_file(followed))
            added = addReference(references_, {AT_FDCWD, canonicalTarget.c_str(), false}, relative, real.c_str());
        else if (!withinLinkedReferenceBound())
            added = KVBSIGN_SYMLINK_INVALID_LOCATION;
        if (added != KVBSIGN_SUCCESS) KVBSignLibInternal::debugError("Cannot digest " + relative);
        return added;
    }

    for (const std::string& open : walksInProgress) {
        if (isSameOrBelow(open, canonicalTarget)) {
            KVBSignLibInternal::debugError("Symlinks to directories that hold them are not permitted");
            return KVBSIGN_SYMLINK_INVALID_LOCATION;
        }
    }
    if (++linkedDirectoryWalks > kMaxLinkedDirectoryWalks) {
        KVBSignLibInternal::debugError("Too many symbolic links to directories");
        return KVBSIGN_SYMLINK_INVALID_LOCATION;
    }
    // The entries below are walked where they are on disk, under the link's relative path: a
    // path through the link would have every link below it resolve the link again.
    return walk(canonicalTarget, relative, canonicalTarget);
}

// The root's "mimetype", which comes first. It is opened only once it is known to be a
// regular file inside the package: a link may name a pipe or a device anywhere on the
// machine, and opening one can have effects (a writer waiting on a pipe is released).
int addRootMimetype(std::vector<nonXMLManifestReference>& references, const std::string& path,
                    const std::string& root) {
    const fs::path mimetype(path);
    // Outside the walk's handler, like the package root: an error other than a missing file
    // is the caller's.
    const fs::file_status own = fs::symlink_status(mimetype);
    if (!fs::exists(own)) return KVBSIGN_SUCCESS;
    if (!fs::is_symlink(own)) {
        if (!fs::is_regular_file(own)) {
            KVBSignLibInternal::debugError("mimetype is not a regular file");
            return KVBSIGN_FILE_NOT_FOUND;
        }
        return addReference(references, {AT_FDCWD, path.c_str(), false}, "mimetype", nullptr);
    }
    // A link to nothing is no file; the walk judges the link itself.
    const fs::file_status followed = fs::status(mimetype);
    if (!fs::exists(followed)) return KVBSIGN_SUCCESS;
    std::string canonicalTarget;
    bool targetExists = false;
    const int checked = checkLink(mimetype, root, canonicalTarget, targetExists);
    if (checked != KVBSIGN_SUCCESS) return checked;
    if (!targetExists || !fs::is_regular_file(followed)) {
        KVBSignLibInternal::debugError("mimetype is not a regular file");
        return KVBSIGN_FILE_NOT_FOUND;
    }
    return addReference(references, {AT_FDCWD, canonicalTarget.c_str(), false}, "mimetype", nullptr);
}

}  // namespace

namespace kvbsign {

bool isExcludedPackagePath(std::string_view path) {
    return isClutterName(path) || path.compare(0, 9, "__MACOSX/") == 0;
}

}  // namespace kvbsign

char* KVBSignLibInternal::encodeFile(const char* path, KVBSIGN_STATUS* status) {
    if (path == nullptr) {
        *status = KVBSIGN_FILE_NOT_FOUND;
        return nullptr;
    }
    const UniqueFd fd(open(path, kDigestOpenFlags));
    if (fd.get() < 0) {
        *status = KVBSIGN_FILE_NOT_FOUND;
        return nullptr;
    }
    return digestOpenFile(fd.get(), status);
}

fs::path KVBSignLibInternal::relativePath(const fs::path& path, const fs::path& base) {
    fs::path cwd = fs::current_path();
    fs::path p = fs::absolute(path, cwd);
    fs::path b = fs::absolute(base, cwd);
    if (p.root_path() != b.root_path()) return p;

    fs::path::const_iterator pi = p.begin();
    fs::path::const_iterator bi = b.begin();
    while (pi != p.end() && bi != b.end() && *pi == *bi) {
        ++pi;
        ++bi;
    }
    fs::path result;
    if (bi != b.end()) {
        // One ".." fewer than the base has elements left.
        for (++bi; bi != b.end(); ++bi) result /= "..";
    }
    for (; pi != p.end(); ++pi) result /= *pi;
    return result;
}

fs::path resolvePath(const fs::path& path) {
    fs::path result;
    for (const fs::path& element : path) {
        const std::string name = element.string();
        if (name == ".") continue;
        if (name == "..") {
            boost::system::error_code ec;
            bool isLink = !result.empty() && fs::is_symlink(fs::symlink_status(result, ec));
            if (result.empty() || isLink || result.filename() == "..") {
                // Nothing to remove, or the parent of a link is not its textual parent.
                result /= element;
            } else if (result != result.root_path()) {
                result = result.parent_path();
            }
            // ".." right after the root stays at the root.
            continue;
        }
        result /= element;
    }
    return result;
}

int addManifestReferenceNonXML(std::vector<nonXMLManifestReference>& references, const std::string&,
                               const char* path, const char* relativePath, const char* realRelativePath) {
    if (path == nullptr) return KVBSIGN_FILE_NOT_FOUND;
    return addReference(references, {AT_FDCWD, path, true}, relativePath != nullptr ? relativePath : "",
                        realRelativePath);
}

int recurseDirectoryAndAddReferencesNonXML(std::vector<nonXMLManifestReference>& references, const std::string&,
                                           const char* directory, const char* root) {
    const std::string walked = directory != nullptr ? directory : "";
    if (walked.empty()) raiseFileSystemError("Cannot open directory", walked, ENOENT);
    const fs::path cwd = fs::current_path();
    Walker walker(references, root != nullptr ? root : "");
    return walker.walk(fs::absolute(walked, cwd).generic_string(),
                       KVBSignLibInternal::relativePath(walked, root != nullptr ? root : "").generic_string(),
                       fs::canonical(walked, cwd).generic_string());
}

int generateManifestReferencesNonXML(std::vector<nonXMLManifestReference>& references, const std::string&,
                                     const std::string& directory, const std::string&) {
    // The working directory is asked once; every path below is absolute. Outside the handler
    // below: a package directory that cannot be resolved is the caller's error to handle.
    const std::string root = fs::canonical(fs::path(directory), fs::current_path()).generic_string();
    if (!fs::exists(fs::path(root))) KVBSignLibInternal::debugError(root + " - Path doesn't exist");

    std::string walked = root;
    if (!walked.empty() && walked.back() == '/') walked.pop_back();

    const int status = addRootMimetype(references, walked + "/mimetype", root);
    if (status != KVBSIGN_SUCCESS) return status;

    try {
        if (walked.empty()) raiseFileSystemError("Cannot open directory", walked, ENOENT);
        Walker walker(references, root);
        return walker.walk(walked, "", root);
    } catch (const fs::filesystem_error& e) {
        KVBSignLibInternal::debugError(e.what());
        if (e.code() == boost::system::errc::too_many_symbolic_link_levels ||
            e.code() == boost::system::errc::too_many_links)
            return KVBSIGN_SYMLINK_INVALID_LOCATION;
        return KVBSIGN_FILE_NOT_FOUND;
    }
}
