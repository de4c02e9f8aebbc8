#include "test_pki.h"

#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <boost/filesystem.hpp>

#include "cli_runner.h"

namespace kvtest {
namespace {

using BnPtr = std::unique_ptr<BIGNUM, kvbsign::Free<&BN_free>>;
using NamePtr = std::unique_ptr<X509_NAME, kvbsign::Free<&X509_NAME_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, kvbsign::Free<&X509_EXTENSION_free>>;

[[noreturn]] void fail(const std::string& what) {
    unsigned long e = ERR_get_error();
    char buf[256] = "";
    if (e) ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    throw std::runtime_error("test PKI: " + what + (e ? std::string(": ") + buf : std::string()));
}

EvpPkeyPtr generateRsa(int bits, unsigned long exponent) {
    kvbsign::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) <= 0) fail("RSA keygen init");
    if (EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), bits) <= 0) fail("RSA key size");
    BnPtr e(BN_new());
    if (!e || !BN_set_word(e.get(), exponent)) fail("RSA exponent");
    if (EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) <= 0) fail("RSA exponent");
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_keygen(ctx.get(), &raw) <= 0) fail("RSA keygen");
    return EvpPkeyPtr(raw);
}

// Every test runs in a process of its own, so the pool keys are kept on disk below the
// build directory: generating them anew for each test would dominate the suite's time.
EvpPkeyPtr cachedRsa(int poolIndex) {
    const std::string dir = KVBSIGN_TEST_KEY_DIR;
    const std::string path = dir + "/rsa-2048-" + std::to_string(poolIndex) + ".pem";
    if (FILE* f = fopen(path.c_str(), "rb")) {
        EVP_PKEY* raw = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
        fclose(f);
        if (raw) return EvpPkeyPtr(raw);
    }
    EvpPkeyPtr key = generateRsa(2048, 65537);
    boost::system::error_code ec;
    boost::filesystem::create_directories(dir, ec);
    // Write under a private name, then rename: parallel test processes may race here.
    const std::string tmp = path + ".tmp" + std::to_string(getpid());
    if (FILE* f = fopen(tmp.c_str(), "wb")) {
        bool ok = PEM_write_PrivateKey(f, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
        ok = (fclose(f) == 0) && ok;
        if (!ok || rename(tmp.c_str(), path.c_str()) != 0) remove(tmp.c_str());
    }
    return key;
}

void addExt(X509* cert, X509V3_CTX* ctx, int nid, const std::string& value) {
    ExtPtr ext(X509V3_EXT_nconf_nid(nullptr, ctx, nid, value.c_str()));
    if (!ext) fail("extension " + std::string(OBJ_nid2sn(nid)) + "=" + value);
    if (!X509_add_ext(cert, ext.get(), -1)) fail("add extension");
}

void addCrlDistributionPoints(X509* cert, const std::vector<std::string>& urls) {
    using DpsPtr = std::unique_ptr<STACK_OF(DIST_POINT), kvbsign::Free<&CRL_DIST_POINTS_free>>;
    DpsPtr dps(sk_DIST_POINT_new_null());
    if (!dps) fail("CRL distribution points");
    for (const auto& url : urls) {
        DIST_POINT* dp = DIST_POINT_new();
        if (!dp || !sk_DIST_POINT_push(dps.get(), dp)) {
            DIST_POINT_free(dp);
            fail("distribution point");
        }
        dp->distpoint = DIST_POINT_NAME_new();
        if (!dp->distpoint) fail("distribution point name");
        dp->distpoint->type = 0; // fullName
        dp->distpoint->name.fullname = GENERAL_NAMES_new();
        if (!dp->distpoint->name.fullname) fail("general names");
        GENERAL_NAME* gn = GENERAL_NAME_new();
        ASN1_IA5STRING* uri = ASN1_IA5STRING_new();
        if (!gn || !uri || !ASN1_STRING_set(uri, url.data(), static_cast<int>(url.size()))) {
            GENERAL_NAME_free(gn);
            ASN1_IA5STRING_free(uri);
            fail("URI name");
        }
        GENERAL_NAME_set0_value(gn, GEN_URI, uri);
        if (!sk_GENERAL_NAME_push(dp->distpoint->name.fullname, gn)) {
            GENERAL_NAME_free(gn);
            fail("push URI");
        }
    }
    if (X509_add1_ext_i2d(cert, NID_crl_distribution_points, dps.get(), 0, X509V3_ADD_DEFAULT) != 1)
        fail("add CRL distribution points");
}

NamePtr makeName(const std::vector<std::pair<std::string, std::string>>& rdns) {
    NamePtr name(X509_NAME_new());
    if (!name) fail("name");
    for (const auto& rdn : rdns) {
        if (!X509_NAME_add_entry_by_txt(name.get(), rdn.first.c_str(), MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char*>(rdn.second.data()),
                                        static_cast<int>(rdn.second.size()), -1, 0))
            fail("name entry " + rdn.first);
    }
    return name;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    long len = BIO_get_mem_data(bio, &data);
    return len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
}

const time_t kDay = 24 * 60 * 60;

}  // namespace

