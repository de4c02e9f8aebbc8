#ifndef KVBSIGN_OSSL_PTR_H
#define KVBSIGN_OSSL_PTR_H

// Owning handles for OpenSSL objects: every object is owned from the moment it exists.
// release() only after an add0/set0 call has taken ownership.

#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace kvbsign {

template <auto Fn>
struct Free {
    template <class T>
    void operator()(T* p) const { Fn(p); }
};

// Frees what the cryptography library allocated for the caller (OPENSSL_free is a macro).
inline void freeOpenSslMemory(void* p) { OPENSSL_free(p); }
// Frees a stack of certificates that it only borrows: the stack, not the certificates.
inline void freeStackOfBorrowed(STACK_OF(X509)* stack) { sk_X509_free(stack); }
inline void closeFile(std::FILE* file) { std::fclose(file); }

using X509Ptr = std::unique_ptr<X509, Free<&X509_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Free<&X509_NAME_free>>;
using X509RevokedPtr = std::unique_ptr<X509_REVOKED, Free<&X509_REVOKED_free>>;
using BorrowedX509StackPtr = std::unique_ptr<STACK_OF(X509), Free<&freeStackOfBorrowed>>;
using X509CrlPtr = std::unique_ptr<X509_CRL, Free<&X509_CRL_free>>;
using X509AlgorPtr = std::unique_ptr<X509_ALGOR, Free<&X509_ALGOR_free>>;
using X509StorePtr = std::unique_ptr<X509_STORE, Free<&X509_STORE_free>>;
using BioPtr = std::unique_ptr<BIO, Free<&BIO_free_all>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, Free<&EVP_PKEY_free>>;
using EvpPkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Free<&EVP_PKEY_CTX_free>>;
using EvpMdCtxPtr = std::unique_ptr<EVP_MD_CTX, Free<&EVP_MD_CTX_free>>;
using EvpMdPtr = std::unique_ptr<EVP_MD, Free<&EVP_MD_free>>;
using EvpKeymgmtPtr = std::unique_ptr<EVP_KEYMGMT, Free<&EVP_KEYMGMT_free>>;
using EvpEncodeCtxPtr = std::unique_ptr<EVP_ENCODE_CTX, Free<&EVP_ENCODE_CTX_free>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Free<&PKCS7_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Free<&TS_RESP_free>>;
using TsTstInfoPtr = std::unique_ptr<TS_TST_INFO, Free<&TS_TST_INFO_free>>;
using TsVerifyCtxPtr = std::unique_ptr<TS_VERIFY_CTX, Free<&TS_VERIFY_CTX_free>>;
using RsaPssParamsPtr = std::unique_ptr<RSA_PSS_PARAMS, Free<&RSA_PSS_PARAMS_free>>;
using IssuingDistPointPtr = std::unique_ptr<ISSUING_DIST_POINT, Free<&ISSUING_DIST_POINT_free>>;
// Memory the cryptography library hands out (PEM names, headers and data, DER buffers).
template <class T>
using OpenSslMemoryPtr = std::unique_ptr<T, Free<&freeOpenSslMemory>>;
// A C stream, as the cryptography library's file readers take it.
using FilePtr = std::unique_ptr<std::FILE, Free<&closeFile>>;

// Owns the certificates of a list that the library's interfaces pass as std::vector<X509*>
// (the root store's roots, the user's certificates): each is freed once, when the list is
// cleared or goes. A list handed to a call that frees it (validateCertificateChainX509) is
// never one of these.
class X509List {
public:
    X509List() = default;
    // Takes over every certificate of `certs`.
    explicit X509List(std::vector<X509*>&& certs) noexcept : certs_(std::move(certs)) {}
    ~X509List() { clear(); }
    X509List(const X509List&) = delete;
    X509List& operator=(const X509List&) = delete;

    // For the calls that fill the list or read it; whatever they put in it is owned.
    std::vector<X509*>& certs() noexcept { return certs_; }
    const std::vector<X509*>& certs() const noexcept { return certs_; }

    void clear() noexcept {
        for (X509* cert : certs_) X509_free(cert);
        certs_.clear();
    }

private:
    std::vector<X509*> certs_;
};

}  // namespace kvbsign

#endif
