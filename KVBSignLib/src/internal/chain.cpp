// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

const char* KVBSignLibInternal::SYSTEM_ROOT_CERTIFICATES_KEYCHAIN =
    "/System/Library/Keychains/SystemRootCertificates.keychain";
bool KVBSignLibInternal::validateCertificateChainX509(std::vector<X509*> certs, std::vector<X509*>&) {
    for (X509* c : certs) X509_free(c);
    return false;
}
bool KVBSignLibInternal::validateCertificateChain(const std::string&, std::vector<X509*>&) { return false; }
bool KVBSignLibInternal::hasCertificate(std::vector<X509*>&, X509*) { return false; }
bool KVBSignLibInternal::getSystemRootCertificates(std::vector<X509*>&) { return false; }
X509* KVBSignLibInternal::loadDERCertificate(const char*) { return nullptr; }
bool KVBSignLibInternal::loadUserDERCertificates(std::vector<std::string>& paths, int, std::vector<X509*>&) {
    return paths.empty();
}
