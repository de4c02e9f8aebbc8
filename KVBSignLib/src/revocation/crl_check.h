#ifndef KVBSIGN_CRL_CHECK_H
#define KVBSIGN_CRL_CHECK_H

// Whether a downloaded revocation list may speak for one certificate. Anyone on the network
// path can answer a request for a list, and a list says nothing about a certificate that its
// issuer did not sign, that is out of date, or that does not cover that certificate. So a list
// counts only when all of these hold:
//   - its issuer name is the certificate's issuer name, and the issuer certificate (where it
//     has a key usage extension) may sign lists;
//   - its signature verifies with the issuer's key, under the same algorithm inside and outside
//     the signed part, and that algorithm is RSA (PKCS #1 v1.5 or PSS) or ECDSA with SHA-1 or
//     SHA-2;
//   - it is current: issued no later than 5 minutes from now, its next update present and not
//     past;
//   - it covers the certificate: it is no delta list; an issuing distribution point, if any,
//     limits it to no reasons, is not indirect and not for attribute certificates, names the
//     URL it came from where it names points, and is not for CA certificates only when the
//     certificate is an end entity, nor for end entities only when it is a CA; no other
//     extension is critical.
// The signature is checked over the signed part as the list walk reads it, so a list of any
// size is checked in bounded memory.

#include <ctime>
#include <string>
#include <string_view>

#include <openssl/x509.h>

#include "ossl_ptr.h"
#include "revocation/crl_entries.h"

namespace kvbsign {

// The certificate a list is read for, and its issuer, whose key must have signed the list.
struct CrlSubject {
    X509* cert = nullptr;
    X509* issuer = nullptr;
};

class CrlCheck : public CrlSignedPart {
public:
    // `point`: the URL the list was fetched from. `now`: the time the list must be current at.
    CrlCheck(const CrlSubject& subject, std::string_view point, time_t now);
    CrlCheck(const CrlCheck&) = delete;
    CrlCheck& operator=(const CrlCheck&) = delete;

    // False once the list can no longer be accepted (the issuer cannot sign lists, the
    // algorithm is not allowed, ...): a walk need not go on.
    bool usable() const { return problem_.empty(); }

    void algorithm(const X509_ALGOR& algorithm) override;
    void update(const unsigned char* data, std::size_t size) override;

    // After a walk that read the whole list: true when the list, of which `frame` holds
    // everything but the entries, may speak for the certificate.
    bool accepts(const X509_CRL& frame);

    // Why the list was not accepted (empty while it still may be).
    const std::string& problem() const { return problem_; }

private:
    void refuse(const char* why);
    bool coversTheCertificate(const X509_CRL& frame);

    CrlSubject subject_;
    std::string point_;
    time_t now_;
    X509AlgorPtr algorithm_;
    EvpMdCtxPtr verify_;
    std::string held_;  // bytes that came before the algorithm was known
    std::string problem_;
};

}  // namespace kvbsign

#endif