EvpPkeyPtr makeRsaKey(int bits, unsigned long exponent, int poolIndex) {
    if (bits != 2048 || exponent != 65537) return generateRsa(bits, exponent);
    static std::mutex mutex;
    static std::map<int, EvpPkeyPtr> pool;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = pool[poolIndex];
    if (!slot) slot = cachedRsa(poolIndex);
    return shareKey(slot.get());
}

EvpPkeyPtr makeEcKey() {
    EVP_PKEY* raw = EVP_EC_gen("P-256");
    if (!raw) fail("EC keygen");
    return EvpPkeyPtr(raw);
}

EvpPkeyPtr shareKey(EVP_PKEY* key) {
    if (!key || !EVP_PKEY_up_ref(key)) fail("key reference");
    return EvpPkeyPtr(key);
}

X509Ptr makeCert(const CertSpec& spec, EVP_PKEY* subjectKey, X509* issuer, EVP_PKEY* issuerKey,
                 const EVP_MD* md) {
    if (!subjectKey) throw std::runtime_error("test PKI: no subject key");
    if (!issuer) issuerKey = issuerKey ? issuerKey : subjectKey;
    if (!issuerKey) throw std::runtime_error("test PKI: no issuer key");
    X509Ptr cert(X509_new());
    if (!cert) fail("X509_new");
    if (!X509_set_version(cert.get(), spec.version - 1)) fail("version");

    BIGNUM* bnRaw = nullptr;
    if (!BN_hex2bn(&bnRaw, spec.serialHex.c_str())) fail("serial " + spec.serialHex);
    BnPtr bn(bnRaw);
    ASN1_INTEGER* serial = X509_get_serialNumber(cert.get());
    if (!BN_to_ASN1_INTEGER(bn.get(), serial)) fail("serial");

    time_t now = time(nullptr);
    time_t nb = spec.notBefore ? spec.notBefore : now - 30 * kDay;
    time_t na = spec.notAfter ? spec.notAfter : now + 365 * kDay;
    if (!ASN1_TIME_set(X509_getm_notBefore(cert.get()), nb) || !ASN1_TIME_set(X509_getm_notAfter(cert.get()), na))
        fail("validity");

    NamePtr subject = makeName(spec.subject);
    if (!X509_set_subject_name(cert.get(), subject.get())) fail("subject");
    if (issuer) {
        if (!X509_set_issuer_name(cert.get(), X509_get_subject_name(issuer))) fail("issuer");
    } else if (!spec.issuerOverride.empty()) {
        NamePtr iss = makeName(spec.issuerOverride);
        if (!X509_set_issuer_name(cert.get(), iss.get())) fail("issuer");
    } else if (!X509_set_issuer_name(cert.get(), subject.get())) {
        fail("issuer");
    }
    if (!X509_set_pubkey(cert.get(), subjectKey)) fail("public key");

    if (spec.version >= 3) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, issuer ? issuer : cert.get(), cert.get(), nullptr, nullptr, 0);
        if (spec.basicConstraints) {
            std::string v = spec.isCA ? "critical,CA:TRUE" : "critical,CA:FALSE";
            if (spec.isCA && spec.pathLen >= 0) v += ",pathlen:" + std::to_string(spec.pathLen);
            addExt(cert.get(), &ctx, NID_basic_constraints, v);
        }
        if (!spec.keyUsageText.empty())
            addExt(cert.get(), &ctx, NID_key_usage, spec.keyUsageText);
        else if (spec.keyUsage)
            addExt(cert.get(), &ctx, NID_key_usage,
                   spec.isCA ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature,nonRepudiation");
        if (!spec.extendedKeyUsageText.empty())
            addExt(cert.get(), &ctx, NID_ext_key_usage, spec.extendedKeyUsageText);
        else if (spec.timeStampingEku)
            addExt(cert.get(), &ctx, NID_ext_key_usage, "critical,timeStamping");
        if (spec.subjectKeyId) addExt(cert.get(), &ctx, NID_subject_key_identifier, "hash");
        if (spec.authorityKeyId && issuer) addExt(cert.get(), &ctx, NID_authority_key_identifier, "keyid");
        if (!spec.crlUrls.empty()) addCrlDistributionPoints(cert.get(), spec.crlUrls);
    }
    if (X509_sign(cert.get(), issuerKey, md) <= 0) fail("sign certificate");
    return cert;
}

