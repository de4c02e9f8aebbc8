#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "certificates/signer.h"
#include "ossl_ptr.h"
#include "text/document_tags.h"

namespace tags = kvbsign::tags;

// The signer key comes from the same certificate that the certificate record describes.
EVP_PKEY* KVBSignLibInternal::extractRSA(const std::string& doc) {
    kvbsign::EvpPkeyPtr empty(EVP_PKEY_new());
    if (!empty) throw std::bad_alloc();

    const kvbsign::X509Ptr cert = kvbsign::signerCertificate(doc);
    if (!cert) return empty.release();

    EVP_PKEY* certKey = X509_get0_pubkey(cert.get());
    if (certKey == nullptr || EVP_PKEY_get_base_id(certKey) != EVP_PKEY_RSA) return empty.release();

    // A certificate's key holds the public numbers only; the copy is the caller's.
    EVP_PKEY* copy = EVP_PKEY_dup(certKey);
    if (copy == nullptr) return empty.release();
    return copy;
}

std::vector<std::string_view> KVBSignLibInternal::getX509CertificateViews(std::string_view doc) {
    std::vector<std::string_view> texts;
    const std::string_view window = stringRangeView(doc, tags::kKeyInfoStart, tags::kKeyInfoEnd);
    const size_t startLength = sizeof(tags::kCertificateStart) - 1;
    const size_t endLength = sizeof(tags::kCertificateEnd) - 1;

    // Each pass moves past one end tag, so the walk ends.
    size_t rest = 0;
    for (;;) {
        const size_t end = window.find(tags::kCertificateEnd, rest);
        if (end == std::string_view::npos) break;
        const std::string_view piece = window.substr(rest, end - rest);
        const size_t start = piece.find(tags::kCertificateStart);
        texts.push_back(start == std::string_view::npos ? piece : piece.substr(start + startLength));
        rest = end + endLength;
    }
    return texts;
}

std::vector<std::string> KVBSignLibInternal::getX509Certificates(const std::string& doc) {
    std::vector<std::string> texts;
    for (std::string_view text : getX509CertificateViews(doc)) texts.emplace_back(text);
    return texts;
}

X509* KVBSignLibInternal::getX509FromXML(const std::string& text) { return getX509FromBase64(text); }

X509* KVBSignLibInternal::getX509FromBase64(std::string_view text) {
    const std::string der = base64DecodeView(text);
    if (der.empty()) return nullptr;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    return d2i_X509(nullptr, &p, static_cast<long>(der.size()));
}
