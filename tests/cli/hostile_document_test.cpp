// Hostile signature documents against the built KVBSignCmd: decoy manifests, SignedInfo,
// certificates and KeyInfo, forged DigestInfo blocks, hostile timestamps and sizes; the valid
// packages in every form, none of which may be rejected; and chains through certificates that
// are no authority, which must not be trusted whatever the signature.

#include <cstdio>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "cli_runner.h"
#include "expected_texts.h"
#include "hostile_run.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"

namespace {

namespace fs = boost::filesystem;
using kvtest::PackageBuilder;
using kvtest::pki;
using kvtest::SignedPackage;
using kvtest::hostile::basePackage;
using kvtest::hostile::buildDir;
using kvtest::hostile::expectReadersAgreeIfExtracted;
using kvtest::hostile::HostileTest;
using kvtest::hostile::kEvil;
using kvtest::hostile::kMegabyte;
using kvtest::hostile::Observed;
using kvtest::hostile::printRow;
using kvtest::hostile::repeat;
using kvtest::hostile::Row;
using kvtest::hostile::runChecked;
using kvtest::hostile::runHostile;
using kvtest::hostile::suite;
using kvtest::hostile::Workspace;

// The text from the first `from` to the end of the first `to` after it.
std::string element(const std::string& text, const std::string& from, const std::string& to) {
    const std::size_t start = text.find(from);
    const std::size_t end = start == std::string::npos ? start : text.find(to, start);
    if (end == std::string::npos) throw std::runtime_error("no element " + from);
    return text.substr(start, end + to.size() - start);
}

std::string manifestOf(const std::string& xml) {
    return element(xml, "<Manifest Id=\"PackageContents\">", "</Manifest>");
}

// Deeply nested elements with blanks and self-closing children: several megabytes for
// depth 400000, the canonical rewriting's worst case.
std::string nestedTags(std::size_t depth) { return repeat("<e> x<f/>", depth) + repeat("</e>", depth); }

// ---------------------------------------------------------------------------------------------
// Identities beyond the shared test PKI

// Someone who holds no key of the test PKI: a self-signed certificate of its own.
const kvtest::CertAndKey& attacker() {
    static kvtest::CertAndKey a = [] {
        kvtest::CertAndKey k;
        k.key = kvtest::makeRsaKey(2048, 65537, 31);
        kvtest::CertSpec spec = kvtest::caSpec("KVB Hostile Attacker", "6601");
        k.cert = kvtest::makeCert(spec, k.key.get(), nullptr, nullptr);
        return k;
    }();
    return a;
}

// A signer issued by the test intermediate whose key has the public exponent 3.
const kvtest::CertAndKey& exponent3Signer() {
    static kvtest::CertAndKey s = [] {
        kvtest::CertAndKey k;
        k.key = kvtest::makeRsaKey(2048, 3);
        k.cert = kvtest::makeCert(kvtest::leafSpec("KVB Test Exponent 3 Signer", "5001"), k.key.get(),
                                  pki().intermediate.cert.get(), pki().intermediate.key.get());
        return k;
    }();
    return s;
}

const std::string kSha1DigestInfoPrefix("\x30\x21\x30\x09\x06\x05\x2B\x0E\x03\x02\x1A\x05\x00\x04\x14", 15);

std::string sha1DigestInfo(const PackageBuilder& b) {
    return kSha1DigestInfoPrefix + kvtest::sha1(b.canonicalSignedInfo());
}

// A 256-byte RSA input block (the modulus size): 00 01, `padding`, then `fill` bytes up to
// where `tail` ends the block.
std::string rawBlock(const std::string& padding, char fill, const std::string& tail) {
    std::string block = std::string("\x00\x01", 2) + padding;
    if (block.size() + tail.size() > 256) throw std::runtime_error("block too long");
    block += std::string(256 - block.size() - tail.size(), fill);
    return block + tail;
}

// ---------------------------------------------------------------------------------------------
// Documents altered after signing

// The base package with an extra file, and a document whose Manifest lists that file:
// what someone who wants to ship the file would like the tool to accept.
struct Altered {
    SignedPackage genuine;     // the signed base package, now holding lib/evil.js as well
    SignedPackage evilSigned;  // the same files signed over a manifest that lists lib/evil.js
};
Altered altered(Workspace& w, const PackageBuilder& base = basePackage()) {
    Altered a;
    a.genuine = base.build(w.pkgDir());
    PackageBuilder evil = base;
    evil.addFile("lib/evil.js", kEvil);
    a.evilSigned = evil.build(w.scratch.file("evil-src"));
    kvtest::writeFile(w.pkgDir() + "/lib/evil.js", kEvil);
    return a;
}

void insertBefore(SignedPackage& p, const std::string& marker, const std::string& text) {
    p.replaceInXml(marker, text + marker);
}

std::string certText(X509* cert) {
    return "<X509Certificate>" + kvtest::base64(kvtest::toDer(cert)) + "</X509Certificate>";
}

// The KeyInfo element of the genuine signer's chain, as a decoy elsewhere in a document.
std::string genuineKeyInfo() {
    return "<KeyInfo><X509Data>" + certText(pki().leaf.cert.get()) + certText(pki().intermediate.cert.get()) +
           certText(pki().root.cert.get()) + "</X509Data></KeyInfo>";
}

// ---------------------------------------------------------------------------------------------
// Hostile documents

std::vector<Row> hostileDocuments() {
    return {
        {"decoy Manifest in a comment before the real one",
         [](Workspace& w) {
             Altered a = altered(w);
             insertBefore(a.genuine, "<SignedInfo>", "<!--" + manifestOf(a.evilSigned.xml) + "-->");
             return a.genuine.dir;
         },
         50},
        {"decoy Manifest in an Object before the real one",
         [](Workspace& w) {
             Altered a = altered(w);
             insertBefore(a.genuine, "<SignedInfo>", "<Object>" + manifestOf(a.evilSigned.xml) + "</Object>");
             return a.genuine.dir;
         },
         50},
        // The signature covers the real SignedInfo; the decoy carries the digest of a manifest
        // that lists the new file, and that manifest replaces the real one.
        {"decoy SignedInfo in a comment before the real one",
         [](Workspace& w) {
             Altered a = altered(w);
             const std::string decoy = element(a.evilSigned.xml, "<SignedInfo>", "</SignedInfo>");
             a.genuine.replaceInXml(manifestOf(a.genuine.xml), manifestOf(a.evilSigned.xml));
             insertBefore(a.genuine, "<SignedInfo>", "<!--" + decoy + "-->");
             return a.genuine.dir;
         },
         50},
        {"decoy SignedInfo in an Object before the real one",
         [](Workspace& w) {
             Altered a = altered(w);
             const std::string decoy = element(a.evilSigned.xml, "<SignedInfo>", "</SignedInfo>");
             a.genuine.replaceInXml(manifestOf(a.genuine.xml), manifestOf(a.evilSigned.xml));
             insertBefore(a.genuine, "<SignedInfo>", "<Object>" + decoy + "</Object>");
             return a.genuine.dir;
         },
         50},
        // Someone else's key signs, its certificate stands before KeyInfo, the genuine chain
        // inside it.
        {"decoy certificate in an Object before KeyInfo",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addFile("lib/evil.js", kEvil).signer(attacker().key.get()).certBeforeKeyInfo(attacker().cert.get());
             return buildDir(w, b).dir;
         },
         50},
        {"decoy certificate in a comment before KeyInfo",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addFile("lib/evil.js", kEvil).signer(attacker().key.get());
             SignedPackage p = buildDir(w, b);
             insertBefore(p, "<KeyInfo>", "<!--" + certText(attacker().cert.get()) + "-->");
             return p.dir;
         },
         50},
        {"decoy KeyInfo with the genuine chain in a comment before the real one",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addFile("lib/evil.js", kEvil).signer(attacker().key.get()).keyInfoCerts({attacker().cert.get()});
             SignedPackage p = buildDir(w, b);
             const std::string genuine = genuineKeyInfo();
             insertBefore(p, "<SignedInfo>", "<!--" + genuine + "-->");
             return p.dir;
         },
         50},
        {"decoy KeyInfo with the genuine chain in an Object before the real one",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addFile("lib/evil.js", kEvil).signer(attacker().key.get()).keyInfoCerts({attacker().cert.get()});
             SignedPackage p = buildDir(w, b);
             const std::string genuine = genuineKeyInfo();
             insertBefore(p, "<SignedInfo>", "<Object>" + genuine + "</Object>");
             return p.dir;
         },
         50},
        // In the compact layout the variant's SignedInfo text is the same, so the signature
        // still verifies; only the manifest digest stands between the new file and success.
        {"variant marker added outside SignedInfo over an altered manifest",
         [](Workspace& w) {
             Altered a = altered(w);
             a.genuine.replaceInXml(manifestOf(a.genuine.xml), manifestOf(a.evilSigned.xml));
             insertBefore(a.genuine, "</Signature>",
                          "<!--<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/>-->");
             return a.genuine.dir;
         },
         50},
        {"variant signature over an altered manifest",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.variant();
             Altered a = altered(w, b);
             a.genuine.replaceInXml(manifestOf(a.genuine.xml), manifestOf(a.evilSigned.xml));
             return a.genuine.dir;
         },
         50},
        // A signer whose DigestValue follows "> " signs a SignedInfo whose canonical text has
        // lost the digest; the value can then be swapped for that of any manifest.
        {"blank-prefixed manifest DigestValue swapped",
         [](Workspace& w) {
             PackageBuilder evil = basePackage();
             evil.addFile("lib/evil.js", kEvil);
             const std::string evilDigest = evil.build(w.scratch.file("evil-src")).manifestDigestB64;
             PackageBuilder signedText = evil;
             signedText.manifestDigestOverride("");
             PackageBuilder b = evil;
             b.manifestDigestOverride(" " + evilDigest)
                 .rawSignature(kvtest::SignMode::Pkcs1Block, sha1DigestInfo(signedText));
             return buildDir(w, b).dir;
         },
         50},
        {"blank-prefixed file DigestValue",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.setDigest("lib/app.js", " " + kvtest::digestB64("console.log('app');\n"));
             return buildDir(w, b).dir;
         },
         50},
        // Two spellings of one path make the counts agree while lib/evil.js goes unchecked.
        {"manifest lists one file twice and another not at all",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addUnlistedFile("lib/evil.js", kEvil)
                 .addReference("lib/app%2ejs", kvtest::digestB64("console.log('app');\n"));
             return buildDir(w, b).dir;
         },
         50},
        {"DigestInfo of SHA-256",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.signatureMd(EVP_sha256());
             return buildDir(w, b).dir;
         },
         50},
        {"DigestInfo of MD5",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.signatureMd(EVP_md5());
             return buildDir(w, b).dir;
         },
         50},
        {"DigestInfo with trailing bytes",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.rawSignature(kvtest::SignMode::Pkcs1Block, sha1DigestInfo(b) + std::string("\x00\x01", 2));
             return buildDir(w, b).dir;
         },
         50},
        {"DigestInfo cut short",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.rawSignature(kvtest::SignMode::Pkcs1Block, sha1DigestInfo(b).substr(0, 34));
             return buildDir(w, b).dir;
         },
         50},
        {"exponent-3 key, garbage after the digest",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.signer(exponent3Signer().key.get())
                 .keyInfoCerts({exponent3Signer().cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()});
             const std::string tail = std::string("\x00", 1) + sha1DigestInfo(b) + std::string(160, '\x47');
             b.rawSignature(kvtest::SignMode::NoPadding, rawBlock("", '\xFF', tail));
             return buildDir(w, b).dir;
         },
         50},
        {"exponent-3 key, garbage in the padding",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.signer(exponent3Signer().key.get())
                 .keyInfoCerts({exponent3Signer().cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()});
             b.rawSignature(kvtest::SignMode::NoPadding,
                            rawBlock(std::string(4, '\xFF'), '\x5A', std::string("\x00", 1) + sha1DigestInfo(b)));
             return buildDir(w, b).dir;
         },
         50},
        {"exponent-3 key, no padding bytes at all",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.signer(exponent3Signer().key.get())
                 .keyInfoCerts({exponent3Signer().cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()});
             b.rawSignature(kvtest::SignMode::NoPadding,
                            rawBlock(std::string("\x00", 1) + sha1DigestInfo(b), '\x47', ""));
             return buildDir(w, b).dir;
         },
         50},
        // The timestamp is read before the signature is checked: whatever it holds must not
        // get further than a failed check.
        {"garbage timestamp on an altered package",
         [](Workspace& w) {
             Altered a = altered(w);
             a.genuine.addTimestamp(kvtest::base64("not a timestamp token"));
             return a.genuine.dir;
         },
         50},
        {"deeply nested ASN.1 timestamp on an altered package",
         [](Workspace& w) {
             Altered a = altered(w);
             a.genuine.addTimestamp(kvtest::base64(repeat(std::string("\x30\x80", 2), 100000)));
             return a.genuine.dir;
         },
         50},
        {"several megabytes of timestamp on an altered package",
         [](Workspace& w) {
             Altered a = altered(w);
             a.genuine.addTimestamp(kvtest::base64(repeat("\x30\x82\xFF\xFF timestamp", 400000), true));
             return a.genuine.dir;
         },
         50},
        // Anyone can add an Object outside SignedInfo. A timestamp that does not verify says
        // nothing about the signing time, so the signer's expiry must still count.
        {"expired signer with a garbage timestamp added",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.signer(pki().expiredLeaf.key.get())
                 .keyInfoCerts({pki().expiredLeaf.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
                 .timestamp(kvtest::base64("not a timestamp token"));
             return buildDir(w, b).dir;
         },
         24},
        {"several megabytes of nested tags inside the Manifest",
         [](Workspace& w) {
             SignedPackage p = buildDir(w, basePackage());
             insertBefore(p, "</Manifest>", nestedTags(400000));
             return p.dir;
         },
         50},
        {"several megabytes of nested tags inside SignedInfo",
         [](Workspace& w) {
             SignedPackage p = buildDir(w, basePackage());
             insertBefore(p, "</SignedInfo>", nestedTags(400000));
             return p.dir;
         },
         50},
        // Entity decoding in one pass: the URI names no file of the package.
        {"one manifest URI of 1.6 million &quot;",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.setUri("index.html", repeat("&quot;", 1600000));
             return buildDir(w, b).dir;
         },
         50},
    };
}

