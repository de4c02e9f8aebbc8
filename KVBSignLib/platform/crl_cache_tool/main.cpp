// kvbsign-crltool: lists the revocation lists held in a CRL cache file as text.
//
//   kvbsign-crltool y k=<cache file> v
//
// The cache file holds CRLs, all DER or all PEM (see readCache). The environment variable
// KVBSIGN_CRL_CACHE, when set, names the cache file instead of the k= argument. A missing
// cache file is an empty cache. The listing:
//
//   0 certificates found
//   Version             : 2
//   This update         : 10:00:00 Jan 05, 2014
//   Next update         : 10:00:00 Feb 05, 2014
//   Number of entries   : 1
//   Revoked Cert 1:
//      Serial number    : 0a:1b
//      Revocation time  : 10:15:00 Jan 05, 2014
//   1 CRLs found
//
// Times are local standard time (no daylight saving), so that reading them back as local
// time with daylight saving off gives the exact instant. Serials are the bytes of the
// INTEGER's magnitude in lowercase hexadecimal. No text of a list (issuer names, extensions)
// is printed, so a list cannot forge lines of the listing.
//
// The cache is listed whole or not at all (cache_listing.h): a cache file that cannot be
// opened, that is not a regular file (it is opened without blocking and looked at before
// anything is read, so a pipe cannot hold the tool), that holds anything but lists of one
// form, or that is over the bounds (32 MB, or more than 250,000 entries together) is
// refused with the exit status 3 and an empty listing, so that the library can tell a cache
// it cannot read from an empty one. Lists are walked entry by entry, never decoded whole.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "cache_listing.h"
#include "ossl_ptr.h"
#include "revocation/crl_entries.h"
#include "system/unique_fd.h"

namespace {

using kvbsign::BioPtr;
using kvbsign::CrlBytes;
using kvbsign::CrlWalk;
using kvbsign::X509CrlPtr;

using kvbsign::crl_listing::kMaxCacheBytes;
using kvbsign::crl_listing::kMaxEntries;

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int usage() {
    std::fprintf(stderr, "usage: kvbsign-crltool y k=<cache file> v\n");
    return kvbsign::crl_listing::kUsage;
}

bool isSpace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// "HH:MM:SS Mon DD, YYYY" in local standard time; "-" when the time cannot be read.
std::string formatTime(const ASN1_TIME* t) {
    struct tm utc;
    std::memset(&utc, 0, sizeof utc);
    if (!t || ASN1_TIME_to_tm(t, &utc) != 1) return "-";
    const time_t instant = timegm(&utc);
    const time_t standard = instant - timezone;  // timezone: seconds west of UTC, after tzset()
    struct tm local;
    if (!gmtime_r(&standard, &local) || local.tm_mon < 0 || local.tm_mon > 11) return "-";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d %s %02d, %04d", local.tm_hour, local.tm_min, local.tm_sec,
                  kMonths[local.tm_mon], local.tm_mday, local.tm_year + 1900);
    return buf;
}

std::string formatSerial(const ASN1_INTEGER* serial) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    if (!serial) return out;
    const unsigned char* bytes = ASN1_STRING_get0_data(serial);
    const int length = ASN1_STRING_length(serial);
    for (int i = 0; i < length; ++i) {
        if (i > 0) out += ':';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 0x0f];
    }
    return out;
}

struct Listing {
    std::string text;  // the lines of the lists read so far
    std::size_t lists = 0;
    std::size_t entries = 0;
};

// Lists the one list at `start` of `bytes`, walked entry by entry; `end` gets the offset
// after it. Its lines join the listing only once the whole list has been read.
CrlWalk listOne(CrlBytes& bytes, std::uint64_t start, std::uint64_t& end, Listing& listing) {
    std::string entryLines;
    std::size_t count = 0;
    const std::function<bool(const X509_REVOKED&)> onEntry = [&](const X509_REVOKED& entry) {
        if (listing.entries + count >= kMaxEntries) return false;
        ++count;
        entryLines += "Revoked Cert " + std::to_string(count) + ":\n";
        entryLines += "   Serial number    : " + formatSerial(X509_REVOKED_get0_serialNumber(&entry)) + "\n";
        entryLines += "   Revocation time  : " + formatTime(X509_REVOKED_get0_revocationDate(&entry)) + "\n";
        return true;
    };
    X509CrlPtr crl;
    const CrlWalk result = kvbsign::walkCrlEntries(bytes, start, kvbsign::CrlWalkBounds(), onEntry, &crl, &end);
    if (result != CrlWalk::Listed) return result;
    char line[128];
    std::snprintf(line, sizeof line, "Version             : %ld\n", X509_CRL_get_version(crl.get()) + 1);
    listing.text += line;
    listing.text += "This update         : " + formatTime(X509_CRL_get0_lastUpdate(crl.get())) + "\n";
    listing.text += "Next update         : " + formatTime(X509_CRL_get0_nextUpdate(crl.get())) + "\n";
    listing.text += "Number of entries   : " + std::to_string(count) + "\n";
    listing.text += entryLines;
    listing.entries += count;
    ++listing.lists;
    return CrlWalk::Listed;
}

