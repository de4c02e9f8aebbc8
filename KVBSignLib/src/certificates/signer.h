#ifndef KVBSIGN_CERTIFICATES_SIGNER_H
#define KVBSIGN_CERTIFICATES_SIGNER_H

// Certificate names as the chain and timestamp checks compare them.

#include <string>

#include <openssl/x509.h>

namespace kvbsign {

// A name's one-line form as the cryptography library writes it into a buffer of 4096 bytes;
// empty when it cannot be written. Certificates are linked, and signers told apart, by these
// texts.
std::string oneLine(const X509_NAME* name);
std::string subjectOf(const X509* cert);
std::string issuerOf(const X509* cert);

}  // namespace kvbsign

#endif
