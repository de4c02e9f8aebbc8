// Signature value check: the RSA-SHA1 signature over the canonical SignedInfo, the manifest
// digest and the file digests, end to end on packages built on disk.

#include <functional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "package_builder.h"
#include "test_pki.h"

namespace fs = boost::filesystem;

namespace {

using kvtest::PackageBuilder;
using kvtest::SignedPackage;
using kvtest::SignMode;

const std::string kSha1Prefix("\x30\x21\x30\x09\x06\x05\x2B\x0E\x03\x02\x1A\x05\x00\x04\x14", 15);

PackageBuilder basePackage() {
    PackageBuilder b;
    b.addFile("index.js", "console.log(1);\n").addFile("res/a b&c.txt", "text");
    return b;
}

// As the verify call runs it: the variant flag comes from the document.
bool verify(const SignedPackage& pkg) {
    return validateKVB(pkg.xml, pkg.dir.c_str(), pkg.dir.c_str(), KVBSignLibInternal::isNvoSignature(pkg.xml));
}

// The canonical SignedInfo's SHA-1 wrapped in a SHA-1 DigestInfo, for raw signature blocks.
std::string sha1DigestInfo(const PackageBuilder& b) { return kSha1Prefix + kvtest::sha1(b.canonicalSignedInfo()); }

std::string withoutLineBreaks(std::string s) {
    std::string out;
    for (char c : s)
        if (c != '\r' && c != '\n') out += c;
    return out;
}

struct Case {
    const char* name;
    std::function<void(PackageBuilder&)> edit;
    std::function<void(SignedPackage&)> after = [](SignedPackage&) {};
};

void expectAll(const std::vector<Case>& cases, bool want) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::ScratchDir scratch;
        PackageBuilder b = basePackage();
        c.edit(b);
        SignedPackage pkg = b.build(scratch.file("pkg"));
        c.after(pkg);
        EXPECT_EQ(verify(pkg), want);
    }
}

TEST(ValidateKVB, GoodPackagesVerify) {
    expectAll(
        {
            {"compact", [](PackageBuilder&) {}},
            {"indented, LF", [](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedLF); }},
            {"indented, CR LF", [](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedCRLF); }},
            {"signature value over several lines", [](PackageBuilder& b) { b.signatureLineBreaks(); }},
            {"certificates over several lines",
             [](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedCRLF).certLineBreaks(); }},
            {"a decoy certificate before KeyInfo",
             [](PackageBuilder& b) { b.certBeforeKeyInfo(kvtest::pki().unrelatedRoot.cert.get()); }},
            {"exact DigestInfo block",
             [](PackageBuilder& b) { b.rawSignature(SignMode::Pkcs1Block, sha1DigestInfo(b)); }},
            {"no mimetype", [](PackageBuilder& b) { b.noMimetype(); }},
            {"relative link inside, listed",
             [](PackageBuilder& b) { b.addSymlink("link.js", "index.js", true, "console.log(1);\n"); }},
        },
        true);
}

TEST(ValidateKVB, TamperingFails) {
    expectAll(
        {
            {"file changed", [](PackageBuilder&) {},
             [](SignedPackage& p) { kvtest::writeFile(p.dir + "/index.js", "console.log(2);\n"); }},
            {"file added", [](PackageBuilder&) {}, [](SignedPackage& p) { kvtest::writeFile(p.dir + "/new.js", "x"); }},
            {"file missing", [](PackageBuilder&) {}, [](SignedPackage& p) { fs::remove(p.dir + "/index.js"); }},
            {"manifest entry changed", [](PackageBuilder&) {},
             [](SignedPackage& p) { p.replaceInXml("URI=\"index.js\"", "URI=\"index2.js\""); }},
            {"SignedInfo changed", [](PackageBuilder&) {},
             [](SignedPackage& p) { p.replaceInXml("REC-xml-c14n-20010315", "REC-xml-c14n-20010316"); }},
            {"signature value byte changed", [](PackageBuilder&) {},
             [](SignedPackage& p) {
                 std::string v = p.signatureValueB64;
                 v[100] = v[100] == 'A' ? 'B' : 'A';
                 p.replaceInXml(p.signatureValueB64, v);
             }},
            {"signed with the decoy's key",
             [](PackageBuilder& b) {
                 b.certBeforeKeyInfo(kvtest::pki().unrelatedRoot.cert.get()).signer(kvtest::pki().unrelatedRoot.key.get());
             }},
            {"signed by another key than the KeyInfo certificate's",
             [](PackageBuilder& b) { b.signer(kvtest::pki().intermediate.key.get()); }},
            {"unsigned absolute link",
             [](PackageBuilder& b) {
                 b = PackageBuilder();
                 b.addSymlink("zz", "/etc/passwd");
             }},
        },
        false);
}

