// Package walk: turns the files of an unpacked package into manifest references (URI relative
// to the package root, base64 SHA-256 of the bytes) and enforces the symbolic-link rules.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/error_code.hpp>
#include <openssl/evp.h>

#include "KVBSignLibInternal.h"
#include "ossl_ptr.h"
#include "package/package_paths.h"

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

// Files reached below directory links in the current outermost walk. Links that fan out can
// reach a file by very many paths; past this bound the package is refused.
long linkedReferences = 0;
const long kMaxLinkedReferences = 100000;

// Digests of the files met in the current outermost walk, by their real location: a file
// reached by several paths through links is read once, not once per path.
std::map<std::string, std::string> digestsByRealPath;

const char* const kClutterNames[] = {".DS_Store", "Thumbs.db", "desktop.ini"};

bool isClutterName(const std::string& relative) {
    std::string::size_type slash = relative.rfind('/');
    std::string last = slash == std::string::npos ? relative : relative.substr(slash + 1);
    for (const char* name : kClutterNames) {
        if (last == name) return true;
    }
    return false;
}

// True when `path` is `dir` or lies below it, element by element: "/a/pkg2" is not below
// "/a/pkg". Both are canonical texts in generic form.
bool isSameOrBelow(const std::string& path, const std::string& dir) {
    if (path == dir) return true;
    if (!dir.empty() && dir.back() == '/') return path.compare(0, dir.size(), dir) == 0;
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 && path[dir.size()] == '/';
}

class WalkInProgress {
public:
    explicit WalkInProgress(std::string canonicalDirectory) {
        if (walksInProgress.empty()) {
            linkedDirectoryWalks = 0;
            linkedReferences = 0;
            digestsByRealPath.clear();
        }
        walksInProgress.push_back(std::move(canonicalDirectory));
    }
    ~WalkInProgress() { walksInProgress.pop_back(); }
    WalkInProgress(const WalkInProgress&) = delete;
    WalkInProgress& operator=(const WalkInProgress&) = delete;
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

const std::size_t kReadChunk = 1 << 20;

}  // namespace

namespace kvbsign {

bool isExcludedPackagePath(const std::string& path) {
    return isClutterName(path) || path.compare(0, 9, "__MACOSX/") == 0;
}

}  // namespace kvbsign

