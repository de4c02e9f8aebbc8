// The entry-by-entry walk of a DER revocation list (see crl_entries.h).
//
// The nesting is read as the cryptography library's template decoder reads it for a list:
//   CertificateList ::= SEQUENCE { tbsCertList, signatureAlgorithm, signatureValue }
//   TBSCertList ::= SEQUENCE { version INTEGER OPTIONAL, signature, issuer, thisUpdate,
//       nextUpdate Time OPTIONAL, revokedCertificates SEQUENCE OF entry OPTIONAL,
//       crlExtensions [0] OPTIONAL }
// with the same header rules (definite and indefinite lengths, long-form lengths with leading
// zeros, high tag numbers), the same choice of optional fields by tag, and the same checks of
// end-of-contents markers and of content left over. Each piece in between (every field but
// the entries, and each entry) goes to the library's own decoder unchanged.

#include "revocation/crl_entries.h"

#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <string>

namespace kvbsign {

namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
// No sane header comes near this; a longer one (a high tag number padded without end) is
// more than the walk takes on.
constexpr std::size_t kHeaderWindow = 512;
constexpr std::size_t kEntriesPerClockLook = 4096;

struct Header {
    int tag = 0;
    int cls = 0;  // the class bits of the first byte: 0x00 universal
    bool constructed = false;
    bool indefinite = false;
    std::size_t size = 0;      // bytes of the header itself
    std::uint64_t length = 0;  // content bytes, when definite
};

bool universal(const Header& h, int tag) { return h.cls == 0 && h.tag == tag; }

enum class HeaderRead {
    Ok,
    Bad,     // the decoder refuses this header
    Unseen,  // the header runs past the `avail` bytes looked at
};

// A header that may take up to `max` bytes, of which `avail` are at `p`, read byte for byte
// as the decoder reads one. Unless `lengthMayExceed`, a definite length that runs past `max`
// is refused, as the decoder of a nested element refuses it.
HeaderRead readHeader(const unsigned char* p, std::size_t avail, std::uint64_t max, Header& h,
                      bool lengthMayExceed = false) {
    if (max == 0) return HeaderRead::Bad;
    // `left` counts the bytes of `max` after position i; a header must leave one for its
    // length octet, and its long-form length octets may take what is left, up to `max`.
    std::uint64_t left = max;
    std::size_t i = 0;
    if (avail == 0) return HeaderRead::Unseen;
    const unsigned char first = p[0];
    h.constructed = (first & 0x20) != 0;
    h.cls = first & 0xc0;
    if ((first & 0x1f) == 0x1f) {
        ++i;
        if (--left == 0) return HeaderRead::Bad;
        long tag = 0;
        for (;;) {
            if (i >= avail) return HeaderRead::Unseen;
            if ((p[i] & 0x80) == 0) break;
            tag = (tag << 7) | (p[i++] & 0x7f);
            if (--left == 0) return HeaderRead::Bad;
            if (tag > (INT_MAX >> 7)) return HeaderRead::Bad;
        }
        tag = (tag << 7) | (p[i++] & 0x7f);
        h.tag = static_cast<int>(tag);
        if (--left == 0) return HeaderRead::Bad;
    } else {
        h.tag = first & 0x1f;
        ++i;
        if (--left == 0) return HeaderRead::Bad;
    }

    --left;  // the length octet
    if (i >= avail) return HeaderRead::Unseen;
    const unsigned char lengthOctet = p[i++];
    std::uint64_t length = 0;
    h.indefinite = lengthOctet == 0x80;
    if (!h.indefinite) {
        std::uint64_t count = lengthOctet & 0x7f;
        if (lengthOctet & 0x80) {
            if (left < count) return HeaderRead::Bad;
            while (count > 0) {
                if (i >= avail) return HeaderRead::Unseen;
                if (p[i] != 0) break;
                ++i;
                --count;
            }
            if (count > sizeof(long)) return HeaderRead::Bad;
            while (count > 0) {
                if (i >= avail) return HeaderRead::Unseen;
                length = (length << 8) | p[i++];
                --count;
            }
            if (length > static_cast<std::uint64_t>(LONG_MAX)) return HeaderRead::Bad;
        } else {
            length = count;
        }
    }
    h.size = i;
    h.length = length;
    if (h.indefinite && !h.constructed) return HeaderRead::Bad;
    if (!lengthMayExceed && !h.indefinite && h.length > max - h.size) return HeaderRead::Bad;
    return HeaderRead::Ok;
}

std::string sequenceHeader(std::size_t length) {
    std::string out(1, '\x30');
    if (length < 0x80) return out + static_cast<char>(length);
    std::string octets;
    for (std::size_t n = length; n > 0; n >>= 8) octets.insert(octets.begin(), static_cast<char>(n & 0xff));
    return out + static_cast<char>(0x80 | octets.size()) + octets;
}

class Walk {
public:
    Walk(CrlBytes& bytes, const CrlWalkBounds& bounds, const std::function<bool(const X509_REVOKED&)>& onEntry)
        : bytes_(bytes), bounds_(bounds), onEntry_(onEntry) {}