TEST_F(HostileTest, DocumentsNeverPass) { runHostile("document", hostileDocuments()); }

// ---------------------------------------------------------------------------------------------
// Valid packages in every form: none may be rejected

std::vector<Row> validPackages() {
    auto dir = [](std::function<void(PackageBuilder&)> edit) {
        return [edit](Workspace& w) {
            PackageBuilder b = basePackage();
            edit(b);
            return buildDir(w, b).dir;
        };
    };
    auto zipped = [](std::function<void(PackageBuilder&)> edit) {
        return [edit](Workspace& w) {
            PackageBuilder b = basePackage();
            edit(b);
            b.build(w.scratch.file("src")).zip(w.pkgZip());
            return w.pkgZip();
        };
    };
    auto none = [](PackageBuilder&) {};
    auto nested = [](PackageBuilder& b) { b.addFile("a/b/c/d/e/f/deep.txt", "deep").addFile("a/b/side.txt", "side"); };
    auto utf8 = [](PackageBuilder& b) {
        b.addFile("données/été/naïve.txt", "utf-8").addFile("\xE6\x97\xA5\xE6\x9C\xAC.txt", "nihon");
    };
    auto blanks = [](PackageBuilder& b) { b.addFile("my docs/Tom & Jerry's file.txt", "and").addFile("a&b.js", "x"); };
    auto links = [](PackageBuilder& b) {
        b.addSymlink("lib/alias.js", "app.js", true, "console.log('app');\n")
            .addFile("assets/logo.svg", "<svg/>")
            .addSymlink("images", "assets")
            .addReference("images/logo.svg", kvtest::digestB64("<svg/>"));
    };
    auto clutter = [](PackageBuilder& b) {
        b.addUnlistedFile("Thumbs.db", "thumbs")
            .addUnlistedFile("lib/.DS_Store", "ds")
            .addUnlistedFile("lib/desktop.ini", "ini")
            .addUnlistedFile("__MACOSX/lib/._app.js", "fork");
    };
    auto many = [](PackageBuilder& b) {
        for (int i = 0; i < 2000; ++i)
            b.addFile("many/" + std::to_string(i % 20) + "/f" + std::to_string(i) + ".txt", std::to_string(i));
    };
    return {
        // Large documents that change nothing signed still verify, read once and never copied
        // whole (their memory is measured by the benchmark).
        {"100 MB of blanks after </signatures>",
         [](Workspace& w) {
             SignedPackage p = buildDir(w, basePackage());
             p.writeXml(p.xml + std::string(100 * kMegabyte, ' '));
             return p.dir;
         },
         0},
        {"100 MB of blanks between the manifest's elements",
         [](Workspace& w) {
             SignedPackage p = buildDir(w, basePackage());
             p.replaceInXml("</Reference><Reference", "</Reference>" + std::string(100 * kMegabyte, ' ') + "<Reference");
             return p.dir;
         },
         0},
        {"dir: base package", dir(none), 0},
        {"zip: base package", zipped(none), 0},
        {"zip: nested directories", zipped(nested), 0},
        {"dir: UTF-8 names", dir(utf8), 0},
        {"zip: UTF-8 names", zipped(utf8), 0},
        {"zip: blanks, & and ' in names", zipped(blanks), 0},
        {"zip: links to a file and a directory inside", zipped(links), 0},
        {"dir: links to a file and a directory inside", dir(links), 0},
        {"dir: CRLF layout", dir([](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedCRLF); }), 0},
        {"zip: LF layout", zipped([](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedLF); }), 0},
        {"dir: line-broken certificates and signature, CRLF",
         dir([](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedCRLF).certLineBreaks().signatureLineBreaks(); }),
         0},
        {"zip: line-broken certificates, LF",
         zipped([](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedLF).certLineBreaks(); }), 0},
        {"zip: variant form", zipped([](PackageBuilder& b) { b.variant(); }), 0},
        {"zip: variant form, LF layout",
         zipped([](PackageBuilder& b) { b.variant().layout(kvtest::Layout::IndentedLF); }), 0},
        {"dir: variant form with line-broken certificates",
         dir([](PackageBuilder& b) { b.variant().certLineBreaks(); }), 0},
        {"dir: system clutter beside the files", dir(clutter), 0},
        {"dir: empty file and dot file",
         dir([](PackageBuilder& b) { b.addFile("empty.txt", "").addFile(".config", "c"); }), 0},
        {"zip: two thousand files", zipped(many), 0},
        {"dir: several megabytes of nested tags in an unsigned Object",
         dir([](PackageBuilder& b) { b.extraBeforeSignatureEnd("<Object>" + nestedTags(400000) + "</Object>"); }), 0},
        {"dir: hand-made SHA-1 DigestInfo block",
         dir([](PackageBuilder& b) { b.rawSignature(kvtest::SignMode::Pkcs1Block, sha1DigestInfo(b)); }), 0},
        {"dir: exponent-3 signer", dir([](PackageBuilder& b) {
             b.signer(exponent3Signer().key.get())
                 .keyInfoCerts({exponent3Signer().cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()});
         }),
         0},
    };
}

