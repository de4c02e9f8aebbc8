// Self-tests of the fixture builders: every other test trusts what they produce, so their
// digests, canonical texts, signatures and certificates are checked here against OpenSSL
// directly and against texts written by hand.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include "cli_runner.h"
#include "package_builder.h"
#include "test_pki.h"

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

}  // namespace
}  // namespace kvtest
