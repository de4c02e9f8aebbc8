// The chain check over fuzzed DER certificates: the input is split into up to four
// certificates, each preceded by a two-byte big-endian length.
#include <vector>

#include "KVBSignLibInternal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::initCrypto();
    std::vector<X509*> certs;
    size_t pos = 0;
    while (certs.size() < 4 && pos + 2 <= size) {
        size_t len = (static_cast<size_t>(data[pos]) << 8) | data[pos + 1];
        pos += 2;
        if (len > size - pos) len = size - pos;
        const unsigned char* p = data + pos;
        X509* cert = d2i_X509(nullptr, &p, static_cast<long>(len));
        pos += len;
        if (cert) certs.push_back(cert);
    }
    std::vector<X509*> anchors;
    if (!certs.empty()) anchors.push_back(X509_dup(certs.back()));
    std::vector<X509*> copy;
    for (X509* c : certs) copy.push_back(X509_dup(c));
    KVBSignLibInternal::validateCertificateChainX509(copy, anchors);
    std::vector<X509*> none;
    KVBSignLibInternal::validateCertificateChainX509(certs, none);
    for (X509* a : anchors) X509_free(a);
    return 0;
}
