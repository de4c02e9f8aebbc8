// Chain building and checking, anchors, the system root store and the user's DER files.

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "certificates/chain.h"
#include "cli_runner.h"
#include "leftover_check.h"
#include "test_pki.h"

namespace {

using kvtest::CertAndKey;
using kvtest::CertSpec;
using kvtest::makeCert;
using kvtest::makeRsaKey;
using kvtest::pki;
using kvtest::X509Ptr;

// Certificates beyond the shared PKI, built once.
struct Extra {
    X509Ptr wrongSignatureLeaf;  // names the intermediate as issuer, signed by another key
    CertAndKey noBcIntermediate; // v3 CA-named certificate without basic constraints
    X509Ptr noBcLeaf;            // issued by noBcIntermediate
    CertAndKey v1Intermediate;   // v1, issued by the v1 root: no extensions but not self-issued
    X509Ptr v1IntermediateLeaf;
    X509Ptr rootOtherKey;        // subject "CN=KVB Test Root", another key
    X509Ptr rootOtherSerial;     // subject and key of the root; other serial, other issuer
    CertAndKey oddRoot;          // self-issued, but its signature was made by another key
    X509Ptr oddRootLeaf;
};

Extra& extra() {
    static Extra* e = [] {
        auto* x = new Extra;
        auto& p = pki();
        x->wrongSignatureLeaf = makeCert(kvtest::leafSpec("KVB Wrong Signature", "1010"), p.leaf.key.get(),
                                         p.intermediate.cert.get(), p.unrelatedRoot.key.get());

        CertSpec noBc = kvtest::caSpec("KVB No Constraints CA", "0200");
        noBc.basicConstraints = false;
        x->noBcIntermediate.key = makeRsaKey(2048, 65537, 9);
        x->noBcIntermediate.cert =
            makeCert(noBc, x->noBcIntermediate.key.get(), p.root.cert.get(), p.root.key.get());
        x->noBcLeaf = makeCert(kvtest::leafSpec("KVB No Constraints Leaf", "1011"), p.leaf.key.get(),
                               x->noBcIntermediate.cert.get(), x->noBcIntermediate.key.get());

        CertSpec v1Mid = kvtest::leafSpec("KVB V1 Intermediate", "2002");
        v1Mid.version = 1;
        x->v1Intermediate.key = makeRsaKey(2048, 65537, 10);
        x->v1Intermediate.cert =
            makeCert(v1Mid, x->v1Intermediate.key.get(), p.v1Root.cert.get(), p.v1Root.key.get());
        CertSpec v1MidLeaf = kvtest::leafSpec("KVB V1 Intermediate Leaf", "2003");
        v1MidLeaf.version = 1;
        x->v1IntermediateLeaf =
            makeCert(v1MidLeaf, p.leaf.key.get(), x->v1Intermediate.cert.get(), x->v1Intermediate.key.get());

        CertSpec rootName = kvtest::caSpec("KVB Test Root", "01");
        rootName.subject = {{"CN", "KVB Test Root"}};
        x->rootOtherKey = makeCert(rootName, p.unrelatedRoot.key.get(), nullptr, nullptr);
        CertSpec otherSerial = rootName;
        otherSerial.serialHex = "77";
        x->rootOtherSerial = makeCert(otherSerial, p.root.key.get(), p.unrelatedRoot.cert.get(),
                                      p.unrelatedRoot.key.get());

        // Self-issued by name, signed by the key of a namesake: its own signature does not verify.
        CertSpec odd = kvtest::caSpec("KVB Odd Root", "05");
        x->oddRoot.key = makeRsaKey(2048, 65537, 11);
        X509Ptr namesake = makeCert(odd, p.unrelatedRoot.key.get(), nullptr, nullptr);
        x->oddRoot.cert = makeCert(odd, x->oddRoot.key.get(), namesake.get(), p.unrelatedRoot.key.get());
        x->oddRootLeaf = makeCert(kvtest::leafSpec("KVB Odd Leaf", "1012"), p.leaf.key.get(), x->oddRoot.cert.get(),
                                  x->oddRoot.key.get());
        return x;
    }();
    return *e;
}

// New references to the given certificates, for a list the chain check consumes.
std::vector<X509*> handOver(const std::vector<X509*>& certs) {
    std::vector<X509*> out;
    for (X509* c : certs) out.push_back(c ? kvtest::dupCert(c).release() : nullptr);
    return out;
}

bool check(const std::vector<X509*>& certs, std::vector<X509*> anchors = {}) {
    return KVBSignLibInternal::validateCertificateChainX509(handOver(certs), anchors);
}

struct ChainCase {
    const char* name;
    std::vector<X509*> certs;
    bool want;
};

TEST(CertificateChain, BuildsAndVerifiesWithoutAnchors) {
    auto& p = pki();
    auto& x = extra();
    X509* leaf = p.leaf.cert.get();
    X509* mid = p.intermediate.cert.get();
    X509* root = p.root.cert.get();
    const ChainCase cases[] = {
        {"leaf, intermediate, root", {leaf, mid, root}, true},
        {"leaf, root, intermediate", {leaf, root, mid}, true},
        {"intermediate, leaf, root", {mid, leaf, root}, true},
        {"intermediate, root, leaf", {mid, root, leaf}, true},
        {"root, leaf, intermediate", {root, leaf, mid}, true},
        {"root, intermediate, leaf", {root, mid, leaf}, true},
        {"a lone self-signed root", {root}, true},
        {"expired leaf", {p.expiredLeaf.cert.get(), mid, root}, true},
        {"not yet valid leaf", {root, p.notYetValidLeaf.cert.get(), mid}, true},
        {"v1 root issuing a v1 leaf", {p.v1Leaf.cert.get(), p.v1Root.cert.get()}, true},
        {"root whose own signature does not verify", {x.oddRootLeaf.get(), x.oddRoot.cert.get()}, true},
        {"empty list", {}, false},
        {"no self-issued certificate", {leaf, mid}, false},
        {"missing intermediate", {leaf, root}, false},
        {"two unrelated roots", {root, p.unrelatedRoot.cert.get()}, false},
        {"second child of the same issuer", {leaf, p.expiredLeaf.cert.get(), mid, root}, false},
        {"root first, then certificates it did not issue", {root, p.eeIssued.cert.get(), p.v1Leaf.cert.get()},
         false},
        {"root first, then a chain with a bad link", {root, mid, x.wrongSignatureLeaf.get()}, false},
        {"leaf signed by the wrong key", {x.wrongSignatureLeaf.get(), mid, root}, false},
        {"end entity acting as issuer", {p.eeIssued.cert.get(), leaf, mid, root}, false},
        {"issuer without basic constraints", {x.noBcLeaf.get(), x.noBcIntermediate.cert.get(), root}, false},
        {"v1 issuer that is not self-issued",
         {x.v1IntermediateLeaf.get(), x.v1Intermediate.cert.get(), p.v1Root.cert.get()},
         false},
        {"an entry that did not decode", {leaf, nullptr, mid, root}, false},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(check(c.certs), c.want);
    }
}

TEST(CertificateChain, AnchorsMatchBySubjectAndKey) {
    auto& p = pki();
    auto& x = extra();
    const std::vector<X509*> chain = {p.leaf.cert.get(), p.intermediate.cert.get(), p.root.cert.get()};
    struct AnchorCase {
        const char* name;
        std::vector<X509*> anchors;
        bool want;
    };
    const AnchorCase cases[] = {
        {"the root", {p.root.cert.get()}, true},
        {"the intermediate", {p.intermediate.cert.get()}, true},
        {"the leaf itself", {p.leaf.cert.get()}, true},
        {"an unrelated root", {p.unrelatedRoot.cert.get()}, false},
        {"root's subject with another key", {x.rootOtherKey.get()}, false},
        {"root's subject and key, other serial and issuer", {x.rootOtherSerial.get()}, true},
        {"several, one matching", {p.unrelatedRoot.cert.get(), x.rootOtherKey.get(), p.root.cert.get()}, true},
    };
    for (const AnchorCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<X509*> anchors = c.anchors;
        EXPECT_EQ(KVBSignLibInternal::validateCertificateChainX509(handOver(chain), anchors), c.want);
        EXPECT_EQ(anchors, c.anchors);  // the anchors stay with their owner
    }

    // A matching anchor does not rescue a chain that does not verify.
    std::vector<X509*> anchors = {p.root.cert.get()};
    EXPECT_FALSE(KVBSignLibInternal::validateCertificateChainX509(
        handOver({x.wrongSignatureLeaf.get(), p.intermediate.cert.get(), p.root.cert.get()}), anchors));
    // A lone root with anchors validates only when it is one of them.
    EXPECT_TRUE(check({p.root.cert.get()}, {x.rootOtherSerial.get()}));
    EXPECT_FALSE(check({p.root.cert.get()}, {p.intermediate.cert.get()}));
}

// A P-256 key pair that shares its public point with `real` but carries the curve as explicit
// parameters whose generator is that very point, so that its private key is 1: anyone can sign
// under a key whose bits equal those of `real`.
kvtest::EvpPkeyPtr namesakeCurveKey(EVP_PKEY* real) {
    using BnPtr = std::unique_ptr<BIGNUM, kvbsign::Free<&BN_free>>;
    using GroupPtr = std::unique_ptr<EC_GROUP, kvbsign::Free<&EC_GROUP_free>>;
    using BuildPtr = std::unique_ptr<OSSL_PARAM_BLD, kvbsign::Free<&OSSL_PARAM_BLD_free>>;
    using ParamsPtr = std::unique_ptr<OSSL_PARAM, kvbsign::Free<&OSSL_PARAM_free>>;

    unsigned char point[133];
    size_t pointLength = 0;
    EXPECT_EQ(EVP_PKEY_get_octet_string_param(real, OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point, &pointLength), 1);
    GroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    BnPtr p(BN_new()), a(BN_new()), b(BN_new()), one(BN_new());
    EXPECT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), nullptr), 1);
    BN_one(one.get());

    BuildPtr build(OSSL_PARAM_BLD_new());
    OSSL_PARAM_BLD* bld = build.get();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_EC_FIELD_TYPE, SN_X9_62_prime_field, 0);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_P, p.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_A, a.get());
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_B, b.get());
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_EC_GENERATOR, point, pointLength);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_ORDER, EC_GROUP_get0_order(group.get()));
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_EC_COFACTOR, one.get());
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_EC_ENCODING, OSSL_PKEY_EC_ENCODING_EXPLICIT, 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point, pointLength);
    OSSL_PARAM_BLD_push_BN(bld, OSSL_PKEY_PARAM_PRIV_KEY, one.get());
    ParamsPtr params(OSSL_PARAM_BLD_to_param(bld));

    kvbsign::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    EVP_PKEY* key = nullptr;
    EXPECT_EQ(EVP_PKEY_fromdata_init(ctx.get()), 1);
    EXPECT_EQ(EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEYPAIR, params.get()), 1);
    return kvtest::EvpPkeyPtr(key);
}