char* KVBSignLibInternal::encodeFile(const char* path, KVBSIGN_STATUS* status) {
    if (path == nullptr) {
        *status = KVBSIGN_FILE_NOT_FOUND;
        return nullptr;
    }
    // Non-blocking open and a regular-file test: a named pipe or a device in the package
    // would otherwise block the open or never reach its end.
    FileDescriptor fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (fd.get() < 0 || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
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
        ssize_t n = read(fd.get(), buffer.get(), chunk);
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
    const bool inWalk = !walksInProgress.empty() && realRelativePath != nullptr;
    if (walksInProgress.size() > 1 && ++linkedReferences > kMaxLinkedReferences) {
        KVBSignLibInternal::debugError("Too many files reached through symbolic links");
        return KVBSIGN_SYMLINK_INVALID_LOCATION;
    }
    std::string digest;
    const auto known = inWalk ? digestsByRealPath.find(realRelativePath) : digestsByRealPath.end();
    if (known != digestsByRealPath.end()) {
        digest = known->second;
    } else {
        KVBSIGN_STATUS status = KVBSIGN_SUCCESS;
        char* text = KVBSignLibInternal::encodeFile(path, &status);
        if (text == nullptr) return status != KVBSIGN_SUCCESS ? status : KVBSIGN_FILE_POINTER_FAILED;
        digest = text;
        free(text);
        if (inWalk) digestsByRealPath.emplace(realRelativePath, digest);
    }

    const std::string relative = relativePath != nullptr ? relativePath : "";
    nonXMLManifestReference reference;
    reference.uri = KVBSignLibInternal::uriPercentEncode(relative);
    if (realRelativePath != nullptr && relative != realRelativePath) {
        reference.symlinkInfo = "[" + std::string(realRelativePath) + "]" + std::to_string(symlinkCount);
        ++symlinkCount;
    }
    reference.digestValue = std::move(digest);

    // Files below a top-level "__MACOSX" are digested but not listed; the counter has moved
    // on for them all the same.
    if (!kvbsign::isExcludedPackagePath(relative)) references.push_back(std::move(reference));
    return KVBSIGN_SUCCESS;
}

int recurseDirectoryAndAddReferencesNonXML(std::vector<nonXMLManifestReference>& references,
                                           const std::string& sigXml, const char* directory, const char* root) {
    const fs::path walked(directory != nullptr ? directory : "");
    const std::string rootText = root != nullptr ? root : "";
    const fs::path rootPath(rootText);
    WalkInProgress inProgress(fs::canonical(walked).generic_string());

    // The iterator does not follow links to directories; those are walked below, by the
    // link's own path, after the link check.
    fs::recursive_directory_iterator it(walked, fs::directory_options::none);
    const fs::recursive_directory_iterator end;
    for (; it != end; ++it) {
        const fs::path entry = it->path();
        const bool isLink = fs::is_symlink(fs::symlink_status(entry));
        // Follows every link; a loop of links raises the library's error here.
        const bool isDirectory = fs::is_directory(fs::status(entry));

        if (isLink) {
            const fs::path target = fs::read_symlink(entry);
            const fs::path placed = target.is_absolute() ? target : entry.parent_path() / target;
            if (fs::exists(placed) && !isSameOrBelow(fs::canonical(placed).generic_string(), rootText)) {
                KVBSignLibInternal::debugError("Symlinks to paths outside extension directory are not permitted");
                return KVBSIGN_SYMLINK_INVALID_LOCATION;
            }
            if (target.is_absolute()) {
                KVBSignLibInternal::debugError("Symlinks to absolute paths are not permitted");
                return KVBSIGN_SYMLINK_ABSOLUTE_PATH;
            }
        }

        if (!isDirectory) {
            const std::string relative = KVBSignLibInternal::relativePath(entry, rootPath).generic_string();
            if (isClutterName(relative) || relative == "META-INF/signatures.xml" || relative == "mimetype") continue;
            // A link whose target is missing raises "no such file" here.
            const std::string real =
                KVBSignLibInternal::relativePath(fs::canonical(entry), rootPath).generic_string();
            // A file that cannot be digested (no read permission, a pipe, a socket, a device)
            // ends the walk: left out, it would be a file that no manifest entry has to cover.
            const int added = addManifestReferenceNonXML(references, sigXml, entry.generic_string().c_str(),
                                                         relative.c_str(), real.c_str());
            if (added != KVBSIGN_SUCCESS) {
                KVBSignLibInternal::debugError("Cannot digest " + relative);
                return added;
            }
        } else if (isLink) {
            const std::string target = fs::canonical(entry).generic_string();
            for (const std::string& open : walksInProgress) {
                if (isSameOrBelow(open, target)) {
                    KVBSignLibInternal::debugError("Symlinks to directories that hold them are not permitted");
                    return KVBSIGN_SYMLINK_INVALID_LOCATION;
                }
            }
            if (++linkedDirectoryWalks > kMaxLinkedDirectoryWalks) {
                KVBSignLibInternal::debugError("Too many symbolic links to directories");
                return KVBSIGN_SYMLINK_INVALID_LOCATION;
            }
            int result = recurseDirectoryAndAddReferencesNonXML(references, sigXml,
                                                                entry.generic_string().c_str(), root);
            if (result != KVBSIGN_SUCCESS) return result;
        }
    }
    return KVBSIGN_SUCCESS;
}

int generateManifestReferencesNonXML(std::vector<nonXMLManifestReference>& references, const std::string& sigXml,
                                     const std::string& directory, const std::string&) {
    // Outside the handler below: a package directory that cannot be resolved is the caller's
    // error to handle.
    const std::string root = fs::canonical(fs::path(directory), fs::current_path()).generic_string();
    if (!fs::exists(fs::path(root))) KVBSignLibInternal::debugError(root + " - Path doesn't exist");

    std::string walked = root;
    if (!walked.empty() && walked.back() == '/') walked.pop_back();

    const std::string mimetype = walked + "/mimetype";
    if (fs::exists(fs::path(mimetype))) {
        int status = addManifestReferenceNonXML(references, sigXml, mimetype.c_str(), "mimetype", nullptr);
        if (status != KVBSIGN_SUCCESS) return status;
    }

    try {
        return recurseDirectoryAndAddReferencesNonXML(references, sigXml, walked.c_str(), root.c_str());
    } catch (const fs::filesystem_error& e) {
        KVBSignLibInternal::debugError(e.what());
        if (e.code() == boost::system::errc::too_many_symbolic_link_levels ||
            e.code() == boost::system::errc::too_many_links)
            return KVBSIGN_SYMLINK_INVALID_LOCATION;
        return KVBSIGN_FILE_NOT_FOUND;
    }
}
