#include "crl_fixtures.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kvtest {
namespace {

template <auto Fn>
struct Deleter {
    template <class T>
    void operator()(T* p) const { Fn(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, Deleter<&BN_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Deleter<&ASN1_TIME_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<&ASN1_INTEGER_free>>;
using RevokedPtr = std::unique_ptr<X509_REVOKED, Deleter<&X509_REVOKED_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<&X509_EXTENSION_free>>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("crl fixture: ") + what);
}

// The header and content lengths of the definite-length DER element at `pos`.
struct Element {
    std::size_t header;
    std::size_t length;
    std::size_t size() const { return header + length; }
};

Element elementAt(const std::string& der, std::size_t pos) {
    check(pos + 2 <= der.size(), "DER header");
    std::size_t length = static_cast<unsigned char>(der[pos + 1]);
    std::size_t header = 2;
    if (length & 0x80) {
        const std::size_t bytes = length & 0x7f;
        check(bytes >= 1 && bytes <= 4 && pos + 2 + bytes <= der.size(), "DER length");
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | static_cast<unsigned char>(der[pos + 2 + i]);
        header += bytes;
    }
    check(length <= der.size() - pos - header, "DER content");
    return {header, length};
}

// A SEQUENCE header for `length` content bytes.
std::string sequenceHeader(std::size_t length) {
    std::string out(1, '\x30');
    if (length < 0x80) return out + static_cast<char>(length);
    std::string bytes;
    for (std::size_t n = length; n > 0; n >>= 8) bytes.insert(bytes.begin(), static_cast<char>(n & 0xff));
    return out + static_cast<char>(0x80 | bytes.size()) + bytes;
}

// A BIT STRING of whole bytes.
std::string bitString(const std::string& bytes) {
    std::string content = std::string(1, '\0') + bytes;
    std::string out(1, '\x03');
    if (content.size() < 0x80) return out + static_cast<char>(content.size()) + content;
    std::string octets;
    for (std::size_t n = content.size(); n > 0; n >>= 8) octets.insert(octets.begin(), static_cast<char>(n & 0xff));
    return out + static_cast<char>(0x80 | octets.size()) + octets + content;
}

}  // namespace

std::string makeCrlDer(const std::vector<RevokedSerial>& entries, const CertAndKey* issuer) {
    CrlOptions options;
    options.issuer = issuer;
    return makeCrlDer(entries, options);
}

std::string makeCrlDer(const std::vector<RevokedSerial>& entries, const CrlOptions& options) {
    const CertAndKey& ca = options.issuer ? *options.issuer : pki().intermediate;
    kvbsign::X509CrlPtr crl(X509_CRL_new());
    check(crl != nullptr, "X509_CRL_new");
    check(X509_CRL_set_version(crl.get(), 1) == 1, "version");
    X509* named = options.issuerNameFrom ? options.issuerNameFrom : ca.cert.get();
    check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(named)) == 1, "issuer");

    const time_t now = time(nullptr);
    Asn1TimePtr thisUpdate(ASN1_TIME_set(nullptr, options.thisUpdate ? options.thisUpdate : now - 3600));
    check(thisUpdate != nullptr, "thisUpdate");
    check(X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()) == 1, "lastUpdate");
    if (options.nextUpdate != kNoNextUpdate) {
        Asn1TimePtr nextUpdate(ASN1_TIME_set(nullptr, options.nextUpdate ? options.nextUpdate : now + 7 * 24 * 3600));
        check(nextUpdate != nullptr, "nextUpdate");
        check(X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()) == 1, "nextUpdate");
    }

    for (const RevokedSerial& entry : entries) {
        RevokedPtr revoked(X509_REVOKED_new());
        check(revoked != nullptr, "X509_REVOKED_new");
        BIGNUM* raw = nullptr;
        check(BN_hex2bn(&raw, entry.serialHex.c_str()) > 0, "serial hex");
        BnPtr bn(raw);
        Asn1IntegerPtr serial(BN_to_ASN1_INTEGER(bn.get(), nullptr));
        check(serial != nullptr, "serial");
        check(X509_REVOKED_set_serialNumber(revoked.get(), serial.get()) == 1, "set serial");
        Asn1TimePtr date(ASN1_TIME_set(nullptr, entry.revokedAt));
        check(date != nullptr, "revocation date");
        check(X509_REVOKED_set_revocationDate(revoked.get(), date.get()) == 1, "set date");
        check(X509_CRL_add0_revoked(crl.get(), revoked.get()) == 1, "add entry");
        revoked.release();  // the list owns it now
    }
    for (const auto& extension : options.extensions) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, ca.cert.get(), nullptr, nullptr, crl.get(), 0);
        ExtensionPtr made(X509V3_EXT_nconf(nullptr, &ctx, extension.first.c_str(), extension.second.c_str()));
        check(made != nullptr, "extension");
        check(X509_CRL_add_ext(crl.get(), made.get(), -1) == 1, "add extension");
    }

    // Entries stay in the order given (nothing sorts them), so a repeated serial keeps its place.
    EVP_PKEY* key = options.signingKey ? options.signingKey : ca.key.get();
    const EVP_MD* digest = options.digest ? options.digest : EVP_sha256();
    kvbsign::EvpMdCtxPtr signer(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;
    check(signer && EVP_DigestSignInit(signer.get(), &keyContext, digest, nullptr, key) == 1, "sign init");
    if (options.pss) {
        check(EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) == 1 &&
                  EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, RSA_PSS_SALTLEN_DIGEST) == 1,
              "PSS");
    }
    check(X509_CRL_sign_ctx(crl.get(), signer.get()) > 0, "sign");

    unsigned char* der = nullptr;
    const int length = i2d_X509_CRL(crl.get(), &der);
    check(length > 0, "encode");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return out;
}

