// Self-tests of the fixture builders: every other test trusts what they produce, so their
// digests, canonical texts, signatures and certificates are checked here against OpenSSL
// directly and against texts written by hand.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <map>
#include <sstream>

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>
#include <zlib.h>

#include "cli_runner.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "zip_writer.h"

namespace kvtest {
namespace {

const std::string kNs = "http://www.w3.org/2000/09/xmldsig#";
const std::string kC14n = "http://www.w3.org/TR/2001/REC-xml-c14n-20010315";
const std::string kSha256 = "http://www.w3.org/2001/04/xmlenc#sha256";
// SHA-256 of "abc" and of the empty input, base64 (well-known test vectors).
const std::string kAbcDigest = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
const std::string kEmptyDigest = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

std::string between(const std::string& text, const std::string& start, const std::string& end) {
    size_t a = text.find(start);
    if (a == std::string::npos) return "<missing " + start + ">";
    a += start.size();
    size_t b = text.find(end, a);
    if (b == std::string::npos) return "<missing " + end + ">";
    return text.substr(a, b - a);
}

bool verifySignature(EVP_PKEY* key, const EVP_MD* md, const std::string& data, const std::string& sig) {
    std::string digest = md == EVP_sha1() ? sha1(data) : sha256(data);
    kvbsign::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_verify_init(ctx.get()) <= 0) return false;
    if (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) <= 0) return false;
    if (EVP_PKEY_CTX_set_signature_md(ctx.get(), md) <= 0) return false;
    return EVP_PKEY_verify(ctx.get(), reinterpret_cast<const unsigned char*>(sig.data()), sig.size(),
                           reinterpret_cast<const unsigned char*>(digest.data()), digest.size()) == 1;
}

std::string recover(EVP_PKEY* key, int padding, const std::string& sig) {
    kvbsign::EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    EXPECT_TRUE(ctx && EVP_PKEY_verify_recover_init(ctx.get()) > 0);
    EXPECT_GT(EVP_PKEY_CTX_set_rsa_padding(ctx.get(), padding), 0);
    std::string out(512, '\0');
    size_t len = out.size();
    if (EVP_PKEY_verify_recover(ctx.get(), reinterpret_cast<unsigned char*>(&out[0]), &len,
                                reinterpret_cast<const unsigned char*>(sig.data()), sig.size()) <= 0)
        return "<failed>";
    out.resize(len);
    return out;
}

int verifyChain(X509* leaf, const std::vector<X509*>& untrusted, X509* anchor) {
    kvbsign::X509StorePtr store(X509_STORE_new());
    X509_STORE_add_cert(store.get(), anchor);
    STACK_OF(X509)* chain = sk_X509_new_null();
    for (X509* c : untrusted) sk_X509_push(chain, c);
    X509_STORE_CTX* ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store.get(), leaf, chain);
    int ok = X509_verify_cert(ctx);
    int err = ok == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
    X509_STORE_CTX_free(ctx);
    sk_X509_free(chain);
    return err;
}