// Equal key bits are not an equal key: under other curve parameters the same point is a key
// whose private half anyone knows. Such a namesake of a root must not count as that root.
TEST(CertificateChain, AnchorKeyIsComparedWithItsParameters) {
    const kvtest::EvpPkeyPtr rootKey = kvtest::makeEcKey();
    const X509Ptr root = makeCert(kvtest::caSpec("KVB EC Root", "61"), rootKey.get(), nullptr, nullptr);
    const kvtest::EvpPkeyPtr forgedKey = namesakeCurveKey(rootKey.get());
    ASSERT_NE(forgedKey, nullptr);
    const X509Ptr forgedRoot = makeCert(kvtest::caSpec("KVB EC Root", "62"), forgedKey.get(), nullptr, nullptr);
    ASSERT_EQ(ASN1_STRING_cmp(X509_get0_pubkey_bitstr(root.get()), X509_get0_pubkey_bitstr(forgedRoot.get())), 0);
    const X509Ptr leaf =
        makeCert(kvtest::leafSpec("KVB Curve Leaf", "63"), pki().leaf.key.get(), forgedRoot.get(), forgedKey.get());

    std::vector<X509*> anchors = {root.get()};
    EXPECT_FALSE(KVBSignLibInternal::hasCertificate(anchors, forgedRoot.get()));
    EXPECT_FALSE(check({leaf.get(), forgedRoot.get()}, anchors));
    // The chain itself holds together; only the anchor is missing.
    EXPECT_TRUE(check({leaf.get(), forgedRoot.get()}));
    // The genuine root still matches itself, and a copy of it with other contents.
    EXPECT_TRUE(KVBSignLibInternal::hasCertificate(anchors, root.get()));
    const X509Ptr reissued = makeCert(kvtest::caSpec("KVB EC Root", "64"), rootKey.get(), nullptr, nullptr);
    EXPECT_TRUE(KVBSignLibInternal::hasCertificate(anchors, reissued.get()));
}

