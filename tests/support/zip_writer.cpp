#include "zip_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <boost/filesystem.hpp>
#include <zlib.h>

#include "cli_runner.h"

namespace kvtest {
namespace {

constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMax16 = 0xFFFFu;
constexpr std::size_t kChunk = 1 << 20;  // zeros are compressed and written this much at a time
constexpr std::uint16_t kDosDate = 0x21; // 1980-01-01, 00:00:00: archives do not depend on the clock
constexpr std::uint16_t kDosTime = 0;

const std::string& zeroChunk() {
    static const std::string chunk(kChunk, '\0');
    return chunk;
}

// Where the writer puts its bytes: a string (localEntryBytes) or a file. `patch` overwrites
// bytes already written, for sizes only known once the data is out.
class Sink {
public:
    virtual ~Sink() = default;
    virtual void write(const char* data, std::size_t size) = 0;
    virtual void patch(std::uint64_t offset, const std::string& bytes) = 0;
    virtual std::uint64_t position() const = 0;
    void write(const std::string& bytes) { write(bytes.data(), bytes.size()); }
};

class StringSink : public Sink {
public:
    void write(const char* data, std::size_t size) override { out.append(data, size); }
    void patch(std::uint64_t offset, const std::string& bytes) override {
        if (offset > out.size() || bytes.size() > out.size() - offset)
            throw std::runtime_error("zip writer: patch past the end");
        out.replace(static_cast<std::size_t>(offset), bytes.size(), bytes);
    }
    std::uint64_t position() const override { return out.size(); }
    std::string out;
};

class FileSink : public Sink {
public:
    explicit FileSink(const std::string& path) : path_(path) {
        fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) fail("cannot create");
        buffer_.reserve(kChunk * 2);
    }
    ~FileSink() override {
        if (fd_ >= 0) ::close(fd_);
    }
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;

    void write(const char* data, std::size_t size) override {
        buffer_.append(data, size);
        if (buffer_.size() >= kChunk) flush();
    }
    void patch(std::uint64_t offset, const std::string& bytes) override {
        flush();
        if (offset > flushed_ || bytes.size() > flushed_ - offset) throw std::runtime_error("zip writer: patch past the end");
        writeAt(bytes.data(), bytes.size(), offset);
    }
    std::uint64_t position() const override { return flushed_ + buffer_.size(); }
    void close() {
        flush();
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) fail("cannot close");
    }

private:
    void flush() {
        writeAt(buffer_.data(), buffer_.size(), flushed_);
        flushed_ += buffer_.size();
        buffer_.clear();
    }
    void writeAt(const char* data, std::size_t size, std::uint64_t offset) {
        while (size > 0) {
            const ssize_t n = pwrite(fd_, data, size, static_cast<off_t>(offset));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("cannot write");
            data += n;
            size -= static_cast<std::size_t>(n);
            offset += static_cast<std::uint64_t>(n);
        }
    }
    [[noreturn]] void fail(const char* what) const {
        throw std::runtime_error(std::string("zip writer: ") + what + " " + path_ + ": " + std::strerror(errno));
    }

    std::string path_;
    int fd_ = -1;
    std::string buffer_;
    std::uint64_t flushed_ = 0;
};