TEST(ValidateKVB, SignatureBlockMustBeExactlyTheSha1DigestInfo) {
    expectAll(
        {
            {"MD5 DigestInfo", [](PackageBuilder& b) { b.signatureMd(EVP_md5()); }},
            {"SHA-256 DigestInfo", [](PackageBuilder& b) { b.signatureMd(EVP_sha256()); }},
            {"trailing byte", [](PackageBuilder& b) { b.rawSignature(SignMode::Pkcs1Block, sha1DigestInfo(b) + '\0'); }},
            {"digest one byte short",
             [](PackageBuilder& b) { b.rawSignature(SignMode::Pkcs1Block, sha1DigestInfo(b).substr(0, 34)); }},
            {"bare digest without prefix",
             [](PackageBuilder& b) { b.rawSignature(SignMode::Pkcs1Block, kvtest::sha1(b.canonicalSignedInfo())); }},
            {"no padding",
             [](PackageBuilder& b) {
                 std::string block(256, '\x01');
                 block[0] = '\0';
                 b.rawSignature(SignMode::NoPadding, block);
             }},
            {"longer than the modulus",
             [](PackageBuilder& b) { b.signatureValueOverride(kvtest::base64(std::string(257, '\x7f'))); }},
            {"twice the modulus", [](PackageBuilder& b) { b.signatureValueOverride(kvtest::base64(std::string(512, 'z'))); }},
            {"empty", [](PackageBuilder& b) { b.signatureValueOverride(""); }},
            {"not base64", [](PackageBuilder& b) { b.signatureValueOverride("!!!!"); }},
        },
        false);
}

TEST(ValidateKVB, SignerWithoutRsaKeyFails) {
    kvtest::TestPki& pki = kvtest::pki();
    kvtest::EvpPkeyPtr ecKey = kvtest::makeEcKey();
    kvtest::X509Ptr ecLeaf =
        kvtest::makeCert(kvtest::leafSpec("EC signer"), ecKey.get(), pki.intermediate.cert.get(), pki.intermediate.key.get());
    X509* ec = ecLeaf.get();
    expectAll(
        {
            {"no certificate at all", [](PackageBuilder& b) { b.keyInfoCerts({}); }},
            {"elliptic-curve signer", [ec](PackageBuilder& b) { b.keyInfoCerts({ec}); }},
            {"certificate text that does not parse", [](PackageBuilder&) {},
             [](SignedPackage& p) { p.replaceInXml("<X509Certificate>", "<X509Certificate>AAAA"); }},
        },
        false);
}

TEST(ValidateKVB, TextTheSignatureDoesNotCoverFails) {
    expectAll(
        {
            // Character data after "> " drops out of the canonical texts, so the signature and
            // the manifest digest stay valid while a reader sees the text.
            {"text inside SignedInfo", [](PackageBuilder&) {},
             [](SignedPackage& p) { p.replaceInXml("</Reference>", "</Reference> see notice.txt"); }},
            {"text inside the manifest", [](PackageBuilder&) {},
             [](SignedPackage& p) { p.replaceInXml("<Reference URI=\"index.js\">", "<Reference URI=\"index.js\"> hidden"); }},
        },
        false);
}

TEST(ValidateKVB, BlankPrefixedManifestDigestCannotBeSwapped) {
    // A signer whose SignedInfo DigestValue starts with a blank signs a canonical text without
    // the digest; whoever holds that signature could put any manifest behind it.
    std::string signedText = basePackage().canonicalSignedInfo();
    const std::string::size_type at = signedText.find("<DigestValue>");
    const std::string::size_type end = signedText.find("</DigestValue>", at);
    ASSERT_NE(end, std::string::npos);
    signedText.erase(at + 13, end - at - 13);
    const std::string block = kSha1Prefix + kvtest::sha1(signedText);

    kvtest::ScratchDir scratch;
    PackageBuilder forged = basePackage();
    forged.addFile("evil.js", "evil()").rawSignature(SignMode::Pkcs1Block, block);
    SignedPackage pkg = forged.build(scratch.file("pkg"));
    pkg.replaceInXml("<DigestValue>" + pkg.manifestDigestB64, "<DigestValue> " + pkg.manifestDigestB64);
    EXPECT_FALSE(verify(pkg));
}

