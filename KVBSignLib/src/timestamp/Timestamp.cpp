// RFC 3161 timestamp over the signature value: finding it, verifying the token and its
// authority, and rating its signing time against the signer's validity.
#include "Timestamp.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string_view>
#include <utility>

#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include "KVBSignLibInternal.h"
#include "certificates/signer.h"
#include "ossl_ptr.h"
#include "text/document_tags.h"

namespace {

namespace tags = kvbsign::tags;

enum : int { kValid = 1, kValidOutsideValidity = 2, kUnverifiable = 3, kInvalid = 4 };

// An authority's chain is a handful of certificates. The store re-sorts itself at every
// insertion, so a token carrying thousands would hold the check for minutes: such a token is
// refused before any of its certificates is added.
constexpr int kMaxTokenCertificates = 64;

// The store's own verdict on every certificate stands.
int verify_cb(int ok, X509_STORE_CTX*) { return ok; }

// One element of a token's encoding, its header read by the decoder's own header reader
// (definite and indefinite lengths alike); nothing inside it is decoded.
struct Element {
    int tag = 0;
    int cls = 0;
    const unsigned char* content = nullptr;
    const unsigned char* contentEnd = nullptr;
    const unsigned char* end = nullptr;  // after the element, its end-of-contents marker included
};

// Deeper than the decoder itself nests: such an encoding is left to the decoder to refuse.
constexpr int kMaxElementDepth = 64;

// Reads the element at `p`, which must end by `limit`. An indefinite length is followed
// through the elements inside to its end-of-contents marker.
bool readElement(const unsigned char* p, const unsigned char* limit, int depth, Element& e) {
    if (p >= limit || depth > kMaxElementDepth) return false;
    const unsigned char* q = p;
    long length = 0;
    const int header = ASN1_get_object(&q, &length, &e.tag, &e.cls, static_cast<long>(limit - p));
    if ((header & 0x80) != 0) return false;
    e.content = q;
    if ((header & 0x01) == 0) {
        e.contentEnd = e.end = q + length;
        return true;
    }
    // Every pass moves past one element inside, or stops at the marker.
    while (!(limit - q >= 2 && q[0] == 0 && q[1] == 0)) {
        Element inner;
        if (!readElement(q, limit, depth + 1, inner)) return false;
        q = inner.end;
    }
    e.contentEnd = q;
    e.end = q + 2;
    return true;
}

bool isUniversal(const Element& e, int tag) { return e.cls == V_ASN1_UNIVERSAL && e.tag == tag; }
bool isContext(const Element& e, int tag) { return e.cls == V_ASN1_CONTEXT_SPECIFIC && e.tag == tag; }

bool isObject(const Element& e, int nid) {
    const ASN1_OBJECT* object = OBJ_nid2obj(nid);
    const std::size_t length = object ? OBJ_length(object) : 0;
    return isUniversal(e, V_ASN1_OBJECT) && length > 0 && static_cast<std::size_t>(e.contentEnd - e.content) == length &&
           std::memcmp(e.content, OBJ_get0_data(object), length) == 0;
}

// The number of certificates in the certificate set of the token in `der` (a response or a
// bare token), read from its encoding without decoding them and counted no further than one
// past `atMost`; -1 when the encoding is not laid out as a signed token (the decoder judges
// it then). The set is the first field tagged [0] of the signed content, in both kinds of
// signed content that carry one.
long tokenCertificateCount(const std::string& der, long atMost) {
    const unsigned char* const begin = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* const limit = begin + der.size();
    Element outer;
    Element first;
    if (!readElement(begin, limit, 0, outer) || !isUniversal(outer, V_ASN1_SEQUENCE) ||
        !readElement(outer.content, outer.contentEnd, 1, first))
        return -1;
    // A response holds its status first, then the token, when it has one.
    Element token = outer;
    Element type = first;
    if (isUniversal(first, V_ASN1_SEQUENCE)) {
        if (first.end == outer.contentEnd) return 0;
        if (!readElement(first.end, outer.contentEnd, 1, token) || !isUniversal(token, V_ASN1_SEQUENCE) ||
            !readElement(token.content, token.contentEnd, 2, type))
            return -1;
    }
    if (!isObject(type, NID_pkcs7_signed) && !isObject(type, NID_pkcs7_signedAndEnveloped)) return -1;
    if (type.end == token.contentEnd) return 0;
    Element wrapper;
    Element content;
    if (!readElement(type.end, token.contentEnd, 3, wrapper) || !isContext(wrapper, 0) ||
        !readElement(wrapper.content, wrapper.contentEnd, 4, content) || !isUniversal(content, V_ASN1_SEQUENCE))
        return -1;
    Element field;
    // Every pass moves past one field of the signed content.
    for (const unsigned char* at = content.content; at < content.contentEnd; at = field.end) {
        if (!readElement(at, content.contentEnd, 5, field)) return -1;
        if (!isContext(field, 0)) continue;
        long count = 0;
        Element certificate;
        // Every pass moves past one certificate.
        for (const unsigned char* c = field.content; c < field.contentEnd && count <= atMost; c = certificate.end) {
            if (!readElement(c, field.contentEnd, 6, certificate)) return -1;
            ++count;
        }
        return count;
    }
    return 0;
}

// The certificate set of a signed (or signed and enveloped) token; null for any other content.
const STACK_OF(X509)* tokenCertificateSet(const PKCS7* token) {
    if (token == nullptr || token->type == nullptr) return nullptr;
    switch (OBJ_obj2nid(token->type)) {
        case NID_pkcs7_signed:
            return token->d.sign != nullptr ? token->d.sign->cert : nullptr;
        case NID_pkcs7_signedAndEnveloped:
            return token->d.signed_and_enveloped != nullptr ? token->d.signed_and_enveloped->cert : nullptr;
        default:
            return nullptr;
    }
}

// The certificates of a token vouch for the authority only when the certificate that signed the
// token is the end entity of the chain they form.
bool authorityIsEndEntity(PKCS7* token, const STACK_OF(X509)* set) {
    if (set == nullptr) return false;
    ERR_set_mark();
    const kvbsign::BorrowedX509StackPtr signers(PKCS7_get0_signers(token, nullptr, 0));
    ERR_pop_to_mark();
    X509* signer = signers && sk_X509_num(signers.get()) == 1 ? sk_X509_value(signers.get(), 0) : nullptr;
    if (signer == nullptr) return false;
    std::vector<X509*> certs;
    certs.reserve(static_cast<std::size_t>(sk_X509_num(set)));
    for (int i = 0; i < sk_X509_num(set); ++i) certs.push_back(sk_X509_value(set, i));
    return kvbsign::signerIsEndEntity(signer, certs);
}

// genTime of a bare token, from the TSTInfo that is its signed content and that the verification
// has just checked; a dump of the whole token would also show TSTInfo-like data in its unsigned
// parts.
long genTimeOfToken(PKCS7* token) {
    kvbsign::TsTstInfoPtr info(PKCS7_to_TS_TST_INFO(token));
    if (!info) return 0;
    return static_cast<long>(Timestamp::Asn1ToTime(TS_TST_INFO_get_time(info.get())));
}

// Validity bounds of the signer, the same certificate the signature and trust checks use.
void signerValidity(const std::string& sigXml, time_t& notBefore, time_t& notAfter) {
    notBefore = 0;
    notAfter = 0;
    const kvbsign::X509Ptr signer = kvbsign::signerCertificate(sigXml);
    if (!signer) return;
    notAfter = Timestamp::Asn1ToTime(X509_get0_notAfter(signer.get()));
    notBefore = Timestamp::Asn1ToTime(X509_get0_notBefore(signer.get()));
}

}  // namespace

