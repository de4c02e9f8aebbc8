#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

#include "package/inside.h"
#include "system/unique_fd.h"
#include "verify/verify_steps.h"

namespace kvbsign {
namespace verify {

namespace {

std::string errnoText(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

// Far above any real package (a document of this size lists about 1.7 million files), and
// low enough that the document and the one rewritten copy a step may make fit in memory.
constexpr off_t kMaxDocumentSize = off_t(256) << 20;

void readDocument(const std::string& path, std::string& document) {
    // The path is known to name a regular file inside the package. Non-blocking and without
    // following a link, in case the name was swapped meanwhile; the type is checked again on
    // the open descriptor.
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return;  // a document that does not open stays empty

    struct stat info;
    if (fstat(fd.get(), &info) != 0) throw std::runtime_error(errnoText("cannot examine", path));
    if (!S_ISREG(info.st_mode)) throw std::runtime_error("not a regular file, its size cannot be taken: " + path);

    const off_t end = lseek(fd.get(), 0, SEEK_END);
    if (end < 0) throw std::runtime_error(errnoText("cannot seek in", path));
    if (end >= kMaxDocumentSize) throw std::runtime_error("signature document of 256 MiB or more: " + path);
    if (lseek(fd.get(), 0, SEEK_SET) != 0) throw std::runtime_error(errnoText("cannot seek in", path));

    const size_t size = static_cast<size_t>(end);
    std::string buffer(size, '\0');
    size_t done = 0;
    // Ends at the size taken above or at the end of the file, whichever comes first; a file
    // that shrank meanwhile leaves zero bytes, which the cut below drops.
    while (done < size) {
        ssize_t n = read(fd.get(), &buffer[done], size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw std::runtime_error(errnoText("cannot read", path));
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    const size_t nul = buffer.find('\0');
    if (nul != std::string::npos) buffer.resize(nul);
    document = std::move(buffer);
}

void reportReadError(const char* reason) noexcept {
    diagnostic("An exception occurred during reading signatures file: ");
    diagnostic(reason);
    diagnostic("Errors during parse");
}

}  // namespace

int readSignatureDocument(const std::string& packageRoot, const std::string& signaturePath,
                          std::string& canonicalPath, std::string& document) noexcept {
    try {
        namespace fs = boost::filesystem;
        const fs::path cwd = fs::current_path();
        const std::string root = fs::canonical(packageRoot, cwd).generic_string();
        // Opened only as a regular file inside the package, reached through links that stay
        // inside: a link to a pipe or a device elsewhere is never opened, nor a file outside.
        std::string resolved;
        if (resolveInsidePackage(root, "META-INF/signatures.xml", resolved) != InsideResult::RegularFile)
            throw std::runtime_error("not a regular file inside the package: " + signaturePath);
        canonicalPath = resolved;
        readDocument(canonicalPath, document);
        return KVBSIGN_SUCCESS;
    } catch (const std::exception& e) {
        reportReadError(e.what());
    } catch (...) {
        reportReadError("unknown error");
    }
    return KVBSIGN_SIGNATURE_FILE_PARSE_FAILED;
}

}  // namespace verify
}  // namespace kvbsign
