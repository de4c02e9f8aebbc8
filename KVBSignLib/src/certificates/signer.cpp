#include "certificates/signer.h"

#include "KVBSignLibInternal.h"
#include "text/document_tags.h"

namespace kvbsign {

namespace {

// Names are compared as the one-line text written into a buffer of this size.
const int kNameBufferSize = 4096;

}  // namespace

std::string oneLine(const X509_NAME* name) {
    char buffer[kNameBufferSize];
    buffer[0] = '\0';
    if (X509_NAME_oneline(name, buffer, sizeof buffer) == nullptr) return std::string();
    return buffer;
}

std::string subjectOf(const X509* cert) { return oneLine(X509_get_subject_name(cert)); }
std::string issuerOf(const X509* cert) { return oneLine(X509_get_issuer_name(cert)); }

X509Ptr signerCertificate(std::string_view doc) {
    const std::string_view keyInfo = KVBSignLibInternal::stringRangeView(doc, tags::kKeyInfoStart, tags::kKeyInfoEnd);
    if (keyInfo.find(tags::kCertificateStart) == std::string_view::npos) return nullptr;
    return X509Ptr(KVBSignLibInternal::getX509FromBase64(
        KVBSignLibInternal::stringRangeView(keyInfo, tags::kCertificateStart, tags::kCertificateEnd)));
}

bool signerIsEndEntity(const X509* signer, const std::vector<X509*>& certs) {
    const std::string signerSubject = subjectOf(signer);
    for (const X509* cert : certs) {
        if (cert == nullptr || X509_cmp(cert, signer) == 0) continue;
        if (issuerOf(cert) == signerSubject) return false;
    }
    return true;
}

}  // namespace kvbsign
