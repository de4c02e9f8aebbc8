#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "KVBSignLibInternal.h"
#include "certificates/chain.h"
#include "certificates/signer.h"
#include "ossl_ptr.h"
#include "root_store/root_store.h"
#include "system/file_copy.h"
#include "system/temp_dir.h"

const char* KVBSignLibInternal::SYSTEM_ROOT_CERTIFICATES_KEYCHAIN =
    "/System/Library/Keychains/SystemRootCertificates.keychain";

namespace {

using kvbsign::issuerOf;
using kvbsign::subjectOf;

bool isSelfIssued(const X509* cert) { return subjectOf(cert) == issuerOf(cert); }

// Only a certificate authority may vouch for another link: basic constraints with cA set. A
// self-issued certificate without any extension (the X.509 v1 form of a root) predates basic
// constraints and is accepted as an issuer too.
bool mayActAsIssuer(X509* cert) {
    const uint32_t flags = X509_get_extension_flags(cert);
    if ((flags & EXFLAG_BCONS) != 0) return (flags & EXFLAG_CA) != 0;
    return X509_get_ext_count(cert) == 0 && isSelfIssued(cert);
}

// The key's algorithm identifier with its parameters. The key bits alone do not make a key: an
// elliptic-curve point under explicit curve parameters of one's own choosing (a generator equal
// to the point, say) is a key whose private half is known.
const X509_ALGOR* keyAlgorithm(X509* cert) {
    X509_ALGOR* algorithm = nullptr;
    const X509_PUBKEY* key = X509_get_X509_PUBKEY(cert);
    if (key == nullptr || X509_PUBKEY_get0_param(nullptr, nullptr, nullptr, &algorithm, key) != 1) return nullptr;
    return algorithm;
}

// Two certificates are the same one when their one-line subjects are equal and they carry the
// same key: the same key bits under the same algorithm and parameters.
bool sameSubjectAndKey(X509* a, const std::string& subjectA, X509* b, const std::string& subjectB) {
    if (a == nullptr || b == nullptr || subjectA != subjectB) return false;
    const ASN1_BIT_STRING* keyA = X509_get0_pubkey_bitstr(a);
    const ASN1_BIT_STRING* keyB = X509_get0_pubkey_bitstr(b);
    const X509_ALGOR* algorithmA = keyAlgorithm(a);
    const X509_ALGOR* algorithmB = keyAlgorithm(b);
    return keyA != nullptr && keyB != nullptr && algorithmA != nullptr && algorithmB != nullptr &&
           ASN1_STRING_cmp(keyA, keyB) == 0 && X509_ALGOR_cmp(algorithmA, algorithmB) == 0;
}

// What the chain check finds in a list of certificates (which it neither owns nor frees).
struct Linked {
    static constexpr size_t kNone = static_cast<size_t>(-1);
    bool holds = false;         // every certificate linked into one chain, every link verified
    std::vector<size_t> order;  // list indexes, leaf first, root last (filled when it holds)
    size_t anchorAt = kNone;    // position in `order` of the highest certificate equal to an anchor
    size_t anchorIndex = kNone; // the first anchor it equals
};

Linked linkChain(const std::vector<X509*>& certs, std::vector<X509*>& anchors) {
    Linked linked;
    for (const X509* cert : certs) {
        if (cert == nullptr) return linked;  // a certificate text that did not decode
    }

    // One-line names are made once per certificate: linking compares them many times, and a
    // document may carry thousands of certificates.
    std::vector<std::string> subjects;
    std::vector<std::string> issuers;
    subjects.reserve(certs.size());
    issuers.reserve(certs.size());
    for (const X509* cert : certs) {
        subjects.push_back(subjectOf(cert));
        issuers.push_back(issuerOf(cert));
    }

    size_t rootIndex = certs.size();
    for (size_t i = 0; i < certs.size(); ++i) {
        if (subjects[i] == issuers[i]) {
            rootIndex = i;
            break;
        }
    }
    if (rootIndex == certs.size()) {
        KVBSignLibInternal::debugError("Root certificate not found while attempting to validate the certificate chain");
        return linked;
    }

    // Build the chain root first. The search never returns a certificate that is already in
    // the chain: a self-issued root names itself as issuer, and linking it again would let a
    // chain of one root repeated pass for a chain of all the certificates. The candidates of
    // each issuer name stand in list order, so the earliest wins a tie; `next` passes over
    // those already linked (a certificate never leaves the chain).
    struct Candidates {
        std::vector<size_t> indexes;
        size_t next = 0;
    };
    std::unordered_map<std::string, Candidates> byIssuer;
    for (size_t i = 0; i < certs.size(); ++i) byIssuer[issuers[i]].indexes.push_back(i);

    std::vector<bool> inChain(certs.size(), false);
    std::vector<size_t> chain{rootIndex};
    inChain[rootIndex] = true;
    while (chain.size() < certs.size()) {
        // A link that cannot be found now cannot be found by any later pass either.
        const auto found = byIssuer.find(subjects[chain.back()]);
        if (found == byIssuer.end()) break;
        Candidates& candidates = found->second;
        while (candidates.next < candidates.indexes.size() && inChain[candidates.indexes[candidates.next]])
            ++candidates.next;
        if (candidates.next == candidates.indexes.size()) break;
        const size_t child = candidates.indexes[candidates.next++];
        chain.push_back(child);
        inChain[child] = true;
    }
    if (chain.size() != certs.size()) {
        KVBSignLibInternal::debugError("Could not build valid certificate chain");
        return linked;
    }

    std::vector<std::string> anchorSubjects;
    anchorSubjects.reserve(anchors.size());
    for (X509* anchor : anchors) anchorSubjects.push_back(anchor != nullptr ? subjectOf(anchor) : std::string());
    auto anchorFor = [&](size_t index) {
        for (size_t a = 0; a < anchors.size(); ++a) {
            if (sameSubjectAndKey(anchors[a], anchorSubjects[a], certs[index], subjects[index])) return a;
        }
        return Linked::kNone;
    };

    // Leaf first, root last; checked from the root down.
    std::vector<size_t> ordered(chain.rbegin(), chain.rend());
    for (size_t i = ordered.size(); i-- > 0;) {
        if (linked.anchorAt == Linked::kNone) {
            linked.anchorIndex = anchorFor(ordered[i]);
            if (linked.anchorIndex != Linked::kNone) linked.anchorAt = i;
        }
        if (i == 0) break;
        X509* issuer = certs[ordered[i]];
        if (!mayActAsIssuer(issuer)) {
            KVBSignLibInternal::debugError("validateCertificateChain: issuer is not a certificate authority");
            return linked;
        }
        EVP_PKEY* key = X509_get0_pubkey(issuer);
        if (key == nullptr) {
            KVBSignLibInternal::debugError("validateCertificateChain: failed to get public key");
            return linked;
        }
        if (X509_verify(certs[ordered[i - 1]], key) < 1) {
            KVBSignLibInternal::debugError("validateCertificateChain: verification of certificate chain failed");
            return linked;
        }
    }
    linked.holds = true;
    linked.order = std::move(ordered);
    return linked;
}

}  // namespace

