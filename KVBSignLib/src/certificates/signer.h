#ifndef KVBSIGN_CERTIFICATES_SIGNER_H
#define KVBSIGN_CERTIFICATES_SIGNER_H

// The document's signer, and certificate names as the chain and timestamp checks compare them.

#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509.h>

#include "ossl_ptr.h"

namespace kvbsign {

// A name's one-line form as the cryptography library writes it into a buffer of 4096 bytes;
// empty when it cannot be written. Certificates are linked, and signers told apart, by these
// texts.
std::string oneLine(const X509_NAME* name);
std::string subjectOf(const X509* cert);
std::string issuerOf(const X509* cert);

// The signer: the first certificate element inside KeyInfo, decoded. Its key checks the
// signature, and the record, the chain, revocation and the timestamp's validity test all
// speak of it; a certificate element placed elsewhere in the document (outside what the
// signature covers) never stands in for it. Null when KeyInfo holds no certificate element or
// its text does not decode.
X509Ptr signerCertificate(std::string_view doc);

// True when `signer` is the end entity of the chain that `certs` form: no certificate of the
// list but the signer itself names the signer's subject as its issuer. A certificate below the
// signer is the signer's own making: were it a copy of a trusted one (its subject and key), the
// chain would hold together and contain it without anything trusted standing above the
// signer. The document's signer and a timestamp's authority are held to this alike. Null
// entries are passed over.
bool signerIsEndEntity(const X509* signer, const std::vector<X509*>& certs);

}  // namespace kvbsign

#endif