const std::string kTooLarge = "larger than " + std::to_string(kMaxCacheBytes) + " bytes or " +
                             std::to_string(kMaxEntries) + " entries";

const char kPemBegin[] = "-----BEGIN X509 CRL-----";
const char kPemEnd[] = "-----END X509 CRL-----";

// The length of the line end at `pos` ("\n" or "\r\n"), 0 when there is none.
std::size_t lineEndAt(const std::string& bytes, std::size_t pos) {
    if (pos < bytes.size() && bytes[pos] == '\n') return 1;
    if (bytes.size() - pos >= 2 && bytes.compare(pos, 2, "\r\n") == 0) return 2;
    return 0;
}

bool isBase64(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' ||
           c == '=';
}

// The end of the PEM block that starts at `pos`: a line that is exactly the BEGIN line of a
// list, lines of base64 only, and a line that is exactly the END line. 0 when there is no
// such block there. Nothing else may stand in a block, so that no reader finds headers or a
// second block in it.
std::size_t pemBlockEnd(const std::string& bytes, std::size_t pos) {
    const std::size_t beginLength = sizeof kPemBegin - 1;
    if (bytes.compare(pos, beginLength, kPemBegin) != 0) return 0;
    std::size_t at = pos + beginLength;
    std::size_t lineEnd = lineEndAt(bytes, at);
    if (lineEnd == 0) return 0;
    at += lineEnd;
    // Each pass consumes one whole line of base64.
    while (bytes.compare(at, sizeof kPemEnd - 1, kPemEnd) != 0) {
        const std::size_t lineStart = at;
        while (at < bytes.size() && isBase64(static_cast<unsigned char>(bytes[at]))) ++at;
        lineEnd = lineEndAt(bytes, at);
        if (at == lineStart || lineEnd == 0) return 0;
        at += lineEnd;
    }
    at += sizeof kPemEnd - 1;
    if (at == bytes.size()) return at;
    lineEnd = lineEndAt(bytes, at);
    return lineEnd == 0 ? 0 : at + lineEnd;
}

// Lists the one PEM block of [start, end) of `bytes`, which pemBlockEnd found.
CrlWalk listPemBlock(const std::string& bytes, std::size_t start, std::size_t end, Listing& listing) {
    const unsigned char* data = reinterpret_cast<const unsigned char*>(bytes.data());
    BioPtr bio(BIO_new_mem_buf(data + start, static_cast<int>(end - start)));
    if (!bio) return CrlWalk::NotAList;
    unsigned char* der = nullptr;
    long derLength = 0;
    if (PEM_bytes_read_bio(&der, &derLength, nullptr, PEM_STRING_X509_CRL, bio.get(), nullptr, nullptr) != 1)
        return CrlWalk::NotAList;
    const kvbsign::OpenSslMemoryPtr<unsigned char> owned(der);
    // The block holds exactly one list, and the reader took the whole block.
    if (derLength <= 0 || BIO_ctrl_pending(bio.get()) != 0) return CrlWalk::NotAList;
    CrlBytes block(der, static_cast<std::size_t>(derLength));
    std::uint64_t listEnd = 0;
    const CrlWalk result = listOne(block, 0, listEnd, listing);
    if (result == CrlWalk::Listed && listEnd != static_cast<std::uint64_t>(derLength)) return CrlWalk::NotAList;
    return result;
}