TEST_F(HostileTest, ValidPackagesInEveryFormPass) {
    int rejects = 0;
    for (const Row& row : validPackages()) {
        SCOPED_TRACE(row.name);
        Workspace w;
        const std::string path = row.make(w);
        const kvtest::ExtractionWatch watch;
        const Observed o = runChecked(w, {"-verify", path, "-skipOnlineRevocationChecks"}, "", 30, watch.env());
        printRow("valid", row, o);
        EXPECT_EQ(watch.extracted(), fs::is_regular_file(path));
        expectReadersAgreeIfExtracted(path, watch);
        EXPECT_EQ(o.result.exitCode, 0) << o.result.err;
        EXPECT_EQ(o.result.out, kvtest::kMsg0);
        rejects += o.result.exitCode != 0 ? 1 : 0;
    }
    EXPECT_EQ(rejects, 0) << "valid packages rejected";
}

// ---------------------------------------------------------------------------------------------
// Chains that must not be trusted, whatever the signature

struct TrustRow {
    const char* name;
    std::function<std::string(Workspace&)> make;
    X509* anchor;          // given with -addCerts in the second run
    int statusWithAnchor;  // the first run, without -addCerts, must give 0
    const char* osTrusted;
    bool emptyRootStore;
};

std::string signedBy(Workspace& w, const kvtest::CertAndKey& signer, const std::vector<X509*>& chain) {
    PackageBuilder b = basePackage();
    b.signer(signer.key.get()).keyInfoCerts(chain);
    return buildDir(w, b).dir;
}