// Raw deflate (no zlib header), zlib's default level, as zip tools write it.
class Deflater {
public:
    Deflater() {
        std::memset(&z_, 0, sizeof z_);
        if (deflateInit2(&z_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("zip writer: deflateInit2 failed");
    }
    ~Deflater() { deflateEnd(&z_); }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    void feed(const char* data, std::size_t size, Sink& sink) {
        // avail_in is 32 bits wide: hand large inputs over in pieces.
        while (size > 0) {
            const std::size_t piece = size < kChunk ? size : kChunk;
            run(data, piece, Z_NO_FLUSH, sink);
            data += piece;
            size -= piece;
        }
    }
    void finish(Sink& sink) { run(nullptr, 0, Z_FINISH, sink); }
    std::uint64_t written() const { return written_; }

private:
    void run(const char* data, std::size_t size, int flush, Sink& sink) {
        z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
        z_.avail_in = static_cast<uInt>(size);
        char out[1 << 16];
        for (;;) {
            z_.next_out = reinterpret_cast<Bytef*>(out);
            z_.avail_out = sizeof out;
            const int rc = deflate(&z_, flush);
            if (rc == Z_STREAM_ERROR) throw std::runtime_error("zip writer: deflate failed");
            const std::size_t produced = sizeof out - z_.avail_out;
            sink.write(out, produced);
            written_ += produced;
            if (flush == Z_FINISH ? rc == Z_STREAM_END : (z_.avail_in == 0 && z_.avail_out != 0)) break;
        }
    }

    z_stream z_;
    std::uint64_t written_ = 0;
};

std::string deflated(const std::string& data) {
    StringSink out;
    Deflater d;
    d.feed(data.data(), data.size(), out);
    d.finish(out);
    return std::move(out.out);
}

std::uint32_t crcOf(const std::string& bytes) {
    uLong crc = crc32_z(0L, Z_NULL, 0);
    return static_cast<std::uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef*>(bytes.data()), bytes.size()));
}

// The CRC-32 of `count` zero bytes, from the CRC of one chunk, without reading them all.
std::uint32_t crcOfZeros(std::uint64_t count) {
    const uLong chunkCrc = crcOf(zeroChunk());
    uLong crc = crc32_z(0L, Z_NULL, 0);
    for (; count >= kChunk; count -= kChunk) crc = crc32_combine64(crc, chunkCrc, kChunk);
    const std::string rest(static_cast<std::size_t>(count), '\0');
    return static_cast<std::uint32_t>(crc32_combine64(crc, crcOf(rest), static_cast<z_off64_t>(count)));
}

std::uint32_t fit32(std::uint64_t value, const char* field) {
    if (value > kMax32)
        throw std::invalid_argument(std::string("zip writer: ") + field + " does not fit 32 bits (set zip64)");
    return static_cast<std::uint32_t>(value);
}

std::uint16_t length16(std::size_t size, const char* field) {
    if (size > kMax16) throw std::invalid_argument(std::string("zip writer: ") + field + " longer than 65,535 bytes");
    return static_cast<std::uint16_t>(size);
}

bool hasHighByte(const std::string& name) {
    for (unsigned char c : name)
        if (c >= 0x80) return true;
    return false;
}

std::uint16_t defaultMethod(const ZipEntrySpec& e) {
    return e.method.value_or(e.kind == ZipEntrySpec::Kind::File ? 8 : 0);
}

// What a local entry was written as; the central record repeats it (or lies about it).
struct WrittenEntry {
    ZipLayout::Entry layout{};
    std::uint16_t method = 0;
    bool zip64 = false;
};

std::uint16_t trueFlags(const ZipEntrySpec& e, const std::string& headerName) {
    std::uint16_t flags = e.extraFlags;
    if (e.dataDescriptor) flags |= 0x8;
    if (hasHighByte(headerName)) flags |= 0x800;
    return flags;
}