bool Timestamp::isTimestamped(const std::string& sigXml) {
    return sigXml.find(tags::kTimestampStart) != std::string::npos;
}

std::string Timestamp::extractTimestampValue(const std::string& sigXml) {
    return KVBSignLibInternal::unite_lines(
        std::string(KVBSignLibInternal::stringRangeView(sigXml, tags::kTimestampStart, tags::kTimestampEnd)));
}

std::string Timestamp::constructTimestampRequestBody(const std::string& sigXml) {
    // Built as one text: the value goes in with its line breaks left out.
    const std::string_view value = KVBSignLibInternal::signatureValueRange(sigXml);
    std::string body;
    body.reserve(sizeof tags::kSignatureValueWithNamespace + value.size() + sizeof tags::kSignatureValueEnd);
    body.append(tags::kSignatureValueWithNamespace);
    for (char c : value) {
        if (c != '\r' && c != '\n') body.push_back(c);
    }
    body.append(tags::kSignatureValueEnd);
    return body;
}

std::string Timestamp::readAndRepairTimestampRequestBody(const std::string& path) {
    std::ifstream in(path, std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        KVBSignLibInternal::debugError("Failed to open signature file when validating legacy timestamp.");
        return "";
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);

    // Read in bounded chunks so that a size the stream misreports cannot make one huge buffer.
    // Before the start tag only the bytes that may begin it are kept, and reading stops at the
    // end tag: the file is never held whole.
    const std::string_view start = tags::kSignatureValueStart;
    const std::string_view end = tags::kSignatureValueEnd;
    std::string before;
    std::string formed;
    bool started = false;
    size_t searched = 0;  // the end tag does not begin in formed before this place
    char chunk[8192];
    std::streamoff left = size;
    while (left > 0 && in) {
        const std::streamsize want = static_cast<std::streamsize>(std::min<std::streamoff>(left, sizeof chunk));
        in.read(chunk, want);
        const std::streamsize got = in.gcount();
        if (got <= 0) break;
        left -= got;
        if (!started) {
            before.append(chunk, static_cast<size_t>(got));
            const size_t p = before.find(start);
            if (p == std::string::npos) {
                if (before.size() >= start.size()) before.erase(0, before.size() - (start.size() - 1));
                continue;
            }
            started = true;
            formed = tags::kSignatureValueWithNamespace;
            formed.append(before, p + start.size(), std::string::npos);
            before = std::string();
        } else {
            formed.append(chunk, static_cast<size_t>(got));
        }
        const size_t q = formed.find(end, searched);
        if (q != std::string::npos) {
            formed.resize(q + end.size());
            return formed;
        }
        if (formed.size() >= end.size()) searched = formed.size() - (end.size() - 1);
    }
    return "";
}

