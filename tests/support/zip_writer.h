#ifndef KVBSIGN_TEST_ZIP_WRITER_H
#define KVBSIGN_TEST_ZIP_WRITER_H

// Writes zip archives byte by byte, so a test can make exactly the archive it needs: a valid
// one by default (local entries from offset 0, the central directory, the zip64 end record
// and locator when needed, the end record whose comment reaches the end of the file), or one
// with any field of any header set to a lie, raw bytes between the parts, central records in
// another order, repeated or missing. True values (CRC-32, sizes, offsets) are computed from
// the data; every optional field below, when set, is written instead of the true value.
// Functions throw std::runtime_error on failure, std::invalid_argument when a value does not
// fit the field it is meant for.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kvtest {

struct ZipEntrySpec {
    enum class Kind { File, Directory, Symlink };
    Kind kind = Kind::File;
    // Written byte for byte in the local and the central header (a directory name gets no "/"
    // added here). The UTF-8 flag 0x800 is set in a header whose name has a byte >= 0x80.
    std::string name;
    std::optional<std::string> localName, centralName;  // one header says another name
    std::string data;         // the content; the link target for Symlink
    std::uint64_t zeros = 0;  // > 0: the content is this many zero bytes, compressed while written
    // The method the data is really written with: 0 stored, 8 deflate (raw, zlib's default
    // level). Default: 8 for files, 0 for directories and links.
    std::optional<std::uint16_t> method;
    std::optional<std::string> rawData;  // written as the entry's data instead of the compressed content
    std::optional<std::uint32_t> unixMode;      // upper 16 bits of the external attributes (default
                                                // 0100644, 040755 or 0120777 by kind)
    std::optional<std::uint16_t> dosAttributes; // lower 16 bits (default 0x10 for a directory, else 0)
    std::uint8_t hostSystem = 3;                // high byte of "version made by" (3: Unix)
    std::uint16_t extraFlags = 0;  // OR'ed into the flags of both headers (0x1 encrypted: no encryption is done)
    bool dataDescriptor = false;       // flag 0x8, CRC and sizes 0 in the local header, descriptor after the data
    bool descriptorSignature = true;   // PK\7\8 before the descriptor
    // A zip64 extra field (0x0001) with both sizes in the local and the central header, and
    // 64-bit descriptor sizes. Set by itself when a true size reaches 0xFFFFFFFF. The 32-bit
    // size fields then hold 0xFFFFFFFF and size lies go into the zip64 field. The central
    // zip64 field also holds the local header offset when that reaches 0xFFFFFFFF.
    bool zip64 = false;
    std::string localExtra, centralExtra;  // raw extra-field bytes after the writer's own
    std::string comment;                   // the central record's file comment
    // Lies, written instead of the true values.
    std::optional<std::uint16_t> localMethod, centralMethod, localFlags, centralFlags;  // flags: the whole field
    std::optional<std::uint16_t> localVersionNeeded, centralVersionNeeded;  // true: 20, or 45 with zip64
    std::optional<std::uint32_t> localCrc, centralCrc, descriptorCrc;
    std::optional<std::uint64_t> localCompressedSize, centralCompressedSize, descriptorCompressedSize;
    std::optional<std::uint64_t> localSize, centralSize, descriptorSize;  // uncompressed
    std::optional<std::uint64_t> centralLocalOffset;  // the local header offset in the central record
    std::string before;  // raw bytes written just before this entry's local header
};

struct ZipSpec {
    std::vector<ZipEntrySpec> entries;
    // The entries (indices) whose central records are written, in this order; may repeat or
    // omit indices. Default: every entry in entry order.
    std::optional<std::vector<std::size_t>> centralOrder;
    std::string beforeCentral;  // raw bytes between the last local entry and the central directory
    std::string afterCentral;   // raw bytes between the central directory and the end record(s)
    std::string comment;        // the archive comment
    // Write the zip64 end record and locator. Done by itself when there are 0xFFFF or more
    // central records or the central directory's size or offset reaches 0xFFFFFFFF; the
    // classic end record then holds 0xFFFF / 0xFFFFFFFF in the fields that overflow.
    bool zip64End = false;
    std::string zip64Extensible;  // raw bytes after the zip64 end record's fixed fields, counted in its size
    std::string afterEnd;  // raw bytes after the end record and its comment
    // Lies in the end record(s); the count goes into both count fields of each record.
    std::optional<std::uint16_t> endCommentLength;
    std::optional<std::uint64_t> endEntryCount, endCentralSize, endCentralOffset;
    std::optional<std::uint64_t> locatorOffset;  // the zip64 end record's offset written in the locator
};

