// The timestamp check over a fuzzed token. The document is fixed (its SignatureValue and its
// KeyInfo signer come from fuzz_fixture.h); the input's first byte holds the flags of
// kvfuzz::fixture::TimestampFlags and the rest is the token's DER, written base64-encoded into
// <xades:EncapsulatedTimeStamp>. The system roots are a bundle holding the fixture root, so a
// seed token issued under it verifies; the legacy route reads the signature file written here.
// With KVBFUZZ_EXPECT_VERIFIED set, a token that does not verify (result 3 or 4) traps: the
// run script uses it to prove that the good seeds still verify.
#include <cstdlib>
#include <string>
#include <vector>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "fuzz_fixture.h"
#include "fuzz_support.h"

namespace fx = kvfuzz::fixture;

namespace {

std::string base64(const std::string& der, bool wrap) {
    std::string out(4 * ((der.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(der.data()), static_cast<int>(der.size()));
    out.resize(static_cast<size_t>(n));
    if (!wrap) return out;
    std::string lines;
    for (size_t i = 0; i < out.size(); i += 64) lines += out.substr(i, 64) + "\r\n";
    return lines;
}

// The root's base64 body as a KeyInfo certificate text (PEM lines joined).
std::string rootBase64() {
    std::string text;
    const std::string pem = fx::kRootPem;
    const size_t begin = pem.find('\n') + 1;
    const size_t end = pem.find("-----END");
    for (size_t i = begin; i < end; ++i)
        if (pem[i] != '\n') text += pem[i];
    return text;
}

struct World {
    std::string head;  // the document up to the token text
    std::string tail;  // the document after it
    std::string signatureFile;
    X509* root = nullptr;  // kept for the process: handed in as a user certificate

    World() {
        kvfuzz::initCrypto();
        const std::string bundle = kvfuzz::scratchDir() + "/roots.pem";
        kvfuzz::writeFile(bundle, fx::kRootPem);
        setenv("SSL_CERT_FILE", bundle.c_str(), 1);

        head = std::string("<signatures><Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"PackageSignature\">") +
               "<SignedInfo></SignedInfo><SignatureValue Id=\"PackageSignatureValue\">" + fx::kTimestampSignatureValue +
               "</SignatureValue><KeyInfo><X509Data><X509Certificate>" + rootBase64() +
               "</X509Certificate></X509Data></KeyInfo><Object><xades:QualifyingProperties "
               "xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" Target=\"#PackageSignature\">"
               "<xades:UnsignedProperties><xades:UnsignedSignatureProperties><xades:SignatureTimeStamp>"
               "<xades:EncapsulatedTimeStamp>";
        tail = "</xades:EncapsulatedTimeStamp></xades:SignatureTimeStamp></xades:UnsignedSignatureProperties>"
               "</xades:UnsignedProperties></xades:QualifyingProperties></Object></Signature></signatures>";
        signatureFile = kvfuzz::scratchDir() + "/signatures.xml";
        kvfuzz::writeFile(signatureFile, head + tail);

        BIO* bio = BIO_new_mem_buf(fx::kRootPem, -1);
        root = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(bio);
        if (!root) std::abort();
    }
    ~World() { X509_free(root); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static World world;
    const unsigned char flags = size > 0 ? data[0] : 0;
    const std::string token = size > 0 ? kvfuzz::bytes(data + 1, size - 1) : std::string();
    const std::string doc = world.head + base64(token, (flags & fx::kWrapBase64) != 0) + world.tail;

    std::vector<X509*> userCerts;
    if (flags & fx::kRootAsUserCert) userCerts.push_back(world.root);
    std::string signatureFile = world.signatureFile;
    const long kUntouched = -12345;
    long genTime = kUntouched;
    const int result =
        Timestamp::validateTimestamp(doc, (flags & fx::kVariant) != 0, userCerts, signatureFile, genTime);
    if (result < 1 || result > 4) __builtin_trap();
    // Only a token that verified writes the signing time.
    if (result >= 3 && genTime != kUntouched) __builtin_trap();
    static const bool expectVerified = std::getenv("KVBFUZZ_EXPECT_VERIFIED") != nullptr;
    if (expectVerified && result >= 3) __builtin_trap();
    return 0;
}