    CrlWalk run(std::uint64_t start, X509CrlPtr* frame, std::uint64_t* end);

private:
    CrlWalk header(std::uint64_t pos, std::uint64_t remaining, Header& h);
    bool endOfContentsAt(std::uint64_t pos, std::uint64_t remaining);
    CrlWalk extent(std::uint64_t pos, std::uint64_t remaining, const Header& h, std::uint64_t& size);
    CrlWalk keep(std::uint64_t& pos, std::uint64_t remaining, const Header& h, std::string& to);
    CrlWalk signedFields(std::uint64_t& pos, std::uint64_t end, bool indefinite);
    CrlWalk entries(std::uint64_t& pos, std::uint64_t end, const Header& h);

    CrlBytes& bytes_;
    const CrlWalkBounds& bounds_;
    const std::function<bool(const X509_REVOKED&)>& onEntry_;
    // The frame: the signed part's fields before and after the entries, and the list's
    // fields after the signed part, each as it stands in the list.
    std::string before_, after_, rest_;
    bool hasEntries_ = false;
};

CrlWalk Walk::header(std::uint64_t pos, std::uint64_t remaining, Header& h) {
    const std::size_t look = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kHeaderWindow));
    std::size_t got = 0;
    const unsigned char* data = bytes_.at(pos, look, got);
    if (got < look) return CrlWalk::NotAList;
    switch (readHeader(data, look, remaining, h)) {
        case HeaderRead::Ok:
            return CrlWalk::Listed;
        case HeaderRead::Bad:
            return CrlWalk::NotAList;
        case HeaderRead::Unseen:
            break;
    }
    return CrlWalk::TooLarge;
}

bool Walk::endOfContentsAt(std::uint64_t pos, std::uint64_t remaining) {
    if (remaining < 2) return false;
    std::size_t got = 0;
    const unsigned char* data = bytes_.at(pos, 2, got);
    return got >= 2 && data[0] == 0 && data[1] == 0;
}

// The bytes the element takes, its end-of-contents marker included. An indefinite length is
// followed through nested headers, counting the markers still owed, as the decoder finds the
// end of an element it does not take apart.
CrlWalk Walk::extent(std::uint64_t pos, std::uint64_t remaining, const Header& h, std::uint64_t& size) {
    if (!h.indefinite) {
        size = h.size + h.length;
        return CrlWalk::Listed;
    }
    std::uint64_t at = pos + h.size;
    std::uint64_t left = remaining - h.size;
    std::uint64_t owed = 1;
    // Every pass moves `at` forward by a marker or a header, so the loop ends.
    while (left > 0) {
        if (endOfContentsAt(at, left)) {
            at += 2;
            left -= 2;
            if (--owed == 0) break;
            continue;
        }
        Header inner;
        const CrlWalk read = header(at, left, inner);
        if (read != CrlWalk::Listed) return read;
        const std::uint64_t step = inner.indefinite ? inner.size : inner.size + inner.length;
        if (inner.indefinite) ++owed;
        at += step;
        left -= step;
        if (at - pos > bounds_.maxFrameBytes) return CrlWalk::TooLarge;
    }
    if (owed != 0) return CrlWalk::NotAList;
    size = at - pos;
    return CrlWalk::Listed;
}

