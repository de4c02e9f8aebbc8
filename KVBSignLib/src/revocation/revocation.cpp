// The revocation verdict of the signer's chain: the system CRL cache first, then the lists
// named by the chain certificates' CRL distribution points, every certificate of the chain
// looked up by serial number against the signing time.
//
// Only what the chain check vouches for is looked up: the chain as it was built, signer first,
// each certificate followed by its issuer, up to the certificate that matched a trust anchor,
// whose place the anchor's own certificate takes (the document's copy of it and the copies
// above it were never checked: their serials and points are anyone's). A list counts for a
// certificate only when it may speak for it (revocation/crl_check.h), so each certificate is
// fetched for with its issuer; a self-signed top is its own issuer, and a top that is not has
// none that any list could be checked against.

#include <chrono>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "KVBSignLibInternal.h"
#include "certificates/chain.h"
#include "ossl_ptr.h"
#include "revocation/crl_download_limits.h"
#include "revocation/crl_reading.h"

namespace {

// Every download has bounds of its own, but the document decides how many points there are.
constexpr int kDefaultCheckBoundMs = 120 * 1000;
int gCheckBoundMs = kDefaultCheckBoundMs;

const std::string kHttp = "http://";
const std::string kCrlSuffix = ".crl";

// The CRL distribution points extension as raw bytes (the DER of the sequence); false when the
// certificate has none. The URLs are found in it by searching, not by decoding.
bool distributionPointBytes(X509* cert, std::string& raw) {
    raw.clear();
    const int index = X509_get_ext_by_NID(cert, NID_crl_distribution_points, -1);
    if (index < 0) return false;
    X509_EXTENSION* extension = X509_get_ext(cert, index);
    const ASN1_OCTET_STRING* data = extension ? X509_EXTENSION_get_data(extension) : nullptr;
    if (data) {
        raw.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                   static_cast<std::size_t>(ASN1_STRING_length(data)));
    }
    return true;
}

bool selfSigned(X509* cert) {
    EVP_PKEY* key = X509_get0_pubkey(cert);
    return X509_NAME_cmp(X509_get_subject_name(cert), X509_get_issuer_name(cert)) == 0 && key != nullptr &&
           X509_verify(cert, key) == 1;
}

// One certificate of the lookup and the issuer its lists must come from (null: none known).
struct Link {
    X509* cert;
    X509* issuer;
};

// The certificates the chain check vouches for, signer first, each with its issuer.
std::vector<Link> lookupOrder(const kvbsign::BuiltChain& chain) {
    const std::size_t top = chain.anchor ? chain.anchorAt : chain.certs.size() - 1;
    auto at = [&](std::size_t i) { return i == chain.anchorAt && chain.anchor ? chain.anchor : chain.certs[i].get(); };
    std::vector<Link> links;
    for (std::size_t i = 0; i <= top; ++i) links.push_back({at(i), i < top ? at(i + 1) : nullptr});
    if (selfSigned(links.back().cert)) links.back().issuer = links.back().cert;
    return links;
}

