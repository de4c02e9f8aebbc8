// Signature value check: the RSA signature over the canonical SignedInfo, then the manifest
// and every file digest.

#include <string>
#include <string_view>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include "KVBSignLibInternal.h"
#include "ossl_ptr.h"
#include "text/document_tags.h"

namespace {

// DER header of a DigestInfo for SHA-1 (object identifier 1.3.14.3.2.26, NULL parameters)
// followed by a 20-byte OCTET STRING.
const unsigned char kSha1DigestInfoPrefix[15] = {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2B, 0x0E,
                                                 0x03, 0x02, 0x1A, 0x05, 0x00, 0x04, 0x14};
const std::size_t kDigestInfoLength = sizeof(kSha1DigestInfoPrefix) + 20;

// The block under the PKCS #1 v1.5 type 1 padding of the signature, or "" when the key is no
// RSA key or the signature does not decrypt. No digest is set on the operation, so the whole
// DigestInfo comes back and is judged by the caller.
std::string recoverSignedBlock(EVP_PKEY* key, const std::string& signature) {
    if (key == nullptr || EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA) return "";
    kvbsign::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_recover_init(ctx.get()) <= 0 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0)
        return "";
    const int size = EVP_PKEY_get_size(key);
    if (size <= 0) return "";
    std::vector<unsigned char> block(static_cast<std::size_t>(size));
    std::size_t length = block.size();
    if (EVP_PKEY_verify_recover(ctx.get(), block.data(), &length,
                                reinterpret_cast<const unsigned char*>(signature.data()), signature.size()) <= 0)
        return "";
    return std::string(reinterpret_cast<const char*>(block.data()), length);
}

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// True when a CR or LF stands anywhere but in white space between a ">" and the next "<" (the
// ends of the text count as such): inside a tag, an attribute value or character data.
bool lineBreakInsideMarkup(std::string_view text) {
    std::string_view::size_type i = 0;
    // Every pass moves i past one byte or one run of white space, so the scan ends.
    while (i < text.size()) {
        if (!isWhiteSpace(text[i])) {
            ++i;
            continue;
        }
        const std::string_view::size_type runStart = i;
        bool lineBreak = false;
        for (; i < text.size() && isWhiteSpace(text[i]); ++i) {
            if (text[i] == '\r' || text[i] == '\n') lineBreak = true;
        }
        if (!lineBreak) continue;
        const bool afterTag = runStart == 0 || text[runStart - 1] == '>';
        const bool beforeTag = i == text.size() || text[i] == '<';
        if (!afterTag || !beforeTag) return true;
    }
    return false;
}

// The variant signs its own SignedInfo form; its manifest digest is taken in either of the
// two forms that signers of the variant produce. A digest of the form without line breaks does
// not cover them, yet the entries are read from the text as written, where a line break inside
// a tag merges References or hides an attribute: there, line breaks may only separate elements.
bool variantManifestDigestMatches(const std::string& sigXml) {
    const std::string signedDigest =
        KVBSignLibInternal::base64DecodeView(KVBSignLibInternal::manifestValueRange(sigXml));
    if (signedDigest == KVBSignLibInternal::manifestSHA256(sigXml, false)) return true;
    if (signedDigest != KVBSignLibInternal::manifestSHA256(sigXml, true)) return false;
    return !lineBreakInsideMarkup(
        KVBSignLibInternal::stringRangeView(sigXml, kvbsign::tags::kManifestStart, kvbsign::tags::kManifestEnd));
}

}  // namespace

bool validateKVB(const std::string& sigXml, const char* directory, const char* prefix, bool isNvo) {
    std::string block;
    {
        kvbsign::EvpPkeyPtr key(KVBSignLibInternal::extractRSA(sigXml));
        const std::string signature =
            KVBSignLibInternal::base64DecodeView(KVBSignLibInternal::signatureValueRange(sigXml));
        block = recoverSignedBlock(key.get(), signature);
    }
    // A failed decryption leaves its reasons on the error queue; they are of no further use.
    ERR_clear_error();

    if (block.size() != kDigestInfoLength ||
        block.compare(0, sizeof(kSha1DigestInfoPrefix), reinterpret_cast<const char*>(kSha1DigestInfoPrefix),
                      sizeof(kSha1DigestInfoPrefix)) != 0)
        return false;

    const std::string digest = KVBSignLibInternal::signedInfoSHA1(sigXml, isNvo);
    if (block.compare(sizeof(kSha1DigestInfoPrefix), std::string::npos, digest) != 0) {
        KVBSignLibInternal::debugError("\nSignedInfo mismatch\n");
        return false;
    }

    // Text that the canonical forms delete is not covered by the signature, yet a reader of
    // the document would see it.
    if (KVBSignLibInternal::canonicalFormDropsContent(sigXml, isNvo)) {
        KVBSignLibInternal::debugError("\nSigned elements hold text that the signature does not cover\n");
        return false;
    }

    if (isNvo && !variantManifestDigestMatches(sigXml)) {
        KVBSignLibInternal::debugError("\nManifest Digest mismatch\n");
        KVBSignLibInternal::debugError("\nHash manifest checking failed");
        return false;
    }
    // The variant's manifest digest has been compared above.
    if (!checkManifestHashes(sigXml, directory, prefix, isNvo, false)) {
        KVBSignLibInternal::debugError("\nHash manifest checking failed");
        return false;
    }
    return true;
}
