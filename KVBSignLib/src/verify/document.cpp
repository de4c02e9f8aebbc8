#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include <boost/filesystem/operations.hpp>

#include "verify/verify_steps.h"

namespace kvbsign {
namespace verify {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

std::string errnoText(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

void readDocument(const std::string& path, std::string& document) {
    // Non-blocking, so that a pipe in place of the document cannot hold the call; the file
    // type is checked on the open descriptor, not on the name.
    FileDescriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) return;  // a document that does not open stays empty

    struct stat info;
    if (fstat(fd.get(), &info) != 0) throw std::runtime_error(errnoText("cannot examine", path));
    if (!S_ISREG(info.st_mode)) throw std::runtime_error("not a regular file, its size cannot be taken: " + path);

    const off_t end = lseek(fd.get(), 0, SEEK_END);
    if (end < 0) throw std::runtime_error(errnoText("cannot seek in", path));
    // The size is a signed 32-bit count: a document of 2 GiB or more cannot be read.
    if (end > INT32_MAX) throw std::runtime_error("signature document of 2 GiB or more: " + path);
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

int readSignatureDocument(const std::string& signaturePath, std::string& canonicalPath,
                          std::string& document) noexcept {
    try {
        canonicalPath = boost::filesystem::canonical(signaturePath, boost::filesystem::current_path()).generic_string();
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
