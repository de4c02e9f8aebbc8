// The data of an archive's entries, decoded as a streaming reader would: stored and deflated
// data against their declared sizes and CRC-32.

#include "package/archive_format.h"

#include <algorithm>

#include <zlib.h>

#include "system/interrupt.h"

namespace kvbsign {
namespace archive {

namespace {

constexpr std::size_t kDataChunk = 256 * 1024;

// Stored data: its CRC-32, and behind a data descriptor no descriptor signature, at which a
// streaming reader that cannot know the size would end the entry. The bytes are appended to
// `keep` when it is given.
bool checkStored(ByteSource& source, const StoredData& data, std::vector<unsigned char>& in, std::string* keep,
                 std::string& reason) {
    const bool descriptor = (data.flags & kFlagDescriptor) != 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    std::uint64_t left = data.size;
    std::uint64_t at = data.offset;
    std::uint32_t last = 0;  // the four bytes before the current one, for signatures across chunks
    std::uint64_t seen = 0;
    // Each pass reads one chunk of what is left.
    while (left > 0) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size()));
        if (!source.read(at, n, reinterpret_cast<char*>(in.data()))) {
            reason = "cannot read an entry's data";
            return false;
        }
        crc = crc32(crc, in.data(), static_cast<uInt>(n));
        if (keep != nullptr) keep->append(reinterpret_cast<const char*>(in.data()), n);
        if (descriptor) {
            for (std::size_t i = 0; i < n; ++i) {
                last = (last >> 8) | (static_cast<std::uint32_t>(in[i]) << 24);
                if (++seen >= 4 && last == kDescriptorSignature) {
                    reason = "a stored entry's data holds a data descriptor signature";
                    return false;
                }
            }
        }
        at += n;
        left -= n;
    }
    if (crc != data.crc) {
        reason = "an entry's data does not match its CRC-32";
        return false;
    }
    return true;
}

class Inflater {
public:
    Inflater() { ok_ = inflateInit2(&stream_, -MAX_WBITS) == Z_OK; }
    ~Inflater() {
        if (ok_) inflateEnd(&stream_);
    }
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;
    bool ok() const { return ok_; }
    z_stream& stream() { return stream_; }

private:
    z_stream stream_{};
    bool ok_ = false;
};

// Deflated data: one stream that ends exactly with the entry's compressed bytes and gives
// the declared size and CRC-32. Decoding stops as soon as it passes the declared size. The
// decoded bytes are appended to `keep` when it is given.
bool checkDeflated(ByteSource& source, const StoredData& data, std::vector<unsigned char>& in,
                   std::vector<unsigned char>& out, std::string* keep, std::string& reason) {
    Inflater inflater;
    if (!inflater.ok()) {
        reason = "cannot decode an entry's data";
        return false;
    }
    z_stream& z = inflater.stream();
    uLong crc = crc32(0L, Z_NULL, 0);
    std::uint64_t left = data.compressedSize;
    std::uint64_t at = data.offset;
    std::uint64_t produced = 0;
    bool ended = false;
    // Each pass either takes new input, gives output, or ends: zlib makes progress whenever
    // it has room to write, and reports Z_BUF_ERROR when it cannot.
    for (;;) {
        if (z.avail_in == 0 && left > 0) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, in.size()));
            if (!source.read(at, n, reinterpret_cast<char*>(in.data()))) {
                reason = "cannot read an entry's data";
                return false;
            }
            at += n;
            left -= n;
            z.next_in = in.data();
            z.avail_in = static_cast<uInt>(n);
        }
        // A small input can inflate to much output without another read.
        if (kvbsign::interrupt::interrupted()) {
            reason = "interrupted";
            return false;
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const uInt availableBefore = z.avail_in;
        const int rc = inflate(&z, Z_NO_FLUSH);
        const std::size_t written = out.size() - z.avail_out;
        if (written > data.size - produced) {
            reason = "an entry's data decodes past its declared size";
            return false;
        }
        produced += written;
        crc = crc32(crc, out.data(), static_cast<uInt>(written));
        if (keep != nullptr) keep->append(reinterpret_cast<const char*>(out.data()), written);
        if (rc == Z_STREAM_END) {
            ended = true;
            break;
        }
        if (rc == Z_BUF_ERROR && written == 0 && z.avail_in == availableBefore) {
            if (z.avail_in == 0 && left == 0) break;  // all input given, the stream wants more
            reason = "an entry's compressed data is damaged";
            return false;
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            reason = "an entry's compressed data is damaged";
            return false;
        }
    }
    if (!ended) {
        reason = "an entry's compressed data ends inside its stream";
        return false;
    }
    if (z.avail_in != 0 || left != 0) {
        reason = "an entry's compressed data goes on after its stream ends";
        return false;
    }
    if (produced != data.size) {
        reason = "an entry's data decodes to another size than declared";
        return false;
    }
    if (crc != data.crc) {
        reason = "an entry's data does not match its CRC-32";
        return false;
    }
    return true;
}

}  // namespace

bool checkArchiveData(ByteSource& source, Listing& listing, std::string& reason, DataPass pass) {
    std::vector<unsigned char> in(kDataChunk);
    std::vector<unsigned char> out(kDataChunk);
    if (pass != DataPass::allButLinks) listing.targets.clear();
    for (const StoredData& data : listing.data) {
        // A link's target is at most kMaxLinkTargetLength bytes, and decoding never passes the
        // declared size, so the targets stay within the bound on names.
        Entry& entry = listing.entries[data.entry];
        const bool link = entry.kind == EntryKind::Symlink;
        if (link ? pass == DataPass::allButLinks : pass == DataPass::links) continue;
        std::string* keep = nullptr;
        if (link) {
            entry.targetOffset = static_cast<std::uint32_t>(listing.targets.size());
            keep = &listing.targets;
        }
        const bool ok = data.method == kMethodStored ? checkStored(source, data, in, keep, reason)
                                                     : checkDeflated(source, data, in, out, keep, reason);
        if (!ok) return false;
    }
    return true;
}

bool checkArchiveDataFile(const std::string& path, Listing& listing, std::string& reason, DataPass pass) {
    return withArchiveFile(path, reason,
                           [&](ByteSource& source) { return checkArchiveData(source, listing, reason, pass); });
}

}  // namespace archive
}  // namespace kvbsign
