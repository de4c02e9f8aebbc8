#include "crl_fixtures.h"

#include <memory>
#include <stdexcept>

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

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

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("crl fixture: ") + what);
}

}  // namespace

std::string makeCrlDer(const std::vector<RevokedSerial>& entries, const CertAndKey* issuer) {
    const CertAndKey& ca = issuer ? *issuer : pki().intermediate;
    kvbsign::X509CrlPtr crl(X509_CRL_new());
    check(crl != nullptr, "X509_CRL_new");
    check(X509_CRL_set_version(crl.get(), 1) == 1, "version");
    check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(ca.cert.get())) == 1, "issuer");

    const time_t now = time(nullptr);
    Asn1TimePtr thisUpdate(ASN1_TIME_set(nullptr, now - 3600));
    Asn1TimePtr nextUpdate(ASN1_TIME_set(nullptr, now + 7 * 24 * 3600));
    check(thisUpdate && nextUpdate, "update times");
    check(X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()) == 1, "lastUpdate");
    check(X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()) == 1, "nextUpdate");

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
    // Entries stay in the order given (nothing sorts them), so a repeated serial keeps its place.
    check(X509_CRL_sign(crl.get(), ca.key.get(), EVP_sha256()) > 0, "sign");

    unsigned char* der = nullptr;
    const int length = i2d_X509_CRL(crl.get(), &der);
    check(length > 0, "encode");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return out;
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

}  // namespace kvtest