TEST(ValidateKVB, VariantComparesTheManifestDigestInEitherForm) {
    kvtest::ScratchDir scratch;
    PackageBuilder variant = basePackage();
    variant.variant().layout(kvtest::Layout::IndentedLF);
    SignedPackage lf = variant.build(scratch.file("lf"));
    ASSERT_TRUE(KVBSignLibInternal::isNvoSignature(lf.xml));
    EXPECT_TRUE(verify(lf)) << "manifest digest with line breaks kept";

    const std::string joined = kvtest::digestB64(withoutLineBreaks(lf.canonicalManifest));
    ASSERT_NE(joined, lf.manifestDigestB64);
    PackageBuilder variantJoined = variant;
    variantJoined.manifestDigestOverride(joined);
    EXPECT_TRUE(verify(variantJoined.build(scratch.file("joined")))) << "manifest digest with line breaks removed";

    PackageBuilder broken = variant;
    broken.manifestDigestOverride(kvtest::digestB64("another manifest"));
    EXPECT_FALSE(verify(broken.build(scratch.file("broken"))));
    PackageBuilder empty = variant;
    empty.manifestDigestOverride("");
    EXPECT_FALSE(verify(empty.build(scratch.file("empty"))));

    SignedPackage compact = basePackage().variant().build(scratch.file("compact"));
    EXPECT_TRUE(verify(compact));
    kvtest::writeFile(compact.dir + "/index.js", "changed");
    EXPECT_FALSE(verify(compact));

    // Outside the variant only the form with line breaks kept counts.
    PackageBuilder plainJoined = basePackage();
    plainJoined.layout(kvtest::Layout::IndentedLF);
    plainJoined.manifestDigestOverride(
        kvtest::digestB64(withoutLineBreaks(plainJoined.build(scratch.file("probe")).canonicalManifest)));
    EXPECT_FALSE(verify(plainJoined.build(scratch.file("plain"))));
}

// Puts a line feed into the middle of the first `token` that follows `anchor` in the manifest.
void splitWithLineFeed(SignedPackage& p, const std::string& anchor, const std::string& token) {
    std::string xml = p.xml;
    std::string::size_type at = xml.find(anchor, xml.find("<Manifest Id=\"PackageContents\">"));
    at = xml.find(token, at);
    ASSERT_NE(at, std::string::npos) << token;
    xml.insert(at + token.size() / 2, "\n");
    p.writeXml(xml);
}

TEST(ValidateKVB, LineBreaksTheManifestDigestIgnoresCannotReshapeTheEntries) {
    // The variant's manifest digest may be taken with the line breaks removed. A line feed put
    // into a tag then leaves that digest as it was, while the entries are read from the text as
    // written: a split end tag merges two References, a split attribute name hides a URI.
    const std::string marker = "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/>";
    const std::string second = "res/a b&c.txt";
    auto dropSecondFile = [second](SignedPackage& p) {
        splitWithLineFeed(p, "URI=\"index.js\"", "</Reference>");
        fs::remove(p.dir + "/" + second);
    };
    expectAll(
        {
            {"References merged, the second file removed", [](PackageBuilder& b) { b.variant(); }, dropSecondFile},
            {"first file's content under the second file's name", [](PackageBuilder& b) { b.variant(); },
             [second](SignedPackage& p) {
                 splitWithLineFeed(p, "<Reference URI=\"index.js\"", "URI=");
                 splitWithLineFeed(p, "\"index.js\"", "</Reference>");
                 kvtest::writeFile(p.dir + "/" + second, "console.log(1);\n");
                 fs::remove(p.dir + "/index.js");
             }},
            // An ordinary compact SignedInfo reads the same either way, so a variant marker
            // placed outside it keeps the signature valid.
            {"variant marker added to an ordinary document", [](PackageBuilder&) {},
             [marker, dropSecondFile](SignedPackage& p) {
                 p.replaceInXml("</Signature>", "<Object>" + marker + "</Object></Signature>");
                 dropSecondFile(p);
             }},
        },
        false);

    // Line breaks between elements are what that form is for: CR LF indentation still verifies.
    kvtest::ScratchDir scratch;
    PackageBuilder crlf = basePackage();
    crlf.variant().layout(kvtest::Layout::IndentedCRLF);
    const std::string joined = kvtest::digestB64(withoutLineBreaks(crlf.build(scratch.file("probe")).canonicalManifest));
    crlf.manifestDigestOverride(joined);
    EXPECT_TRUE(verify(crlf.build(scratch.file("crlf"))));
}