WrittenEntry writeLocalEntry(Sink& sink, const ZipEntrySpec& e) {
    const std::uint16_t method = defaultMethod(e);
    if (method != 0 && method != 8)
        throw std::invalid_argument("zip writer: data can only be written stored (0) or deflated (8); "
                                    "set localMethod/centralMethod to write another method number");
    if (e.zeros > 0 && !e.data.empty()) throw std::invalid_argument("zip writer: an entry has data or zeros, not both");

    WrittenEntry w;
    w.method = method;
    ZipLayout::Entry& l = w.layout;
    const bool zeros = e.zeros > 0;
    l.size = zeros ? e.zeros : e.data.size();
    l.crc = zeros ? crcOfZeros(e.zeros) : crcOf(e.data);

    // The compressed bytes, made before the header, unless the content is zeros: those are
    // written (and deflated) as a stream.
    const bool streamZeros = zeros && !e.rawData;
    const bool compressedKnown = !(streamZeros && method == 8);
    std::string compressed;
    if (e.rawData)
        compressed = *e.rawData;
    else if (!zeros)
        compressed = method == 8 ? deflated(e.data) : e.data;
    // Deflated zeros get 0 here and their size once written; they always come out smaller.
    const std::uint64_t knownCompressedSize = !streamZeros ? compressed.size() : method == 0 ? l.size : 0;
    w.zip64 = e.zip64 || l.size >= kMax32 || knownCompressedSize >= kMax32;

    const std::string& name = e.localName ? *e.localName : e.name;
    const std::uint64_t headerCompressed = e.dataDescriptor ? 0 : knownCompressedSize;
    const std::uint64_t headerSize = e.dataDescriptor ? 0 : l.size;
    const std::uint64_t writtenCompressed = e.localCompressedSize.value_or(headerCompressed);
    const std::uint64_t writtenSize = e.localSize.value_or(headerSize);
    // The compressed size of deflated zeros goes in once it is known, unless a lie stands there.
    const bool patchCompressed = !compressedKnown && !e.dataDescriptor && !e.localCompressedSize;

    std::string extra;
    if (w.zip64) extra = extraField(0x0001, le(writtenSize, 8) + le(writtenCompressed, 8));
    extra += e.localExtra;

    l.localOffset = sink.position();
    std::string h = "PK\x03\x04";
    h += le(e.localVersionNeeded.value_or(w.zip64 ? 45 : 20), 2);
    h += le(e.localFlags.value_or(trueFlags(e, name)), 2);
    h += le(e.localMethod.value_or(method), 2);
    h += le(kDosTime, 2) + le(kDosDate, 2);
    h += le(e.localCrc.value_or(e.dataDescriptor ? 0 : l.crc), 4);
    h += le(w.zip64 ? kMax32 : fit32(writtenCompressed, "local compressed size"), 4);
    h += le(w.zip64 ? kMax32 : fit32(writtenSize, "local size"), 4);
    h += le(length16(name.size(), "local name"), 2);
    h += le(length16(extra.size(), "local extra field"), 2);
    h += name;
    h += extra;
    // The compressed size field to fill in later: in the zip64 field, or the 32-bit one.
    const std::uint64_t compressedField = w.zip64 ? l.localOffset + 30 + name.size() + 12 : l.localOffset + 18;
    sink.write(h);

    l.dataOffset = sink.position();
    if (!streamZeros) {
        sink.write(compressed);
    } else if (method == 0) {
        for (std::uint64_t left = e.zeros; left > 0;) {
            const std::size_t n = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
            sink.write(zeroChunk().data(), n);
            left -= n;
        }
    } else {
        Deflater d;
        for (std::uint64_t left = e.zeros; left > 0;) {
            const std::size_t n = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
            d.feed(zeroChunk().data(), n, sink);
            left -= n;
        }
        d.finish(sink);
    }
    l.dataEnd = sink.position();
    l.compressedSize = l.dataEnd - l.dataOffset;
    if (patchCompressed) {
        if (!w.zip64 && l.compressedSize >= kMax32)
            throw std::runtime_error("zip writer: deflated zeros came out larger than 4 GB; set zip64");
        sink.patch(compressedField, le(l.compressedSize, w.zip64 ? 8 : 4));
    }

    if (e.dataDescriptor) {
        std::string d = e.descriptorSignature ? std::string("PK\x07\x08") : std::string();
        d += le(e.descriptorCrc.value_or(l.crc), 4);
        const std::uint64_t dc = e.descriptorCompressedSize.value_or(l.compressedSize);
        const std::uint64_t ds = e.descriptorSize.value_or(l.size);
        if (w.zip64) {
            d += le(dc, 8) + le(ds, 8);
        } else {
            d += le(fit32(dc, "descriptor compressed size"), 4) + le(fit32(ds, "descriptor size"), 4);
        }
        sink.write(d);
    }
    l.entryEnd = sink.position();
    l.centralOffset = ZipLayout::kNone;
    return w;
}

