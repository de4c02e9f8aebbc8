#ifndef KVBSIGN_TEST_PKI_H
#define KVBSIGN_TEST_PKI_H

// Keys and certificates made at test time with OpenSSL alone (nothing from the library under
// test), so that tests can check the library's rules against independently built inputs.
// Every function throws std::runtime_error when OpenSSL fails.

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "ossl_ptr.h" // the shared owning handles (header only)

namespace kvtest {

using kvbsign::EvpPkeyPtr;
using kvbsign::X509Ptr;

// An RSA key. 2048-bit keys with exponent 65537 come from a small per-process pool
// (key generation is slow): the same poolIndex gives a new handle to the same key, different
// indexes give different keys. Any other size or exponent makes a fresh key each call.
EvpPkeyPtr makeRsaKey(int bits = 2048, unsigned long exponent = 65537, int poolIndex = 0);

// An EC key on P-256 (fresh each call): for "not an RSA signer" cases.
EvpPkeyPtr makeEcKey();

// A new handle (reference) to the same key.
EvpPkeyPtr shareKey(EVP_PKEY* key);

// What a certificate made by makeCert holds.
struct CertSpec {
    // Subject attributes in order, e.g. {{"C","GB"},{"O","Test"},{"OU","Unit A"},{"CN","Leaf"}}.
    // Short names or OIDs as OpenSSL's X509_NAME_add_entry_by_txt accepts them; values UTF-8.
    std::vector<std::pair<std::string, std::string>> subject;
    std::string serialHex = "01";          // serial number, hexadecimal (any length)
    time_t notBefore = 0;                  // 0: now - 30 days
    time_t notAfter = 0;                   // 0: now + 365 days
    int version = 3;                       // 1: a v1 certificate without any extension
    bool basicConstraints = true;          // add basicConstraints (critical)
    bool isCA = false;                     // its cA flag
    int pathLen = -1;                      // pathLenConstraint when isCA, -1: none
    bool keyUsage = true;                  // add keyUsage: CA keyCertSign|cRLSign, else digitalSignature
    std::string keyUsageText;              // explicit keyUsage value ("critical,digitalSignature"); overrides
    bool timeStampingEku = false;          // extendedKeyUsage critical,timeStamping
    std::string extendedKeyUsageText;      // explicit extendedKeyUsage value; overrides timeStampingEku
    std::vector<std::string> crlUrls;      // CRL distribution points, one fullName URI each
    bool subjectKeyId = true;              // subjectKeyIdentifier (hash) when version 3
    bool authorityKeyId = true;            // authorityKeyIdentifier (keyid) when version 3 and issued
    std::vector<std::pair<std::string, std::string>> issuerOverride; // issuer name for a self-signed cert
};

// Makes and signs a certificate. issuer null: self-signed (issuerKey may then be null, the
// subject key signs). md: the signature digest.
X509Ptr makeCert(const CertSpec& spec, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey,
                 const EVP_MD* md = EVP_sha256());

// Names and encodings.
X509Ptr dupCert(X509* cert);                 // a new reference to the same certificate
std::string toDer(X509* cert);
std::string toPem(X509* cert);
X509Ptr fromDer(const std::string& der);     // null when the bytes do not parse
std::string keyToPem(EVP_PKEY* key);         // private key, PKCS#8 PEM, unencrypted
std::string oneLine(const X509_NAME* name);  // X509_NAME_oneline text (4096-byte buffer)
std::string subjectOneLine(X509* cert);
std::string issuerOneLine(X509* cert);
std::string serialHexOf(X509* cert);         // serial as uppercase hexadecimal (BN_bn2hex)

// Base64 of bytes (standard alphabet, with padding). lineBreaks: a LF after every 64
// characters (and none at the end). Independent of the library's codecs.
std::string base64(const std::string& bytes, bool lineBreaks = false);
std::string base64Decode(const std::string& text); // ignores white space; throws on bad input
std::string sha1(const std::string& bytes);        // raw 20 bytes
std::string sha256(const std::string& bytes);      // raw 32 bytes
std::string hex(const std::string& bytes);         // lowercase hexadecimal

// A certificate with its private key.
struct CertAndKey {
    X509Ptr cert;
    EvpPkeyPtr key;
};

// The shared test PKI, built once per process. Good certificates are valid from now - 30 days
// to now + 365 days (real clock), none carries CRL distribution points.
struct TestPki {
    CertAndKey root;            // self-signed CA "CN=KVB Test Root"
    CertAndKey intermediate;    // CA issued by root "CN=KVB Test Intermediate"
    CertAndKey leaf;            // end entity issued by intermediate: C, O, two OU, CN
    CertAndKey expiredLeaf;     // like leaf, notAfter = now - 2 days
    CertAndKey notYetValidLeaf; // like leaf, notBefore = now + 2 days
    CertAndKey v1Root;          // version 1 self-signed, no extensions
    CertAndKey v1Leaf;          // version 1 issued by v1Root
    CertAndKey eeIssued;        // issued by leaf (an end entity acting as issuer)
    CertAndKey unrelatedRoot;   // another self-signed CA, issues nothing here

    // Subjects, in order, as given to CertSpec.
    static std::vector<std::pair<std::string, std::string>> leafSubject();

    // The default KeyInfo chain: leaf, intermediate, root (new references).
    std::vector<X509Ptr> defaultChain() const;
};
TestPki& pki();

// Standard spec for an issued end-entity certificate with the given CN (validity around now).
CertSpec leafSpec(const std::string& cn, const std::string& serialHex = "1001");
// Standard spec for a CA certificate with the given CN.
CertSpec caSpec(const std::string& cn, const std::string& serialHex = "01");

// Files: a PEM bundle of certificates (for SSL_CERT_FILE or user certificate files), a DER
// file of one certificate. Parent directories are made.
void writePemBundle(const std::string& path, const std::vector<X509*>& certs);
void writeDer(const std::string& path, X509* cert);

}  // namespace kvtest

#endif
