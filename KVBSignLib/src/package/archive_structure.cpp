// The package archive's structure, read byte by byte and checked before extraction: the end
// records, the central directory, the local headers and data descriptors, and the tiling of
// the file by its entries.

#include "package/archive_format.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "system/interrupt.h"
#include "system/unique_fd.h"

namespace kvbsign {
namespace archive {

namespace {

// Serves byte ranges of the archive from a window, so that the headers, which mostly come in
// file order, cost few reads. A view lasts until the next call.
class Reader {
public:
    explicit Reader(ByteSource& source) : source_(source), size_(source.size()) {}

    std::uint64_t size() const { return size_; }

    bool view(std::uint64_t offset, std::size_t length, std::string_view& out) {
        if (offset > size_ || length > size_ - offset) return false;
        const bool inWindow = offset >= start_ && offset - start_ <= window_.size() &&
                              length <= window_.size() - (offset - start_);
        if (!inWindow) {
            const std::uint64_t left = size_ - offset;
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, std::max(length, kWindow)));
            window_.resize(want);
            if (want > 0 && !source_.read(offset, want, &window_[0])) {
                window_.clear();
                return false;
            }
            start_ = offset;
        }
        out = std::string_view(window_).substr(static_cast<std::size_t>(offset - start_), length);
        return true;
    }

private:
    static constexpr std::size_t kWindow = 256 * 1024;
    ByteSource& source_;
    std::uint64_t size_;
    std::string window_;
    std::uint64_t start_ = 0;
};

struct ExtraFields {
    bool hasZip64 = false;
    std::string_view zip64;
};

// Walks the extra fields of one header. Refuses a block that does not split into whole
// fields (readers would find different fields in it), two zip64 fields, any second name for
// the entry, and every field not known to be harmless.
bool readExtraFields(std::string_view extra, std::string_view headerName, ExtraFields& fields,
                     std::string& reason) {
    std::size_t at = 0;
    // Each pass consumes one field of at least four bytes.
    while (at < extra.size()) {
        if (extra.size() - at < 4) {
            reason = "an extra field block ends inside a field header";
            return false;
        }
        const std::uint16_t id = le16(extra, at);
        const std::uint16_t length = le16(extra, at + 2);
        if (length > extra.size() - at - 4) {
            reason = "an extra field runs past its block";
            return false;
        }
        const std::string_view data = extra.substr(at + 4, length);
        if (id == kExtraZip64) {
            if (fields.hasZip64) {
                reason = "an entry has two zip64 extra fields";
                return false;
            }
            fields.hasZip64 = true;
            fields.zip64 = data;
        } else if (id == kExtraUnicodePath) {
            // Version, CRC-32 of the header name, then a name some extractors use instead.
            // Harmless only when it is the header name itself.
            if (data.size() < 5 || data[0] != 1 || data.substr(5) != headerName) {
                reason = "an extra field gives an entry a second name";
                return false;
            }
        } else if (id == kExtraJarMarker) {
            if (length != 0) {
                reason = "an extra field of a kind that is always empty holds data";
                return false;
            }
        } else if (std::find(std::begin(kExtraHarmless), std::end(kExtraHarmless), id) == std::end(kExtraHarmless)) {
            reason = "an extra field of a kind that could give an entry a mode, a name or a link target";
            return false;
        }
        at += 4 + static_cast<std::size_t>(length);
    }
    return true;
}

struct CentralRecord {
    std::uint64_t localOffset = 0;
    std::uint64_t dataOffset = 0;  // known once the local header is read
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t nameOffset = 0;  // the header name as stored, trailing "/" included
    std::uint32_t nameLength = 0;
    EntryKind kind = EntryKind::File;
};

struct Layout {
    std::uint64_t entryCount = 0;
    std::uint64_t centralOffset = 0;
    std::uint64_t centralSize = 0;
    std::uint64_t centralEnd = 0;  // where the zip64 end record or the end record begins
};

// The end record, searched from the end of the file, and the zip64 end record and locator
// before it when there are.
bool readEnd(Reader& reader, Layout& layout, std::string& reason) {
    const std::uint64_t size = reader.size();
    if (size < kEndSize) {
        reason = "too short for an archive";
        return false;
    }
    // Readers look for the end record only this far from the end of the file.
    const std::uint64_t tailStart = size > kEndSize + kMaxCommentLength ? size - kEndSize - kMaxCommentLength : 0;
    std::string_view tail;
    if (!reader.view(tailStart, static_cast<std::size_t>(size - tailStart), tail)) {
        reason = "cannot read the end of the archive";
        return false;
    }
    std::size_t found = std::string_view::npos;
    for (std::size_t at = tail.size() - kEndSize + 1; at-- > 0;) {
        if (le32(tail, at) == kEndSignature) {
            found = at;
            break;
        }
    }
    if (found == std::string_view::npos) {
        reason = "no end record";
        return false;
    }
    const std::uint64_t endOffset = tailStart + found;
    const std::string_view end = tail.substr(found, kEndSize);
    const std::uint16_t disk = le16(end, 4);
    const std::uint16_t centralDisk = le16(end, 6);
    const std::uint16_t diskEntries = le16(end, 8);
    const std::uint16_t entries = le16(end, 10);
    const std::uint32_t centralSize = le32(end, 12);
    const std::uint32_t centralOffset = le32(end, 16);
    const std::uint16_t commentLength = le16(end, 20);
    // The last record of the file: its comment reaches the end, or the bytes after it would
    // be read as another structure by some reader. Only zero bytes may follow, as writers to
    // a pipe pad their output: no signature hides in them, and every reader still finds the
    // same end record.
    const std::uint64_t commentEnd = endOffset + kEndSize + commentLength;
    if (commentEnd > size ||
        tail.substr(static_cast<std::size_t>(commentEnd - tailStart)).find_first_not_of('\0') != std::string_view::npos) {
        reason = "the end record's comment does not reach the end of the file";
        return false;
    }
    const bool padded = commentEnd != size;
    if (disk != 0 || centralDisk != 0 || diskEntries != entries) {
        reason = "a multi-part archive";
        return false;
    }

    layout.entryCount = entries;
    layout.centralSize = centralSize;
    layout.centralOffset = centralOffset;
    layout.centralEnd = endOffset;

    std::string_view locator;
    if (endOffset < kZip64LocatorSize || !reader.view(endOffset - kZip64LocatorSize, kZip64LocatorSize, locator) ||
        le32(locator, 0) != kZip64LocatorSignature)
        return true;

    const std::uint64_t locatorOffset = endOffset - kZip64LocatorSize;
    // Behind padding, a reader that searches only the last bytes for the locator must find it.
    if (padded && locatorOffset < tailStart) {
        reason = "the zip64 locator lies too far from the end of the file";
        return false;
    }
    const std::uint64_t zip64Offset = le64(locator, 8);
    if (le32(locator, 4) != 0 || le32(locator, 16) != 1) {
        reason = "the zip64 locator does not name one disk";
        return false;
    }
    std::string_view record;
    if (zip64Offset > locatorOffset || locatorOffset - zip64Offset < kZip64EndFixedSize ||
        !reader.view(zip64Offset, kZip64EndFixedSize, record) || le32(record, 0) != kZip64EndSignature) {
        reason = "the zip64 locator points at no zip64 end record";
        return false;
    }
    // No extensible data: some readers take the record to be the fixed bytes right before the
    // locator, others skip a large record, and bytes inside it could hold a second directory.
    if (le64(record, 4) != kZip64EndRecordSize) {
        reason = "the zip64 end record holds extensible data";
        return false;
    }
    if (locatorOffset - zip64Offset != kZip64EndFixedSize) {
        reason = "the zip64 end record does not end at its locator";
        return false;
    }
    const std::uint64_t entries64 = le64(record, 32);
    if (le32(record, 16) != 0 || le32(record, 20) != 0 || le64(record, 24) != entries64) {
        reason = "a multi-part archive";
        return false;
    }
    const std::uint64_t centralSize64 = le64(record, 40);
    const std::uint64_t centralOffset64 = le64(record, 48);
    // Readers that know no zip64 take the end record's values: they must be the same, or
    // the marker that sends a reader to the zip64 record.
    if ((entries != kSaturated16 && entries != entries64) ||
        (centralSize != kSaturated32 && centralSize != centralSize64) ||
        (centralOffset != kSaturated32 && centralOffset != centralOffset64)) {
        reason = "the end record and the zip64 end record disagree";
        return false;
    }
    layout.entryCount = entries64;
    layout.centralSize = centralSize64;
    layout.centralOffset = centralOffset64;
    layout.centralEnd = zip64Offset;
    return true;
}

// The sizes and offset of a central record, from its zip64 field where the 32-bit field
// sends the reader there. The field holds exactly the values sent there, in order.
bool applyCentralZip64(const ExtraFields& extra, std::uint32_t diskStart, CentralRecord& record,
                       std::string& reason) {
    std::size_t at = 0;
    auto take = [&](std::uint64_t& value, std::size_t width) {
        if (extra.zip64.size() - at < width) return false;
        value = width == 8 ? le64(extra.zip64, at) : le32(extra.zip64, at);
        at += width;
        return true;
    };
    std::uint64_t disk = diskStart;
    bool ok = true;
    if (record.size == kSaturated32) ok = ok && take(record.size, 8);
    if (record.compressedSize == kSaturated32) ok = ok && take(record.compressedSize, 8);
    if (record.localOffset == kSaturated32) ok = ok && take(record.localOffset, 8);
    if (diskStart == kSaturated16) ok = ok && take(disk, 4);
    if (!ok || at != extra.zip64.size()) {
        reason = "a zip64 extra field does not match its central record";
        return false;
    }
    if (disk != 0) {
        reason = "a multi-part archive";
        return false;
    }
    return true;
}

// The kind of an entry is its central name's (a trailing "/" makes a directory) and, for
// links, its mode's. Extractors that go by the mode or the directory attribute instead must
// come to the same kind, and none may make a device, a pipe or a set-id file. `plain` gets the
// name without a directory's "/".
bool readEntryKind(std::string_view name, std::uint8_t host, std::uint32_t externalAttributes, CentralRecord& record,
                   std::string_view& plain, std::string& reason) {
    const std::uint32_t mode = externalAttributes >> 16;
    const std::uint32_t type = mode & S_IFMT;
    plain = name;
    if (!plain.empty() && plain.back() == '/') {
        record.kind = EntryKind::Directory;
        plain.remove_suffix(1);
        if (type != 0 && type != S_IFDIR) {
            reason = "a directory entry's mode is not a directory's";
            return false;
        }
    } else {
        if (type == S_IFLNK) record.kind = EntryKind::Symlink;
        if ((type != 0 && type != S_IFREG && type != S_IFLNK) || (externalAttributes & kDosDirectory) != 0) {
            reason = "an entry's mode or attributes name another kind than its name";
            return false;
        }
        // Readers that take the kind from another host's attributes write a file there.
        if (record.kind == EntryKind::Symlink && host != kHostUnix) {
            reason = "a link entry comes from a host other than Unix";
            return false;
        }
    }
    if ((mode & (S_ISUID | S_ISGID | S_ISVTX)) != 0) {
        reason = "an entry's mode sets the set-id or sticky bit";
        return false;
    }
    return true;
}

// The bounds on one entry: its plain name and its elements, all elements so far
// (`nameElements`), no content for a directory, and for a link a target of bounded length
// that counts with the names (`nameBytes`: the names so far with this one, `targetBytes`: the
// links' targets so far).
bool entryWithinBounds(std::string_view plain, const CentralRecord& record, std::uint64_t nameBytes,
                       std::uint64_t& nameElements, std::uint64_t& targetBytes, std::string& reason) {
    if (plain.size() > kMaxNameLength) {
        reason = "entry names too long";
        return false;
    }
    std::size_t elements = 0;
    if (!nameIsPlain(plain, elements, reason)) return false;
    if (elements > kMaxNameElements) {
        reason = "an entry name has too many elements";
        return false;
    }
    nameElements += elements;
    if (nameElements > kMaxTotalElements) {
        reason = "entry names have too many elements in all";
        return false;
    }
    if (record.kind == EntryKind::Directory && record.size != 0) {
        reason = "a directory entry has content";
        return false;
    }
    if (record.kind == EntryKind::Symlink) {
        if (record.size > kMaxLinkTargetLength) {
            reason = "a link target is too long";
            return false;
        }
        targetBytes += record.size;
        if (nameBytes + targetBytes > kMaxNameBytes) {
            reason = "entry names too long";
            return false;
        }
    }
    return true;
}

bool readCentralDirectory(Reader& reader, const Layout& layout, std::string& names, std::uint64_t& nameElements,
                          std::vector<CentralRecord>& records, std::string& reason) {
    if (layout.entryCount > kMaxEntries) {
        reason = "too many entries";
        return false;
    }
    std::uint64_t centralEnd = 0;
    if (!add(layout.centralOffset, layout.centralSize, centralEnd) || centralEnd != layout.centralEnd) {
        reason = "the central directory does not end where the end records begin";
        return false;
    }
    if (layout.centralSize / kCentralHeaderSize < layout.entryCount) {
        reason = "the central directory is too small for its entries";
        return false;
    }
    records.reserve(static_cast<std::size_t>(layout.entryCount));

    std::uint64_t targetBytes = 0;  // the declared sizes of the links, whose targets are paths too
    nameElements = 0;
    std::uint64_t at = layout.centralOffset;
    for (std::uint64_t i = 0; i < layout.entryCount; ++i) {
        std::string_view header;
        if (centralEnd - at < kCentralHeaderSize || !reader.view(at, kCentralHeaderSize, header) ||
            le32(header, 0) != kCentralSignature) {
            reason = "a central record is missing or cut short";
            return false;
        }
        CentralRecord record;
        record.flags = le16(header, 8);
        record.method = le16(header, 10);
        record.crc = le32(header, 16);
        record.compressedSize = le32(header, 20);
        record.size = le32(header, 24);
        const std::size_t nameLength = le16(header, 28);
        const std::size_t extraLength = le16(header, 30);
        const std::size_t commentLength = le16(header, 32);
        const std::uint8_t host = static_cast<std::uint8_t>(le16(header, 4) >> 8);
        const std::uint32_t diskStart = le16(header, 34);
        const std::uint32_t externalAttributes = le32(header, 38);
        record.localOffset = le32(header, 42);

        const std::size_t variable = nameLength + extraLength + commentLength;
        std::string_view rest;
        if (centralEnd - at - kCentralHeaderSize < variable ||
            !reader.view(at + kCentralHeaderSize, variable, rest)) {
            reason = "a central record runs past the central directory";
            return false;
        }
        const std::string_view name = rest.substr(0, nameLength);
        if (nameLength > kMaxNameLength + 1 || names.size() + targetBytes + nameLength > kMaxNameBytes) {
            reason = "entry names too long";
            return false;
        }
        ExtraFields extra;
        if (!readExtraFields(rest.substr(nameLength, extraLength), name, extra, reason)) return false;
        if (extra.hasZip64) {
            if (!applyCentralZip64(extra, diskStart, record, reason)) return false;
        } else if (diskStart != 0) {
            reason = "a multi-part archive";
            return false;
        }
        if (record.flags & (kFlagEncrypted | kFlagStrongEncryption | kFlagMaskedHeaders)) {
            reason = "an entry is encrypted";
            return false;
        }

        // Only the methods every extractor knows; the data check decodes them itself.
        if (record.method != kMethodStored && record.method != kMethodDeflated) {
            reason = "an entry is neither stored nor deflated";
            return false;
        }
        std::string_view plain;
        if (!readEntryKind(name, host, externalAttributes, record, plain, reason)) return false;
        if (!entryWithinBounds(plain, record, names.size() + nameLength, nameElements, targetBytes, reason))
            return false;
        if (record.method == 0 && record.compressedSize != record.size) {
            reason = "a stored entry's sizes differ";
            return false;
        }

        record.nameOffset = static_cast<std::uint32_t>(names.size());
        record.nameLength = static_cast<std::uint32_t>(nameLength);
        names.append(name.data(), name.size());
        records.push_back(record);
        at += kCentralHeaderSize + variable;
    }
    if (at != centralEnd) {
        reason = "the central directory holds more than its entries";
        return false;
    }
    return true;
}

// A local zip64 field holds both sizes; the 32-bit fields send the reader there.
bool applyLocalZip64(const ExtraFields& extra, std::uint64_t& size, std::uint64_t& compressedSize,
                     std::string& reason) {
    if (extra.zip64.size() != 16) {
        reason = "a local zip64 extra field is not two sizes";
        return false;
    }
    const std::uint64_t size64 = le64(extra.zip64, 0);
    const std::uint64_t compressed64 = le64(extra.zip64, 8);
    if (size != kSaturated32 || compressedSize != kSaturated32) {
        // Readers that use the field whenever it is there must find the same values.
        if (size64 != size || compressed64 != compressedSize) {
            reason = "a local zip64 extra field disagrees with its header";
            return false;
        }
    }
    size = size64;
    compressedSize = compressed64;
    return true;
}

// The data descriptor of an entry whose local header announces one: the `after` bytes from
// `dataEnd` to the next structure, against the central record. `crc`, `compressedSize` and
// `size` are the local header's (its zip64 field applied, `zip64` when it has one).
bool checkDescriptor(Reader& reader, const CentralRecord& record, bool zip64, std::uint64_t dataEnd,
                     std::uint64_t after, std::uint32_t crc, std::uint64_t compressedSize, std::uint64_t size,
                     std::string& reason) {
    // With a descriptor the local fields are zero or already the final values.
    if ((crc != 0 && crc != record.crc) || (compressedSize != 0 && compressedSize != record.compressedSize) ||
        (size != 0 && size != record.size)) {
        reason = "a local header's CRC or sizes differ from its central record";
        return false;
    }
    // A streaming reader that sizes the descriptor by the sizes, not by the zip64 field, reads
    // a wide descriptor of small sizes wrongly and loses the entries after it.
    if (zip64 && record.size < kSaturated32 && record.compressedSize < kSaturated32) {
        reason = "a data descriptor is wider than its sizes need";
        return false;
    }
    // The descriptor fills exactly the bytes up to the next structure; its width follows from
    // the zip64 field, and only the signature is optional.
    const std::size_t plainLength = zip64 ? 20 : 12;
    if (after != plainLength && after != plainLength + 4) {
        reason = "bytes between entries that no entry accounts for";
        return false;
    }
    std::string_view descriptor;
    if (!reader.view(dataEnd, static_cast<std::size_t>(after), descriptor)) {
        reason = "cannot read a data descriptor";
        return false;
    }
    // A streaming reader finds the end of stored data only by the signature, and takes an
    // unsigned descriptor for more data.
    if (record.method == kMethodStored && after != plainLength + 4) {
        reason = "a stored entry's data descriptor has no signature";
        return false;
    }
    std::size_t at = 0;
    if (after == plainLength + 4) {
        if (le32(descriptor, 0) != kDescriptorSignature) {
            reason = "bytes between entries that no entry accounts for";
            return false;
        }
        at = 4;
    } else if (le32(descriptor, 0) == kDescriptorSignature) {
        // A CRC equal to the signature reads as a signed descriptor to some readers.
        reason = "an unsigned data descriptor reads as a signed one";
        return false;
    }
    const std::uint32_t descriptorCrc = le32(descriptor, at);
    const std::uint64_t descriptorCompressed = zip64 ? le64(descriptor, at + 4) : le32(descriptor, at + 4);
    const std::uint64_t descriptorSize = zip64 ? le64(descriptor, at + 12) : le32(descriptor, at + 8);
    if (descriptorCrc != record.crc || descriptorCompressed != record.compressedSize ||
        descriptorSize != record.size) {
        reason = "a data descriptor differs from its central record";
        return false;
    }
    return true;
}

// The local header at the record's offset, and the data descriptor after its data, against
// the central record; `next` is where the following structure begins.
bool checkLocalEntry(Reader& reader, CentralRecord& record, std::string_view centralName, std::uint64_t next,
                     std::string& reason) {
    if (next < record.localOffset || next - record.localOffset < kLocalHeaderSize) {
        reason = "entries overlap";
        return false;
    }
    std::string_view header;
    if (!reader.view(record.localOffset, kLocalHeaderSize, header) || le32(header, 0) != kLocalSignature) {
        reason = "a central record points at no local header";
        return false;
    }
    const std::uint16_t flags = le16(header, 6);
    const std::uint16_t method = le16(header, 8);
    const std::uint32_t crc = le32(header, 14);
    std::uint64_t compressedSize = le32(header, 18);
    std::uint64_t size = le32(header, 22);
    const std::size_t nameLength = le16(header, 26);
    const std::size_t extraLength = le16(header, 28);
    if (flags != record.flags || method != record.method) {
        reason = "a local header's flags or method differ from its central record";
        return false;
    }

    std::string_view rest;
    if (next - record.localOffset - kLocalHeaderSize < nameLength + extraLength ||
        !reader.view(record.localOffset + kLocalHeaderSize, nameLength + extraLength, rest)) {
        reason = "a local header runs into the next entry";
        return false;
    }
    const std::string_view name = rest.substr(0, nameLength);
    if (name != centralName) {
        reason = "a local header's name differs from its central record";
        return false;
    }
    ExtraFields extra;
    if (!readExtraFields(rest.substr(nameLength, extraLength), name, extra, reason)) return false;
    if (extra.hasZip64 && !applyLocalZip64(extra, size, compressedSize, reason)) return false;

    const std::uint64_t dataStart = record.localOffset + kLocalHeaderSize + nameLength + extraLength;
    record.dataOffset = dataStart;
    if (next - dataStart < record.compressedSize) {
        reason = "an entry's data runs into the next entry";
        return false;
    }
    const std::uint64_t dataEnd = dataStart + record.compressedSize;
    const std::uint64_t after = next - dataEnd;

    if (!(flags & kFlagDescriptor)) {
        if (crc != record.crc || compressedSize != record.compressedSize || size != record.size) {
            reason = "a local header's CRC or sizes differ from its central record";
            return false;
        }
        if (after != 0) {
            reason = "bytes between entries that no entry accounts for";
            return false;
        }
        return true;
    }
    return checkDescriptor(reader, record, extra.hasZip64, dataEnd, after, crc, compressedSize, size, reason);
}

class FileSource : public ByteSource {
public:
    FileSource(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
    std::uint64_t size() const override { return size_; }
    bool read(std::uint64_t offset, std::size_t length, char* out) override {
        // Every pass over an archive file reads through here: an interrupted verification
        // reads no more.
        if (kvbsign::interrupt::interrupted()) return false;
        std::size_t done = 0;
        while (done < length) {
            const ssize_t n = pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    int fd_;
    std::uint64_t size_;
};

// In file order the local entries must tile the file from offset 0 to the central directory:
// a gap could hold an entry that only a reader going from the front sees. Fills listing.data
// in file order, each naming its entry by central index.
bool tileLocalEntries(Reader& reader, const Layout& layout, std::vector<CentralRecord>& records, Listing& listing,
                      std::string& reason) {
    std::vector<std::uint32_t> order(records.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::sort(order.begin(), order.end(),
              [&](std::uint32_t a, std::uint32_t b) { return records[a].localOffset < records[b].localOffset; });
    if (order.empty() ? layout.centralOffset != 0 : records[order[0]].localOffset != 0) {
        reason = "bytes before the first entry";
        return false;
    }
    listing.data.reserve(order.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        CentralRecord& record = records[order[i]];
        const std::uint64_t next = i + 1 < order.size() ? records[order[i + 1]].localOffset : layout.centralOffset;
        const std::string_view name = std::string_view(listing.names).substr(record.nameOffset, record.nameLength);
        if (!checkLocalEntry(reader, record, name, next, reason)) return false;
        StoredData data;
        data.offset = record.dataOffset;
        data.compressedSize = record.compressedSize;
        data.size = record.size;
        data.crc = record.crc;
        data.method = record.method;
        data.flags = record.flags;
        data.entry = order[i];
        listing.data.push_back(data);
    }
    return true;
}

// The records' entries in central order, their declared sizes summed up in the listing, and
// for each whether other readers may take its name as CP437.
bool takeEntries(const std::vector<CentralRecord>& records, Listing& listing, std::vector<Entry>& entries,
                 std::vector<std::uint8_t>& readAsCp437, std::string& reason) {
    entries.reserve(records.size());
    readAsCp437.resize(records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        const CentralRecord& record = records[i];
        Entry entry;
        entry.nameOffset = record.nameOffset;
        entry.nameLength = record.nameLength - (record.kind == EntryKind::Directory ? 1 : 0);
        entry.kind = record.kind;
        entry.size = record.size;
        if (!add(listing.totalSize, record.size, listing.totalSize)) {
            reason = "the declared sizes overflow";
            return false;
        }
        listing.largestSize = std::max(listing.largestSize, record.size);
        entries.push_back(entry);
        readAsCp437[i] = (record.flags & kFlagUtf8) == 0 && hasHighByte(listing.name(entry));
    }
    return true;
}

}  // namespace

bool MemorySource::read(std::uint64_t offset, std::size_t length, char* out) {
    if (offset > bytes_.size() || length > bytes_.size() - offset) return false;
    if (length > 0) std::memcpy(out, bytes_.data() + offset, length);
    return true;
}

bool readArchive(ByteSource& source, Listing& listing, std::string& reason) {
    listing = Listing();
    Reader reader(source);
    Layout layout;
    if (!readEnd(reader, layout, reason)) return false;

    std::vector<CentralRecord> records;
    if (!readCentralDirectory(reader, layout, listing.names, listing.nameElements, records, reason)) return false;
    if (!tileLocalEntries(reader, layout, records, listing, reason)) return false;

    // The names as stored, and as other readers and file systems may take them. The entries
    // are kept in central order until the exact pass has sorted their names.
    std::vector<Entry> unsorted;
    std::vector<std::uint8_t> readAsCp437;
    if (!takeEntries(records, listing, unsorted, readAsCp437, reason)) return false;
    records.clear();
    records.shrink_to_fit();
    std::vector<NamedItem> exact;
    if (!sortEntriesByName(unsorted, listing, exact, reason)) return false;
    return foldedNamesFormATree(exact, readAsCp437, reason);
}

bool withArchiveFile(const std::string& path, std::string& reason, const std::function<bool(ByteSource&)>& read) {
    kvbsign::UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    struct stat info;
    if (fd.get() < 0 || fstat(fd.get(), &info) != 0) {
        reason = "cannot open the archive";
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        reason = "the archive is not a regular file";
        return false;
    }
    FileSource source(fd.get(), static_cast<std::uint64_t>(info.st_size));
    return read(source);
}

bool readArchiveFile(const std::string& path, Listing& listing, std::string& reason) {
    return withArchiveFile(path, reason, [&](ByteSource& source) { return readArchive(source, listing, reason); });
}

}  // namespace archive
}  // namespace kvbsign