std::string Timestamp::computeSHA1AsHex(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha1(), nullptr) != 1) return "";
    return KVBSignLibInternal::digest_to_hex_string(digest, length);
}

std::string Timestamp::extractTSTInfo(const std::string& dump) {
    static const std::string kTstInfo = "id-smime-ct-TSTInfo";
    static const std::string kHexDump = "[HEX DUMP]";
    const size_t at = dump.find(kTstInfo);
    if (at == std::string::npos) return "";
    std::string rest = dump.substr(at + kTstInfo.size());
    const size_t hex = rest.find(kHexDump);
    if (hex != std::string::npos) rest.erase(0, hex + kHexDump.size());
    const size_t colon = rest.find(':');
    if (colon != std::string::npos) rest.erase(0, colon + 1);
    const size_t lineEnd = rest.find('\n');
    if (lineEnd != std::string::npos) rest.resize(lineEnd);
    return rest;
}

int Timestamp::validateTimestamp(const std::string& sigXml, bool isNvo, std::vector<X509*> userCerts,
                                 std::string& signatureFilePath, long& genTime) {
    // The request body goes before the token is decoded, so the two are never held at once.
    std::string digestHex = computeSHA1AsHex(constructTimestampRequestBody(sigXml));
    const std::string der = KVBSignLibInternal::base64DecodeView(
        KVBSignLibInternal::stringRangeView(sigXml, tags::kTimestampStart, tags::kTimestampEnd));

    if (sigXml.find(tags::kCertificateStart) == std::string::npos) return kInvalid;

    time_t notBefore = 0;
    time_t notAfter = 0;
    signerValidity(sigXml, notBefore, notAfter);

    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);

    // Counted from the encoding first: decoding thousands of certificates takes seconds by
    // itself. Headers that cannot be read leave their reasons on the error queue.
    ERR_set_mark();
    const long counted = tokenCertificateCount(der, kMaxTokenCertificates);
    ERR_pop_to_mark();
    if (counted > kMaxTokenCertificates) return kInvalid;

    // The two forms differ in their first inner element, so at most one of them parses.
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    kvbsign::Pkcs7Ptr bareToken(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    p = reinterpret_cast<const unsigned char*>(der.data());
    kvbsign::TsRespPtr response(d2i_TS_RESP(nullptr, &p, static_cast<long>(der.size())));
    if (response) bareToken.reset();
    if (!bareToken && !response) return kUnverifiable;
    const bool legacy = !response;
    PKCS7* token = legacy ? bareToken.get() : TS_RESP_get_token(response.get());
    const STACK_OF(X509)* set = tokenCertificateSet(token);
    if (set != nullptr && sk_X509_num(set) > kMaxTokenCertificates) return kInvalid;

    kvbsign::TsVerifyCtxPtr context(TS_VERIFY_CTX_new());
    if (!context) return kUnverifiable;
    TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_VERSION | TS_VFY_SIGNER | TS_VFY_IMPRINT);

    if (legacy) {
        // The authority stamped the signature value as the file stores it, line breaks included.
        const std::string message = readAndRepairTimestampRequestBody(signatureFilePath);
        if (message.empty()) return kInvalid;
        digestHex = computeSHA1AsHex(message);
    }

    long imprintLength = 0;
    unsigned char* imprint = OPENSSL_hexstr2buf(digestHex.c_str(), &imprintLength);
    if (imprint == nullptr) return kUnverifiable;
    TS_VERIFY_CTX_set_imprint(context.get(), imprint, imprintLength);  // the context owns it now
    TS_VERIFY_CTX_add_flags(context.get(), TS_VFY_SIGNATURE);

    kvbsign::X509StorePtr ownedStore(X509_STORE_new());
    if (!ownedStore) return kUnverifiable;
    X509_STORE* store = ownedStore.get();
    X509_STORE_set_verify_cb(store, verify_cb);
    // The context frees the store; it takes no reference of its own.
    TS_VERIFY_CTX_set_store(context.get(), ownedStore.release());

    {
        kvbsign::X509List storeRoots;
        KVBSignLibInternal::getSystemRootCertificates(storeRoots.certs());
        for (X509* root : storeRoots.certs()) X509_STORE_add_cert(store, root);  // the store takes its own reference
    }
    for (X509* user : userCerts) {
        if (user != nullptr) X509_STORE_add_cert(store, user);
    }

    std::vector<kvbsign::X509Ptr> tokenCertificates;
    if (set != nullptr) {
        for (int i = 0; i < sk_X509_num(set); ++i) {
            X509* cert = sk_X509_value(set, i);
            X509_STORE_add_cert(store, cert);
            kvbsign::X509Ptr copy(X509_dup(cert));
            if (!copy) return kUnverifiable;
            tokenCertificates.push_back(std::move(copy));
        }
    }

    // The authority must chain to a system root. Without any root there is nothing to anchor
    // the chain to, and a chain check without anchors would accept any self-made authority.
    {
        kvbsign::X509List chainRoots;
        if (!KVBSignLibInternal::getSystemRootCertificates(chainRoots.certs()) || chainRoots.certs().empty())
            return kUnverifiable;
        if (!authorityIsEndEntity(token, set)) return kInvalid;
        std::vector<X509*> handedOver;
        handedOver.reserve(tokenCertificates.size());
        for (auto& cert : tokenCertificates) handedOver.push_back(cert.get());
        for (auto& cert : tokenCertificates) cert.release();  // the chain check frees them
        tokenCertificates.clear();
        if (!KVBSignLibInternal::validateCertificateChainX509(std::move(handedOver), chainRoots.certs()))
            return kInvalid;
    }

    const int verified = legacy ? TS_RESP_verify_token(context.get(), token)
                                : TS_RESP_verify_response(context.get(), response.get());
    if (verified == 0) return kInvalid;

    long time = 0;
    if (legacy) {
        // Only the signature variant reads the time of a bare token.
        if (isNvo) time = genTimeOfToken(token);
    } else if (TS_TST_INFO* info = TS_RESP_get_tst_info(response.get())) {
        time = static_cast<long>(Asn1ToTime(TS_TST_INFO_get_time(info)));
    }
    genTime = time;

    // A time that was not read (0) vouches for nothing: only a known time inside the validity
    // lets the signer's own dates go unchecked.
    const time_t signingTime = static_cast<time_t>(time);
    if (time == 0 || difftime(signingTime, notAfter) > 0 || difftime(signingTime, notBefore) < 0)
        return kValidOutsideValidity;
    return kValid;
}