// Which list a fetch is for: the URL, the issuer (one of the chain's certificates or the
// anchor, each one object for the whole check), and whether the certificate is a CA. A list
// accepted for one issuer says nothing about a certificate of another, nor one accepted for a
// CA about an end entity (a list may cover one kind only).
using FetchKey = std::tuple<std::string, const X509*, bool>;

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

    // The root store tells which certificate of the chain is a trust anchor. One that cannot be
    // read names none: the whole chain is then looked up, as for an untrusted one.
    kvbsign::X509List roots;
    if (!getSystemRootCertificates(roots.certs())) roots.clear();

    // A chain that does not hold together cannot be judged: unknown, not "not revoked" (a
    // revoked signer could otherwise hide by cutting KeyInfo down to the leaf). Nothing is
    // fetched, and the flag stays as it is, so the status does not change.
    kvbsign::BuiltChain chain;
    if (!kvbsign::buildDocumentChain(sigXml, roots.certs(), chain)) return -1;
    const std::vector<Link> links = lookupOrder(chain);

    // The lookup reads nothing but the chain's own serials, so a list's other entries (a list
    // may hold millions) are never kept.
    std::set<std::string> chainSerials;
    for (const Link& link : links) chainSerials.insert(lookupKey(link.cert));
    // Every list is downloaded at most once for an issuer; a certificate that names it again
    // gets the same outcome, fetched or not.
    std::map<FetchKey, bool> visited;
    const std::chrono::steady_clock::time_point deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(gCheckBoundMs);
    auto fetch = [&](const std::string& url, const Link& link) {
        const FetchKey key(url, link.issuer, X509_check_ca(link.cert) != 0);
        const std::map<FetchKey, bool>::const_iterator seen = visited.find(key);
        if (seen != visited.end()) return seen->second;
        // Past the bound of the whole check, a point is not tried: its list counts as not fetched.
        if (std::chrono::steady_clock::now() >= deadline) {
            visited.emplace(key, false);
            return false;
        }
        // Lists only ever add revocations: where two sources name one serial, the earlier
        // date stands, whatever the order of the fetches (which the document decides).
        RevocationMap fetchedEntries;
        const kvbsign::CrlSubject subject{link.cert, link.issuer};
        // A download under way ends by the check's bound too.
        const bool ok = kvbsign::downloadCrl(url, &subject, fetchedEntries, &chainSerials, deadline);
        for (const RevocationMap::value_type& entry : fetchedEntries) {
            const std::pair<RevocationMap::iterator, bool> placed = map.insert(entry);
            if (!placed.second && entry.second < placed.first->second) placed.first->second = entry.second;
        }
        visited.emplace(key, ok);
        return ok;
    };

    // From the top down. The flag is only ever cleared here: a certificate whose lists could
    // not be fetched keeps the verdict unknown, whatever the certificates after it manage to
    // fetch.
    std::string raw;
    for (std::size_t i = links.size(); i-- > 0;) {
        const Link& link = links[i];
        if (!distributionPointBytes(link.cert, raw)) continue;

        std::size_t matches = 0;
        for (std::size_t at = raw.find(kHttp); at != std::string::npos; at = raw.find(kHttp, at + kHttp.size()))
            ++matches;
        // Points the tool cannot fetch (https, ldap), or lists no issuer could be checked
        // for: the certificate's revocation cannot be known.
        if (matches == 0 || !link.issuer) {
            *fetched = false;
        } else if (matches == 1) {
            // The URL runs to the end of the extension, whatever follows the URI.
            if (!fetch(raw.substr(raw.find(kHttp)), link)) *fetched = false;
        } else {
            // Several points: one list fetched is enough for this certificate. Each URL ends
            // after its first ".crl"; without one, only the scheme is left of it.
            bool any = false;
            std::size_t rest = 0;
            // The first ".crl" at or after `at`. It is sought again only once `at` has passed
            // it, so the extension is searched once however many "http://" it holds; none
            // found means none after any later `at` either.
            std::size_t suffix = raw.find(kCrlSuffix);
            // Every pass moves `rest` past the "http://" it found. URLs already tried are
            // answered without a download, so the bound of the check is tested on each pass.
            for (std::size_t at = raw.find(kHttp, rest); at != std::string::npos; at = raw.find(kHttp, rest)) {
                if (std::chrono::steady_clock::now() >= deadline) break;
                if (suffix != std::string::npos && suffix < at) suffix = raw.find(kCrlSuffix, at);
                std::string url;
                if (suffix != std::string::npos) {
                    url = raw.substr(at, suffix + kCrlSuffix.size() - at);
                    rest = suffix + kCrlSuffix.size();
                } else {
                    url = kHttp;
                    rest = at + kHttp.size();
                }
                if (fetch(url, link)) any = true;
            }
            if (!any) *fetched = false;
        }
    }

    if (!*fetched) return -1;

    bool revoked = false;
    for (std::size_t i = links.size(); i-- > 0 && !revoked;)
        revoked = hasSerialAfterRevocation(map, links[i].cert, signingTime);
    return revoked ? 1 : 0;
}

bool KVBSignLibInternal::hasSerialAfterRevocation(RevocationMap& map, X509* cert, long& signingTime) {
    if (!X509_get0_serialNumber(cert)) return false;
    const RevocationMap::const_iterator entry = map.find(lookupKey(cert));
    if (entry == map.end()) return false;
    // Without a signing time any listing counts. With one, a listing counts unless the
    // revocation is later than the signing time by more than the times can be off: the
    // signing time and the revocation times of lists keep only the hour, and a "Z" time read
    // while daylight saving is in effect comes out an hour early, while the cache listing's
    // times are exact. So a signer revoked at 10:05 whose signature is stamped 10:55 (read as
    // 10:00) is revoked.
    constexpr long kLost = 2 * 3600;  // one hour of truncation, one of the daylight-saving shift
    if (signingTime == 0) return true;
    if (signingTime > std::numeric_limits<long>::max() - kLost) return true;
    return entry->second < signingTime + kLost;
}