// Lists the CRLs of the cache one after another. False, with the reason in `problem`, when
// the cache holds anything that is not a list or more than the listing takes.
//
// A cache is in one of two forms, so that every reader of the file takes the same lists:
// DER lists back to back from the first byte to the last, or PEM blocks labelled "X509 CRL",
// each beginning a line, with nothing but white space around them. Readers of PEM skip
// whatever is not a block: bytes between blocks, a block of another label or a DER list
// could hide a list from one reader that another one takes. So a DER cache may hold no
// PEM marker anywhere, and a PEM cache nothing but its blocks.
bool readCache(const std::string& bytes, Listing& listing, std::string& problem) {
    auto refuse = [&](CrlWalk result, std::size_t at) {
        problem = result == CrlWalk::TooLarge ? kTooLarge : "not a CRL at byte " + std::to_string(at);
        return false;
    };
    std::size_t pos = 0;
    while (pos < bytes.size() && isSpace(static_cast<unsigned char>(bytes[pos]))) ++pos;
    if (pos == bytes.size()) return true;  // no list at all, to every reader
    if (bytes[pos] == '-') {
        // Each pass lists one block and the white space after it.
        while (pos < bytes.size()) {
            const std::size_t end = pos == 0 || bytes[pos - 1] == '\n' ? pemBlockEnd(bytes, pos) : 0;
            if (end == 0) return refuse(CrlWalk::NotAList, pos);
            const CrlWalk result = listPemBlock(bytes, pos, end, listing);
            if (result != CrlWalk::Listed) return refuse(result, pos);
            pos = end;
            while (pos < bytes.size() && isSpace(static_cast<unsigned char>(bytes[pos]))) ++pos;
        }
        return true;
    }
    if (pos != 0) return refuse(CrlWalk::NotAList, 0);
    const std::size_t marker = bytes.find("-----BEGIN");
    if (marker != std::string::npos) {
        problem = "a PEM marker among DER lists at byte " + std::to_string(marker);
        return false;
    }
    CrlBytes cache(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    // Each pass lists one list of at least one byte.
    while (pos < bytes.size()) {
        std::uint64_t end = pos;
        CrlWalk result = listOne(cache, pos, end, listing);
        if (result == CrlWalk::Listed && end <= pos) result = CrlWalk::NotAList;
        if (result != CrlWalk::Listed) return refuse(result, pos);
        pos = static_cast<std::size_t>(end);
    }
    return true;
}

// The cache file's bytes. True with no bytes when there is no cache file at all; false, with
// the reason in `problem`, for a file that cannot be read whole within the bound.
bool readBounded(const std::string& path, std::string& bytes, std::string& problem) {
    bytes.clear();
    // A path that names no regular file is refused before it is opened, and what was opened
    // is looked at again before anything is read: a pipe or a device swapped in between must
    // not hold the tool or feed it.
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT) return true;
        problem = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        problem = "not a regular file";
        return false;
    }
    const kvbsign::UniqueFd owned(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    const int fd = owned.get();
    if (fd < 0) {
        problem = std::string("cannot be opened: ") + std::strerror(errno);
        return false;
    }
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = "not a regular file";
        return false;
    }
    if (info.st_size > static_cast<off_t>(kMaxCacheBytes)) {
        problem = kTooLarge;
        return false;
    }
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[64 * 1024];
    // A file that grows while it is read is still read no further than the bound.
    while (bytes.size() <= kMaxCacheBytes) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            problem = std::string("read error: ") + std::strerror(errno);
            return false;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
    if (bytes.size() > kMaxCacheBytes) {
        problem = kTooLarge;
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 || std::strcmp(argv[1], "y") != 0 || std::strncmp(argv[2], "k=", 2) != 0 ||
        std::strcmp(argv[3], "v") != 0) {
        return usage();
    }
    std::string cachePath = argv[2] + 2;
    if (const char* fromEnv = std::getenv("KVBSIGN_CRL_CACHE")) cachePath = fromEnv;
    tzset();

    std::string bytes;
    Listing listing;
    std::string problem;
    if (!readBounded(cachePath, bytes, problem) || !readCache(bytes, listing, problem)) {
        std::printf("0 certificates found\n0 CRLs found\n");
        std::fflush(stdout);
        std::fprintf(stderr, "kvbsign-crltool: cache file: %s\n", problem.c_str());
        return kvbsign::crl_listing::kRefused;
    }

    std::printf("0 certificates found\n");
    std::fwrite(listing.text.data(), 1, listing.text.size(), stdout);
    std::printf("%zu CRLs found\n", listing.lists);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kvbsign::crl_listing::kListed
                                                             : kvbsign::crl_listing::kRefused;
}
