#ifndef KVBSIGN_PACKAGE_ARCHIVE_FORMAT_H
#define KVBSIGN_PACKAGE_ARCHIVE_FORMAT_H

// What the parts of the archive check share (package/archive.h holds what the rest of the
// library sees): the zip format's numbers, the little-endian reads, the order of names in a
// tree, and the helpers that one part gives another. archive_structure.cpp reads the end
// records, the central directory and the local headers; archive_names.cpp judges the names;
// archive_data.cpp decodes the entries' data; archive_tree.cpp compares the extracted tree.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "package/archive.h"

namespace kvbsign {
namespace archive {

inline constexpr std::uint32_t kLocalSignature = 0x04034b50;
inline constexpr std::uint32_t kCentralSignature = 0x02014b50;
inline constexpr std::uint32_t kEndSignature = 0x06054b50;
inline constexpr std::uint32_t kZip64EndSignature = 0x06064b50;
inline constexpr std::uint32_t kZip64LocatorSignature = 0x07064b50;
inline constexpr std::uint32_t kDescriptorSignature = 0x08074b50;

inline constexpr std::size_t kLocalHeaderSize = 30;
inline constexpr std::size_t kCentralHeaderSize = 46;
inline constexpr std::size_t kEndSize = 22;
inline constexpr std::size_t kZip64EndFixedSize = 56;
inline constexpr std::uint64_t kZip64EndRecordSize = kZip64EndFixedSize - 12;  // what its size field counts
inline constexpr std::size_t kZip64LocatorSize = 20;
inline constexpr std::size_t kMaxCommentLength = 0xFFFF;
inline constexpr std::uint8_t kHostUnix = 3;

inline constexpr std::uint16_t kExtraZip64 = 0x0001;
inline constexpr std::uint16_t kExtraUnicodePath = 0x7075;
inline constexpr std::uint16_t kExtraJarMarker = 0xCAFE;

// Extra fields that carry nothing a reader could take an entry's kind, mode, name or link
// target from: times, owner ids, a comment. Every other field is refused: some readers take
// a link, a mode or a set-id bit from fields that the extractor ignores, and a field of
// unknown meaning may be one of those to some reader.
inline constexpr std::uint16_t kExtraHarmless[] = {
    0x5455,  // extended timestamp
    0x7875,  // owner ids
    0x7855,  // owner ids, older form
    0x5855,  // times and owner ids, oldest form
    0x000A,  // NTFS times
    0x6375,  // Unicode comment
};

inline constexpr std::uint16_t kFlagEncrypted = 0x0001;
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;
inline constexpr std::uint16_t kFlagDescriptor = 0x0008;
inline constexpr std::uint16_t kFlagStrongEncryption = 0x0040;
inline constexpr std::uint16_t kFlagMaskedHeaders = 0x2000;

inline constexpr std::uint16_t kMethodStored = 0;
inline constexpr std::uint16_t kMethodDeflated = 8;
inline constexpr std::uint32_t kDosDirectory = 0x10;

inline constexpr std::uint32_t kSaturated32 = 0xFFFFFFFFu;
inline constexpr std::uint16_t kSaturated16 = 0xFFFFu;

inline std::uint16_t le16(std::string_view b, std::size_t at) {
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      (static_cast<unsigned char>(b[at + 1]) << 8));
}

inline std::uint32_t le32(std::string_view b, std::size_t at) {
    return static_cast<std::uint32_t>(le16(b, at)) | (static_cast<std::uint32_t>(le16(b, at + 2)) << 16);
}

inline std::uint64_t le64(std::string_view b, std::size_t at) {
    return static_cast<std::uint64_t>(le32(b, at)) | (static_cast<std::uint64_t>(le32(b, at + 4)) << 32);
}

// a + b, or false when it does not fit.
inline bool add(std::uint64_t a, std::uint64_t b, std::uint64_t& sum) {
    if (b > std::numeric_limits<std::uint64_t>::max() - a) return false;
    sum = a + b;
    return true;
}

// Orders names as a tree is walked: "/" sorts before every other byte, so "a", "a/b",
// "a/c", "a!" come in that order and everything below a directory follows it directly.
// Names hold no byte below 0x20, so no other byte collides with "/" placed at 0x01.
int treeCompare(std::string_view a, std::string_view b);

// True when `name` lies below `directory` (a name without trailing "/").
bool isBelow(std::string_view name, std::string_view directory);

// A name as entries are named on disk: relative, "/" between non-empty elements, none of
// them "." or "..", and no byte that extractors rewrite or drop (control bytes, DEL,
// backslash). Gives the number of its elements.
bool nameIsPlain(std::string_view name, std::size_t& elements, std::string& reason);

struct NamedItem {
    std::string_view name;
    EntryKind kind;
    std::uint32_t owner;  // the entry it reads as
};

// The exact pass over the names: no two of the entries (in central order) share a name, and
// none lies below a file or link entry. Then listing.entries holds them in tree order, the
// data records name them by that order, `unsorted` is emptied, and `exact` holds their names
// in tree order, each with its central index.
bool sortEntriesByName(std::vector<Entry>& unsorted, Listing& listing, std::vector<NamedItem>& exact,
                       std::string& reason);

// The folded pass: the same rules once ASCII case is folded, and for a name whose entry
// `readAsCp437` marks (by central index) also once it is read as CP437: two entries that come
// to one name would overwrite each other there. Empties `exact`.
bool foldedNamesFormATree(std::vector<NamedItem>& exact, const std::vector<std::uint8_t>& readAsCp437,
                          std::string& reason);

// True when the name holds a byte of 0x80 or above, which CP437 and UTF-8 read apart.
bool hasHighByte(std::string_view name);

// Runs `read` over the archive file, opened without blocking and only as a regular file.
bool withArchiveFile(const std::string& path, std::string& reason, const std::function<bool(ByteSource&)>& read);

}  // namespace archive
}  // namespace kvbsign

#endif
