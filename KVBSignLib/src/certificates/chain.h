#ifndef KVBSIGN_CHAIN_H
#define KVBSIGN_CHAIN_H

// The document's certificate chain as the chain check builds it, for the steps that must know
// more than whether it holds: which certificate issued which, and which one is a trust anchor.

#include <cstddef>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "ossl_ptr.h"

namespace kvbsign {

struct BuiltChain {
    static constexpr std::size_t kNoAnchor = static_cast<std::size_t>(-1);

    // Signer first, each certificate followed by its issuer; the last one is self-issued.
    std::vector<X509Ptr> certs;
    // The position in `certs` of the certificate that matched an anchor (the highest one that
    // does), kNoAnchor when none did.
    std::size_t anchorAt = kNoAnchor;
    // The first anchor of the caller's list that it matched; the caller's list owns it.
    X509* anchor = nullptr;
};

// The most certificates a document's KeyInfo may hold for its chain to be built at all.
constexpr std::size_t kMaxDocumentChainCertificates = 64;

// Builds and checks the chain of the document's KeyInfo with the rules of
// KVBSignLibInternal::validateCertificateChain and hands it over in `chain`. True when the chain
// holds together (every certificate linked, every link verified, the signer its end entity,
// at most kMaxDocumentChainCertificates in all), whether or not one of its certificates matched
// an anchor; `chain` is then filled.
bool buildDocumentChain(const std::string& sigXml, std::vector<X509*>& anchors, BuiltChain& chain);

}  // namespace kvbsign

#endif