// A leaf under an intermediate of the test root that is no certificate authority.
struct WeakChain {
    kvtest::CertAndKey issuer;
    kvtest::CertAndKey leaf;
};
enum class WeakIssuer { Version1, NoBasicConstraints };

const WeakChain& weakChain(WeakIssuer kind) {
    static std::map<WeakIssuer, WeakChain> made;
    auto it = made.find(kind);
    if (it != made.end()) return it->second;
    WeakChain& c = made[kind];
    const bool v1 = kind == WeakIssuer::Version1;
    kvtest::CertSpec spec =
        kvtest::caSpec(v1 ? "KVB Test V1 Intermediate" : "KVB Test Unconstrained Intermediate", "0200");
    if (v1) spec.version = 1;
    spec.basicConstraints = v1 ? spec.basicConstraints : false;
    c.issuer.key = kvtest::makeRsaKey(2048, 65537, 32);
    c.issuer.cert = kvtest::makeCert(spec, c.issuer.key.get(), pki().root.cert.get(), pki().root.key.get());
    c.leaf.key = kvtest::makeRsaKey(2048, 65537, 33);
    kvtest::CertSpec leafSpec = kvtest::leafSpec("KVB Test Leaf under a weak issuer", "2201");
    leafSpec.authorityKeyId = false;  // a version 1 issuer has no key identifier to name
    c.leaf.cert = kvtest::makeCert(leafSpec, c.leaf.key.get(), c.issuer.cert.get(), c.issuer.key.get());
    return c;
}