std::string withOuterAlgorithm(const std::string& der, const std::string& algorithm) {
    const Element outer = elementAt(der, 0);
    const Element tbs = elementAt(der, outer.header);
    const std::size_t algorithmPos = outer.header + tbs.size();
    const std::size_t signaturePos = algorithmPos + elementAt(der, algorithmPos).size();
    const std::string content = der.substr(outer.header, tbs.size()) + algorithm + der.substr(signaturePos);
    return sequenceHeader(content.size()) + content;
}

std::string crlDerToPem(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    kvbsign::X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(der.size())));
    check(crl != nullptr, "decode DER");
    kvbsign::BioPtr bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr && PEM_write_bio_X509_CRL(bio.get(), crl.get()) == 1, "write PEM");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string largeCrlSerialKey(std::size_t i) {
    char key[16];
    std::snprintf(key, sizeof key, "%08zx", static_cast<std::size_t>(0x01000000) + i);
    return key;
}

std::string makeLargeCrlDer(std::size_t count, const std::vector<RevokedSerial>& inserted, time_t revokedAt,
                            const CertAndKey* issuer) {
    check(count < 0x7f000000, "entry count");
    const CertAndKey& ca = issuer ? *issuer : pki().intermediate;
    const std::string small = makeCrlDer(inserted, &ca);
    const Element outer = elementAt(small, 0);
    const std::size_t tbsPos = outer.header;
    const Element tbs = elementAt(small, tbsPos);

    // version, signature algorithm, issuer, thisUpdate, nextUpdate; then the entries, if any.
    std::size_t pos = tbsPos + tbs.header;
    for (int i = 0; i < 5; ++i) pos += elementAt(small, pos).size();
    const std::size_t entriesPos = pos;
    std::string insertedEntries;
    const std::size_t tbsEnd = tbsPos + tbs.size();
    if (pos < tbsEnd && small[pos] == '\x30') {
        const Element list = elementAt(small, pos);
        insertedEntries = small.substr(pos + list.header, list.length);
        pos += list.size();
    }
    const std::size_t afterEntries = pos;

    struct tm when;
    check(gmtime_r(&revokedAt, &when) != nullptr, "revocation date");
    char utcTime[16];
    check(std::strftime(utcTime, sizeof utcTime, "%y%m%d%H%M%SZ", &when) == 13, "UTCTime");

    constexpr std::size_t kEntrySize = 23;  // 30 15 | 02 04 serial | 17 0d time
    const std::size_t listLength = count * kEntrySize + insertedEntries.size();
    const std::string listHeader = sequenceHeader(listLength);
    const std::size_t tbsLength = (entriesPos - tbsPos - tbs.header) + listHeader.size() + listLength +
                                  (tbsEnd - afterEntries);

    std::string signedPart;
    signedPart.reserve(tbsLength + 8);
    signedPart += sequenceHeader(tbsLength);
    signedPart.append(small, tbsPos + tbs.header, entriesPos - tbsPos - tbs.header);
    signedPart += listHeader;
    char entry[kEntrySize] = {0x30, 0x15, 0x02, 0x04};
    entry[8] = 0x17;
    entry[9] = 0x0d;
    std::memcpy(entry + 10, utcTime, 13);
    const std::size_t half = count / 2;
    for (std::size_t i = 0; i < count; ++i) {
        if (i == half) signedPart += insertedEntries;
        const std::size_t serial = 0x01000000 + i;
        entry[4] = static_cast<char>(serial >> 24);
        entry[5] = static_cast<char>((serial >> 16) & 0xff);
        entry[6] = static_cast<char>((serial >> 8) & 0xff);
        entry[7] = static_cast<char>(serial & 0xff);
        signedPart.append(entry, kEntrySize);
    }
    if (count == 0) signedPart += insertedEntries;
    signedPart.append(small, afterEntries, tbsEnd - afterEntries);

    return signedCrl(signedPart, &ca);
}

std::string signedCrl(const std::string& signedPart, const CertAndKey* issuer) {
    const CertAndKey& ca = issuer ? *issuer : pki().intermediate;
    const std::string sha256WithRsa("\x30\x0d\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x0b\x05\x00", 15);
    kvbsign::EvpMdCtxPtr signer(EVP_MD_CTX_new());
    std::size_t signatureLength = 0;
    const unsigned char* data = reinterpret_cast<const unsigned char*>(signedPart.data());
    check(signer && EVP_DigestSignInit(signer.get(), nullptr, EVP_sha256(), nullptr, ca.key.get()) == 1 &&
              EVP_DigestSign(signer.get(), nullptr, &signatureLength, data, signedPart.size()) == 1,
          "sign init");
    std::string signature(signatureLength, '\0');
    check(EVP_DigestSign(signer.get(), reinterpret_cast<unsigned char*>(&signature[0]), &signatureLength, data,
                         signedPart.size()) == 1,
          "sign");
    signature.resize(signatureLength);
    const std::string signatureValue = bitString(signature);

    const std::size_t outerLength = signedPart.size() + sha256WithRsa.size() + signatureValue.size();
    std::string out;
    out.reserve(outerLength + 8);
    out += sequenceHeader(outerLength);
    out += signedPart;
    out += sha256WithRsa;
    out += signatureValue;
    return out;
}

}  // namespace kvtest
