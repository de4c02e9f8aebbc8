#ifndef KVBSIGN_OSSL_PTR_H
#define KVBSIGN_OSSL_PTR_H

// Owning handles for OpenSSL objects: every object is owned from the moment it exists.
// release() only after an add0/set0 call has taken ownership.

#include <memory>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>

namespace kvbsign {

template <auto Fn>
struct Free {
    template <class T>
    void operator()(T* p) const { Fn(p); }
};

using X509Ptr = std::unique_ptr<X509, Free<&X509_free>>;
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

}  // namespace kvbsign

#endif