// A document may carry any number of certificates; the check must stay far from quadratic in
// the names it makes (each one-line name costs a walk of the whole name).
TEST(CertificateChain, ThousandsOfCertificatesAreJudgedQuickly) {
    auto& p = pki();
    std::vector<X509*> many(20000, p.intermediate.cert.get());
    many.insert(many.begin(), p.leaf.cert.get());
    many.push_back(p.root.cert.get());
    std::vector<X509*> anchors = {p.unrelatedRoot.cert.get(), p.root.cert.get()};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(check(many, anchors));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(CertificateChain, HasCertificateSkipsNullEntries) {
    auto& p = pki();
    std::vector<X509*> list = {nullptr, p.intermediate.cert.get()};
    EXPECT_TRUE(KVBSignLibInternal::hasCertificate(list, p.intermediate.cert.get()));
    EXPECT_FALSE(KVBSignLibInternal::hasCertificate(list, p.root.cert.get()));
    EXPECT_FALSE(KVBSignLibInternal::hasCertificate(list, nullptr));
}

std::string keyInfoDoc(const std::vector<std::string>& texts) {
    std::string doc = "<signatures><Signature><KeyInfo><X509Data>";
    for (const std::string& t : texts) doc += "<X509Certificate>" + t + "</X509Certificate>";
    return doc + "</X509Data></KeyInfo></Signature></signatures>";
}

std::string b64(X509* cert) { return kvtest::base64(kvtest::toDer(cert), true); }

TEST(CertificateChain, DocumentChainFromKeyInfo) {
    auto& p = pki();
    std::vector<X509*> none;
    std::vector<X509*> roots = {p.root.cert.get()};
    const std::string good = keyInfoDoc({b64(p.leaf.cert.get()), b64(p.intermediate.cert.get()), b64(p.root.cert.get())});
    EXPECT_TRUE(KVBSignLibInternal::validateCertificateChain(good, none));
    EXPECT_TRUE(KVBSignLibInternal::validateCertificateChain(good, roots));

    const std::string undecodable = keyInfoDoc({b64(p.leaf.cert.get()), "!!not base64!!", b64(p.intermediate.cert.get()),
                                                b64(p.root.cert.get())});
    EXPECT_FALSE(KVBSignLibInternal::validateCertificateChain(undecodable, none));
    EXPECT_FALSE(KVBSignLibInternal::validateCertificateChain(keyInfoDoc({}), none));
}

// A KeyInfo of more than 64 certificates holds no chain: a genuine chain of 64 holds, one of
// 65 does not, and neither do thousands of copies (whose decoding alone took seconds).
TEST(CertificateChain, KeyInfoOfMoreThanSixtyFourCertificatesHoldsNoChain) {
    auto& p = pki();
    // The signer, then CAs below the test root, then the root: `total` certificates.
    auto chainOf = [&](std::size_t total, std::vector<X509Ptr>& keep) {
        kvtest::EvpPkeyPtr key = makeRsaKey(2048, 65537, 16);
        X509* issuer = p.root.cert.get();
        EVP_PKEY* issuerKey = p.root.key.get();
        std::vector<std::string> texts{b64(p.root.cert.get())};
        for (std::size_t i = 0; i + 2 < total; ++i) {
            keep.push_back(makeCert(kvtest::caSpec("KVB Link " + std::to_string(i), "8" + std::to_string(i)), key.get(),
                                    issuer, issuerKey));
            issuer = keep.back().get();
            issuerKey = key.get();
            texts.insert(texts.begin(), b64(issuer));
        }
        keep.push_back(makeCert(kvtest::leafSpec("KVB Long Chain Leaf", "8fff"), p.leaf.key.get(), issuer, issuerKey));
        texts.insert(texts.begin(), b64(keep.back().get()));
        return keyInfoDoc(texts);
    };
    std::vector<std::string> copies{b64(p.leaf.cert.get()), b64(p.intermediate.cert.get())};
    copies.insert(copies.end(), 32000, b64(p.root.cert.get()));
    std::vector<X509Ptr> keep;
    struct Case {
        const char* name;
        std::string doc;
        bool holds;
    };
    const Case cases[] = {
        {"a chain of 64", chainOf(64, keep), true},
        {"a chain of 65", chainOf(65, keep), false},
        {"the chain and 32,000 copies of its root", keyInfoDoc(copies), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<X509*> roots = {p.root.cert.get()};
        std::vector<X509*> none;
        EXPECT_EQ(KVBSignLibInternal::validateCertificateChain(c.doc, roots), c.holds);
        EXPECT_EQ(KVBSignLibInternal::validateCertificateChain(c.doc, none), c.holds);
    }
}

// The chain as the check built it, for the steps that need its order and its anchor: signer
// first, each certificate followed by its issuer, whatever the KeyInfo order; the highest
// certificate that equals an anchor, and the first anchor of the list it equals.
TEST(CertificateChain, BuiltChainKeepsTheOrderAndTheAnchor) {
    auto& p = pki();
    auto& x = extra();
    X509* leaf = p.leaf.cert.get();
    X509* mid = p.intermediate.cert.get();
    X509* root = p.root.cert.get();
    const std::string doc = keyInfoDoc({b64(leaf), b64(root), b64(mid)});
    const std::size_t none = kvbsign::BuiltChain::kNoAnchor;
    struct Case {
        const char* name;
        std::vector<X509*> anchors;
        std::size_t anchorAt;
        X509* anchor;
    };
    const Case cases[] = {
        {"no anchors", {}, none, nullptr},
        {"anchors, none in the chain", {p.unrelatedRoot.cert.get()}, none, nullptr},
        {"the root", {p.unrelatedRoot.cert.get(), root}, 2, root},
        {"the intermediate only", {mid}, 1, mid},
        {"intermediate and root: the highest counts", {mid, root}, 2, root},
        {"two copies of the root: the first in the list", {x.rootOtherSerial.get(), root}, 2, x.rootOtherSerial.get()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<X509*> anchors = c.anchors;
        kvbsign::BuiltChain chain;
        ASSERT_TRUE(kvbsign::buildDocumentChain(doc, anchors, chain));
        ASSERT_EQ(chain.certs.size(), 3u);
        EXPECT_EQ(X509_cmp(chain.certs[0].get(), leaf), 0);
        EXPECT_EQ(X509_cmp(chain.certs[1].get(), mid), 0);
        EXPECT_EQ(X509_cmp(chain.certs[2].get(), root), 0);
        EXPECT_EQ(chain.anchorAt, c.anchorAt);
        EXPECT_EQ(chain.anchor, c.anchor);
        EXPECT_EQ(KVBSignLibInternal::validateCertificateChain(doc, anchors), anchors.empty() || c.anchor != nullptr);
    }

    // A chain that does not hold gives nothing.
    std::vector<X509*> anchors = {root};
    kvbsign::BuiltChain chain;
    EXPECT_FALSE(kvbsign::buildDocumentChain(keyInfoDoc({b64(x.wrongSignatureLeaf.get()), b64(mid), b64(root)}),
                                             anchors, chain));
    EXPECT_FALSE(kvbsign::buildDocumentChain(keyInfoDoc({b64(leaf), b64(root)}), anchors, chain));
    EXPECT_TRUE(chain.certs.empty());
}

// Whoever holds a CA key of their own can issue, below their signing certificate, a copy of a
// trusted root (its subject and public key). The chain then holds together and contains a
// namesake of the anchor, but that copy vouches for nothing above it: the signer (the first
// KeyInfo certificate, whose key checks the signature) must be the chain's end entity.
TEST(CertificateChain, AnchorCopiedBelowTheSignerDoesNotVouchForIt) {
    auto& p = pki();
    CertAndKey forgerRoot;
    forgerRoot.key = makeRsaKey(2048, 65537, 12);
    forgerRoot.cert = makeCert(kvtest::caSpec("KVB Forger Root", "71"), forgerRoot.key.get(), nullptr, nullptr);
    CertAndKey signer;
    signer.key = makeRsaKey(2048, 65537, 13);
    signer.cert = makeCert(kvtest::caSpec("KVB Forger Signer", "72"), signer.key.get(), forgerRoot.cert.get(),
                           forgerRoot.key.get());
    CertSpec copySpec = kvtest::caSpec("KVB Test Root", "73");
    copySpec.subject = {{"CN", "KVB Test Root"}};
    const X509Ptr rootCopy = makeCert(copySpec, p.root.key.get(), signer.cert.get(), signer.key.get());
    std::vector<X509*> userRoots = {p.root.cert.get()};
    ASSERT_TRUE(KVBSignLibInternal::hasCertificate(userRoots, rootCopy.get()));

    const std::string forged = keyInfoDoc({b64(signer.cert.get()), b64(rootCopy.get()), b64(forgerRoot.cert.get())});
    EXPECT_FALSE(KVBSignLibInternal::validateCertificateChain(forged, userRoots));
    std::vector<X509*> none;
    EXPECT_FALSE(KVBSignLibInternal::validateCertificateChain(forged, none));
    // Any order of a proper chain still passes, as long as the end entity comes first.
    const std::string reordered = keyInfoDoc({b64(p.leaf.cert.get()), b64(p.root.cert.get()), b64(p.intermediate.cert.get())});
    EXPECT_TRUE(KVBSignLibInternal::validateCertificateChain(reordered, userRoots));
    const std::string caFirst = keyInfoDoc({b64(p.intermediate.cert.get()), b64(p.leaf.cert.get()), b64(p.root.cert.get())});
    EXPECT_FALSE(KVBSignLibInternal::validateCertificateChain(caFirst, userRoots));
}

// Points SSL_CERT_FILE somewhere for one scope.
class CertFileScope {
public:
    explicit CertFileScope(const std::string& path) {
        const char* old = getenv("SSL_CERT_FILE");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("SSL_CERT_FILE", path.c_str(), 1);
    }
    ~CertFileScope() {
        if (hadOld_) {
            setenv("SSL_CERT_FILE", old_.c_str(), 1);
        } else {
            unsetenv("SSL_CERT_FILE");
        }
    }
    CertFileScope(const CertFileScope&) = delete;
    CertFileScope& operator=(const CertFileScope&) = delete;

private:
    bool hadOld_ = false;
    std::string old_;
};

std::vector<std::string> derOf(const std::vector<X509*>& certs) {
    std::vector<std::string> out;
    for (X509* c : certs) out.push_back(kvtest::toDer(c));
    return out;
}

void freeAll(std::vector<X509*>& certs) {
    for (X509* c : certs) X509_free(c);
    certs.clear();
}

std::string repeated(const std::string& unit, std::size_t count) {
    std::string out;
    out.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out;
}

TEST(SystemRoots, ReadsTheBundleSkippingWhatIsNotACertificate) {
    auto& p = pki();
    kvtest::ScratchDir dir;
    const std::string rootPem = kvtest::toPem(p.root.cert.get());
    const std::string unrelatedPem = kvtest::toPem(p.unrelatedRoot.cert.get());
    std::string crlf;
    for (char ch : unrelatedPem) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
    struct BundleCase {
        const char* name;
        std::string text;
        std::vector<X509*> want;
    };
    const BundleCase cases[] = {
        {"garbage around and between certificates",
         "# comment\ngarbage bytes \x01\x02\n" + rootPem + "more garbage\n-----BEGIN\n" + unrelatedPem + "tail\n",
         {p.root.cert.get(), p.unrelatedRoot.cert.get()}},
        {"a block that does not decode is skipped",
         "-----BEGIN CERTIFICATE-----\nnot*base64*at*all\n-----END CERTIFICATE-----\n" + rootPem,
         {p.root.cert.get()}},
        {"a block that decodes to no certificate is skipped",
         "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n" + unrelatedPem, {p.unrelatedRoot.cert.get()}},
        {"other kinds of block are skipped", kvtest::keyToPem(p.leaf.key.get()) + rootPem, {p.root.cert.get()}},
        {"a block without end line stops the walk", rootPem + "-----BEGIN CERTIFICATE-----\nMIIB\n",
         {p.root.cert.get()}},
        // Each begin line holds the next one (4 MB of them), so each is broken. Searching the
        // rest of the text for a line end and an end line at each of them would take minutes.
        {"250,000 begin lines on one line, their end line after them",
         repeated("-----BEGIN X-----", 250000) + "\n-----END X-----\n" + rootPem, {p.root.cert.get()}},
        {"CR LF line ends", crlf, {p.unrelatedRoot.cert.get()}},
        {"an empty file", "", {}},
    };
    for (const BundleCase& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::writeFile(dir.file("bundle.pem"), c.text);
        CertFileScope env(dir.file("bundle.pem"));
        std::vector<X509*> roots;
        EXPECT_TRUE(KVBSignLibInternal::getSystemRootCertificates(roots));
        EXPECT_EQ(derOf(roots), derOf(c.want));
        freeAll(roots);
    }
}

TEST(SystemRoots, UnreadableStoreFailsAndLeavesTheListAlone) {
    auto& p = pki();
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("sub/placeholder"), "");
    const std::string paths[] = {dir.file("missing.pem"), dir.file("sub"), ""};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        CertFileScope env(path);
        std::vector<X509*> roots = {kvtest::dupCert(p.root.cert.get()).release()};
        EXPECT_FALSE(KVBSignLibInternal::getSystemRootCertificates(roots));
        EXPECT_EQ(roots.size(), 1u);
        freeAll(roots);
    }
}

TEST(UserCertificates, LoadsOneDerCertificatePerFile) {
    auto& p = pki();
    kvtest::ScratchDir dir;
    const auto tempBefore = kvtest::kvbsignTempEntries();
    kvtest::writeDer(dir.file("mid.der"), p.intermediate.cert.get());
    kvtest::writeDer(dir.file("named.p12"), p.root.cert.get());
    kvtest::writePemBundle(dir.file("mid.pem"), {p.intermediate.cert.get()});
    kvtest::writeFile(dir.file("garbage.der"), "not a certificate");
    kvtest::writeFile(dir.file("empty.der"), "");
    kvtest::writeFile(dir.file("sub/placeholder"), "");

    struct FileCase {
        const char* name;
        std::string path;
        X509* want;  // null: no certificate
    };
    const FileCase cases[] = {
        {"DER file", dir.file("mid.der"), p.intermediate.cert.get()},
        {"DER under any name", dir.file("named.p12"), p.root.cert.get()},
        {"PEM file", dir.file("mid.pem"), nullptr},
        {"not a certificate", dir.file("garbage.der"), nullptr},
        {"empty file", dir.file("empty.der"), nullptr},
        {"missing file", dir.file("missing.der"), nullptr},
        {"a directory", dir.file("sub"), nullptr},
    };
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.name);
        X509Ptr got(KVBSignLibInternal::loadDERCertificate(c.path.c_str()));
        if (c.want == nullptr) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_EQ(kvtest::toDer(got.get()), kvtest::toDer(c.want));
        }
    }
    EXPECT_TRUE(kvtest::newTempEntries(tempBefore, kvtest::certificateStepHints()).empty());
}