X509Ptr dupCert(X509* cert) {
    if (!cert || !X509_up_ref(cert)) fail("certificate reference");
    return X509Ptr(cert);
}

std::string toDer(X509* cert) {
    unsigned char* out = nullptr;
    int len = i2d_X509(cert, &out);
    if (len <= 0) fail("i2d_X509");
    std::string der(reinterpret_cast<char*>(out), static_cast<size_t>(len));
    OPENSSL_free(out);
    return der;
}

std::string toPem(X509* cert) {
    kvbsign::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_X509(bio.get(), cert)) fail("PEM_write_bio_X509");
    return bioText(bio.get());
}

X509Ptr fromDer(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    ERR_clear_error();
    return cert;
}

std::string keyToPem(EVP_PKEY* key) {
    kvbsign::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || !PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr))
        fail("PEM_write_bio_PrivateKey");
    return bioText(bio.get());
}

std::string oneLine(const X509_NAME* name) {
    char buf[4096];
    if (!X509_NAME_oneline(name, buf, sizeof buf)) fail("X509_NAME_oneline");
    return buf;
}

std::string subjectOneLine(X509* cert) { return oneLine(X509_get_subject_name(cert)); }
std::string issuerOneLine(X509* cert) { return oneLine(X509_get_issuer_name(cert)); }

std::string serialHexOf(X509* cert) {
    BnPtr bn(ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr));
    if (!bn) fail("serial");
    char* h = BN_bn2hex(bn.get());
    if (!h) fail("BN_bn2hex");
    std::string s(h);
    OPENSSL_free(h);
    return s;
}

std::string base64(const std::string& bytes, bool lineBreaks) {
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string plain;
    plain.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) | (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                     static_cast<unsigned char>(bytes[i + 2]);
        plain += kAlphabet[(v >> 18) & 63];
        plain += kAlphabet[(v >> 12) & 63];
        plain += kAlphabet[(v >> 6) & 63];
        plain += kAlphabet[v & 63];
    }
    size_t rest = bytes.size() - i;
    if (rest) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        plain += kAlphabet[(v >> 18) & 63];
        plain += kAlphabet[(v >> 12) & 63];
        plain += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
        plain += '=';
    }
    if (!lineBreaks) return plain;
    std::string out;
    for (size_t p = 0; p < plain.size(); p += 64) {
        if (p) out += '\n';
        out += plain.substr(p, 64);
    }
    return out;
}

std::string base64Decode(const std::string& text) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    bool padding = false;
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') continue;
        if (c == '=') {
            padding = true;
            continue;
        }
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else throw std::runtime_error("base64Decode: bad character");
        if (padding) throw std::runtime_error("base64Decode: data after padding");
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

namespace {
std::string digestOf(const EVP_MD* md, const std::string& bytes) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (!EVP_Digest(bytes.data(), bytes.size(), out, &len, md, nullptr)) fail("EVP_Digest");
    return std::string(reinterpret_cast<char*>(out), len);
}
}  // namespace

std::string sha1(const std::string& bytes) { return digestOf(EVP_sha1(), bytes); }
std::string sha256(const std::string& bytes) { return digestOf(EVP_sha256(), bytes); }

std::string hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> TestPki::leafSubject() {
    return {{"C", "GB"}, {"O", "KVB Test Signers"}, {"OU", "Unit A"}, {"OU", "Unit B"}, {"CN", "KVB Test Leaf"}};
}