bool KVBSignLibInternal::validateCertificateChainX509(std::vector<X509*> certs, std::vector<X509*>& anchors) {
    // The list is ours from here on: every certificate is freed once, whatever the outcome.
    const kvbsign::X509List owned(std::move(certs));
    const Linked linked = linkChain(owned.certs(), anchors);
    return linked.holds && (anchors.empty() || linked.anchorAt != Linked::kNone);
}

bool kvbsign::buildDocumentChain(const std::string& sigXml, std::vector<X509*>& anchors, BuiltChain& chain) {
    const std::vector<std::string_view> texts = KVBSignLibInternal::getX509CertificateViews(sigXml);
    // A chain is a handful of certificates, and KeyInfo lies outside what the signature covers:
    // anyone passing a package on could add thousands, whose decoding alone takes seconds in
    // every check that builds the chain. So many hold no chain.
    if (texts.size() > kMaxDocumentChainCertificates) {
        KVBSignLibInternal::debugError("validateCertificateChain: too many certificates in KeyInfo");
        return false;
    }
    std::vector<X509Ptr> decoded;
    decoded.reserve(texts.size());
    for (std::string_view text : texts) decoded.emplace_back(KVBSignLibInternal::getX509FromBase64(text));
    std::vector<X509*> list;
    list.reserve(decoded.size());
    for (const X509Ptr& cert : decoded) list.push_back(cert.get());

    const X509Ptr signer = signerCertificate(sigXml);
    if (!signer) return false;
    if (!signerIsEndEntity(signer.get(), list)) {
        KVBSignLibInternal::debugError("validateCertificateChain: the signer issues another certificate of the chain");
        return false;
    }
    const Linked linked = linkChain(list, anchors);
    if (!linked.holds) return false;

    chain = BuiltChain();
    chain.certs.reserve(linked.order.size());
    for (size_t index : linked.order) chain.certs.push_back(std::move(decoded[index]));
    if (linked.anchorAt != Linked::kNone) {
        chain.anchorAt = linked.anchorAt;
        chain.anchor = anchors[linked.anchorIndex];
    }
    return true;
}

