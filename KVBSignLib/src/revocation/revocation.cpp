// The revocation verdict of the signer's chain: the system CRL cache first, then the lists
// named by the chain certificates' CRL distribution points, every certificate of the chain
// looked up by serial number against the signing time.

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "KVBSignLibInternal.h"
#include "ossl_ptr.h"
#include "revocation/crl_download_limits.h"
#include "revocation/crl_reading.h"

namespace {

// Every download has bounds of its own, but the document decides how many points there are.
constexpr int kDefaultCheckBoundMs = 120 * 1000;
int gCheckBoundMs = kDefaultCheckBoundMs;

const std::string kHttp = "http://";
const std::string kCrlSuffix = ".crl";

// The CRL distribution points extension as raw bytes (the DER of the sequence); empty when
// the certificate has none. The URLs are found in it by searching, not by decoding.
std::string distributionPointBytes(X509* cert) {
    const int index = X509_get_ext_by_NID(cert, NID_crl_distribution_points, -1);
    if (index < 0) return std::string();
    X509_EXTENSION* extension = X509_get_ext(cert, index);
    if (!extension) return std::string();
    const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(extension);
    if (!data) return std::string();
    return std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                       static_cast<std::size_t>(ASN1_STRING_length(data)));
}

// The map key that the lookup gives a certificate: its serial's content bytes in lowercase
// hexadecimal.
std::string lookupKey(X509* cert) {
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert);
    if (!serial) return std::string();
    std::string key = KVBSignLibInternal::digest_to_hex_string(
        ASN1_STRING_get0_data(serial), static_cast<unsigned long>(ASN1_STRING_length(serial)));
    for (char& c : key) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return key;
}

}  // namespace

void kvbsignSetCrlCheckBoundForTesting(int totalMs) {
    gCheckBoundMs = totalMs > 0 ? totalMs : kDefaultCheckBoundMs;
}

void KVBSignLibInternal::checkIfRevoked(const std::string& sigXml, KCertificateInfo* info, bool* allFetched,
                                        long& signingTime) {
    RevocationMap map;
    info->revoked =
        getCertificateRevocationLists(map) ? checkCertificateChainRevocation(sigXml, map, allFetched, signingTime) : -1;
}

int KVBSignLibInternal::checkCertificateChainRevocation(const std::string& sigXml, RevocationMap& map,
                                                        bool* allFetched, long& signingTime) {
    bool localFlag = true;
    bool* fetched = allFetched ? allFetched : &localFlag;

    // A chain that does not hold together cannot be judged: unknown, not "not revoked" (a
    // revoked signer could otherwise hide by cutting KeyInfo down to the leaf). Nothing is
    // fetched, and the flag stays as it is, so the status does not change.
    std::vector<X509*> noAnchors;
    if (!validateCertificateChain(sigXml, noAnchors)) return -1;

    const std::vector<std::string_view> texts = getX509CertificateViews(sigXml);
    // The lookup reads nothing but the chain's own serials, so a list's other entries (a list
    // may hold millions) are never kept.
    std::set<std::string> chainSerials;
    for (std::string_view text : texts) {
        kvbsign::X509Ptr cert(getX509FromBase64(text));
        if (cert) chainSerials.insert(lookupKey(cert.get()));
    }
    // Every URL is downloaded at most once; a certificate that names it again gets the same
    // outcome, fetched or not.
    std::map<std::string, bool> visited;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(gCheckBoundMs);
    auto fetch = [&](const std::string& url) {
        const std::map<std::string, bool>::const_iterator seen = visited.find(url);
        if (seen != visited.end()) return seen->second;
        // Past the bound of the whole check, a point is not tried: its list counts as not fetched.
        if (std::chrono::steady_clock::now() >= deadline) {
            visited.emplace(url, false);
            return false;
        }
        // Lists only ever add revocations: where two sources name one serial, the earlier
        // date stands. Neither the order of the fetches (which the document decides) nor a list
        // from a certificate whose own signature nobody checks can postpone a revocation.
        RevocationMap fetchedEntries;
        // A download under way ends by the check's bound too.
        const bool ok = kvbsign::downloadCrl(url, fetchedEntries, &chainSerials, deadline);
        for (const RevocationMap::value_type& entry : fetchedEntries) {
            const std::pair<RevocationMap::iterator, bool> placed = map.insert(entry);
            if (!placed.second && entry.second < placed.first->second) placed.first->second = entry.second;
        }
        visited.emplace(url, ok);
        return ok;
    };

    // The flag is only ever cleared here: a certificate whose lists could not be fetched keeps
    // the verdict unknown, whatever the certificates after it manage to fetch.
    for (std::size_t i = texts.size(); i-- > 0;) {
        kvbsign::X509Ptr cert(getX509FromBase64(texts[i]));
        if (!cert) continue;
        const std::string raw = distributionPointBytes(cert.get());
        if (raw.empty()) continue;

        std::size_t matches = 0;
        for (std::size_t at = raw.find(kHttp); at != std::string::npos; at = raw.find(kHttp, at + kHttp.size()))
            ++matches;

        if (matches == 1) {
            // The URL runs to the end of the extension, whatever follows the URI.
            if (!fetch(raw.substr(raw.find(kHttp)))) *fetched = false;
        } else if (matches >= 2) {
            // Several points: one list fetched is enough for this certificate. Each URL ends
            // after its first ".crl"; without one, only the scheme is left of it.
            bool any = false;
            std::size_t rest = 0;
            // Every pass moves `rest` past the "http://" it found.
            for (std::size_t at = raw.find(kHttp, rest); at != std::string::npos; at = raw.find(kHttp, rest)) {
                std::string url;
                const std::size_t suffix = raw.find(kCrlSuffix, at);
                if (suffix != std::string::npos) {
                    url = raw.substr(at, suffix + kCrlSuffix.size() - at);
                    rest = suffix + kCrlSuffix.size();
                } else {
                    url = kHttp;
                    rest = at + kHttp.size();
                }
                if (fetch(url)) any = true;
            }
            if (!any) *fetched = false;
        }
    }

    if (!*fetched) return -1;

    bool revoked = false;
    for (std::size_t i = texts.size(); i-- > 0 && !revoked;) {
        kvbsign::X509Ptr cert(getX509FromBase64(texts[i]));
        if (cert) revoked = hasSerialAfterRevocation(map, cert.get(), signingTime);
    }
    return revoked ? 1 : 0;
}

bool KVBSignLibInternal::hasSerialAfterRevocation(RevocationMap& map, X509* cert, long& signingTime) {
    if (!X509_get0_serialNumber(cert)) return false;
    const RevocationMap::const_iterator entry = map.find(lookupKey(cert));
    if (entry == map.end()) return false;
    // Without a signing time any listing counts; with one, only a revocation strictly before it.
    return signingTime == 0 || signingTime > entry->second;
}