std::vector<X509Ptr> TestPki::defaultChain() const {
    std::vector<X509Ptr> chain;
    chain.push_back(dupCert(leaf.cert.get()));
    chain.push_back(dupCert(intermediate.cert.get()));
    chain.push_back(dupCert(root.cert.get()));
    return chain;
}

CertSpec leafSpec(const std::string& cn, const std::string& serialHex) {
    CertSpec s;
    s.subject = {{"C", "GB"}, {"O", "KVB Test Signers"}, {"CN", cn}};
    s.serialHex = serialHex;
    return s;
}

CertSpec caSpec(const std::string& cn, const std::string& serialHex) {
    CertSpec s;
    s.subject = {{"C", "GB"}, {"O", "KVB Test CA"}, {"CN", cn}};
    s.serialHex = serialHex;
    s.isCA = true;
    return s;
}

TestPki& pki() {
    static TestPki* instance = [] {
        auto* p = new TestPki;
        time_t now = time(nullptr);

        p->root.key = makeRsaKey(2048, 65537, 0);
        CertSpec rootSpec = caSpec("KVB Test Root", "01");
        rootSpec.subject = {{"CN", "KVB Test Root"}};
        p->root.cert = makeCert(rootSpec, p->root.key.get(), nullptr, nullptr);

        p->intermediate.key = makeRsaKey(2048, 65537, 1);
        p->intermediate.cert = makeCert(caSpec("KVB Test Intermediate", "0100"), p->intermediate.key.get(),
                                        p->root.cert.get(), p->root.key.get());

        CertSpec leaf;
        leaf.subject = TestPki::leafSubject();
        leaf.serialHex = "1001";
        p->leaf.key = makeRsaKey(2048, 65537, 2);
        p->leaf.cert = makeCert(leaf, p->leaf.key.get(), p->intermediate.cert.get(), p->intermediate.key.get());

        CertSpec expired = leafSpec("KVB Test Expired Leaf", "1002");
        expired.notBefore = now - 60 * kDay;
        expired.notAfter = now - 2 * kDay;
        p->expiredLeaf.key = makeRsaKey(2048, 65537, 3);
        p->expiredLeaf.cert =
            makeCert(expired, p->expiredLeaf.key.get(), p->intermediate.cert.get(), p->intermediate.key.get());

        CertSpec future = leafSpec("KVB Test Future Leaf", "1003");
        future.notBefore = now + 2 * kDay;
        future.notAfter = now + 365 * kDay;
        p->notYetValidLeaf.key = makeRsaKey(2048, 65537, 4);
        p->notYetValidLeaf.cert =
            makeCert(future, p->notYetValidLeaf.key.get(), p->intermediate.cert.get(), p->intermediate.key.get());

        CertSpec v1Root;
        v1Root.subject = {{"C", "GB"}, {"O", "KVB Test Legacy"}, {"CN", "KVB Test V1 Root"}};
        v1Root.serialHex = "02";
        v1Root.version = 1;
        p->v1Root.key = makeRsaKey(2048, 65537, 5);
        p->v1Root.cert = makeCert(v1Root, p->v1Root.key.get(), nullptr, nullptr);

        CertSpec v1Leaf = leafSpec("KVB Test V1 Leaf", "2001");
        v1Leaf.version = 1;
        p->v1Leaf.key = makeRsaKey(2048, 65537, 6);
        p->v1Leaf.cert = makeCert(v1Leaf, p->v1Leaf.key.get(), p->v1Root.cert.get(), p->v1Root.key.get());

        p->eeIssued.key = makeRsaKey(2048, 65537, 7);
        p->eeIssued.cert =
            makeCert(leafSpec("KVB Test EE Issued", "3001"), p->eeIssued.key.get(), p->leaf.cert.get(), p->leaf.key.get());

        CertSpec unrelated = caSpec("KVB Unrelated Root", "03");
        p->unrelatedRoot.key = makeRsaKey(2048, 65537, 8);
        p->unrelatedRoot.cert = makeCert(unrelated, p->unrelatedRoot.key.get(), nullptr, nullptr);
        return p;
    }();
    return *instance;
}

void writePemBundle(const std::string& path, const std::vector<X509*>& certs) {
    std::string text;
    for (X509* c : certs) text += toPem(c);
    writeFile(path, text);
}

void writeDer(const std::string& path, X509* cert) { writeFile(path, toDer(cert)); }

}  // namespace kvtest
