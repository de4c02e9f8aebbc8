#ifndef KVBSIGN_PACKAGE_ARCHIVE_H
#define KVBSIGN_PACKAGE_ARCHIVE_H

// The package archive as its bytes say, read before anything is extracted.
//
// Zip readers disagree wherever an archive is ambiguous: bytes that no central record
// accounts for, a local header that says something else than its central record, a second
// name in an extra field, names that an extractor rewrites. Verifying what one extractor
// wrote proves nothing about what another reader of the same archive gets, so an archive is
// accepted only when every reader must see the same entries: every byte from offset 0 to
// the end belongs to exactly one structure, and local and central headers agree. After the
// extraction, the tree on disk is compared with the listing, which catches any renaming by
// the extractor itself.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvbsign {
namespace archive {

// Bounds on what an archive may ask of the reader, checked before the work they size.
// Names are also refused when they collide once ASCII case is folded or, for names without
// the UTF-8 flag, once read as CP437 (as some readers and file systems take them).
constexpr std::uint64_t kMaxEntries = 1u << 20;
constexpr std::size_t kMaxNameLength = 4095;               // a path the file system can take
constexpr std::uint64_t kMaxNameBytes = 64ull << 20;       // all names and link targets together
constexpr std::uint64_t kMaxLinkTargetLength = 4095;
// Extractors take time that grows faster than the depth of a name; link targets are
// resolved element by element, so their elements count with the names'.
constexpr std::size_t kMaxNameElements = 256;
constexpr std::uint64_t kMaxTotalElements = 1u << 23;  // all names and link targets together
constexpr unsigned kMaxLinksFollowed = 40;  // in resolving one link, itself included, as the kernel does
// The walk resolves every link on disk, the links it leads through included, so a link that
// many links lead through is walked for each of them: the elements of all these resolutions
// together are bounded.
constexpr std::uint64_t kMaxResolvedElements = 1u << 20;

enum class EntryKind : std::uint8_t { File, Directory, Symlink };

struct Entry {
    std::uint32_t nameOffset = 0;  // into Listing::names; a directory's name without its "/"
    std::uint32_t nameLength = 0;
    EntryKind kind = EntryKind::File;
    std::uint64_t size = 0;  // declared uncompressed size
    std::uint32_t targetOffset = 0;  // a link's target in Listing::targets, once the data check has read it
};

// The entries of an accepted archive, sorted by name in tree order ("/" before every other
// byte, so that a directory's entries follow it).
// Where an entry's data lies and what it must decode to, for the data check.
struct StoredData {
    std::uint64_t offset = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::uint16_t method = 0;
    std::uint16_t flags = 0;
    std::uint32_t entry = 0;  // the index of its entry in Listing::entries
};

struct Listing {
    std::string names;
    std::vector<Entry> entries;
    std::vector<StoredData> data;   // in file order
    std::uint64_t totalSize = 0;    // sum of the declared uncompressed sizes
    std::uint64_t largestSize = 0;  // the largest of them
    std::uint64_t nameElements = 0;  // all elements of all names
    std::string targets;  // the links' targets as stored, filled by the data check

    std::string_view name(const Entry& entry) const {
        return std::string_view(names).substr(entry.nameOffset, entry.nameLength);
    }
    // A link's target; empty before the data check has read it.
    std::string_view target(const Entry& entry) const {
        if (entry.kind != EntryKind::Symlink || entry.targetOffset > targets.size()) return {};
        return std::string_view(targets).substr(entry.targetOffset, static_cast<std::size_t>(entry.size));
    }
    // The entry of that name, or null.
    const Entry* find(std::string_view name) const;
    // True when some entry lies below `directory` (a name without trailing "/").
    bool hasEntryBelow(std::string_view directory) const;
};

// Random access to the archive's bytes.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t size() const = 0;
    // Reads exactly `length` bytes at `offset` into `out`; false when they cannot be read.
    virtual bool read(std::uint64_t offset, std::size_t length, char* out) = 0;
};

class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t size() const override { return bytes_.size(); }
    bool read(std::uint64_t offset, std::size_t length, char* out) override;

private:
    std::string_view bytes_;
};

// Reads the archive's structure and checks it. True with `listing` filled when the archive
// is unambiguous; false with a reason otherwise.
bool readArchive(ByteSource& source, Listing& listing, std::string& reason);

// The same for a file, opened without blocking and only when it is a regular file.
bool readArchiveFile(const std::string& path, Listing& listing, std::string& reason);

// Decodes every entry's data of an archive that readArchive accepted, as a reader that
// streams it would: only stored and deflated data; a deflate stream ends exactly where the
// entry's compressed bytes end and gives the declared size and CRC-32 (a stream that ends
// early could hide entries behind it, one that runs on could fill the disk); stored data
// behind a data descriptor holds no descriptor signature. Work stops at the first entry
// that decodes past its declared size, so check that the declared sizes fit first. Keeps
// every link's target in the listing. The data may be checked in two passes, the links
// first (their targets are what checkLinks judges), then the rest; an interrupted
// verification fails the pass.
enum class DataPass { all, links, allButLinks };
bool checkArchiveData(ByteSource& source, Listing& listing, std::string& reason, DataPass pass = DataPass::all);
bool checkArchiveDataFile(const std::string& path, Listing& listing, std::string& reason,
                          DataPass pass = DataPass::all);

// True when every link of a listing whose data check passed leads, inside the archive's own
// names, to a file or a directory that the package walk digests under the link's name.
// A reader that makes no links installs the target's text where the link stands, so the
// target must name what the signature covers, in names of the package only: resolved as the
// kernel would over the archive's names (its bytes as stored, "." and empty elements
// skipped, ".." one element up but never above the package root and only before every
// name, so that each name is a step the archive holds; a "/" or "." after a name only when
// it leads to a directory; links on the way followed, at most kMaxLinksFollowed in all), it
// is a file or a directory that is not the package root, the link or one of its ancestors,
// and neither it nor a link on the way has an excluded name as an element ("__MACOSX" at
// the top, ".DS_Store", "Thumbs.db", "desktop.ini"). Resolving every link, each link on the
// way walked again for each link that leads through it, walks at most kMaxResolvedElements
// elements of targets in all.
bool checkLinks(const Listing& listing, std::string& reason);

// True when the tree below `root` holds exactly the listing: every file and link an entry
// of that kind and declared size, every link with the target the archive stores, every
// directory an entry or the parent of one, and every entry there. Gives every directory of the tree read, write and search permission for its
// owner on the way (the extractor applies the modes the archive stores), so that it can be
// listed and later removed whoever runs the verification.
bool treeMatchesListing(const std::string& root, const Listing& listing, std::string& reason);

}  // namespace archive
}  // namespace kvbsign

#endif
