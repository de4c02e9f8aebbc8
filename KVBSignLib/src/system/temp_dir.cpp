// Temporary directories: their removal.

#include "system/temp_dir.h"

#include <boost/filesystem/operations.hpp>

#include "KVBSignLibInternal.h"

namespace kvbsign {

void removeTemporaryDirectory(std::string& path) noexcept {
    if (path.empty()) return;
    try {
        KVBSignLibInternal::removeTempDirectory(path);
    } catch (...) {
        try {
            boost::system::error_code ignored;
            boost::filesystem::remove_all(path, ignored);
        } catch (...) {
        }
    }
}

}  // namespace kvbsign