// One field of the frame, copied as it stands.
CrlWalk Walk::keep(std::uint64_t& pos, std::uint64_t remaining, const Header& h, std::string& to) {
    std::uint64_t size = 0;
    const CrlWalk measured = extent(pos, remaining, h, size);
    if (measured != CrlWalk::Listed) return measured;
    const std::size_t held = before_.size() + after_.size() + rest_.size();
    if (size > bounds_.maxFrameBytes - held) return CrlWalk::TooLarge;
    std::size_t got = 0;
    const unsigned char* data = bytes_.at(pos, static_cast<std::size_t>(size), got);
    if (got < size) return CrlWalk::NotAList;
    to.append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
    pos += size;
    return CrlWalk::Listed;
}

// The fields of the signed part, from `pos` up to `end` (for an indefinite length: up to its
// end-of-contents marker, which must come before `end`).
CrlWalk Walk::signedFields(std::uint64_t& pos, std::uint64_t end, bool indefinite) {
    // 0 version, 1 signature algorithm, 2 issuer, 3 thisUpdate, 4 nextUpdate, 5 entries,
    // 6 extensions. An optional field whose tag does not match is absent; the last field is
    // taken whatever its tag once data remains.
    int field = 0;
    bool closed = false;
    while (field < 7 && pos < end) {
        if (endOfContentsAt(pos, end - pos)) {
            if (!indefinite) return CrlWalk::NotAList;
            pos += 2;
            closed = true;
            break;
        }
        Header h;
        const CrlWalk read = header(pos, end - pos, h);
        if (read != CrlWalk::Listed) return read;
        if (field == 0 && !universal(h, V_ASN1_INTEGER)) field = 1;
        if (field == 4 && !(h.cls == 0 && (h.tag == V_ASN1_UTCTIME || h.tag == V_ASN1_GENERALIZEDTIME))) field = 5;
        if (field == 5 && !universal(h, V_ASN1_SEQUENCE)) field = 6;
        std::string& to = hasEntries_ ? after_ : before_;
        const std::size_t kept = to.size();
        const CrlWalk step = field == 5 ? entries(pos, end, h) : keep(pos, end - pos, h, to);
        if (step != CrlWalk::Listed) return step;
        if (field == 1 && bounds_.signedPart) {
            // The signature algorithm comes before everything it covers but the version.
            const unsigned char* p = reinterpret_cast<const unsigned char*>(to.data() + kept);
            X509AlgorPtr algorithm(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(to.size() - kept)));
            if (!algorithm) return CrlWalk::NotAList;
            bounds_.signedPart->algorithm(*algorithm);
        }
        if (field == 5) hasEntries_ = true;
        ++field;
    }
    if (field < 4) return CrlWalk::NotAList;  // signature algorithm, issuer or thisUpdate missing
    if (indefinite && !closed) {
        if (!endOfContentsAt(pos, end - pos)) return CrlWalk::NotAList;
        pos += 2;
    }
    if (!indefinite && pos != end) return CrlWalk::NotAList;
    return CrlWalk::Listed;
}

CrlWalk Walk::entries(std::uint64_t& pos, std::uint64_t end, const Header& h) {
    pos += h.size;
    const std::uint64_t listEnd = h.indefinite ? end : pos + h.length;
    std::size_t count = 0;
    bool closed = false;
    // Every pass moves `pos` past one decoded entry or ends the walk.
    while (pos < listEnd) {
        if (endOfContentsAt(pos, listEnd - pos)) {
            if (!h.indefinite) return CrlWalk::NotAList;
            pos += 2;
            closed = true;
            break;
        }
        if (++count % kEntriesPerClockLook == 0 && std::chrono::steady_clock::now() >= bounds_.deadline)
            return CrlWalk::TooLarge;
        const std::uint64_t remaining = listEnd - pos;
        const std::size_t look = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, bounds_.maxEntryBytes));
        std::size_t got = 0;
        const unsigned char* data = bytes_.at(pos, look, got);
        if (got < look) return CrlWalk::NotAList;
        const unsigned char* next = data;
        X509RevokedPtr entry(d2i_X509_REVOKED(nullptr, &next, static_cast<long>(look)));
        if (!entry) {
            if (look == remaining) return CrlWalk::NotAList;
            // Only part of the entry may have been in view: its header tells.
            Header entryHeader;
            switch (readHeader(data, look, remaining, entryHeader)) {
                case HeaderRead::Bad:
                    return CrlWalk::NotAList;
                case HeaderRead::Unseen:
                    return CrlWalk::TooLarge;
                case HeaderRead::Ok:
                    break;
            }
            if (entryHeader.indefinite || entryHeader.size + entryHeader.length > look) return CrlWalk::TooLarge;
            return CrlWalk::NotAList;
        }
        if (!onEntry_(*entry)) return CrlWalk::TooLarge;
        pos += static_cast<std::uint64_t>(next - data);
    }
    if (h.indefinite && !closed) return CrlWalk::NotAList;
    return CrlWalk::Listed;
}

