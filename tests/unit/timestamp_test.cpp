// Timestamp check: the text routines around it and the token verification, with tokens made
// here by OpenSSL's own responder.
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/ts.h>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "cli_runner.h"
#include "package_builder.h"
#include "test_pki.h"
#include "tsa.h"

namespace {

using kvtest::base64;
using kvtest::pki;

const char kNsStart[] = "<SignatureValue xmlns=\"http://www.w3.org/2000/09/xmldsig#\" Id=\"PackageSignatureValue\">";
const time_t kHour = 60 * 60;
const time_t kDay = 24 * kHour;
const long kUntouched = 123456789;  // genTime as the caller left it

time_t hourFloor(time_t t) { return t - t % kHour; }

// The signer of the test documents: valid from 40 days ago to half past an hour 10 days ago,
// so that "same hour" and "next hour" cases straddle its end.
struct Signer {
    time_t notBefore;
    time_t notAfter;
    kvtest::CertAndKey id;
};

const Signer& signer() {
    static const Signer s = [] {
        Signer r;
        const time_t base = hourFloor(time(nullptr));
        r.notBefore = base - 40 * kDay;
        r.notAfter = base - 10 * kDay + 30 * 60;
        kvtest::CertSpec spec = kvtest::leafSpec("KVB Timestamp Signer", "5001");
        spec.notBefore = r.notBefore;
        spec.notAfter = r.notAfter;
        r.id.key = kvtest::makeRsaKey(2048, 65537, 2);
        r.id.cert = kvtest::makeCert(spec, r.id.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
        return r;
    }();
    return s;
}

// A self-signed CA that only the user trusts, and an authority below it.
const kvtest::CertAndKey& userRoot() {
    static const kvtest::CertAndKey r = [] {
        kvtest::CertAndKey c;
        c.key = kvtest::makeRsaKey(2048, 65537, 21);
        c.cert = kvtest::makeCert(kvtest::caSpec("KVB User Root", "31"), c.key.get(), nullptr, nullptr);
        return c;
    }();
    return r;
}

const kvtest::TsaIdentity& userTsa() {
    static const kvtest::TsaIdentity t = kvtest::makeTsa("KVB User TSA", userRoot().cert.get(), userRoot().key.get(),
                                                         {userRoot().cert.get()}, 22);
    return t;
}

kvtest::PackageBuilder signerBuilder() {
    kvtest::PackageBuilder b;
    b.signer(signer().id.key.get())
        .keyInfoCerts({signer().id.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
        .addFile("a.txt", "alpha");
    return b;
}

class TimestampTest : public ::testing::Test {
protected:
    void SetUp() override {
        kvtest::writePemBundle(scratch.file("roots.pem"), {pki().root.cert.get()});
        kvtest::writeFile(scratch.file("empty.pem"), "");
        roots = std::make_unique<kvtest::ScopedEnv>("SSL_CERT_FILE", scratch.file("roots.pem"));
    }

    // Builds the package, adds the token and returns the document with its file.
    kvtest::SignedPackage withToken(const kvtest::PackageBuilder& b, const std::string& tokenDer,
                                    const std::string& name = "pkg") {
        kvtest::SignedPackage p = b.build(scratch.file(name));
        p.addTimestamp(base64(tokenDer));
        return p;
    }

    int validate(const kvtest::SignedPackage& p, bool isNvo, long& genTime, std::vector<X509*> user = {}) {
        std::string path = p.xmlPath();
        return Timestamp::validateTimestamp(p.xml, isNvo, user, path, genTime);
    }

    // The legacy message: the signature value exactly as the file holds it.
    static std::string legacyMessage(const kvtest::SignedPackage& p) {
        return std::string(kNsStart) + p.signatureValueText + "</SignatureValue>";
    }

    kvtest::ScopedEnv utc{"TZ", "UTC"};
    kvtest::ScratchDir scratch;
    std::unique_ptr<kvtest::ScopedEnv> roots;
};

TEST(TimestampText, TimestampValueIsTheElementTextWithoutLineBreaks) {
    struct Case {
        const char* name;
        std::string doc;
        bool timestamped;
        std::string want;
    };
    const Case kCases[] = {
        {"value over lines", "<a><xades:EncapsulatedTimeStamp>MII\r\nAb\nc=</xades:EncapsulatedTimeStamp></a>", true,
         "MIIAbc="},
        {"first element wins", "<xades:EncapsulatedTimeStamp>AA</xades:EncapsulatedTimeStamp>"
                               "<xades:EncapsulatedTimeStamp>BB</xades:EncapsulatedTimeStamp>",
         true, "AA"},
        {"no end tag keeps the rest", "x<xades:EncapsulatedTimeStamp>AB\nCD", true, "ABCD"},
        {"no element at all: the whole text", "a\nb", false, "ab"},
        {"other prefix is not a timestamp", "<EncapsulatedTimeStamp>AA</EncapsulatedTimeStamp>", false,
         "<EncapsulatedTimeStamp>AA</EncapsulatedTimeStamp>"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Timestamp::isTimestamped(c.doc), c.timestamped);
        EXPECT_EQ(Timestamp::extractTimestampValue(c.doc), c.want);
    }
}

TEST(TimestampText, RequestBodyIsTheNamespacedSignatureValueOnOneLine) {
    const std::string doc = "<signatures><SignatureValue Id=\"PackageSignatureValue\">QUJD\r\nREVG\nR0g=</SignatureValue>"
                            "<KeyInfo></KeyInfo></signatures>";
    EXPECT_EQ(Timestamp::constructTimestampRequestBody(doc), std::string(kNsStart) + "QUJDREVGR0g=</SignatureValue>");
}

TEST(TimestampText, LegacyBodyKeepsTheStoredSignatureValue) {
    kvtest::ScratchDir dir;
    struct Case {
        const char* name;
        std::string file;
        std::string want;
    };
    const std::string start = "<SignatureValue Id=\"PackageSignatureValue\">";
    const Case kCases[] = {
        {"line breaks and blanks kept", "<s>" + start + "QUJD\r\n  REVG\n</SignatureValue><KeyInfo/></s>",
         std::string(kNsStart) + "QUJD\r\n  REVG\n</SignatureValue>"},
        {"NUL and high bytes kept", "<s>" + start + std::string("A\0\xff", 3) + "</SignatureValue>",
         std::string(kNsStart) + std::string("A\0\xff", 3) + "</SignatureValue>"},
        {"no start tag", "<s><SignatureValue>QUJD</SignatureValue></s>", ""},
        {"no end tag", "<s>" + start + "QUJD", ""},
        {"empty file", "", ""},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::writeFile(dir.file("sig.xml"), c.file);
        EXPECT_EQ(Timestamp::readAndRepairTimestampRequestBody(dir.file("sig.xml")), c.want);
    }
    EXPECT_EQ(Timestamp::readAndRepairTimestampRequestBody(dir.file("missing.xml")), "");
}

TEST(TimestampText, LegacyBodyFoundAcrossReadChunks) {
    // The file is read in pieces of some kilobytes; tags that straddle a piece boundary, and
    // values far into a large file, are found as in the file read whole.
    kvtest::ScratchDir dir;
    const std::string start = "<SignatureValue Id=\"PackageSignatureValue\">";
    const std::string end = "</SignatureValue>";
    struct Case {
        const char* name;
        std::string file;
        std::string want;
    };
    std::vector<Case> cases;
    for (size_t at : {8192 - 20, 8192 - 1, 8192, 16384 - 30}) {
        cases.push_back({"start tag across a boundary", std::string(at, 'x') + start + "QUJD" + end + "tail",
                         kNsStart + std::string("QUJD") + end});
        cases.push_back({"end tag across a boundary",
                         "<s>" + start + std::string(at, 'Q') + end + end, kNsStart + std::string(at, 'Q') + end});
    }
    cases.push_back({"cut start tags before the real one", "<SignatureValue Id=\"Pack" + std::string(9000, ' ') +
                                                               "<SignatureValue Id=" + start + "v" + end,
                     kNsStart + std::string("v") + end});
    cases.push_back({"end tag before the start tag is passed over", end + std::string(20000, ' ') + start + "w" + end,
                     kNsStart + std::string("w") + end});
    cases.push_back(
        {"first start tag counts", start + "1" + end + start + "2" + end, kNsStart + std::string("1") + end});
    cases.push_back({"no end tag in a large file", start + std::string(100000, 'Q'), ""});
    cases.push_back({"no start tag in a large file", std::string(100000, '<') + end, ""});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::writeFile(dir.file("sig.xml"), c.file);
        EXPECT_EQ(Timestamp::readAndRepairTimestampRequestBody(dir.file("sig.xml")), c.want);
    }
}

TEST(TimestampText, Sha1IsLowercaseHexOfAllBytes) {
    EXPECT_EQ(Timestamp::computeSHA1AsHex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(Timestamp::computeSHA1AsHex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    // Embedded NUL: the digest covers the byte and what follows it.
    EXPECT_EQ(Timestamp::computeSHA1AsHex(std::string("a\0b", 3)), kvtest::hex(kvtest::sha1(std::string("a\0b", 3))));
}

TEST(TimestampText, TstInfoIsTheHexDumpAfterItsContentType) {
    struct Case {
        const char* name;
        std::string dump;
        std::string want;
    };
    const std::string oidLine = "   30:d=4  hl=2 l=  11 prim: OBJECT            :id-smime-ct-TSTInfo\n";
    const Case kCases[] = {
        {"dump of a token",
         "    0:d=0  hl=4 l= 900 cons: SEQUENCE\n" + oidLine +
             "   43:d=4  hl=4 l= 300 cons: cont [ 0 ]\n"
             "   47:d=5  hl=4 l= 296 prim: OCTET STRING      [HEX DUMP]:3082012402\n"
             "  347:d=3  hl=4 l= 500 cons: cont [ 0 ]",
         "3082012402"},
        {"last line without line end", oidLine + "   47:d=5  hl=4 l= 5 prim: OCTET STRING      [HEX DUMP]:30030201",
         "30030201"},
        {"no content type", "   47:d=5  hl=4 l= 5 prim: OCTET STRING      [HEX DUMP]:30030201\n", ""},
        // Without a hex dump the cut lands inside the next line's offset; that text then does not
        // parse as a TSTInfo.
        {"no hex dump", oidLine + "   47:d=5  hl=2 l= 3 prim: OCTET STRING      :abc\n",
         "d=5  hl=2 l= 3 prim: OCTET STRING      :abc"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Timestamp::extractTSTInfo(c.dump), c.want);
    }
}

// A granted response over the exact message text: the signing time is rated against the
// signer's validity to the hour on both sides.
TEST_F(TimestampTest, GrantedResponseRatesGenTimeAgainstSignerValidity) {
    const kvtest::PackageBuilder b = signerBuilder();
    const std::string message = b.build(scratch.file("plain")).timestampMessageText;
    struct Case {
        const char* name;
        time_t genTime;
        int want;
    };
    const Signer& s = signer();
    const Case kCases[] = {
        {"inside the validity", s.notBefore + 5 * kDay + 17 * 60, 1},
        {"same hour as notAfter, after it", s.notAfter + 20 * 60, 1},
        {"hour after notAfter", s.notAfter + kHour, 2},
        {"hour before notBefore", s.notBefore - kHour, 2},
        {"at notBefore", s.notBefore, 1},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::SignedPackage p = withToken(b, kvtest::grantedResponse(kvtest::defaultTsa(), message, c.genTime));
        long genTime = kUntouched;
        EXPECT_EQ(validate(p, false, genTime), c.want);
        EXPECT_EQ(genTime, hourFloor(c.genTime));
    }
}

// Every failure leaves the caller's genTime alone.
TEST_F(TimestampTest, BadTokensAreInvalidOrUnverifiable) {
    kvtest::PackageBuilder b = signerBuilder();
    b.signatureLineBreaks();
    const kvtest::SignedPackage plain = b.build(scratch.file("plain"));
    const std::string message = plain.timestampMessageText;
    const time_t inside = signer().notBefore + kDay;
    std::string oneByteOff = message;
    oneByteOff[oneByteOff.size() / 2] ^= 0x01;
    std::string truncated = kvtest::grantedResponse(kvtest::defaultTsa(), message, inside);
    truncated.resize(truncated.size() - 10);

    struct Case {
        const char* name;
        std::string tokenB64;
        int want;
    };
    const Case kCases[] = {
        {"imprint over a text one byte off",
         base64(kvtest::grantedResponse(kvtest::defaultTsa(), oneByteOff, inside)), 4},
        {"response over the stored text with its line breaks",
         base64(kvtest::grantedResponse(kvtest::defaultTsa(), legacyMessage(plain), inside)), 4},
        {"bare token over the one-line text while the file has line breaks",
         base64(kvtest::bareToken(kvtest::grantedResponse(kvtest::defaultTsa(), message, inside))), 4},
        {"rejection response", base64(kvtest::rejectionResponse(kvtest::defaultTsa(), message)), 4},
        {"authority chained to a user root only", base64(kvtest::grantedResponse(userTsa(), message, inside)), 4},
        {"truncated response", base64(truncated), 3},
        {"a certificate is neither form", base64(kvtest::toDer(pki().root.cert.get())), 3},
        {"bytes of neither form", base64("not a token"), 3},
        {"not base64", "!!!!", 3},
        {"empty value", "", 3},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::SignedPackage p = b.build(scratch.file("pkg"));
        p.addTimestamp(c.tokenB64);
        long genTime = kUntouched;
        // The user root is trusted by the store, yet it is no system root.
        EXPECT_EQ(validate(p, true, genTime, {userRoot().cert.get()}), c.want);
        EXPECT_EQ(genTime, kUntouched);
    }
}

// The same user-rooted authority passes once its root is a system root: the anchor decides.
TEST_F(TimestampTest, AuthorityMustChainToASystemRoot) {
    const kvtest::PackageBuilder b = signerBuilder();
    const std::string message = b.build(scratch.file("plain")).timestampMessageText;
    kvtest::SignedPackage p = withToken(b, kvtest::grantedResponse(userTsa(), message, signer().notBefore + kDay));

    long genTime = kUntouched;
    EXPECT_EQ(validate(p, false, genTime, {userRoot().cert.get()}), 4);

    kvtest::writePemBundle(scratch.file("both.pem"), {pki().root.cert.get(), userRoot().cert.get()});
    kvtest::ScopedEnv both("SSL_CERT_FILE", scratch.file("both.pem"));
    EXPECT_EQ(validate(p, false, genTime), 1);
}

// Without system roots nothing anchors the authority: unverifiable, not valid.
TEST_F(TimestampTest, NoSystemRootsIsUnverifiable) {
    const kvtest::PackageBuilder b = signerBuilder();
    const std::string message = b.build(scratch.file("plain")).timestampMessageText;
    kvtest::SignedPackage p =
        withToken(b, kvtest::grantedResponse(kvtest::defaultTsa(), message, signer().notBefore + kDay));
    for (const char* bundle : {"empty.pem", "missing.pem"}) {
        SCOPED_TRACE(bundle);
        kvtest::ScopedEnv none("SSL_CERT_FILE", scratch.file(bundle));
        long genTime = kUntouched;
        EXPECT_EQ(validate(p, false, genTime), 3);
        EXPECT_EQ(genTime, kUntouched);
    }
}

// An authority whose tokens carry `total` certificates, all of one chain: the authority, the
// intermediates below the test root, and the root.
kvtest::TsaIdentity authorityWithChainOf(int total, std::vector<kvtest::X509Ptr>& keep) {
    X509* issuer = pki().root.cert.get();
    std::vector<X509*> chain{issuer};
    kvtest::EvpPkeyPtr key = kvtest::makeRsaKey(2048, 65537, 25);
    for (int i = 0; i + 2 < total; ++i) {
        kvtest::CertSpec spec = kvtest::caSpec("KVB Link " + std::to_string(i), "9" + std::to_string(i));
        keep.push_back(kvtest::makeCert(spec, key.get(), issuer, i == 0 ? pki().root.key.get() : key.get()));
        issuer = keep.back().get();
        chain.insert(chain.begin(), issuer);
    }
    return kvtest::makeTsa("KVB Long TSA", issuer, total > 2 ? key.get() : pki().root.key.get(), chain, 26);
}

// A token's certificates are bounded before any of them reaches the store: a genuine chain of
// 64 keeps its verdict, one more makes the token invalid, in either form.
TEST_F(TimestampTest, TokenOfMoreThanSixtyFourCertificatesIsInvalid) {
    const kvtest::PackageBuilder b = signerBuilder();
    const std::string message = b.build(scratch.file("plain")).timestampMessageText;
    kvtest::PackageBuilder broken = signerBuilder();
    broken.signatureLineBreaks();
    const std::string storedMessage = legacyMessage(broken.build(scratch.file("broken")));
    const time_t inside = signer().notBefore + kDay;
    struct Case {
        int certificates;
        int want;
    };
    for (const Case c : {Case{3, 1}, Case{64, 1}, Case{65, 4}}) {
        SCOPED_TRACE(c.certificates);
        std::vector<kvtest::X509Ptr> keep;
        const kvtest::TsaIdentity tsa = authorityWithChainOf(c.certificates, keep);
        long genTime = kUntouched;
        EXPECT_EQ(validate(withToken(b, kvtest::grantedResponse(tsa, message, inside)), false, genTime), c.want);
        genTime = kUntouched;
        const std::string bare = kvtest::bareToken(kvtest::grantedResponse(tsa, storedMessage, inside));
        EXPECT_EQ(validate(withToken(broken, bare), true, genTime), c.want);
    }
}

// The same encoding with its outermost length indefinite, as BER allows: "30 80", the
// content, "00 00".
std::string withIndefiniteOuterLength(const std::string& der) {
    const unsigned char second = static_cast<unsigned char>(der.at(1));
    const std::size_t header = second < 0x80 ? 2 : 2 + (second & 0x7f);
    return std::string("\x30\x80", 2) + der.substr(header) + std::string(2, '\0');
}

// The token inside a response, cut from its encoding: the element after the status. (The
// fixture's own way decodes the response, which takes seconds for thousands of certificates.)
std::string tokenOfResponse(const std::string& der) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    long length = 0;
    int tag = 0;
    int cls = 0;
    if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size())) != V_ASN1_CONSTRUCTED) return "";
    if (ASN1_get_object(&p, &length, &tag, &cls, static_cast<long>(der.size())) != V_ASN1_CONSTRUCTED) return "";
    const std::size_t token = static_cast<std::size_t>(p - reinterpret_cast<const unsigned char*>(der.data())) +
                              static_cast<std::size_t>(length);
    return der.substr(token);
}

// Thousands of certificates are counted from the token's encoding, in either form and through
// indefinite lengths, before anything decodes them: decoding 32,000 takes seconds by itself.
// A genuine chain keeps its verdict in the indefinite form.
TEST_F(TimestampTest, TokenOfThousandsOfCertificatesIsInvalid) {
    const kvtest::PackageBuilder b = signerBuilder();
    const std::string message = b.build(scratch.file("plain")).timestampMessageText;
    const time_t inside = signer().notBefore + kDay;
    const std::vector<X509*> copies(31999, pki().root.cert.get());
    const kvtest::TsaIdentity crowded =
        kvtest::makeTsa("KVB Crowded TSA", pki().root.cert.get(), pki().root.key.get(), copies, 26);
    const std::string crowdedResponse = kvtest::grantedResponse(crowded, message, inside);
    std::vector<kvtest::X509Ptr> keep;
    const std::string genuineResponse = kvtest::grantedResponse(authorityWithChainOf(64, keep), message, inside);
    ASSERT_EQ(tokenOfResponse(genuineResponse), kvtest::bareToken(genuineResponse));
    struct Case {
        const char* name;
        std::string token;
        int want;
    };
    const Case cases[] = {
        {"32,000 certificates in a response", crowdedResponse, 4},
        {"32,000 certificates in a response of indefinite length", withIndefiniteOuterLength(crowdedResponse), 4},
        {"32,000 certificates in a bare token", tokenOfResponse(crowdedResponse), 4},
        {"32,000 certificates in a bare token of indefinite length",
         withIndefiniteOuterLength(tokenOfResponse(crowdedResponse)), 4},
        {"a genuine chain of 64 in a response of indefinite length", withIndefiniteOuterLength(genuineResponse), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        long genTime = kUntouched;
        EXPECT_EQ(validate(withToken(b, c.token), false, genTime), c.want);
    }
}

// A bare token covers the signature value as the file stores it; its genTime comes from the
// ASN.1 dump, which exists only for the signature variant.
TEST_F(TimestampTest, BareTokenIsCheckedAgainstTheStoredSignatureValue) {
    kvtest::PackageBuilder b = signerBuilder();
    b.signatureLineBreaks();
    const kvtest::SignedPackage plain = b.build(scratch.file("plain"));
    ASSERT_NE(plain.signatureValueText.find('\n'), std::string::npos);
    const std::string message = legacyMessage(plain);

    struct Case {
        const char* name;
        time_t genTime;
        bool isNvo;
        int want;
        long wantGenTime;
    };
    const Signer& s = signer();
    const time_t inside = s.notBefore + 3 * kDay + 5 * 60;
    const time_t after = s.notAfter + kHour;
    const Case kCases[] = {
        {"variant, inside the validity", inside, true, 1, static_cast<long>(hourFloor(inside))},
        {"variant, after notAfter", after, true, 2, static_cast<long>(hourFloor(after))},
        {"no variant: no genTime", inside, false, 2, 0},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::SignedPackage p =
            withToken(b, kvtest::bareToken(kvtest::grantedResponse(kvtest::defaultTsa(), message, c.genTime)));
        long genTime = kUntouched;
        EXPECT_EQ(validate(p, c.isNvo, genTime), c.want);
        EXPECT_EQ(genTime, c.wantGenTime);
    }

    // The stored text is what counts: without a readable signature file the token is invalid.
    kvtest::SignedPackage p =
        withToken(b, kvtest::bareToken(kvtest::grantedResponse(kvtest::defaultTsa(), message, inside)));
    std::string missing = scratch.file("no-such-dir/signatures.xml");
    long genTime = kUntouched;
    EXPECT_EQ(Timestamp::validateTimestamp(p.xml, true, {}, missing, genTime), 4);
    EXPECT_EQ(genTime, kUntouched);
}

// Anyone with a CA of their own can make an authority that is itself a CA and issue, below it,
// a certificate with the subject and key of a system root. The token's certificates then hold
// together and contain that root's namesake, but nothing vouches for the authority.
TEST_F(TimestampTest, RootCopyIssuedByTheAuthorityDoesNotAnchorIt) {
    kvtest::CertAndKey forgerRoot;
    forgerRoot.key = kvtest::makeRsaKey(2048, 65537, 23);
    forgerRoot.cert = kvtest::makeCert(kvtest::caSpec("KVB Forger Root", "81"), forgerRoot.key.get(), nullptr, nullptr);
    kvtest::TsaIdentity forged;
    forged.key = kvtest::makeRsaKey(2048, 65537, 24);
    kvtest::CertSpec tsaSpec = kvtest::caSpec("KVB Forger TSA", "82");
    tsaSpec.keyUsageText = "critical,digitalSignature";
    tsaSpec.timeStampingEku = true;
    forged.cert = kvtest::makeCert(tsaSpec, forged.key.get(), forgerRoot.cert.get(), forgerRoot.key.get());
    kvtest::CertSpec copySpec = kvtest::caSpec("KVB Test Root", "83");
    copySpec.subject = {{"CN", "KVB Test Root"}};
    forged.chain.push_back(kvtest::makeCert(copySpec, pki().root.key.get(), forged.cert.get(), forged.key.get()));
    forged.chain.push_back(kvtest::dupCert(forgerRoot.cert.get()));

    const kvtest::PackageBuilder b = signerBuilder();
    const std::string message = b.build(scratch.file("plain")).timestampMessageText;
    kvtest::SignedPackage p = withToken(b, kvtest::grantedResponse(forged, message, signer().notBefore + kDay));
    long genTime = kUntouched;
    EXPECT_EQ(validate(p, false, genTime), 4);
    EXPECT_EQ(genTime, kUntouched);
}

// DER of one element: tag, definite length, content.
std::string derElement(unsigned char tag, const std::string& content) {
    std::string out(1, static_cast<char>(tag));
    const size_t n = content.size();
    if (n < 0x80) {
        out += static_cast<char>(n);
    } else {
        std::string length;
        for (size_t rest = n; rest > 0; rest >>= 8) length.insert(length.begin(), static_cast<char>(rest & 0xff));
        out += static_cast<char>(0x80 | length.size());
        out += length;
    }
    return out + content;
}

// The bare token with a second TSTInfo, one that says `decoyTime`, hidden in the parameters of
// an extra digest algorithm. That set is outside everything the authority signed.
std::string withDecoyTstInfo(const std::string& tokenDer, time_t decoyTime) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(tokenDer.data());
    kvbsign::Pkcs7Ptr token(d2i_PKCS7(nullptr, &p, static_cast<long>(tokenDer.size())));
    EXPECT_NE(token, nullptr);
    kvbsign::TsTstInfoPtr info(PKCS7_to_TS_TST_INFO(token.get()));
    EXPECT_NE(info, nullptr);
    ASN1_GENERALIZEDTIME* decoy = ASN1_GENERALIZEDTIME_set(nullptr, decoyTime);
    TS_TST_INFO_set_time(info.get(), decoy);  // copies the time
    ASN1_GENERALIZEDTIME_free(decoy);
    unsigned char* der = nullptr;
    const int derLength = i2d_TS_TST_INFO(info.get(), &der);
    const std::string decoyInfo(reinterpret_cast<const char*>(der), static_cast<size_t>(derLength));
    OPENSSL_free(der);

    unsigned char* oid = nullptr;
    const int oidLength = i2d_ASN1_OBJECT(OBJ_nid2obj(NID_id_smime_ct_TSTInfo), &oid);
    const std::string oidDer(reinterpret_cast<const char*>(oid), static_cast<size_t>(oidLength));
    OPENSSL_free(oid);
    const std::string parameter = derElement(0x30, oidDer + derElement(0xa0, derElement(0x04, decoyInfo)));

    ASN1_STRING* sequence = ASN1_STRING_type_new(V_ASN1_SEQUENCE);
    ASN1_STRING_set(sequence, parameter.data(), static_cast<int>(parameter.size()));
    X509_ALGOR* algorithm = X509_ALGOR_new();
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256), V_ASN1_SEQUENCE, sequence);
    sk_X509_ALGOR_push(token->d.sign->md_algs, algorithm);

    unsigned char* out = nullptr;
    const int outLength = i2d_PKCS7(token.get(), &out);
    const std::string result(reinterpret_cast<const char*>(out), static_cast<size_t>(outLength));
    OPENSSL_free(out);
    return result;
}

