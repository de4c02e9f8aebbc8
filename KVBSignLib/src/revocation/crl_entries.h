#ifndef KVBSIGN_CRL_ENTRIES_H
#define KVBSIGN_CRL_ENTRIES_H

// The entries of a DER certificate revocation list, one at a time, in bounded memory.
//
// Decoding a list whole builds every entry at once, a few hundred bytes each, so a list of
// millions costs gigabytes. This walk decodes each entry alone, and everything else of the
// list (its frame: the list with an empty entry sequence) as one small list, both with the
// cryptography library's own decoders, and reads the nesting between them the way that
// library's decoder does. So within its bounds it accepts the lists a whole decode accepts,
// and hands on the entries a whole decode would hold (the DER CRL fuzz target and the unit
// tests hold the two side by side).
//
// Used by the library (downloaded lists) and by the CRL cache listing tool: OpenSSL only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include <openssl/x509.h>

#include "ossl_ptr.h"

namespace kvbsign {

// Receives the signed part of a list (its tbsCertList, header included) byte for byte as the
// walk reads it, so that the list's signature can be checked without holding the list.
class CrlSignedPart {
public:
    virtual ~CrlSignedPart() = default;
    // The signed part's own signature algorithm, as soon as the walk has read it. The bytes in
    // front of it (the part's header and version) may have come already.
    virtual void algorithm(const X509_ALGOR& algorithm) = 0;
    // The next bytes of the signed part, in order, each byte once.
    virtual void update(const unsigned char* data, std::size_t size) = 0;
};

// The bytes of one list or more: a block in memory, or a file read forward in pieces.
class CrlBytes {
public:
    // The block is not copied: it must outlive this.
    CrlBytes(const unsigned char* data, std::size_t size);
    // From the file's current position to its end; the file must stay open and unread
    // by others while this reads it.
    explicit CrlBytes(std::FILE* file);
    CrlBytes(const CrlBytes&) = delete;
    CrlBytes& operator=(const CrlBytes&) = delete;

    std::uint64_t size() const { return size_; }

    // The bytes from `offset` on: at least min(count, size() - offset) of them unless the
    // file cannot be read; `got` tells how many there are. A file is read forward only: an
    // offset before that of an earlier call may be gone.
    const unsigned char* at(std::uint64_t offset, std::size_t count, std::size_t& got);

    // From `offset` on, every byte is handed to `sink` as well, once and in order (a file's
    // bytes as they are read, before they leave the window), up to the end given to untap.
    void tap(std::uint64_t offset, CrlSignedPart* sink);
    // Hands over the bytes before `end` not handed over yet and stops the tap; false when
    // some of them could not be read.
    bool untap(std::uint64_t end);

private:
    void feed(std::uint64_t upTo);                // window bytes up to `upTo` to the tap
    bool readThrough(std::uint64_t offset);       // the file up to `offset`, tapped, not kept

    const unsigned char* memory_ = nullptr;
    std::FILE* file_ = nullptr;
    std::uint64_t size_ = 0;
    std::vector<unsigned char> window_;  // file bytes [windowStart_, windowStart_ + window_.size())
    std::uint64_t windowStart_ = 0;
    std::uint64_t nextRead_ = 0;  // offset of the next byte the file gives
    CrlSignedPart* tap_ = nullptr;
    std::uint64_t tapNext_ = 0;  // the next byte the tap is owed
    bool tapLost_ = false;       // a byte the tap was owed could not be handed over
};

enum class CrlWalk {
    Listed,    // a list: every entry went to the callback, in list order
    NotAList,  // bytes that a whole decode refuses
    TooLarge,  // a part over its bound, the deadline passed or the callback gave up
};

struct CrlWalkBounds {
    std::size_t maxFrameBytes = 1024 * 1024;  // the list without its entries
    std::size_t maxEntryBytes = 64 * 1024;    // one entry
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
    // The list is read as a decode from a file reads it: the header of the list from its
    // first 8 bytes, and then exactly the content that header announces (a decode from
    // memory takes the header from all the bytes there are).
    bool asFromFile = false;
    // When given, sees the list's signed part as the walk reads it.
    CrlSignedPart* signedPart = nullptr;
};

// Walks the list that starts at `start`. The callback sees each entry before the list is
// known to be whole (a fault may still follow its last entry), so whatever it collects must
// stay apart until the result is Listed; returning false ends the walk as TooLarge. On
// Listed, `frame` (when given) receives the list without its entries, and `end` (when given)
// the offset just after the list.
CrlWalk walkCrlEntries(CrlBytes& bytes, std::uint64_t start, const CrlWalkBounds& bounds,
                       const std::function<bool(const X509_REVOKED&)>& onEntry, X509CrlPtr* frame = nullptr,
                       std::uint64_t* end = nullptr);

}  // namespace kvbsign

#endif