// A package signed by a general XML signature tool. Run inside the package directory, the
// tool digests the files named by the manifest itself, digests the Manifest element by its own
// inclusive canonicalisation, and signs SignedInfo with RSA-SHA1.
TEST(ValidateKVB, PackageSignedByXmlsec1Verifies) {
    const std::string xmlsec = "/usr/bin/xmlsec1";
    if (!fs::exists(xmlsec)) GTEST_SKIP() << "xmlsec1 not installed";
    kvtest::TestPki& pki = kvtest::pki();
    kvtest::ScratchDir scratch;
    const std::string pkg = scratch.file("pkg");
    const std::vector<std::pair<std::string, std::string>> files = {
        {"mimetype", "application/vnd.kvb"}, {"index.js", "run();\n"}, {"res/a b.txt", "with blank"}};
    const std::string ns = kvtest::kDsigNs;
    const std::string sha256 = "http://www.w3.org/2001/04/xmlenc#sha256";
    std::string refs;
    for (const auto& f : files) {
        kvtest::writeFile(pkg + "/" + f.first, f.second);
        refs += "<Reference URI=\"" + kvtest::percentEncode(f.first) + "\"><DigestMethod Algorithm=\"" + sha256 +
                "\"></DigestMethod><DigestValue></DigestValue></Reference>";
    }
    // Default namespace on Signature and no white space between tags: the canonical forms of
    // the tool and of the verifier then agree. The tool writes empty elements self-closed,
    // which the verifier's canonical form expands again.
    const std::string templ =
        "<signatures><Signature xmlns=\"" + ns + "\" Id=\"PackageSignature\"><SignedInfo>"
        "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"></CanonicalizationMethod>"
        "<SignatureMethod Algorithm=\"" + ns + "rsa-sha1\"></SignatureMethod>"
        "<Reference URI=\"#PackageContents\"><DigestMethod Algorithm=\"" + sha256 +
        "\"></DigestMethod><DigestValue></DigestValue></Reference></SignedInfo>"
        "<SignatureValue Id=\"PackageSignatureValue\"></SignatureValue><KeyInfo><X509Data></X509Data></KeyInfo>"
        "<Object><Manifest Id=\"PackageContents\">" + refs + "</Manifest></Object></Signature></signatures>";
    kvtest::writeFile(scratch.file("template.xml"), templ);
    fs::create_directories(pkg + "/META-INF");
    kvtest::writeFile(scratch.file("key.pem"), kvtest::keyToPem(pki.leaf.key.get()));
    kvtest::writeFile(scratch.file("leaf.pem"), kvtest::toPem(pki.leaf.cert.get()));

    kvtest::CliResult r = kvtest::runProgram(
        xmlsec, {"--sign", "--privkey-pem", scratch.file("key.pem") + "," + scratch.file("leaf.pem"), "--id-attr:Id",
                 "Manifest", "--output", pkg + "/META-INF/signatures.xml", scratch.file("template.xml")},
        {}, 60, pkg);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string doc = kvtest::readFile(pkg + "/META-INF/signatures.xml");
    ASSERT_NE(doc.find("<X509Certificate>"), std::string::npos) << doc;
    for (const auto& f : files) EXPECT_NE(doc.find(kvtest::digestB64(f.second)), std::string::npos) << f.first;

    EXPECT_TRUE(validateKVB(doc, pkg.c_str(), pkg.c_str(), KVBSignLibInternal::isNvoSignature(doc))) << doc;
    kvtest::writeFile(pkg + "/index.js", "run(evil);\n");
    EXPECT_FALSE(validateKVB(doc, pkg.c_str(), pkg.c_str(), false));
}

}  // namespace