CrlWalk Walk::run(std::uint64_t start, X509CrlPtr* frame, std::uint64_t* end) {
    const std::uint64_t total = bytes_.size() > start ? bytes_.size() - start : 0;
    if (total == 0) return CrlWalk::NotAList;
    std::uint64_t regionEnd = start + total;
    Header top;
    if (bounds_.asFromFile) {
        const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(total, 8));
        std::size_t got = 0;
        const unsigned char* data = bytes_.at(start, first, got);
        if (got < first || readHeader(data, first, first, top, true) != HeaderRead::Ok) return CrlWalk::NotAList;
        if (!top.indefinite) {
            if (top.length > total - top.size) return CrlWalk::NotAList;  // the file ends first
            regionEnd = start + top.size + top.length;
        }
    }
    CrlWalk step = header(start, regionEnd - start, top);
    if (step != CrlWalk::Listed) return step;
    if (!universal(top, V_ASN1_SEQUENCE) || !top.constructed) return CrlWalk::NotAList;
    std::uint64_t pos = start + top.size;
    const std::uint64_t listEnd = top.indefinite ? regionEnd : pos + top.length;

    if (pos == listEnd || endOfContentsAt(pos, listEnd - pos)) return CrlWalk::NotAList;
    Header signedPart;
    step = header(pos, listEnd - pos, signedPart);
    if (step != CrlWalk::Listed) return step;
    if (!universal(signedPart, V_ASN1_SEQUENCE) || !signedPart.constructed) return CrlWalk::NotAList;
    // The signed part, header and all, is what the signature covers.
    if (bounds_.signedPart) bytes_.tap(pos, bounds_.signedPart);
    pos += signedPart.size;
    const std::uint64_t signedEnd = signedPart.indefinite ? listEnd : pos + signedPart.length;
    step = signedFields(pos, signedEnd, signedPart.indefinite);
    if (step != CrlWalk::Listed) return step;
    if (bounds_.signedPart && !bytes_.untap(pos)) return CrlWalk::NotAList;

    // The signature algorithm and the signature value.
    int field = 1;
    bool closed = false;
    while (field < 3 && pos < listEnd) {
        if (endOfContentsAt(pos, listEnd - pos)) {
            if (!top.indefinite) return CrlWalk::NotAList;
            pos += 2;
            closed = true;
            break;
        }
        Header h;
        step = header(pos, listEnd - pos, h);
        if (step != CrlWalk::Listed) return step;
        step = keep(pos, listEnd - pos, h, rest_);
        if (step != CrlWalk::Listed) return step;
        ++field;
    }
    if (field < 3) return CrlWalk::NotAList;
    if (top.indefinite && !closed) {
        if (!endOfContentsAt(pos, listEnd - pos)) return CrlWalk::NotAList;
        pos += 2;
    }
    if (!top.indefinite && pos != listEnd) return CrlWalk::NotAList;

    // The frame: the same list with an empty entry sequence, decoded whole.
    std::string signedContent;
    signedContent.reserve(before_.size() + 2 + after_.size());
    signedContent += before_;
    if (hasEntries_) signedContent += std::string("\x30\x00", 2);
    signedContent += after_;
    const std::string signedHeader = sequenceHeader(signedContent.size());
    const std::size_t contentSize = signedHeader.size() + signedContent.size() + rest_.size();
    std::string der = sequenceHeader(contentSize);
    der.reserve(der.size() + contentSize);
    der += signedHeader;
    der += signedContent;
    der += rest_;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509CrlPtr decoded(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
    if (!decoded) return CrlWalk::NotAList;
    if (frame) *frame = std::move(decoded);
    if (end) *end = pos;
    return CrlWalk::Listed;
}

}  // namespace

CrlBytes::CrlBytes(const unsigned char* data, std::size_t size) : memory_(data), size_(size) {}

CrlBytes::CrlBytes(std::FILE* file) : file_(file) {
    struct stat st;
    const off_t here = ftello(file);
    if (here >= 0 && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= here)
        size_ = static_cast<std::uint64_t>(st.st_size - here);
    windowStart_ = 0;
    nextRead_ = 0;
}