std::string centralRecord(const ZipEntrySpec& e, const WrittenEntry& w) {
    const std::string& name = e.centralName ? *e.centralName : e.name;
    const ZipLayout::Entry& l = w.layout;
    const std::uint64_t compressed = e.centralCompressedSize.value_or(l.compressedSize);
    const std::uint64_t size = e.centralSize.value_or(l.size);
    const std::uint64_t offset = e.centralLocalOffset.value_or(l.localOffset);
    const bool offset64 = offset >= kMax32;

    std::string zip64;
    if (w.zip64) zip64 = le(size, 8) + le(compressed, 8);
    if (offset64) zip64 += le(offset, 8);
    std::string extra = zip64.empty() ? std::string() : extraField(0x0001, zip64);
    extra += e.centralExtra;

    std::uint32_t mode = 0100644;
    if (e.kind == ZipEntrySpec::Kind::Directory) mode = 040755;
    if (e.kind == ZipEntrySpec::Kind::Symlink) mode = 0120777;
    mode = e.unixMode.value_or(mode);
    const std::uint16_t dos = e.dosAttributes.value_or(e.kind == ZipEntrySpec::Kind::Directory ? 0x10 : 0);
    if (mode > kMax16) throw std::invalid_argument("zip writer: unixMode does not fit 16 bits");

    const std::uint16_t version = w.zip64 || offset64 ? 45 : 20;
    std::string c = "PK\x01\x02";
    c += le(static_cast<std::uint16_t>(e.hostSystem << 8 | version), 2);
    c += le(e.centralVersionNeeded.value_or(version), 2);
    c += le(e.centralFlags.value_or(trueFlags(e, name)), 2);
    c += le(e.centralMethod.value_or(w.method), 2);
    c += le(kDosTime, 2) + le(kDosDate, 2);
    c += le(e.centralCrc.value_or(l.crc), 4);
    c += le(w.zip64 ? kMax32 : fit32(compressed, "central compressed size"), 4);
    c += le(w.zip64 ? kMax32 : fit32(size, "central size"), 4);
    c += le(length16(name.size(), "central name"), 2);
    c += le(length16(extra.size(), "central extra field"), 2);
    c += le(length16(e.comment.size(), "file comment"), 2);
    c += le(0, 2);  // disk number start
    c += le(0, 2);  // internal attributes
    c += le(mode << 16 | dos, 4);
    c += le(offset64 ? kMax32 : offset, 4);
    c += name;
    c += extra;
    c += e.comment;
    return c;
}

