// kvbsign-crltool: lists the revocation lists held in a CRL cache file as text.
//
//   kvbsign-crltool y k=<cache file> v
//
// The cache file is a concatenation of CRLs, each DER or PEM. The environment variable
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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

struct CrlFree {
    void operator()(X509_CRL* p) const { X509_CRL_free(p); }
};
struct BioFree {
    void operator()(BIO* p) const { BIO_free_all(p); }
};
using CrlPtr = std::unique_ptr<X509_CRL, CrlFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

int usage() {
    std::fprintf(stderr, "usage: kvbsign-crltool y k=<cache file> v\n");
    return 2;
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

// Decodes the CRLs of the cache one after another; stops at the first thing that is not one.
std::vector<CrlPtr> readCache(const std::string& bytes, std::string& problem) {
    std::vector<CrlPtr> lists;
    std::size_t pos = 0;
    // Each pass consumes at least one byte of a decoded list, or ends the loop.
    while (pos < bytes.size()) {
        while (pos < bytes.size() && isSpace(static_cast<unsigned char>(bytes[pos]))) ++pos;
        if (pos >= bytes.size()) break;
        const std::size_t left = bytes.size() - pos;
        if (bytes.compare(pos, 10, "-----BEGIN") == 0) {
            BioPtr bio(BIO_new_mem_buf(bytes.data() + pos, static_cast<int>(std::min<std::size_t>(left, 0x7fffffff))));
            if (!bio) break;
            const std::size_t before = BIO_ctrl_pending(bio.get());
            CrlPtr crl(PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr));
            const std::size_t after = BIO_ctrl_pending(bio.get());
            if (!crl || after >= before) {
                problem = "not a CRL at byte " + std::to_string(pos);
                break;
            }
            pos += before - after;
            lists.push_back(std::move(crl));
        } else {
            const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data() + pos);
            const unsigned char* start = p;
            CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(std::min<std::size_t>(left, 0x7fffffff))));
            if (!crl || p <= start) {
                problem = "not a CRL at byte " + std::to_string(pos);
                break;
            }
            pos += static_cast<std::size_t>(p - start);
            lists.push_back(std::move(crl));
        }
    }
    return lists;
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
    {
        std::ifstream in(cachePath, std::ios::binary);
        if (in) bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::string problem;
    std::vector<CrlPtr> lists = readCache(bytes, problem);

    std::printf("0 certificates found\n");
    for (const CrlPtr& crl : lists) {
        std::printf("Version             : %ld\n", X509_CRL_get_version(crl.get()) + 1);
        std::printf("This update         : %s\n", formatTime(X509_CRL_get0_lastUpdate(crl.get())).c_str());
        std::printf("Next update         : %s\n", formatTime(X509_CRL_get0_nextUpdate(crl.get())).c_str());
        STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
        const int count = revoked ? sk_X509_REVOKED_num(revoked) : 0;
        std::printf("Number of entries   : %d\n", count);
        for (int i = 0; i < count; ++i) {
            const X509_REVOKED* entry = sk_X509_REVOKED_value(revoked, i);
            std::printf("Revoked Cert %d:\n", i + 1);
            std::printf("   Serial number    : %s\n", formatSerial(X509_REVOKED_get0_serialNumber(entry)).c_str());
            std::printf("   Revocation time  : %s\n", formatTime(X509_REVOKED_get0_revocationDate(entry)).c_str());
        }
    }
    std::printf("%zu CRLs found\n", lists.size());
    std::fflush(stdout);
    if (!problem.empty()) {
        std::fprintf(stderr, "kvbsign-crltool: cache file: %s\n", problem.c_str());
        return 1;
    }
    return 0;
}
