#ifndef KVBSIGN_TEST_HOSTILE_ZIP_H
#define KVBSIGN_TEST_HOSTILE_ZIP_H

// Writes zip archives entry by entry, including the ones that no well-behaved zip tool makes:
// duplicate names, names with "../" or a leading "/", symbolic-link entries with any target,
// files written below such a link, an unsupported compression method, central directory
// names that differ from the local headers. A thin layer over zip_writer.h, which can make
// any other fault. Functions throw std::runtime_error on failure.

#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

struct ZipItem {
    enum class Kind {
        File,       // `data` as the content
        Symlink,    // a link entry (Unix mode 0120777) whose target is `data`
        Directory,  // a directory entry ("name/")
        Zeros,      // `zeros` zero bytes, deflated while written (never held in memory or on disk)
    };
    Kind kind = Kind::File;
    std::string name;  // the entry name, byte for byte (UTF-8 names get the UTF-8 flag)
    std::string data;
    std::uint64_t zeros = 0;
    bool stored = false;  // no compression (default: deflate)
};

struct ZipPatch {
    enum class Kind {
        Method,       // set the compression method of entry `name` in its local and central header
        CentralName,  // replace entry `name` by `newName` (same length) in the central directory only
    };
    Kind kind = Kind::Method;
    std::string name;
    int method = 0;
    std::string newName;
};

ZipItem zipFile(const std::string& name, const std::string& data);
ZipItem zipLink(const std::string& name, const std::string& target);
ZipItem zipZeros(const std::string& name, std::uint64_t size);

// The entries of a package directory as a zip tool would store them: "mimetype" first and
// stored, then every other file, link (as a link) and directory below it in path order.
std::vector<ZipItem> zipItemsOf(const std::string& dir);

// Writes the archive, then applies the patches in order.
void writeZip(const std::string& zipPath, const std::vector<ZipItem>& items, const std::vector<ZipPatch>& patches = {});

}  // namespace kvtest

#endif
