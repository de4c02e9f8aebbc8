#include "system/file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include <boost/filesystem/exception.hpp>

#include "system/interrupt.h"
#include "system/unique_fd.h"

namespace kvbsign {
namespace {

int copyDescriptors(int in, int out) {
    std::vector<char> buffer(1 << 20);
    for (;;) {
        if (interrupt::interrupted()) return EINTR;
        ssize_t n = read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return errno;
            done += w;
        }
    }
}

}  // namespace

void copyRegularFile(const std::string& from, const std::string& to, boost::system::error_code& ec) {
    ec.clear();
    // Non-blocking open: a pipe put in place of the file must not hold the call.
    const UniqueFd in(open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (in.get() < 0) {
        ec.assign(errno, boost::system::system_category());
        return;
    }
    struct stat st;
    if (fstat(in.get(), &st) != 0) {
        ec.assign(errno, boost::system::system_category());
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        ec.assign(EINVAL, boost::system::system_category());
        return;
    }
    UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        ec.assign(errno, boost::system::system_category());
        return;
    }
    int error = copyDescriptors(in.get(), out.get());
    // Closed whatever the copy gave, and checked: a write the file system deferred fails here.
    if (close(out.release()) != 0 && error == 0) error = errno;
    if (error != 0) {
        unlink(to.c_str());
        ec.assign(error, boost::system::system_category());
    }
}

void copyRegularFile(const std::string& from, const std::string& to) {
    boost::system::error_code ec;
    copyRegularFile(from, to, ec);
    if (ec) throw boost::filesystem::filesystem_error("cannot copy file", from, to, ec);
}

}  // namespace kvbsign