struct ZipLayout {  // where everything landed, to patch bytes afterwards
    static constexpr std::uint64_t kNone = ~std::uint64_t{0};
    struct Entry {
        std::uint64_t localOffset;     // the local header (PK\3\4), after `before`
        std::uint64_t dataOffset;      // the first byte of the (compressed) data
        std::uint64_t compressedSize;  // the data bytes written
        std::uint64_t dataEnd;         // dataOffset + compressedSize
        std::uint64_t entryEnd;        // past the data descriptor, if any
        std::uint64_t centralOffset;   // its first central record (PK\1\2), kNone when it has none
        std::uint32_t crc;             // the true CRC-32 and size of the content
        std::uint64_t size;
    };
    std::vector<Entry> entries;
    std::vector<std::uint64_t> centralRecords;  // offsets of all central records in the written order
    std::uint64_t centralOffset = 0, centralSize = 0;  // the central directory (after beforeCentral)
    std::uint64_t zip64EndOffset = 0, locatorOffset = 0;  // PK\6\6 and PK\6\7, 0 if none
    std::uint64_t endOffset = 0;  // PK\5\6
    std::uint64_t fileSize = 0;
};

// Writes the archive to `path` (replacing it) as a stream: content made of zeros is never
// held in memory.
ZipLayout writeZipSpec(const std::string& path, const ZipSpec& spec);

// Entries as tests mostly want them: a deflated file, a directory (name given with its "/"),
// a link.
ZipEntrySpec zipFileEntry(const std::string& name, const std::string& data);
ZipEntrySpec zipDirectoryEntry(const std::string& name);
ZipEntrySpec zipLinkEntry(const std::string& name, const std::string& target);
// A file of `size` zero bytes, deflated while written, in zip64 form from 2 GB on as zip tools
// write it.
ZipEntrySpec zipZerosEntry(const std::string& name, std::uint64_t size);
// The entries of a package directory as a zip tool stores them: "mimetype" first and stored,
// then every directory (unless left out), file and link (as a link) below it in path order.
std::vector<ZipEntrySpec> zipEntriesOf(const std::string& dir, bool withDirectories = true);
// The first entry of that name; throws std::invalid_argument when there is none.
ZipEntrySpec& findEntry(ZipSpec& spec, const std::string& name);

// Raw deflate of bytes as the writer compresses them, and their CRC-32: for `rawData` lies.
std::string deflateRaw(const std::string& data);
std::uint32_t crc32Of(const std::string& data);

// A complete local entry (header, data, descriptor; not `before`), e.g. to put into an
// archive as an entry no central record names, through `before` or `beforeCentral`.
std::string localEntryBytes(const ZipEntrySpec& entry);

// An extra field 0x7075 (a second name for an entry): version 1, the CRC-32 of headerName,
// then unicodeName.
std::string unicodePathExtra(const std::string& headerName, const std::string& unicodeName);

// One raw extra field: tag, length, data.
std::string extraField(std::uint16_t tag, const std::string& data);

// An extra field 0x6c78 that repeats central-header values in a header: "version made by"
// and the external attributes (bitmap 0x05). Readers that know it take the entry's kind and
// mode from it, also from the local header of a streamed archive.
std::string attributesExtra(std::uint16_t madeBy, std::uint32_t externalAttributes);

// Little-endian numbers of `width` bytes (1..8): appended, read, overwritten in a string, or
// overwritten in a file. All check the offset against the length.
std::string le(std::uint64_t value, int width);
std::uint64_t readLe(const std::string& bytes, std::uint64_t offset, int width);
void patchLe(std::string& bytes, std::uint64_t offset, std::uint64_t value, int width);
void patchFileLe(const std::string& path, std::uint64_t offset, std::uint64_t value, int width);

}  // namespace kvtest

#endif