TEST(SupportCodecs, Base64AndPercentEncoding) {
    struct B64 { const char* in; const char* want; };
    const B64 kB64[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
                        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : kB64) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(base64(c.in), c.want);
        EXPECT_EQ(base64Decode(c.want), c.in);
    }
    std::string bytes(96, '\xff');
    std::string wrapped = base64(bytes, true);
    EXPECT_EQ(wrapped.size(), 129u); // 128 characters: one break between the lines, none at the end
    EXPECT_EQ(wrapped.find('\n'), 64u);
    EXPECT_EQ(wrapped.find('\n', 65), std::string::npos);
    EXPECT_EQ(base64Decode(wrapped), bytes);

    struct Pct { const char* name; std::string in; std::string want; };
    const Pct kPct[] = {
        {"kept characters", "Az09-_.~/x", "Az09-_.~/x"},
        {"blank", "a b.txt", "a%20b.txt"},
        {"ampersand and colon", "a&b:c", "a%26b%3ac"},
        {"UTF-8 bytes, lowercase hex", "\xc3\xa9.txt", "%c3%a9.txt"},
        {"percent itself", "100%", "100%25"},
    };
    for (const auto& c : kPct) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(percentEncode(c.in), c.want);
    }
    EXPECT_EQ(digestB64("abc"), kAbcDigest);
    EXPECT_EQ(digestB64(""), kEmptyDigest);
    EXPECT_EQ(hex(sha1("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(SupportPki, ChainNamesAndValidity) {
    TestPki& p = pki();
    EXPECT_EQ(subjectOneLine(p.root.cert.get()), "/CN=KVB Test Root");
    EXPECT_EQ(subjectOneLine(p.leaf.cert.get()), "/C=GB/O=KVB Test Signers/OU=Unit A/OU=Unit B/CN=KVB Test Leaf");
    EXPECT_EQ(issuerOneLine(p.leaf.cert.get()), subjectOneLine(p.intermediate.cert.get()));
    EXPECT_EQ(serialHexOf(p.leaf.cert.get()), "1001");

    struct Case { const char* name; X509* leaf; std::vector<X509*> untrusted; X509* anchor; int want; };
    const Case kCases[] = {
        {"good chain", p.leaf.cert.get(), {p.intermediate.cert.get()}, p.root.cert.get(), X509_V_OK},
        {"expired", p.expiredLeaf.cert.get(), {p.intermediate.cert.get()}, p.root.cert.get(),
         X509_V_ERR_CERT_HAS_EXPIRED},
        {"not yet valid", p.notYetValidLeaf.cert.get(), {p.intermediate.cert.get()}, p.root.cert.get(),
         X509_V_ERR_CERT_NOT_YET_VALID},
        {"unrelated anchor", p.leaf.cert.get(), {p.intermediate.cert.get()}, p.unrelatedRoot.cert.get(),
         X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY},
        {"end entity as issuer", p.eeIssued.cert.get(), {p.leaf.cert.get(), p.intermediate.cert.get()},
         p.root.cert.get(), X509_V_ERR_INVALID_CA},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(verifyChain(c.leaf, c.untrusted, c.anchor), c.want);
    }
    // Version 1 certificates carry no extensions at all; their signatures still verify.
    EXPECT_EQ(X509_get_version(p.v1Root.cert.get()), 0);
    EXPECT_EQ(X509_get_ext_count(p.v1Root.cert.get()), 0);
    EXPECT_EQ(X509_get_ext_count(p.v1Leaf.cert.get()), 0);
    EXPECT_EQ(X509_verify(p.v1Leaf.cert.get(), p.v1Root.key.get()), 1);
    // Every certificate is paired with its own key.
    for (const CertAndKey* ck : {&p.root, &p.intermediate, &p.leaf, &p.expiredLeaf, &p.eeIssued})
        EXPECT_EQ(X509_check_private_key(ck->cert.get(), ck->key.get()), 1);
    EXPECT_NE(EVP_PKEY_eq(p.leaf.key.get(), p.intermediate.key.get()), 1);
}

TEST(SupportPki, ExtensionsFromSpec) {
    CertSpec spec = leafSpec("With CRLs", "0ABCDEF0123456789A");
    spec.crlUrls = {"http://127.0.0.1:1/a.crl", "http://127.0.0.1:1/b.crl"};
    spec.timeStampingEku = true;
    X509Ptr cert = makeCert(spec, makeRsaKey(2048, 65537, 9).get(), pki().intermediate.cert.get(),
                            pki().intermediate.key.get());
    EXPECT_EQ(serialHexOf(cert.get()), "0ABCDEF0123456789A");

    auto* dps = static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(cert.get(), NID_crl_distribution_points, nullptr, nullptr));
    ASSERT_NE(dps, nullptr);
    ASSERT_EQ(sk_DIST_POINT_num(dps), 2);
    for (int i = 0; i < 2; ++i) {
        DIST_POINT* dp = sk_DIST_POINT_value(dps, i);
        ASSERT_EQ(dp->distpoint->type, 0);
        GENERAL_NAME* gn = sk_GENERAL_NAME_value(dp->distpoint->name.fullname, 0);
        ASSERT_EQ(gn->type, GEN_URI);
        std::string uri(reinterpret_cast<const char*>(ASN1_STRING_get0_data(gn->d.uniformResourceIdentifier)),
                        ASN1_STRING_length(gn->d.uniformResourceIdentifier));
        EXPECT_EQ(uri, spec.crlUrls[i]);
    }
    CRL_DIST_POINTS_free(dps);
    EXPECT_NE(X509_get_extended_key_usage(cert.get()) & XKU_TIMESTAMP, 0u);

    // DER round trip and the PEM bundle file.
    ScratchDir dir;
    EXPECT_EQ(toDer(fromDer(toDer(cert.get())).get()), toDer(cert.get()));
    EXPECT_EQ(fromDer("not a certificate"), nullptr);
    writePemBundle(dir.file("b.pem"), {pki().root.cert.get(), cert.get()});
    EXPECT_EQ(readFile(dir.file("b.pem")), toPem(pki().root.cert.get()) + toPem(cert.get()));
}

TEST(SupportPackage, CompactDocumentVerifiesWithOpenSsl) {
    ScratchDir dir;
    PackageBuilder b;
    b.mimetype("abc").addFile("sub/a b.txt", "").addFile("x.bin", std::string("\0\x01\x02", 3));
    SignedPackage pkg = b.build(dir.file("pkg"));
    const std::string& xml = pkg.xml;
    EXPECT_EQ(readFile(dir.file("pkg/META-INF/signatures.xml")), xml);
    EXPECT_EQ(readFile(dir.file("pkg/mimetype")), "abc");
    EXPECT_EQ(readFile(dir.file("pkg/sub/a b.txt")), "");

    // Compact: the canonical texts are the document's own inner texts in the namespaced wrappers.
    EXPECT_EQ(pkg.canonicalSignedInfo,
              "<SignedInfo xmlns=\"" + kNs + "\">" + between(xml, "<SignedInfo>", "</SignedInfo>") + "</SignedInfo>");
    EXPECT_EQ(pkg.canonicalManifest, "<Manifest xmlns=\"" + kNs + "\" Id=\"PackageContents\">" +
                                         between(xml, "<Manifest Id=\"PackageContents\">", "</Manifest>") +
                                         "</Manifest>");
    EXPECT_EQ(xml.find("/>"), std::string::npos);
    EXPECT_EQ(xml.find('\n'), std::string::npos);

    // The first SignedInfo DigestValue is the manifest's; the signature covers SignedInfo.
    EXPECT_EQ(between(between(xml, "<SignedInfo>", "</SignedInfo>"), "<DigestValue>", "</DigestValue>"),
              base64(sha256(pkg.canonicalManifest)));
    std::string sig = base64Decode(between(xml, "<SignatureValue Id=\"PackageSignatureValue\">", "</SignatureValue>"));
    EXPECT_EQ(sig.size(), 256u);
    EXPECT_TRUE(verifySignature(pki().leaf.key.get(), EVP_sha1(), pkg.canonicalSignedInfo, sig));
    EXPECT_FALSE(verifySignature(pki().leaf.key.get(), EVP_sha1(), pkg.canonicalSignedInfo + " ", sig));

    // File references in order, mimetype first, with percent-encoded URIs and real digests.
    std::string manifest = between(xml, "<Manifest Id=\"PackageContents\">", "</Manifest>");
    EXPECT_EQ(manifest,
              "<Reference URI=\"mimetype\"><DigestMethod Algorithm=\"" + kSha256 + "\"></DigestMethod><DigestValue>" +
                  kAbcDigest + "</DigestValue></Reference>"
                  "<Reference URI=\"sub/a%20b.txt\"><DigestMethod Algorithm=\"" + kSha256 +
                  "\"></DigestMethod><DigestValue>" + kEmptyDigest + "</DigestValue></Reference>"
                  "<Reference URI=\"x.bin\"><DigestMethod Algorithm=\"" + kSha256 + "\"></DigestMethod><DigestValue>" +
                  digestB64(std::string("\0\x01\x02", 3)) + "</DigestValue></Reference>");

    // KeyInfo: leaf, intermediate, root in order.
    std::string keyInfo = between(xml, "<KeyInfo><X509Data>", "</X509Data></KeyInfo>");
    EXPECT_EQ(keyInfo, "<X509Certificate>" + base64(toDer(pki().leaf.cert.get())) +
                           "</X509Certificate><X509Certificate>" + base64(toDer(pki().intermediate.cert.get())) +
                           "</X509Certificate><X509Certificate>" + base64(toDer(pki().root.cert.get())) +
                           "</X509Certificate>");
    const std::string head = "<signatures><Signature xmlns=\"" + kNs +
                             "\" Id=\"PackageSignature\"><SignedInfo><CanonicalizationMethod Algorithm=\"";
    const std::string tail = "</Manifest></Object></Signature></signatures>";
    EXPECT_EQ(xml.substr(0, head.size()), head);
    EXPECT_EQ(xml.substr(xml.size() - tail.size()), tail);
}

TEST(SupportPackage, IndentedLayoutsHaveHandWrittenCanonicalTexts) {
    ScratchDir dir;
    PackageBuilder b;
    b.mimetype("abc").layout(Layout::IndentedLF);
    SignedPackage lf = b.build(dir.file("lf"));
    SignedPackage crlf = PackageBuilder(b).layout(Layout::IndentedCRLF).build(dir.file("crlf"));

    const std::string wantManifest =
        "<Manifest xmlns=\"" + kNs + "\" Id=\"PackageContents\">\n"
        "        <Reference URI=\"mimetype\">\n"
        "          <DigestMethod Algorithm=\"" + kSha256 + "\"></DigestMethod>\n"
        "          <DigestValue>" + kAbcDigest + "</DigestValue>\n"
        "        </Reference>\n"
        "      </Manifest>";
    const std::string manifestDigest = base64(sha256(wantManifest));
    const std::string wantSignedInfo =
        "<SignedInfo xmlns=\"" + kNs + "\">\n"
        "      <CanonicalizationMethod Algorithm=\"" + kC14n + "\"></CanonicalizationMethod>\n"
        "      <SignatureMethod Algorithm=\"http://www.w3.org/2000/09/xmldsig#rsa-sha1\"></SignatureMethod>\n"
        "      <Reference URI=\"#PackageContents\" Type=\"http://www.w3.org/2000/09/xmldsig#Manifest\">\n"
        "        <DigestMethod Algorithm=\"" + kSha256 + "\"></DigestMethod>\n"
        "        <DigestValue>" + manifestDigest + "</DigestValue>\n"
        "      </Reference>\n"
        "    </SignedInfo>";

    for (const SignedPackage* pkg : {&lf, &crlf}) {
        SCOPED_TRACE(pkg == &lf ? "LF" : "CRLF");
        EXPECT_EQ(pkg->canonicalManifest, wantManifest);
        EXPECT_EQ(pkg->canonicalSignedInfo, wantSignedInfo);
        EXPECT_EQ(pkg->manifestDigestB64, manifestDigest);
        std::string sig = base64Decode(pkg->signatureValueText);
        EXPECT_TRUE(verifySignature(pki().leaf.key.get(), EVP_sha1(), wantSignedInfo, sig));
    }
    // PKCS#1 v1.5 is deterministic: the same canonical text gives the same value.
    EXPECT_EQ(lf.signatureValueText, crlf.signatureValueText);

    // The CRLF document is the LF document with every LF preceded by CR.
    std::string expanded;
    for (char c : lf.xml) expanded += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(crlf.xml, expanded);
    EXPECT_EQ(lf.xml.find('\r'), std::string::npos);
    EXPECT_NE(lf.xml.find("<signatures>\n  <Signature xmlns=\"" + kNs + "\" Id=\"PackageSignature\">\n    <SignedInfo>\n"
                          "      <CanonicalizationMethod"),
              std::string::npos);
    // The written inner text is the canonical inner text in the LF layout.
    EXPECT_EQ("<SignedInfo xmlns=\"" + kNs + "\">" + between(lf.xml, "<SignedInfo>", "</SignedInfo>") + "</SignedInfo>",
              wantSignedInfo);
}

TEST(SupportPackage, VariantSignsTheLineBreakFreeSignedInfo) {
    ScratchDir dir;
    PackageBuilder b;
    b.mimetype("abc").variant();
    const std::string marker = "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/>";
    for (Layout l : {Layout::Compact, Layout::IndentedCRLF}) {
        SCOPED_TRACE(static_cast<int>(l));
        SignedPackage pkg = PackageBuilder(b).layout(l).build(dir.file("v" + std::to_string(static_cast<int>(l))));
        EXPECT_NE(pkg.xml.find(marker), std::string::npos);
        const std::string want =
            "<SignedInfo xmlns=\"" + kNs + "\"><CanonicalizationMethod Algorithm=\"" + kC14n +
            "\"></CanonicalizationMethod><SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\">"
            "</SignatureMethod><Reference URI=\"#PackageContents\" Type=\"http://www.w3.org/2000/09/xmldsig#Manifest\">"
            "<DigestMethod Algorithm=\"" + kSha256 + "\"></DigestMethod><DigestValue>" + pkg.manifestDigestB64 +
            "</DigestValue></Reference></SignedInfo>";
        EXPECT_EQ(pkg.canonicalSignedInfo, want);
        EXPECT_TRUE(verifySignature(pki().leaf.key.get(), EVP_sha1(), want, base64Decode(pkg.signatureValueB64)));
    }
}

TEST(SupportPackage, ManifestEditsAndLinks) {
    ScratchDir dir;
    PackageBuilder b;
    b.addFile("a&b.txt", "1")
        .addFile("b.txt", "2")
        .addFile("c.txt", "3")
        .addUnlistedFile("extra.txt", "x")
        .addDirectory("empty")
        .addSymlink("link.txt", "b.txt", true, "2")
        .addSymlink("late", "c.txt")
        .noMimetype()
        .setUri("a&b.txt", "a&amp;b.txt")
        .setDigest("b.txt", "WRONG")
        .unlist("c.txt")
        .addReference("b.txt", "dup");
    SignedPackage pkg = b.build(dir.file("p"));
    std::vector<std::pair<std::string, std::string>> refs;
    for (const auto& r : pkg.references) refs.emplace_back(r.uri, r.digest);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"a&amp;b.txt", digestB64("1")}, {"b.txt", "WRONG"}, {"link.txt", digestB64("2")}, {"b.txt", "dup"}};
    EXPECT_EQ(refs, want);
    EXPECT_EQ(between(pkg.xml, "<Reference URI=\"a&amp;b.txt\">", "</Reference>"),
              "<DigestMethod Algorithm=\"" + kSha256 + "\"></DigestMethod><DigestValue>" + digestB64("1") +
                  "</DigestValue>");

    struct stat st;
    ASSERT_EQ(lstat(dir.file("p/link.txt").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(readFile(dir.file("p/late")), "3");
    EXPECT_EQ(readFile(dir.file("p/extra.txt")), "x");
    ASSERT_EQ(stat(dir.file("p/empty").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_NE(lstat(dir.file("p/mimetype").c_str(), &st), 0);

    // editReferences has the last word, after the extras.
    SignedPackage edited = PackageBuilder(b)
                               .editReferences([](std::vector<ManifestRef>& r) { r.erase(r.begin()); })
                               .build(dir.file("q"));
    EXPECT_EQ(edited.references.size(), 3u);
    EXPECT_EQ(edited.references.front().uri, "b.txt");
}

TEST(SupportPackage, SignatureAndKeyInfoOptions) {
    ScratchDir dir;
    TestPki& p = pki();
    EVP_PKEY* key = p.leaf.key.get();

    // SignatureValue and certificates on several lines; the timestamp message joins them.
    SignedPackage wrapped = PackageBuilder().signatureLineBreaks().certLineBreaks().build(dir.file("w"));
    EXPECT_EQ(wrapped.signatureValueText.find('\n'), 64u);
    EXPECT_EQ(wrapped.signatureValueB64.size(), 344u);
    EXPECT_EQ(wrapped.timestampMessageText, "<SignatureValue xmlns=\"" + kNs + "\" Id=\"PackageSignatureValue\">" +
                                                wrapped.signatureValueB64 + "</SignatureValue>");
    EXPECT_NE(wrapped.xml.find("<X509Certificate>" + base64(toDer(p.leaf.cert.get()), true) + "</X509Certificate>"),
              std::string::npos);

    // A custom DigestInfo, and a raw block: recovered exactly.
    PackageBuilder base;
    std::string info("\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19);
    info += sha256(base.canonicalSignedInfo());
    SignedPackage custom = PackageBuilder(base).rawSignature(SignMode::Pkcs1Block, info).build(dir.file("c"));
    EXPECT_EQ(recover(key, RSA_PKCS1_PADDING, base64Decode(custom.signatureValueB64)), info);
    EXPECT_TRUE(verifySignature(key, EVP_sha256(), custom.canonicalSignedInfo, base64Decode(custom.signatureValueB64)));
    std::string block(256, '\x01');
    block[0] = '\0';
    SignedPackage raw = PackageBuilder(base).rawSignature(SignMode::NoPadding, block).build(dir.file("r"));
    EXPECT_EQ(recover(key, RSA_NO_PADDING, base64Decode(raw.signatureValueB64)), block);
    SignedPackage md5 = PackageBuilder(base).signatureMd(EVP_md5()).build(dir.file("m"));
    EXPECT_EQ(recover(key, RSA_PKCS1_PADDING, base64Decode(md5.signatureValueB64)).size(), 34u);

    // Other signer and certificates; a certificate ahead of KeyInfo.
    SignedPackage other = PackageBuilder()
                              .signer(p.eeIssued.key.get())
                              .keyInfoCerts({p.eeIssued.cert.get()})
                              .certBeforeKeyInfo(p.root.cert.get())
                              .build(dir.file("o"));
    EXPECT_TRUE(verifySignature(p.eeIssued.key.get(), EVP_sha1(), other.canonicalSignedInfo,
                                base64Decode(other.signatureValueB64)));
    EXPECT_NE(other.xml.find("</SignatureValue><Object><X509Certificate>" + base64(toDer(p.root.cert.get())) +
                             "</X509Certificate></Object><KeyInfo><X509Data><X509Certificate>" +
                             base64(toDer(p.eeIssued.cert.get())) + "</X509Certificate></X509Data></KeyInfo>"),
              std::string::npos);
}

TEST(SupportPackage, TimestampObjectAndRewrites) {
    ScratchDir dir;
    PackageBuilder b;
    SignedPackage plain = b.build(dir.file("a"));
    SignedPackage stamped = PackageBuilder(b).timestamp("VE9LRU4=").build(dir.file("b"));
    const std::string object =
        "<Object><xades:QualifyingProperties xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" "
        "Target=\"#PackageSignature\"><xades:UnsignedProperties><xades:UnsignedSignatureProperties>"
        "<xades:SignatureTimeStamp><xades:EncapsulatedTimeStamp>VE9LRU4=</xades:EncapsulatedTimeStamp>"
        "</xades:SignatureTimeStamp></xades:UnsignedSignatureProperties></xades:UnsignedProperties>"
        "</xades:QualifyingProperties></Object>";
    EXPECT_EQ(timestampObject("VE9LRU4="), object);
    EXPECT_NE(stamped.xml.find("</Manifest></Object>" + object + "</Signature>"), std::string::npos);
    EXPECT_EQ(stamped.signatureValueText, plain.signatureValueText);

    plain.addTimestamp("VE9LRU4=");
    EXPECT_EQ(plain.xml, stamped.xml);
    EXPECT_EQ(readFile(plain.xmlPath()), stamped.xml);
    plain.replaceInXml("VE9LRU4=", "WA==");
    EXPECT_NE(readFile(plain.xmlPath()).find("<xades:EncapsulatedTimeStamp>WA=="), std::string::npos);
    EXPECT_THROW(plain.replaceInXml("no such text", ""), std::runtime_error);
}

TEST(SupportPackage, ZipPutsMimetypeFirstAndKeepsLinks) {
    ScratchDir dir;
    SignedPackage pkg =
        PackageBuilder().addFile("a/b.txt", "b").addSymlink("l", "a/b.txt", true, "b").build(dir.file("p"));
    pkg.zip(dir.file("p.kvb"));
    CliResult list = runProgram("/usr/bin/unzip", {"-Z1", dir.file("p.kvb")});
    ASSERT_EQ(list.exitCode, 0) << list.err;
    EXPECT_EQ(list.out.substr(0, 9), "mimetype\n");
    for (const char* name : {"META-INF/signatures.xml\n", "a/b.txt\n", "l\n"})
        EXPECT_NE(list.out.find(name), std::string::npos) << name;
    CliResult verbose = runProgram("/usr/bin/unzip", {"-Zl", dir.file("p.kvb"), "l"});
    EXPECT_EQ(verbose.out.find("lrwx"), 0u) << verbose.out; // stored as a link, not its target
}

TEST(SupportFixtureTool, DemoWritesRootsChainAndPackage) {
    ScratchDir dir;
    CliResult r = runProgram(KVBSIGN_FIXTURE_TOOL_PATH, {"demo", dir.file("out")});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, dir.file("out/roots.pem") + "\n" + dir.file("out/intermediate.der") + "\n" +
                         dir.file("out/demo.kvb") + "\n");
    // The tool makes its own keys: check the files against each other, not against pki().
    std::string pem = readFile(dir.file("out/roots.pem"));
    kvbsign::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    X509Ptr root(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(subjectOneLine(root.get()), "/CN=KVB Test Root");
    X509Ptr inter = fromDer(readFile(dir.file("out/intermediate.der")));
    ASSERT_NE(inter, nullptr);
    EXPECT_EQ(issuerOneLine(inter.get()), "/CN=KVB Test Root");
    EXPECT_EQ(X509_verify(inter.get(), X509_get0_pubkey(root.get())), 1);
    CliResult list = runProgram("/usr/bin/unzip", {"-Z1", dir.file("out/demo.kvb")});
    EXPECT_EQ(list.out.substr(0, 9), "mimetype\n");
    EXPECT_NE(list.out.find("content/read me.txt\n"), std::string::npos);
    // Nothing but the three files is left behind.
    CliResult ls = runProgram("/bin/ls", {"-A", dir.file("out")});
    EXPECT_EQ(ls.out, "demo.kvb\nintermediate.der\nroots.pem\n");

    CliResult bad = runProgram(KVBSIGN_FIXTURE_TOOL_PATH, {"nonsense"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("usage"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Zip writer

// CRC-32 of "123456789", the well-known check value.
const std::uint32_t kCheckCrc = 0xCBF43926;

ZipEntrySpec zEntry(const std::string& name, const std::string& data, std::uint16_t method = 8) {
    ZipEntrySpec e = kvtest::zipFileEntry(name, data);
    e.method = method;
    return e;
}

const auto zDir = kvtest::zipDirectoryEntry;
const auto zLink = kvtest::zipLinkEntry;

std::string at(const std::string& bytes, std::uint64_t offset, std::size_t n) {
    return offset <= bytes.size() ? bytes.substr(offset, n) : "<past the end>";
}

bool highByte(const std::string& s) {
    for (unsigned char c : s)
        if (c >= 0x80) return true;
    return false;
}

// Every offset of the layout lands on what it names, and each local entry is the bytes
// localEntryBytes makes for it.
void checkLayout(const std::string& bytes, const ZipSpec& spec, const ZipLayout& l) {
    ASSERT_EQ(l.fileSize, bytes.size());
    ASSERT_EQ(l.entries.size(), spec.entries.size());
    for (std::size_t i = 0; i < l.entries.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        const ZipLayout::Entry& e = l.entries[i];
        const ZipEntrySpec& s = spec.entries[i];
        EXPECT_EQ(at(bytes, e.localOffset, 4), "PK\x03\x04");
        EXPECT_EQ(e.dataOffset, e.localOffset + 30 + readLe(bytes, e.localOffset + 26, 2) + readLe(bytes, e.localOffset + 28, 2));
        EXPECT_EQ(e.dataEnd, e.dataOffset + e.compressedSize);
        if (s.dataDescriptor && s.descriptorSignature) { EXPECT_EQ(at(bytes, e.dataEnd, 4), "PK\x07\x08"); }
        if (!s.dataDescriptor) { EXPECT_EQ(e.entryEnd, e.dataEnd); }
        if (!s.localFlags) {
            EXPECT_EQ((readLe(bytes, e.localOffset + 6, 2) & 0x800) != 0, highByte(s.localName.value_or(s.name)));
        }
        if (e.centralOffset != ZipLayout::kNone) {
            EXPECT_EQ(at(bytes, e.centralOffset, 4), "PK\x01\x02");
            if (!s.centralFlags) {
                EXPECT_EQ((readLe(bytes, e.centralOffset + 8, 2) & 0x800) != 0,
                          highByte(s.centralName.value_or(s.name)));
            }
        }
        if (s.zeros < (1u << 26)) { EXPECT_EQ(at(bytes, e.localOffset, e.entryEnd - e.localOffset), localEntryBytes(s)); }
    }
    ASSERT_FALSE(l.centralRecords.empty());
    EXPECT_EQ(l.centralRecords.front(), l.centralOffset);
    for (std::uint64_t c : l.centralRecords) EXPECT_EQ(at(bytes, c, 4), "PK\x01\x02");
    const std::uint64_t afterCentral = l.zip64EndOffset ? l.zip64EndOffset : l.endOffset;
    EXPECT_EQ(l.centralOffset + l.centralSize + spec.afterCentral.size(), afterCentral);
    if (l.zip64EndOffset) {
        EXPECT_EQ(at(bytes, l.zip64EndOffset, 4), "PK\x06\x06");
        EXPECT_EQ(l.locatorOffset, l.zip64EndOffset + 56 + spec.zip64Extensible.size());
        EXPECT_EQ(at(bytes, l.locatorOffset, 4), "PK\x06\x07");
        EXPECT_EQ(readLe(bytes, l.locatorOffset + 8, 8), l.zip64EndOffset);
        EXPECT_EQ(readLe(bytes, l.zip64EndOffset + 48, 8), l.centralOffset);
        EXPECT_EQ(l.endOffset, l.locatorOffset + 20);
    }
    EXPECT_EQ(at(bytes, l.endOffset, 4), "PK\x05\x06");
    EXPECT_EQ(l.endOffset + 22 + spec.comment.size() + spec.afterEnd.size(), l.fileSize);
}

struct ZipWant {
    std::string name;
    std::string mode;     // as the zip listing shows it, e.g. "-rw-r--r--"
    std::string content;  // file bytes, or the link target
};

// The mode column of each line of `unzip -Z`, by name.
std::map<std::string, std::string> listedModes(const std::string& listing) {
    std::map<std::string, std::string> modes;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || std::string("-dl").find(line[0]) == std::string::npos) continue;
        std::istringstream fields(line);
        std::string mode, skip, name;
        fields >> mode;
        for (int i = 0; i < 7; ++i) fields >> skip;  // version, system, size, flags, method, date, time
        std::getline(fields >> std::ws, name);
        modes[name] = mode;
    }
    return modes;
}

TEST(SupportZipWriter, ValidArchivesPassTheExtractor) {
    struct Case {
        const char* name;
        std::function<ZipSpec()> make;
        std::vector<ZipWant> want;  // in central order
        bool extract = true;
    };
    const std::string text = [] {
        std::string t;
        for (int i = 0; i < 300; ++i) t += "line " + std::to_string(i % 17) + " of some text\n";
        return t;
    }();
    std::string binary;
    for (int i = 0; i < 256; ++i) binary += static_cast<char>(i);
    std::vector<ZipWant> many;
    for (int i = 0; i < 70000; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "n/%05d", i);
        many.push_back({name, "-rw-r--r--", ""});
    }
    const char* file = "-rw-r--r--";

    const Case kCases[] = {
        {"stored, deflated and empty files",
         [&] {
             ZipSpec s;
             s.entries = {zEntry("mimetype", "application/x-test", 0), zEntry("lib/app.js", text),
                          zEntry("empty.txt", ""), zEntry("bin", binary, 0), zEntry("check", "123456789")};
             return s;
         },
         {{"mimetype", file, "application/x-test"}, {"lib/app.js", file, text}, {"empty.txt", file, ""},
          {"bin", file, binary}, {"check", file, "123456789"}}},
        {"data descriptors with and without signature",
         [&] {
             ZipSpec s;
             s.entries = {zEntry("a.txt", text), zEntry("b.txt", text + "b"), zEntry("c.txt", "stored", 0)};
             for (ZipEntrySpec& e : s.entries) e.dataDescriptor = true;
             s.entries[1].descriptorSignature = false;
             return s;
         },
         {{"a.txt", file, text}, {"b.txt", file, text + "b"}, {"c.txt", file, "stored"}}},
        {"zip64 extras and a zip64 end record on small entries",
         [&] {
             ZipSpec s;
             s.entries = {zEntry("a.txt", text), zEntry("b.txt", "bee", 0), zEntry("c.txt", text + "c")};
             for (ZipEntrySpec& e : s.entries) e.zip64 = true;
             s.entries[2].dataDescriptor = true;
             s.zip64End = true;
             return s;
         },
         {{"a.txt", file, text}, {"b.txt", file, "bee"}, {"c.txt", file, text + "c"}}},
        {"directories, links and modes",
         [&] {
             ZipSpec s;
             ZipEntrySpec run = zEntry("d/run.sh", "#!/bin/sh\n");
             run.unixMode = 0100755;
             s.entries = {zDir("d/"), zDir("d/e/"), zEntry("x.txt", "x"), zLink("d/l", "../x.txt"), run,
                          zLink("d/e/up", "..")};
             return s;
         },
         {{"d/", "drwxr-xr-x", ""}, {"d/e/", "drwxr-xr-x", ""}, {"x.txt", file, "x"},
          {"d/l", "lrwxrwxrwx", "../x.txt"}, {"d/run.sh", "-rwxr-xr-x", "#!/bin/sh\n"},
          {"d/e/up", "lrwxrwxrwx", ".."}}},
        {"UTF-8 names and comments",
         [&] {
             ZipSpec s;
             s.entries = {zEntry("\xc3\xa9t\xc3\xa9.txt", "summer"), zEntry("plain.txt", "plain")};
             s.entries[0].comment = "a file comment";
             s.comment = "an archive comment";
             return s;
         },
         {{"\xc3\xa9t\xc3\xa9.txt", file, "summer"}, {"plain.txt", file, "plain"}}},
        {"zeros, deflated and stored",
         [&] {
             ZipSpec s;
             ZipEntrySpec a, b;
             a.name = "a.bin";
             a.zeros = 3 * (1u << 20) + 5;  // several chunks and a rest
             b.name = "b.bin";
             b.zeros = 70000;
             b.method = 0;
             b.dataDescriptor = true;
             s.entries = {a, b};
             return s;
         },
         {{"a.bin", file, std::string(3 * (1u << 20) + 5, '\0')}, {"b.bin", file, std::string(70000, '\0')}}},
        {"70,000 entries: a zip64 end record",
         [&] {
             ZipSpec s;
             for (const ZipWant& w : many) s.entries.push_back(zEntry(w.name, "", 0));
             return s;
         },
         many, false},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        const std::string zip = dir.file("t.zip");
        const ZipSpec spec = c.make();
        const ZipLayout layout = writeZipSpec(zip, spec);
        const std::string bytes = readFile(zip);
        checkLayout(bytes, spec, layout);
        const bool zip64End = spec.zip64End || spec.entries.size() >= 0xFFFF;
        EXPECT_EQ(layout.zip64EndOffset != 0, zip64End);
        if (spec.entries.size() >= 0xFFFF) {  // the classic counts overflow: all ones, the true count in zip64
            EXPECT_EQ(readLe(bytes, layout.endOffset + 8, 4), 0xFFFFFFFFu);
            EXPECT_EQ(readLe(bytes, layout.zip64EndOffset + 24, 8), spec.entries.size());
            EXPECT_EQ(readLe(bytes, layout.zip64EndOffset + 32, 8), spec.entries.size());
        }
        if (!spec.comment.empty()) { EXPECT_EQ(bytes.substr(bytes.size() - spec.comment.size()), spec.comment); }

        const CliResult test = runProgram("/usr/bin/unzip", {"-tq", zip});
        EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
        EXPECT_EQ(test.out.find("No errors detected"), 0u) << test.out;
        std::string names;
        for (const ZipWant& w : c.want) names += w.name + "\n";
        const CliResult list = runProgram("/usr/bin/unzip", {"-Z1", zip});
        EXPECT_EQ(list.exitCode, 0) << list.err;
        EXPECT_EQ(list.out, names);
        if (!c.extract) continue;

        const CliResult info = runProgram("/usr/bin/unzip", {"-Z", zip});
        EXPECT_EQ(info.exitCode, 0) << info.err;
        const std::map<std::string, std::string> modes = listedModes(info.out);
        const CliResult x = runProgram("/usr/bin/unzip", {"-q", zip, "-d", dir.file("x")});
        ASSERT_EQ(x.exitCode, 0) << x.out << x.err;
        for (const ZipWant& w : c.want) {
            SCOPED_TRACE(w.name);
            EXPECT_EQ(modes.count(w.name) ? modes.at(w.name) : "<not listed>", w.mode);
            const std::string path = dir.file("x/" + w.name);
            struct stat st;
            ASSERT_EQ(lstat(path.c_str(), &st), 0);
            if (w.mode[0] == 'd') {
                EXPECT_TRUE(S_ISDIR(st.st_mode));
            } else if (w.mode[0] == 'l') {
                ASSERT_TRUE(S_ISLNK(st.st_mode));
                char target[256];
                const ssize_t n = readlink(path.c_str(), target, sizeof target);
                EXPECT_EQ(std::string(target, n > 0 ? static_cast<std::size_t>(n) : 0), w.content);
            } else {
                EXPECT_TRUE(S_ISREG(st.st_mode));
                EXPECT_EQ(readFile(path), w.content);
            }
        }
    }
}

TEST(SupportZipWriter, LiesLandWhereAsked) {
    // Offsets of the fields named below: local header, central record, end record.
    enum : std::uint64_t { kLFlags = 6, kLMethod = 8, kLCrc = 14, kLCompressed = 18, kLSize = 22, kLName = 30 };
    enum : std::uint64_t { kCFlags = 8, kCMethod = 10, kCCrc = 16, kCSize = 24, kCAttrs = 38, kCOffset = 42, kCName = 46 };
    using Check = std::function<void(const std::string&, const ZipLayout&)>;
    struct Case {
        const char* name;
        std::function<void(ZipSpec&)> edit;
        Check check;
    };
    const Case kCases[] = {
        {"CRC lie in the central record only",
         [](ZipSpec& s) { s.entries[0].centralCrc = 0xDEADBEEF; },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(readLe(b, l.entries[0].centralOffset + kCCrc, 4), 0xDEADBEEFu);
             EXPECT_EQ(readLe(b, l.entries[0].localOffset + kLCrc, 4), kCheckCrc);
             EXPECT_EQ(l.entries[0].crc, kCheckCrc);
         }},
        {"the local header names another file",
         [](ZipSpec& s) { s.entries[1].localName = "B.txt"; },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(at(b, l.entries[1].localOffset + kLName, 5), "B.txt");
             EXPECT_EQ(at(b, l.entries[1].centralOffset + kCName, 5), "b.txt");
         }},
        {"method lies, data written as it really is",
         [](ZipSpec& s) {
             s.entries[0].localMethod = 99;
             s.entries[1].centralMethod = 12;
         },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(readLe(b, l.entries[0].localOffset + kLMethod, 2), 99u);
             EXPECT_EQ(readLe(b, l.entries[0].centralOffset + kCMethod, 2), 8u);
             EXPECT_EQ(readLe(b, l.entries[1].localOffset + kLMethod, 2), 0u);
             EXPECT_EQ(readLe(b, l.entries[1].centralOffset + kCMethod, 2), 12u);
             EXPECT_EQ(at(b, l.entries[1].dataOffset, 5), "bravo");
         }},
        {"size lies in a zip64 entry go into its zip64 fields",
         [](ZipSpec& s) {
             s.entries[0].zip64 = true;
             s.entries[0].localSize = std::uint64_t{1} << 40;
             s.entries[0].centralCompressedSize = 5;
         },
         [](const std::string& b, const ZipLayout& l) {
             const std::uint64_t local = l.entries[0].localOffset, central = l.entries[0].centralOffset;
             EXPECT_EQ(readLe(b, local + kLCompressed, 8), 0xFFFFFFFFFFFFFFFFu);
             EXPECT_EQ(at(b, local + kLName + 5, 4), std::string("\x01\x00\x10\x00", 4));
             EXPECT_EQ(readLe(b, local + kLName + 9, 8), std::uint64_t{1} << 40);
             EXPECT_EQ(readLe(b, local + kLName + 17, 8), l.entries[0].compressedSize);
             EXPECT_EQ(readLe(b, central + 20, 8), 0xFFFFFFFFFFFFFFFFu);
             EXPECT_EQ(at(b, central + kCName + 5, 4), std::string("\x01\x00\x10\x00", 4));
             EXPECT_EQ(readLe(b, central + kCName + 9, 8), 9u);
             EXPECT_EQ(readLe(b, central + kCName + 17, 8), 5u);
             EXPECT_EQ(readLe(b, central + 6, 2), 45u);  // version needed
         }},
        {"a gap before an entry shifts it and its recorded offset",
         [](ZipSpec& s) { s.entries[1].before = "GAP!GAP!"; },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(l.entries[1].localOffset, l.entries[0].entryEnd + 8);
             EXPECT_EQ(at(b, l.entries[0].entryEnd, 8), "GAP!GAP!");
             EXPECT_EQ(readLe(b, l.entries[1].centralOffset + kCOffset, 4), l.entries[1].localOffset);
         }},
        {"bytes around the central directory",
         [](ZipSpec& s) {
             s.beforeCentral = "XX";
             s.afterCentral = "YYY";
         },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(l.centralOffset, l.entries[1].entryEnd + 2);
             EXPECT_EQ(at(b, l.entries[1].entryEnd, 2), "XX");
             EXPECT_EQ(at(b, l.centralOffset + l.centralSize, 3), "YYY");
             EXPECT_EQ(readLe(b, l.endOffset + 12, 4), l.centralSize);
             EXPECT_EQ(readLe(b, l.endOffset + 16, 4), l.centralOffset);
         }},
        {"end record lies and bytes after the comment",
         [](ZipSpec& s) {
             s.comment = "c";
             s.endCommentLength = 9;
             s.endEntryCount = 7;
             s.endCentralSize = 1;
             s.endCentralOffset = 3;
             s.afterEnd = "tail";
         },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(readLe(b, l.endOffset + 8, 2), 7u);
             EXPECT_EQ(readLe(b, l.endOffset + 10, 2), 7u);
             EXPECT_EQ(readLe(b, l.endOffset + 12, 4), 1u);
             EXPECT_EQ(readLe(b, l.endOffset + 16, 4), 3u);
             EXPECT_EQ(readLe(b, l.endOffset + 20, 2), 9u);
             EXPECT_EQ(at(b, l.endOffset + 22, 10), "ctail");
         }},
        {"zip64 end record lies, classic fields kept",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.endCentralSize = 1;
             s.locatorOffset = 5;
         },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(readLe(b, l.zip64EndOffset + 32, 8), 2u);  // the true count
             EXPECT_EQ(readLe(b, l.zip64EndOffset + 40, 8), 1u);
             EXPECT_EQ(readLe(b, l.locatorOffset + 8, 8), 5u);
             EXPECT_EQ(readLe(b, l.endOffset + 10, 2), 2u);
             EXPECT_EQ(readLe(b, l.endOffset + 12, 4), 1u);
         }},
        {"zip64 extensible data inside the record, counted in its size",
         [](ZipSpec& s) {
             s.zip64End = true;
             s.zip64Extensible = "EXTRA";
         },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(readLe(b, l.zip64EndOffset + 4, 8), 49u);
             EXPECT_EQ(at(b, l.zip64EndOffset + 56, 5), "EXTRA");
             EXPECT_EQ(l.locatorOffset, l.zip64EndOffset + 61);
             EXPECT_EQ(readLe(b, l.locatorOffset + 8, 8), l.zip64EndOffset);
         }},
        {"central records repeated, reordered and missing",
         [](ZipSpec& s) {
             s.entries.push_back(zEntry("c.txt", "charlie"));
             s.centralOrder = std::vector<std::size_t>{1, 0, 1};
         },
         [](const std::string& b, const ZipLayout& l) {
             ASSERT_EQ(l.centralRecords.size(), 3u);
             EXPECT_EQ(at(b, l.centralRecords[0] + kCName, 5), "b.txt");
             EXPECT_EQ(at(b, l.centralRecords[1] + kCName, 5), "a.txt");
             EXPECT_EQ(at(b, l.centralRecords[2] + kCName, 5), "b.txt");
             EXPECT_EQ(l.entries[1].centralOffset, l.centralRecords[0]);
             EXPECT_EQ(l.entries[2].centralOffset, ZipLayout::kNone);
             EXPECT_EQ(at(b, l.entries[2].localOffset + kLName, 5), "c.txt");
             EXPECT_EQ(readLe(b, l.endOffset + 10, 2), 3u);
         }},
        {"data descriptor lies",
         [](ZipSpec& s) {
             s.entries[0].dataDescriptor = true;
             s.entries[0].descriptorCrc = 1;
             s.entries[0].descriptorSize = 2;
         },
         [](const std::string& b, const ZipLayout& l) {
             const ZipLayout::Entry& e = l.entries[0];
             EXPECT_EQ(e.entryEnd, e.dataEnd + 16);
             EXPECT_EQ(readLe(b, e.dataEnd + 4, 4), 1u);
             EXPECT_EQ(readLe(b, e.dataEnd + 8, 4), e.compressedSize);
             EXPECT_EQ(readLe(b, e.dataEnd + 12, 4), 2u);
             EXPECT_EQ(readLe(b, e.localOffset + kLCrc, 4), 0u);
             EXPECT_EQ(readLe(b, e.localOffset + kLCompressed, 8), 0u);  // both sizes
             EXPECT_EQ(readLe(b, e.localOffset + kLFlags, 2), 0x8u);
             EXPECT_EQ(readLe(b, e.centralOffset + kCFlags, 2), 0x8u);
             EXPECT_EQ(readLe(b, e.centralOffset + kCCrc, 4), kCheckCrc);
         }},
        {"zip64 descriptor without signature",
         [](ZipSpec& s) {
             s.entries[1].dataDescriptor = true;
             s.entries[1].descriptorSignature = false;
             s.entries[1].zip64 = true;
         },
         [](const std::string& b, const ZipLayout& l) {
             const ZipLayout::Entry& e = l.entries[1];
             EXPECT_EQ(e.entryEnd, e.dataEnd + 20);
             EXPECT_EQ(readLe(b, e.dataEnd, 4), crc32(0, reinterpret_cast<const Bytef*>("bravo"), 5));
             EXPECT_EQ(readLe(b, e.dataEnd + 4, 8), 5u);
             EXPECT_EQ(readLe(b, e.dataEnd + 12, 8), 5u);
         }},
        {"a local offset past 4 GB goes into a central zip64 field",
         [](ZipSpec& s) { s.entries[0].centralLocalOffset = std::uint64_t{1} << 33; },
         [](const std::string& b, const ZipLayout& l) {
             const std::uint64_t c = l.entries[0].centralOffset;
             EXPECT_EQ(readLe(b, c + kCOffset, 4), 0xFFFFFFFFu);
             EXPECT_EQ(at(b, c + kCName + 5, 4), std::string("\x01\x00\x08\x00", 4));
             EXPECT_EQ(readLe(b, c + kCName + 9, 8), std::uint64_t{1} << 33);
             EXPECT_EQ(readLe(b, c + kCSize, 4), 9u);  // sizes stay in their 32-bit fields
             EXPECT_EQ(readLe(b, c + 6, 2), 45u);
         }},
        {"a second name in a unicode path field, after raw extras",
         [](ZipSpec& s) {
             s.entries[0].name = "123456789";
             s.entries[0].centralExtra = unicodePathExtra("123456789", "evil.js");
             s.entries[0].localExtra = extraField(0xCAFE, "ab");
         },
         [](const std::string& b, const ZipLayout& l) {
             const std::string want = std::string("\x75\x70\x0c\x00\x01", 5) + le(kCheckCrc, 4) + "evil.js";
             EXPECT_EQ(at(b, l.entries[0].centralOffset + kCName + 9, want.size() + 4), want + "PK\x01\x02");
             EXPECT_EQ(at(b, l.entries[0].localOffset + kLName + 9, 6), std::string("\xfe\xca\x02\x00" "ab", 6));
         }},
        {"an orphan local entry before the central directory",
         [](ZipSpec& s) { s.beforeCentral = localEntryBytes(zEntry("o.txt", "orphan", 0)); },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(at(b, l.entries[1].entryEnd, 4), "PK\x03\x04");
             EXPECT_EQ(at(b, l.entries[1].entryEnd + kLName, 11), "o.txtorphan");
             EXPECT_EQ(l.centralOffset, l.entries[1].entryEnd + 30 + 5 + 6);
             EXPECT_EQ(l.centralRecords.size(), 2u);
         }},
        {"flag bits added and a whole flag field replaced",
         [](ZipSpec& s) {
             s.entries[0].extraFlags = 0x1;
             s.entries[1].centralFlags = 0x800;
         },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(readLe(b, l.entries[0].localOffset + kLFlags, 2), 0x1u);
             EXPECT_EQ(readLe(b, l.entries[0].centralOffset + kCFlags, 2), 0x1u);
             EXPECT_EQ(readLe(b, l.entries[1].localOffset + kLFlags, 2), 0u);
             EXPECT_EQ(readLe(b, l.entries[1].centralOffset + kCFlags, 2), 0x800u);
         }},
        {"attributes, host and version needed",
         [](ZipSpec& s) {
             s.entries[1].kind = ZipEntrySpec::Kind::Directory;
             s.entries[1].unixMode = 0100600;
             s.entries[1].hostSystem = 0;
             s.entries[1].localVersionNeeded = 63;
             s.entries[1].centralVersionNeeded = 62;
         },
         [](const std::string& b, const ZipLayout& l) {
             const std::uint64_t c = l.entries[1].centralOffset;
             EXPECT_EQ(readLe(b, c + kCAttrs, 4), 0100600u << 16 | 0x10);
             EXPECT_EQ(readLe(b, c + 5, 1), 0u);
             EXPECT_EQ(readLe(b, c + 6, 2), 62u);
             EXPECT_EQ(readLe(b, l.entries[1].localOffset + 4, 2), 63u);
             EXPECT_EQ(readLe(b, l.entries[0].centralOffset + kCAttrs, 4), 0100644u << 16);
             EXPECT_EQ(readLe(b, l.entries[0].centralOffset + 4, 2), 3u << 8 | 20);
         }},
        {"raw data instead of the compressed content",
         [](ZipSpec& s) { s.entries[0].rawData = std::string("\x03\x00", 2); },
         [](const std::string& b, const ZipLayout& l) {
             EXPECT_EQ(l.entries[0].compressedSize, 2u);
             EXPECT_EQ(at(b, l.entries[0].dataOffset, 2), std::string("\x03\x00", 2));
             EXPECT_EQ(readLe(b, l.entries[0].localOffset + kLCrc, 4), kCheckCrc);
             EXPECT_EQ(readLe(b, l.entries[0].localOffset + kLSize, 4), 9u);
         }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ZipSpec spec;
        spec.entries = {zEntry("a.txt", "123456789"), zEntry("b.txt", "bravo", 0)};
        c.edit(spec);
        ScratchDir dir;
        const ZipLayout layout = writeZipSpec(dir.file("t.zip"), spec);
        const std::string bytes = readFile(dir.file("t.zip"));
        c.check(bytes, layout);
        if (spec.endCommentLength || spec.endEntryCount || spec.endCentralSize || spec.endCentralOffset ||
            spec.locatorOffset)
            continue;  // the end records no longer describe the archive
        checkLayout(bytes, spec, layout);
    }

    // Values that do not fit their field, and requests the writer cannot carry out.
    struct Bad {
        const char* name;
        std::function<void(ZipSpec&)> edit;
    };
    const Bad kBad[] = {
        {"a 33-bit size without zip64", [](ZipSpec& s) { s.entries[0].centralSize = std::uint64_t{1} << 32; }},
        {"a method the writer cannot compress with", [](ZipSpec& s) { s.entries[0].method = 12; }},
        {"a name longer than 65,535 bytes", [](ZipSpec& s) { s.entries[0].name = std::string(70000, 'n'); }},
        {"a central record of no entry", [](ZipSpec& s) { s.centralOrder = std::vector<std::size_t>{0, 2}; }},
        {"both data and zeros", [](ZipSpec& s) { s.entries[0].zeros = 1; }},
    };
    for (const Bad& c : kBad) {
        SCOPED_TRACE(c.name);
        ZipSpec spec;
        spec.entries = {zEntry("a.txt", "123456789"), zEntry("b.txt", "bravo", 0)};
        c.edit(spec);
        ScratchDir dir;
        EXPECT_THROW(writeZipSpec(dir.file("t.zip"), spec), std::invalid_argument);
    }

    // The patch helpers check their bounds.
    std::string bytes = "abcdef";
    patchLe(bytes, 2, 0x3231, 2);
    EXPECT_EQ(bytes, "ab12ef");
    EXPECT_THROW(patchLe(bytes, 5, 0, 2), std::out_of_range);
    EXPECT_THROW(readLe(bytes, 3, 4), std::out_of_range);
    EXPECT_THROW(le(256, 1), std::invalid_argument);
    ScratchDir dir;
    writeFile(dir.file("f"), "abcdef");
    patchFileLe(dir.file("f"), 4, 0x3433, 2);
    EXPECT_EQ(readFile(dir.file("f")), "abcd34");
    EXPECT_THROW(patchFileLe(dir.file("f"), 5, 0, 2), std::out_of_range);
}

