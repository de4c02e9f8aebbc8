// Whether a downloaded list may speak for one certificate (see crl_check.h).

#include "revocation/crl_check.h"

#include <cstdint>
#include <memory>

#include <openssl/asn1.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

namespace kvbsign {

namespace {

// A list issued a little ahead of our clock still counts: clocks differ.
constexpr time_t kClockSkewSeconds = 5 * 60;

// Everything before the algorithm is the signed part's header and its version: with the frame
// bound of the walk, never more than this.
constexpr std::size_t kMaxHeldBytes = 2 * 1024 * 1024;

bool allowedDigest(int nid) {
    switch (nid) {
        case NID_sha1:
        case NID_sha224:
        case NID_sha256:
        case NID_sha384:
        case NID_sha512:
        case NID_sha512_224:
        case NID_sha512_256:
            return true;
        default:
            return false;
    }
}

// The signature algorithms a list may use, with the digest and the issuer key type they take.
struct Scheme {
    int signature;
    int digest;
    int keyType;
};
const Scheme kSchemes[] = {
    {NID_sha1WithRSAEncryption, NID_sha1, EVP_PKEY_RSA},
    {NID_sha224WithRSAEncryption, NID_sha224, EVP_PKEY_RSA},
    {NID_sha256WithRSAEncryption, NID_sha256, EVP_PKEY_RSA},
    {NID_sha384WithRSAEncryption, NID_sha384, EVP_PKEY_RSA},
    {NID_sha512WithRSAEncryption, NID_sha512, EVP_PKEY_RSA},
    {NID_sha512_224WithRSAEncryption, NID_sha512_224, EVP_PKEY_RSA},
    {NID_sha512_256WithRSAEncryption, NID_sha512_256, EVP_PKEY_RSA},
    {NID_ecdsa_with_SHA1, NID_sha1, EVP_PKEY_EC},
    {NID_ecdsa_with_SHA224, NID_sha224, EVP_PKEY_EC},
    {NID_ecdsa_with_SHA256, NID_sha256, EVP_PKEY_EC},
    {NID_ecdsa_with_SHA384, NID_sha384, EVP_PKEY_EC},
    {NID_ecdsa_with_SHA512, NID_sha512, EVP_PKEY_EC},
};

// A digest named by an algorithm identifier whose parameters are absent or NULL.
const EVP_MD* digestOf(const X509_ALGOR* algorithm) {
    if (algorithm == nullptr) return nullptr;
    const ASN1_OBJECT* object = nullptr;
    int parameterType = 0;
    const void* parameter = nullptr;
    X509_ALGOR_get0(&object, &parameterType, &parameter, algorithm);
    const int nid = OBJ_obj2nid(object);
    if (!allowedDigest(nid) || (parameterType != V_ASN1_UNDEF && parameterType != V_ASN1_NULL)) return nullptr;
    return EVP_get_digestbynid(nid);
}

struct PssSettings {
    const EVP_MD* digest = nullptr;
    const EVP_MD* maskDigest = nullptr;
    int saltLength = 0;
};

// The parameters of an RSASSA-PSS signature, with the defaults of RFC 4055 for what is left
// out; false for anything outside SHA-1 and SHA-2, a mask other than MGF1, or a trailer other
// than the one PKCS #1 defines.
bool readPssParameters(int parameterType, const void* parameter, PssSettings& settings) {
    if (parameterType != V_ASN1_SEQUENCE || parameter == nullptr) return false;
    const ASN1_STRING* sequence = static_cast<const ASN1_STRING*>(parameter);
    const unsigned char* p = ASN1_STRING_get0_data(sequence);
    const long length = ASN1_STRING_length(sequence);
    RsaPssParamsPtr pss(d2i_RSA_PSS_PARAMS(nullptr, &p, length));
    if (!pss || p != ASN1_STRING_get0_data(sequence) + length) return false;

    settings.digest = pss->hashAlgorithm ? digestOf(pss->hashAlgorithm) : EVP_sha1();
    if (settings.digest == nullptr) return false;
    settings.maskDigest = EVP_sha1();
    if (pss->maskGenAlgorithm) {
        const ASN1_OBJECT* object = nullptr;
        int maskType = 0;
        const void* maskParameter = nullptr;
        X509_ALGOR_get0(&object, &maskType, &maskParameter, pss->maskGenAlgorithm);
        if (OBJ_obj2nid(object) != NID_mgf1 || maskType != V_ASN1_SEQUENCE || maskParameter == nullptr) return false;
        const ASN1_STRING* maskSequence = static_cast<const ASN1_STRING*>(maskParameter);
        const unsigned char* q = ASN1_STRING_get0_data(maskSequence);
        const long maskLength = ASN1_STRING_length(maskSequence);
        X509AlgorPtr maskHash(d2i_X509_ALGOR(nullptr, &q, maskLength));
        if (!maskHash || q != ASN1_STRING_get0_data(maskSequence) + maskLength) return false;
        settings.maskDigest = digestOf(maskHash.get());
        if (settings.maskDigest == nullptr) return false;
    }
    settings.saltLength = 20;
    if (pss->saltLength) {
        const long salt = ASN1_INTEGER_get(pss->saltLength);
        if (salt < 0 || salt > 1024) return false;
        settings.saltLength = static_cast<int>(salt);
    }
    return !pss->trailerField || ASN1_INTEGER_get(pss->trailerField) == 1;
}

}  // namespace

CrlCheck::CrlCheck(const CrlSubject& subject, std::string_view point, time_t now)
    : subject_(subject), point_(point), now_(now) {
    if (subject_.cert == nullptr || subject_.issuer == nullptr || X509_get0_pubkey(subject_.issuer) == nullptr) {
        refuse("no issuer key to check the list with");
    } else if ((X509_get_key_usage(subject_.issuer) & KU_CRL_SIGN) == 0) {
        // Without a key usage extension the value has every bit set.
        refuse("the issuer may not sign revocation lists");
    }
}

void CrlCheck::refuse(const char* why) {
    if (problem_.empty()) problem_ = why;
    verify_.reset();
    held_.clear();
}

void CrlCheck::algorithm(const X509_ALGOR& algorithm) {
    if (!usable()) return;
    if (algorithm_) return refuse("a second signature algorithm");
    algorithm_.reset(X509_ALGOR_dup(&algorithm));
    if (!algorithm_) return refuse("out of memory");

    const ASN1_OBJECT* object = nullptr;
    int parameterType = 0;
    const void* parameter = nullptr;
    X509_ALGOR_get0(&object, &parameterType, &parameter, &algorithm);
    const int nid = OBJ_obj2nid(object);
    EVP_PKEY* key = X509_get0_pubkey(subject_.issuer);
    const int keyType = EVP_PKEY_get_base_id(key);

    const EVP_MD* digest = nullptr;
    PssSettings pss;
    bool isPss = false;
    if (nid == NID_rsassaPss) {
        if (keyType != EVP_PKEY_RSA && keyType != EVP_PKEY_RSA_PSS) return refuse("a PSS list from a key that is not RSA");
        if (!readPssParameters(parameterType, parameter, pss)) return refuse("PSS parameters not allowed");
        digest = pss.digest;
        isPss = true;
    } else {
        for (const Scheme& scheme : kSchemes) {
            if (scheme.signature != nid) continue;
            // RSA takes absent or NULL parameters, ECDSA none at all.
            const bool parametersFit = parameterType == V_ASN1_UNDEF ||
                                       (scheme.keyType == EVP_PKEY_RSA && parameterType == V_ASN1_NULL);
            if (scheme.keyType != keyType || !parametersFit) return refuse("signature algorithm does not fit the key");
            digest = EVP_get_digestbynid(scheme.digest);
        }
        if (digest == nullptr) return refuse("signature algorithm not allowed");
    }

    verify_.reset(EVP_MD_CTX_new());
    EVP_PKEY_CTX* keyContext = nullptr;  // owned by verify_
    if (!verify_ || EVP_DigestVerifyInit(verify_.get(), &keyContext, digest, nullptr, key) != 1)
        return refuse("the signature check cannot be set up");
    if (isPss && (EVP_PKEY_CTX_set_rsa_padding(keyContext, RSA_PKCS1_PSS_PADDING) != 1 ||
                  EVP_PKEY_CTX_set_rsa_pss_saltlen(keyContext, pss.saltLength) != 1 ||
                  EVP_PKEY_CTX_set_rsa_mgf1_md(keyContext, pss.maskDigest) != 1))
        return refuse("the PSS parameters do not fit the key");
    if (!held_.empty()) {
        const std::string held = std::move(held_);
        held_.clear();
        update(reinterpret_cast<const unsigned char*>(held.data()), held.size());
    }
}

void CrlCheck::update(const unsigned char* data, std::size_t size) {
    if (!usable() || size == 0) return;
    if (!verify_) {
        if (size > kMaxHeldBytes - held_.size()) return refuse("too much before the signature algorithm");
        held_.append(reinterpret_cast<const char*>(data), size);
        return;
    }
    if (EVP_DigestVerifyUpdate(verify_.get(), data, size) != 1) refuse("the signature check failed");
}

bool CrlCheck::accepts(const X509_CRL& frame) {
    const X509_CRL* crl = &frame;
    if (!usable()) return false;
    if (!algorithm_ || !verify_) {
        refuse("no signature algorithm");
        return false;
    }
    if (X509_NAME_cmp(X509_CRL_get_issuer(crl), X509_get_issuer_name(subject_.cert)) != 0) {
        refuse("the list names another issuer");
        return false;
    }
    const ASN1_BIT_STRING* signature = nullptr;
    const X509_ALGOR* outer = nullptr;
    X509_CRL_get0_signature(crl, &signature, &outer);
    if (outer == nullptr || X509_ALGOR_cmp(outer, algorithm_.get()) != 0) {
        refuse("the signature algorithms inside and outside the signed part differ");
        return false;
    }
    // A signature is whole bytes: unused bits would leave part of it unchecked.
    if (signature == nullptr || (signature->flags & 0x07) != 0 ||
        EVP_DigestVerifyFinal(verify_.get(), ASN1_STRING_get0_data(signature),
                              static_cast<std::size_t>(ASN1_STRING_length(signature))) != 1) {
        refuse("the signature does not verify with the issuer's key");
        return false;
    }

    // Compared to the second: the conversion used for report dates keeps only the hour.
    const ASN1_TIME* thisUpdate = X509_CRL_get0_lastUpdate(crl);
    const ASN1_TIME* nextUpdate = X509_CRL_get0_nextUpdate(crl);
    const int issued = thisUpdate ? ASN1_TIME_cmp_time_t(thisUpdate, now_ + kClockSkewSeconds) : -2;
    if (issued != -1 && issued != 0) {
        refuse("the list is issued in the future");
        return false;
    }
    const int next = nextUpdate ? ASN1_TIME_cmp_time_t(nextUpdate, now_) : -2;
    if (next != 0 && next != 1) {
        refuse(nextUpdate ? "the list is out of date" : "the list has no next update");
        return false;
    }
    return coversTheCertificate(frame);
}

bool CrlCheck::coversTheCertificate(const X509_CRL& frame) {
    const X509_CRL* crl = &frame;
    if (X509_CRL_get_ext_by_NID(crl, NID_delta_crl, -1) >= 0) {
        refuse("a delta list");
        return false;
    }
    for (int i = 0; i < X509_CRL_get_ext_count(crl); ++i) {
        X509_EXTENSION* extension = X509_CRL_get_ext(crl, i);
        const int nid = OBJ_obj2nid(X509_EXTENSION_get_object(extension));
        if (X509_EXTENSION_get_critical(extension) && nid != NID_issuing_distribution_point) {
            refuse("a critical extension that is not understood");
            return false;
        }
    }

    int critical = 0;
    IssuingDistPointPtr point(static_cast<ISSUING_DIST_POINT*>(
        X509_CRL_get_ext_d2i(crl, NID_issuing_distribution_point, &critical, nullptr)));
    if (!point) {
        if (critical == -1) return true;  // no issuing distribution point: the whole scope
        refuse("the issuing distribution point cannot be read or is repeated");
        return false;
    }
    if (point->onlysomereasons != nullptr || point->indirectCRL || point->onlyattr) {
        refuse("the list covers only some reasons, other issuers or attribute certificates");
        return false;
    }
    const bool isCa = X509_check_ca(subject_.cert) != 0;
    if ((point->onlyCA && !isCa) || (point->onlyuser && isCa)) {
        refuse("the list does not cover this kind of certificate");
        return false;
    }
    if (point->distpoint == nullptr) return true;
    if (point->distpoint->type == 0) {
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int i = 0; i < sk_GENERAL_NAME_num(names); ++i) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, i);
            int type = 0;
            const ASN1_STRING* uri = static_cast<const ASN1_STRING*>(GENERAL_NAME_get0_value(name, &type));
            if (type == GEN_URI && uri != nullptr &&
                std::string_view(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                 static_cast<std::size_t>(ASN1_STRING_length(uri))) == point_)
                return true;
        }
    }
    refuse("the list's distribution point is not the one it came from");
    return false;
}

}  // namespace kvbsign