std::string signedUnder(Workspace& w, WeakIssuer kind) {
    const WeakChain& c = weakChain(kind);
    return signedBy(w, c.leaf, {c.leaf.cert.get(), c.issuer.cert.get(), pki().root.cert.get()});
}

TEST_F(HostileTest, ChainsThroughNonAuthoritiesAreNotTrusted) {
    const std::vector<TrustRow> rows = {
        {"end-entity certificate acting as a CA",
         [](Workspace& w) {
             return signedBy(w, pki().eeIssued,
                             {pki().eeIssued.cert.get(), pki().leaf.cert.get(), pki().intermediate.cert.get(),
                              pki().root.cert.get()});
         },
         pki().root.cert.get(), 51, "false", false},
        {"self-issued root first in KeyInfo, unrelated certificates after",
         [](Workspace& w) {
             return signedBy(w, pki().root,
                             {pki().root.cert.get(), pki().unrelatedRoot.cert.get(), pki().v1Leaf.cert.get()});
         },
         pki().root.cert.get(), 51, "false", false},
        {"version 1 issuer that is not self-issued", [](Workspace& w) { return signedUnder(w, WeakIssuer::Version1); },
         pki().root.cert.get(), 51, "false", false},
        {"version 3 issuer without basic constraints",
         [](Workspace& w) { return signedUnder(w, WeakIssuer::NoBasicConstraints); }, pki().root.cert.get(), 51,
         "false", false},
        // Signed with the sender's own key: a valid signature from nobody trusted, which must
        // not take the chain checks minutes to find out.
        {"thousands of certificates in KeyInfo",
         [](Workspace& w) {
             std::vector<X509*> chain(10000, pki().intermediate.cert.get());
             chain.insert(chain.begin(), attacker().cert.get());
             chain.push_back(pki().root.cert.get());
             return signedBy(w, attacker(), chain);
         },
         pki().root.cert.get(), 51, "false", false},
        {"empty root store", [](Workspace& w) { return buildDir(w, basePackage()).dir; }, pki().root.cert.get(), 0,
         "false", true},
        // Controls: the same runs trust a proper chain.
        {"control: chain to the test root", [](Workspace& w) { return buildDir(w, basePackage()).dir; },
         pki().root.cert.get(), 0, "true", false},
        {"control: version 1 root and leaf",
         [](Workspace& w) {
             return signedBy(w, pki().v1Leaf, {pki().v1Leaf.cert.get(), pki().v1Root.cert.get()});
         },
         pki().v1Root.cert.get(), 0, "true", false},
    };
    for (const TrustRow& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace w;
        const std::string path = row.make(w);
        const std::string anchor = w.scratch.file("anchor.der");
        kvtest::writeDer(anchor, row.anchor);
        const std::string roots = row.emptyRootStore ? suite().emptyRoots : "";
        const std::string trustLine = std::string("\nOS Trusted: ") + row.osTrusted + "\n";

        const Observed plain = runChecked(w, {"-verify", path, "-certInfo", "-skipOnlineRevocationChecks"}, roots);
        const Observed anchored =
            runChecked(w, {"-verify", path, "-certInfo", "-skipOnlineRevocationChecks", "-addCerts", anchor}, roots);
        std::printf("[ row      ] trust    %-72s want  0/%2d got %3d/%3d %5.2f/%5.2f s, OS Trusted want %s\n", row.name,
                    row.statusWithAnchor, plain.result.exitCode, anchored.result.exitCode, plain.seconds,
                    anchored.seconds, row.osTrusted);
        EXPECT_EQ(plain.result.exitCode, 0) << plain.result.err;
        EXPECT_NE(plain.result.out.find(trustLine), std::string::npos) << plain.result.out;
        EXPECT_EQ(anchored.result.exitCode, row.statusWithAnchor) << anchored.result.err;
        EXPECT_NE(anchored.result.out.find(trustLine), std::string::npos) << anchored.result.out;
    }
}

}  // namespace
