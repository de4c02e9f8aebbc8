#ifndef KVBSIGN_FILE_COPY_H
#define KVBSIGN_FILE_COPY_H

#include <string>

#include <boost/system/error_code.hpp>

namespace kvbsign {

// Copies a regular file to a new file (which must not exist yet) by reading and writing,
// so that it works between any two file systems. The path library's own copy relies on a
// kernel call that some kernels refuse across file systems (a tmpfs /tmp, for one), with
// no fallback. On failure `ec` is set and a partly written target is removed.
void copyRegularFile(const std::string& from, const std::string& to, boost::system::error_code& ec);

// The same, raising boost::filesystem::filesystem_error on failure.
void copyRegularFile(const std::string& from, const std::string& to);

}  // namespace kvbsign

#endif