void writeArchive(Sink& sink, const ZipSpec& spec, ZipLayout& layout) {
    std::vector<WrittenEntry> written;
    written.reserve(spec.entries.size());
    for (const ZipEntrySpec& e : spec.entries) {
        sink.write(e.before);
        written.push_back(writeLocalEntry(sink, e));
    }
    sink.write(spec.beforeCentral);

    std::vector<std::size_t> order;
    if (spec.centralOrder) {
        order = *spec.centralOrder;
    } else {
        for (std::size_t i = 0; i < spec.entries.size(); ++i) order.push_back(i);
    }
    layout.centralOffset = sink.position();
    for (std::size_t i : order) {
        if (i >= spec.entries.size()) throw std::invalid_argument("zip writer: centralOrder names no entry");
        const std::uint64_t at = sink.position();
        layout.centralRecords.push_back(at);
        if (written[i].layout.centralOffset == ZipLayout::kNone) written[i].layout.centralOffset = at;
        sink.write(centralRecord(spec.entries[i], written[i]));
    }
    layout.centralSize = sink.position() - layout.centralOffset;
    for (const WrittenEntry& w : written) layout.entries.push_back(w.layout);
    sink.write(spec.afterCentral);

    const std::uint64_t count = spec.endEntryCount.value_or(order.size());
    const std::uint64_t size = spec.endCentralSize.value_or(layout.centralSize);
    const std::uint64_t offset = spec.endCentralOffset.value_or(layout.centralOffset);
    const bool zip64End =
        spec.zip64End || order.size() >= kMax16 || layout.centralSize >= kMax32 || layout.centralOffset >= kMax32;
    if (zip64End) {
        layout.zip64EndOffset = sink.position();
        std::string z = "PK\x06\x06";
        z += le(44 + spec.zip64Extensible.size(), 8);  // the size of the rest of the record
        z += le(3 << 8 | 45, 2);
        z += le(45, 2);
        z += le(0, 4) + le(0, 4);  // this disk, the central directory's disk
        z += le(count, 8) + le(count, 8) + le(size, 8) + le(offset, 8);
        z += spec.zip64Extensible;
        sink.write(z);
        layout.locatorOffset = sink.position();
        std::string loc = "PK\x06\x07";
        loc += le(0, 4);
        loc += le(spec.locatorOffset.value_or(layout.zip64EndOffset), 8);
        loc += le(1, 4);  // disks in all
        sink.write(loc);
    }
    // With a zip64 record, a classic field too small for its value holds all ones.
    auto field = [zip64End](std::uint64_t value, std::uint64_t max, const char* what) {
        if (value < max) return value;
        if (zip64End) return max;
        if (value > max) throw std::invalid_argument(std::string("zip writer: end record ") + what + " does not fit");
        return value;
    };
    layout.endOffset = sink.position();
    std::string end = "PK\x05\x06";
    end += le(0, 2) + le(0, 2);  // this disk, the central directory's disk
    end += le(field(count, kMax16, "entry count"), 2);
    end += le(field(count, kMax16, "entry count"), 2);
    end += le(field(size, kMax32, "central size"), 4);
    end += le(field(offset, kMax32, "central offset"), 4);
    end += le(spec.endCommentLength.value_or(length16(spec.comment.size(), "archive comment")), 2);
    end += spec.comment;
    end += spec.afterEnd;
    sink.write(end);
    layout.fileSize = sink.position();
}

}  // namespace

std::string le(std::uint64_t value, int width) {
    if (width < 1 || width > 8) throw std::invalid_argument("zip writer: width must be 1..8");
    if (width < 8 && value >> (8 * width) != 0)
        throw std::invalid_argument("zip writer: " + std::to_string(value) + " does not fit " + std::to_string(width) +
                                    " bytes");
    std::string out;
    for (int i = 0; i < width; ++i) out += static_cast<char>(value >> (8 * i) & 0xFF);
    return out;
}