TEST(UserCertificates, ListLoadsAllOrNothing) {
    auto& p = pki();
    kvtest::ScratchDir dir;
    kvtest::writeDer(dir.file("root.der"), p.root.cert.get());
    kvtest::writeDer(dir.file("mid.der"), p.intermediate.cert.get());
    kvtest::writePemBundle(dir.file("mid.pem"), {p.intermediate.cert.get()});

    std::vector<X509*> certs;
    std::vector<std::string> good = {dir.file("root.der"), dir.file("mid.der")};
    ASSERT_TRUE(KVBSignLibInternal::loadUserDERCertificates(good, 2, certs));
    EXPECT_EQ(derOf(certs), derOf({p.root.cert.get(), p.intermediate.cert.get()}));
    freeAll(certs);

    // The second fails: the first, already loaded, is freed and the list comes back empty.
    std::vector<std::string> secondBad = {dir.file("root.der"), dir.file("mid.pem"), dir.file("mid.der")};
    EXPECT_FALSE(KVBSignLibInternal::loadUserDERCertificates(secondBad, 3, certs));
    EXPECT_TRUE(certs.empty());

    std::vector<std::string> missing = {dir.file("nothing.der")};
    EXPECT_FALSE(KVBSignLibInternal::loadUserDERCertificates(missing, 1, certs));
    EXPECT_TRUE(certs.empty());

    std::vector<std::string> none;
    EXPECT_TRUE(KVBSignLibInternal::loadUserDERCertificates(none, 5, certs));
    EXPECT_TRUE(certs.empty());
}

}  // namespace