// The check must see what another reader makes differently, or it would pass everything.
TEST(SupportReaderAgreement, ReportsWhatAnotherReaderMakesDifferently) {
    if (access("/usr/bin/unzip", X_OK) != 0 || access("/usr/bin/bsdtar", X_OK) != 0)
        GTEST_SKIP() << "needs unzip and bsdtar";
    // With mode 0120644 from an MS-DOS host unzip still makes a link.
    auto link = [](const std::string& name, const std::string& target, std::uint8_t host) {
        ZipEntrySpec e = zipLinkEntry(name, target);
        e.hostSystem = host;
        e.unixMode = 0120644;
        return e;
    };
    struct Case {
        const char* name;
        std::function<void(ZipSpec&)> edit;
        const char* difference;  // null: the readers agree
    };
    const Case kCases[] = {
        {"the same tree", [](ZipSpec&) {}, nullptr},
        // A reader from a pipe cannot know the mode: it writes the target as text.
        {"a link", [&](ZipSpec& s) { s.entries.push_back(link("l", "a.txt", 3)); }, nullptr},
        {"a local entry only a streaming reader sees",
         [](ZipSpec& s) { s.beforeCentral = localEntryBytes(zEntry("hidden.txt", "x")); },
         "bsdtar from a pipe made hidden.txt besides"},
        {"a link mode on an MS-DOS host", [&](ZipSpec& s) { s.entries.push_back(link("l", "a.txt", 0)); },
         "bsdtar from the file made a file where unzip made a link"},
        // Fields that only some readers know give an entry another kind or mode there.
        {"a link mode in an attributes extra field",
         [](ZipSpec& s) {
             s.entries[0].localExtra = s.entries[0].centralExtra = attributesExtra(0x031E, 0120777u << 16);
         },
         "bsdtar from the file made a link to \"alpha\" where unzip made a file: a.txt"},
        {"a set-uid mode in an attributes extra field",
         [](ZipSpec& s) {
             s.entries[0].localExtra = s.entries[0].centralExtra = attributesExtra(0x031E, 0104755u << 16);
         },
         // Only a reader run as root keeps the bit.
         geteuid() == 0 ? "bsdtar from a pipe made a file with set-id or sticky bits where unzip made a file: a.txt"
                        : nullptr},
        {"stored directory modes", [](ZipSpec& s) {
             s.entries.insert(s.entries.begin(), zipDirectoryEntry("d/"));
             s.entries.front().unixMode = 040000;
             s.entries.push_back(zEntry("d/x.txt", "x"));
         }, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        ZipSpec spec;
        spec.entries = {zEntry("a.txt", "alpha"), zipDirectoryEntry("sub/"), zEntry("sub/b.txt", "bravo", 0)};
        c.edit(spec);
        writeZipSpec(dir.file("t.zip"), spec);
        const std::string differences = readerDifferences(dir.file("t.zip"));
        if (c.difference == nullptr) {
            EXPECT_EQ(differences, "");
        } else {
            EXPECT_NE(differences.find(c.difference), std::string::npos) << differences;
        }
    }
}

TEST(SupportZipWriter, StreamsZerosPastFourGigabytes) {
    // Past 4 GB the entry needs zip64 by itself; the content is never held in memory.
    const std::uint64_t size = (std::uint64_t{1} << 32) + (1u << 20) + 7;
    ZipSpec spec;
    ZipEntrySpec big;
    big.name = "big.bin";
    big.zeros = size;
    spec.entries = {zEntry("a.txt", "123456789"), big};
    ScratchDir dir;
    const std::string zip = dir.file("big.zip");
    const ZipLayout layout = writeZipSpec(zip, spec);
    rusage usage;
    ASSERT_EQ(getrusage(RUSAGE_SELF, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 256 * 1024) << "kilobytes at most in use";

    const std::string bytes = readFile(zip);
    checkLayout(bytes, spec, layout);
    const ZipLayout::Entry& e = layout.entries[1];
    EXPECT_LT(e.compressedSize, size / 100);
    EXPECT_EQ(readLe(bytes, e.localOffset + 18, 8), 0xFFFFFFFFFFFFFFFFu);
    EXPECT_EQ(readLe(bytes, e.localOffset + 30 + 7 + 4, 8), size);
    EXPECT_EQ(readLe(bytes, e.localOffset + 30 + 7 + 12, 8), e.compressedSize);
    EXPECT_EQ(readLe(bytes, e.centralOffset + 46 + 7 + 4, 8), size);
    const CliResult test = runProgram("/usr/bin/unzip", {"-tq", zip}, {}, 240);
    EXPECT_EQ(test.exitCode, 0) << test.out << test.err;
}

}  // namespace
}  // namespace kvtest