std::uint64_t readLe(const std::string& bytes, std::uint64_t offset, int width) {
    if (width < 1 || width > 8) throw std::invalid_argument("zip writer: width must be 1..8");
    if (offset > bytes.size() || static_cast<std::uint64_t>(width) > bytes.size() - offset)
        throw std::out_of_range("zip writer: read past the end");
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

void patchLe(std::string& bytes, std::uint64_t offset, std::uint64_t value, int width) {
    const std::string field = le(value, width);
    if (offset > bytes.size() || field.size() > bytes.size() - offset)
        throw std::out_of_range("zip writer: patch past the end");
    bytes.replace(static_cast<std::size_t>(offset), field.size(), field);
}

void patchFileLe(const std::string& path, std::uint64_t offset, std::uint64_t value, int width) {
    const std::string field = le(value, width);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("zip writer: cannot open " + path);
    struct stat st;
    const bool inside = fstat(fd, &st) == 0 && offset <= static_cast<std::uint64_t>(st.st_size) &&
                        field.size() <= static_cast<std::uint64_t>(st.st_size) - offset;
    const bool ok = inside && pwrite(fd, field.data(), field.size(), static_cast<off_t>(offset)) ==
                                  static_cast<ssize_t>(field.size());
    const bool closed = ::close(fd) == 0;
    if (!inside) throw std::out_of_range("zip writer: patch past the end of " + path);
    if (!ok || !closed) throw std::runtime_error("zip writer: cannot patch " + path);
}

std::string extraField(std::uint16_t tag, const std::string& data) {
    return le(tag, 2) + le(length16(data.size(), "extra field"), 2) + data;
}

std::string attributesExtra(std::uint16_t madeBy, std::uint32_t externalAttributes) {
    return extraField(0x6c78, std::string(1, '\x05') + le(madeBy, 2) + le(externalAttributes, 4));
}

std::string unicodePathExtra(const std::string& headerName, const std::string& unicodeName) {
    return extraField(0x7075, std::string(1, '\x01') + le(crcOf(headerName), 4) + unicodeName);
}

std::string localEntryBytes(const ZipEntrySpec& entry) {
    StringSink sink;
    writeLocalEntry(sink, entry);
    return std::move(sink.out);
}

ZipEntrySpec zipFileEntry(const std::string& name, const std::string& data) {
    ZipEntrySpec e;
    e.name = name;
    e.data = data;
    return e;
}

ZipEntrySpec zipDirectoryEntry(const std::string& name) {
    ZipEntrySpec e;
    e.kind = ZipEntrySpec::Kind::Directory;
    e.name = name;
    return e;
}

ZipEntrySpec zipLinkEntry(const std::string& name, const std::string& target) {
    ZipEntrySpec e;
    e.kind = ZipEntrySpec::Kind::Symlink;
    e.name = name;
    e.data = target;
    return e;
}

ZipEntrySpec zipZerosEntry(const std::string& name, std::uint64_t size) {
    ZipEntrySpec e;
    e.name = name;
    e.zeros = size;
    e.zip64 = size >= (std::uint64_t{1} << 31);
    return e;
}

std::vector<ZipEntrySpec> zipEntriesOf(const std::string& dir, bool withDirectories) {
    namespace fs = boost::filesystem;
    std::vector<std::string> paths;
    for (fs::recursive_directory_iterator it(dir), end; it != end; ++it)
        paths.push_back(it->path().generic_string().substr(dir.size() + 1));
    std::sort(paths.begin(), paths.end());
    std::stable_partition(paths.begin(), paths.end(), [](const std::string& p) { return p == "mimetype"; });
    std::vector<ZipEntrySpec> entries;
    for (const std::string& relative : paths) {
        const fs::path full = fs::path(dir) / relative;
        const fs::file_status own = fs::symlink_status(full);
        if (fs::is_symlink(own)) {
            entries.push_back(zipLinkEntry(relative, fs::read_symlink(full).string()));
        } else if (fs::is_directory(own)) {
            if (withDirectories) entries.push_back(zipDirectoryEntry(relative + "/"));
        } else {
            entries.push_back(zipFileEntry(relative, readFile(full.string())));
            if (relative == "mimetype") entries.back().method = 0;
        }
    }
    return entries;
}

std::string deflateRaw(const std::string& data) { return deflated(data); }

std::uint32_t crc32Of(const std::string& data) { return crcOf(data); }

ZipEntrySpec& findEntry(ZipSpec& spec, const std::string& name) {
    for (ZipEntrySpec& e : spec.entries)
        if (e.name == name) return e;
    throw std::invalid_argument("zip writer: no entry " + name);
}

ZipLayout writeZipSpec(const std::string& path, const ZipSpec& spec) {
    ZipLayout layout;
    FileSink sink(path);
    writeArchive(sink, spec, layout);
    sink.close();
    return layout;
}

}  // namespace kvtest