bool KVBSignLibInternal::validateCertificateChain(const std::string& sigXml, std::vector<X509*>& anchors) {
    kvbsign::BuiltChain chain;
    return kvbsign::buildDocumentChain(sigXml, anchors, chain) && (anchors.empty() || chain.anchor != nullptr);
}

bool KVBSignLibInternal::hasCertificate(std::vector<X509*>& list, X509* cert) {
    if (cert == nullptr) return false;
    const std::string subject = subjectOf(cert);
    for (X509* entry : list) {
        if (entry != nullptr && sameSubjectAndKey(entry, subjectOf(entry), cert, subject)) return true;
    }
    return false;
}

bool KVBSignLibInternal::getSystemRootCertificates(std::vector<X509*>& roots) {
    std::vector<kvbsign::X509Ptr> found;
    // Items that do not decode are skipped, not errors: their traces leave the error queue.
    ERR_set_mark();
    const kvbsign::root_store::Status status = kvbsign::root_store::readSystemRoots([&found](const std::string& der) {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
        kvbsign::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
        if (cert) found.push_back(std::move(cert));  // an item that does not parse is dropped
    });
    ERR_pop_to_mark();
    if (status == kvbsign::root_store::Status::cannotOpen) {
        debugError("Could not open system keychain");
        return false;
    }
    if (status == kvbsign::root_store::Status::cannotEnumerate) {
        debugError("Could not find system certificates");
        return false;
    }
    roots.reserve(roots.size() + found.size());
    for (kvbsign::X509Ptr& cert : found) roots.push_back(cert.release());
    return true;
}

X509* KVBSignLibInternal::loadDERCertificate(const char* path) {
    if (path == nullptr) return nullptr;
    const std::string source = argumentPathToCanonical(path);

    // Only a regular file is read: a device or a pipe could block or never end.
    boost::system::error_code ec;
    if (!boost::filesystem::is_regular_file(source, ec)) return nullptr;

    const kvbsign::TempDirGuard dir(tmpDir());
    if (dir.path().empty()) return nullptr;
    const std::string copy = dir.path() + "/cert.p12";
    kvbsign::copyRegularFile(source, copy, ec);
    if (ec) return nullptr;

    kvbsign::BioPtr bio(BIO_new(BIO_s_file()));
    if (!bio) {
        debugError("Error creating file pointer");
        return nullptr;
    }
    if (BIO_read_filename(bio.get(), copy.c_str()) <= 0) {
        debugError("Error opening DER file");
        return nullptr;
    }
    return d2i_X509_bio(bio.get(), nullptr);
}

bool KVBSignLibInternal::loadUserDERCertificates(std::vector<std::string>& paths, int count,
                                                 std::vector<X509*>& certs) {
    if (paths.empty()) return true;
    for (int i = 0; i < count && static_cast<size_t>(i) < paths.size(); ++i) {
        kvbsign::X509Ptr cert(loadDERCertificate(paths[i].c_str()));
        if (!cert) {
            debugError("Invalid user certificates passed in");
            // Nothing loaded stays: the list is emptied and what it held freed.
            const kvbsign::X509List loaded(std::move(certs));
            certs.clear();
            return false;
        }
        certs.push_back(cert.get());
        cert.release();
    }
    return true;
}