// The signing time is the one the authority signed, wherever else a TSTInfo may appear in the
// token; and a time that is not known is never taken to lie within the signer's validity.
TEST_F(TimestampTest, GenTimeOfABareTokenIsTheSignedOne) {
    kvtest::PackageBuilder b = signerBuilder();
    b.signatureLineBreaks();
    const kvtest::SignedPackage plain = b.build(scratch.file("plain"));
    const std::string message = legacyMessage(plain);
    const Signer& s = signer();
    const time_t real = s.notAfter + 5 * kDay;
    const time_t decoy = s.notBefore + kDay;
    const std::string token = withDecoyTstInfo(
        kvtest::bareToken(kvtest::grantedResponse(kvtest::defaultTsa(), message, real)), decoy);

    kvtest::SignedPackage p = withToken(b, token);
    long genTime = kUntouched;
    EXPECT_EQ(validate(p, true, genTime), 2);
    EXPECT_EQ(genTime, static_cast<long>(hourFloor(real)));
}

TEST_F(TimestampTest, UnknownGenTimeIsNotWithinTheValidity) {
    // A signer valid since before the epoch, expired now: a genTime of 0 is no proof that the
    // document was signed while the certificate was valid.
    kvtest::CertSpec spec = kvtest::leafSpec("KVB Old Signer", "5003");
    spec.notBefore = -30 * kDay;
    spec.notAfter = time(nullptr) - 10 * kDay;
    kvtest::CertAndKey old;
    old.key = kvtest::makeRsaKey(2048, 65537, 2);
    old.cert = kvtest::makeCert(spec, old.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
    kvtest::PackageBuilder b;
    b.signer(old.key.get())
        .keyInfoCerts({old.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
        .addFile("a.txt", "alpha")
        .signatureLineBreaks();
    const kvtest::SignedPackage plain = b.build(scratch.file("plain"));
    kvtest::SignedPackage p = withToken(
        b, kvtest::bareToken(kvtest::grantedResponse(kvtest::defaultTsa(), legacyMessage(plain), spec.notAfter - kDay)));

    long genTime = kUntouched;
    EXPECT_EQ(validate(p, false, genTime), 2);  // no variant: the bare token's time is not read
    EXPECT_EQ(genTime, 0);
}

// The validity bounds are the KeyInfo signer's; a certificate elsewhere is ignored. A document
// without any certificate element is invalid before the token is looked at.
TEST_F(TimestampTest, ValidityComesFromTheKeyInfoSigner) {
    const Signer& s = signer();
    const time_t signerInside = s.notBefore + kDay;      // inside the signer, outside the decoy
    const time_t decoyInside = s.notAfter + 100 * kDay;  // outside the signer, inside the decoy
    kvtest::CertSpec spec = kvtest::leafSpec("KVB Decoy", "5002");
    spec.notBefore = s.notAfter + 50 * kDay;
    spec.notAfter = s.notAfter + 200 * kDay;
    const kvtest::X509Ptr decoy =
        kvtest::makeCert(spec, pki().leaf.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());

    kvtest::PackageBuilder withDecoy = signerBuilder();
    withDecoy.certBeforeKeyInfo(decoy.get());
    kvtest::PackageBuilder onlyDecoy = signerBuilder();
    onlyDecoy.keyInfoCerts({}).certBeforeKeyInfo(decoy.get());
    kvtest::PackageBuilder noCerts = signerBuilder();
    noCerts.keyInfoCerts({});

    struct Case {
        const char* name;
        const kvtest::PackageBuilder& builder;
        time_t genTime;
        int want;
    };
    const Case kCases[] = {
        {"decoy first, genTime inside the signer", withDecoy, signerInside, 1},
        {"decoy first, genTime inside the decoy only", withDecoy, decoyInside, 2},
        {"certificate only outside KeyInfo: no bounds", onlyDecoy, decoyInside, 2},
        {"no certificate element at all", noCerts, signerInside, 4},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string message = c.builder.build(scratch.file("plain")).timestampMessageText;
        kvtest::SignedPackage p =
            withToken(c.builder, kvtest::grantedResponse(kvtest::defaultTsa(), message, c.genTime));
        long genTime = kUntouched;
        EXPECT_EQ(validate(p, false, genTime), c.want);
        EXPECT_EQ(genTime, c.want == 4 ? kUntouched : static_cast<long>(hourFloor(c.genTime)));
    }
}

}  // namespace