const unsigned char* CrlBytes::at(std::uint64_t offset, std::size_t count, std::size_t& got) {
    got = 0;
    if (offset >= size_) return nullptr;
    const std::uint64_t want = std::min<std::uint64_t>(count, size_ - offset);
    if (memory_) {
        got = static_cast<std::size_t>(size_ - offset);
        return memory_ + offset;
    }
    if (offset < windowStart_) return nullptr;
    const std::uint64_t windowEnd = windowStart_ + window_.size();
    if (offset + want > windowEnd) {
        // Drop what lies before `offset` and read on; this happens about once a chunk. What
        // leaves the window goes to the tap first.
        if (offset >= windowEnd) {
            feed(windowEnd);
            window_.clear();
            if (offset != nextRead_) {
                if (tap_ && tapNext_ < offset) {
                    if (!readThrough(offset)) return nullptr;
                } else if (fseeko(file_, static_cast<off_t>(offset - nextRead_), SEEK_CUR) != 0) {
                    return nullptr;
                } else {
                    nextRead_ = offset;
                }
            }
        } else {
            feed(offset);
            window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(offset - windowStart_));
        }
        windowStart_ = offset;
        while (window_.size() < want) {
            const std::size_t held = window_.size();
            const std::size_t ask = std::max(kReadChunk, static_cast<std::size_t>(want) - held);
            window_.resize(held + ask);
            const std::size_t n = std::fread(window_.data() + held, 1, ask, file_);
            window_.resize(held + n);
            nextRead_ += n;
            if (n == 0) break;  // the end of the file, or a read error
        }
    }
    got = static_cast<std::size_t>(windowStart_ + window_.size() - offset);
    return window_.data() + (offset - windowStart_);
}

void CrlBytes::tap(std::uint64_t offset, CrlSignedPart* sink) {
    tap_ = sink;
    tapNext_ = offset;
    tapLost_ = false;
}

void CrlBytes::feed(std::uint64_t upTo) {
    if (!tap_ || upTo <= tapNext_) return;
    if (memory_) {
        tap_->update(memory_ + tapNext_, static_cast<std::size_t>(upTo - tapNext_));
    } else if (tapNext_ < windowStart_ || upTo > windowStart_ + window_.size()) {
        tapLost_ = true;
    } else {
        tap_->update(window_.data() + (tapNext_ - windowStart_), static_cast<std::size_t>(upTo - tapNext_));
    }
    tapNext_ = upTo;
}

bool CrlBytes::readThrough(std::uint64_t offset) {
    std::vector<unsigned char> chunk(kReadChunk);
    // Every pass reads at least one byte or gives up.
    while (nextRead_ < offset) {
        const std::size_t ask = static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, offset - nextRead_));
        const std::size_t n = std::fread(chunk.data(), 1, ask, file_);
        if (n == 0) return false;
        const std::uint64_t from = nextRead_;
        nextRead_ += n;
        if (nextRead_ <= tapNext_) continue;
        const std::uint64_t skip = tapNext_ > from ? tapNext_ - from : 0;
        if (tapNext_ < from) tapLost_ = true;
        tap_->update(chunk.data() + skip, static_cast<std::size_t>(n - skip));
        tapNext_ = nextRead_;
    }
    return true;
}

bool CrlBytes::untap(std::uint64_t end) {
    if (!tap_) return false;
    if (end > size_) tapLost_ = true;
    // Each pass hands over at least one byte or gives up.
    while (!tapLost_ && tapNext_ < end) {
        std::size_t got = 0;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(end - tapNext_, kReadChunk));
        at(tapNext_, count, got);  // brings the bytes into the window (or finds them in memory)
        if (got == 0) {
            tapLost_ = true;
            break;
        }
        feed(tapNext_ + std::min<std::uint64_t>(got, end - tapNext_));
    }
    tap_ = nullptr;
    return !tapLost_;
}

CrlWalk walkCrlEntries(CrlBytes& bytes, std::uint64_t start, const CrlWalkBounds& bounds,
                       const std::function<bool(const X509_REVOKED&)>& onEntry, X509CrlPtr* frame,
                       std::uint64_t* end) {
    Walk walk(bytes, bounds, onEntry);
    return walk.run(start, frame, end);
}

}  // namespace kvbsign
