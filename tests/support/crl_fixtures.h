#ifndef KVBSIGN_TEST_CRL_FIXTURES_H
#define KVBSIGN_TEST_CRL_FIXTURES_H

// Certificate revocation lists made at test time with OpenSSL alone.

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "test_pki.h"

namespace kvtest {

// One entry of a list: the serial number in hexadecimal (as BN_hex2bn reads it, so "0A1B"
// gives the content bytes 0A 1B) and the revocation date (written as UTCTime for 1950-2049).
struct RevokedSerial {
    std::string serialHex;
    time_t revokedAt;
};

// What makeCrlDer puts into a list besides its entries.
struct CrlOptions {
    const CertAndKey* issuer = nullptr;  // the list's issuer (default: the test PKI's intermediate)
    X509* issuerNameFrom = nullptr;      // the issuer name written: this certificate's subject
    EVP_PKEY* signingKey = nullptr;      // the key that signs it (default: the issuer's)
    time_t thisUpdate = 0;               // 0: now - 1 hour
    time_t nextUpdate = 0;               // 0: now + 7 days; kNoNextUpdate: none
    // List extensions as OpenSSL's configuration syntax writes them: name (or OID) and value,
    // e.g. {"issuingDistributionPoint", "critical,onlyCA:TRUE"}, {"deltaCRL", "critical,DER:02:01:05"}.
    std::vector<std::pair<std::string, std::string>> extensions;
    const EVP_MD* digest = nullptr;      // default SHA-256
    bool pss = false;                    // RSASSA-PSS (salt as long as the digest) instead of PKCS #1 v1.5
};
constexpr time_t kNoNextUpdate = -1;

// A version 2 CRL in DER, its entries in the order given (a serial may repeat), signed by
// `issuer` (default: the test PKI's intermediate). An empty list has no entries at all.
std::string makeCrlDer(const std::vector<RevokedSerial>& entries, const CertAndKey* issuer = nullptr);
std::string makeCrlDer(const std::vector<RevokedSerial>& entries, const CrlOptions& options);

// The same list with its outer signature algorithm (the one after the signed part) replaced by
// the DER AlgorithmIdentifier `algorithm`; the signature is left as it was.
std::string withOuterAlgorithm(const std::string& der, const std::string& algorithm);

// The same list as PEM ("-----BEGIN X509 CRL-----").
std::string crlDerToPem(const std::string& der);

// A list of `count` generated entries plus `inserted` (placed after the first half of the
// generated ones), issued and signed by `issuer` (default: the test PKI's intermediate) with
// SHA-256 and RSA. The generated serials are the four content bytes 01 00 00 00 + i (keys
// "01000000", "01000001", ...), each revoked at `revokedAt`. Millions of entries take a
// moment: the entries are written as bytes into the list of makeCrlDer(inserted), which is
// then signed anew over all of them.
std::string makeLargeCrlDer(std::size_t count, const std::vector<RevokedSerial>& inserted, time_t revokedAt,
                            const CertAndKey* issuer = nullptr);

// A list made of `signedPart` (its tbsCertList, as it stands), the algorithm SHA-256 with RSA,
// and the signature of `issuer` (default: the test PKI's intermediate; an RSA key) over those
// bytes.
std::string signedCrl(const std::string& signedPart, const CertAndKey* issuer = nullptr);

// The key of the i-th generated entry of makeLargeCrlDer.
std::string largeCrlSerialKey(std::size_t i);

}  // namespace kvtest

#endif
