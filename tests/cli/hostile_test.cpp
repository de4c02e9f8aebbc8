// Hostile packages and hostile CRL servers against the built KVBSignCmd (the rules they hold
// the tool to: hostile_run.h).

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "cli_runner.h"
#include "crl_fixtures.h"
#include "expected_texts.h"
#include "hostile_run.h"
#include "http_server.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "zip_writer.h"

extern char** environ;

namespace {

namespace fs = boost::filesystem;
using kvtest::CliResult;
using kvtest::HttpReply;
using kvtest::LoopbackHttpServer;
using kvtest::newTempEntries;
using kvtest::PackageBuilder;
using kvtest::pki;
using kvtest::SignedPackage;
using kvtest::zipFileEntry;
using kvtest::zipLinkEntry;
using kvtest::zipZerosEntry;
using kvtest::ZipEntrySpec;
using kvtest::ZipSpec;
using kvtest::hostile::basePackage;
using kvtest::hostile::buildDir;
using kvtest::hostile::Clock;
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
using kvtest::hostile::secondsSince;
using kvtest::hostile::suite;
using kvtest::hostile::Workspace;

const char kRevokedUnknown[] =
    "\nRevoked: Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?\n";

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
// Packages to start from

// The zip entries of the valid base package, built beside the package.
std::vector<ZipEntrySpec> baseEntries(Workspace& w) {
    const SignedPackage p = basePackage().build(w.scratch.file("src"));
    return kvtest::zipEntriesOf(p.dir);
}

std::string writeZip(Workspace& w, const std::vector<ZipEntrySpec>& entries,
                     const std::function<void(ZipSpec&)>& patch = nullptr) {
    ZipSpec spec;
    spec.entries = entries;
    if (patch) patch(spec);
    kvtest::writeZipSpec(w.pkgZip(), spec);
    return w.pkgZip();
}

std::vector<ZipEntrySpec> plus(std::vector<ZipEntrySpec> entries, const std::vector<ZipEntrySpec>& more) {
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
}

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
// Hostile packages

std::vector<Row> hostileArchives() {
    return {
        {"zip: duplicate entry name with other content",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("index.html", kEvil)})); }, 20},
        // Names that climb out are refused before extraction: the extractor would strip the
        // climbing part, but another one would write outside its target.
        {"zip: entry climbing out with ../",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry(w.climbing(w.canary()), kEvil)})); },
         20},
        {"zip: signed entry renamed to climb out",
         [](Workspace& w) {
             std::vector<ZipEntrySpec> entries = baseEntries(w);
             for (ZipEntrySpec& e : entries)
                 if (e.name == "index.html") e.name = "../index.html";
             return writeZip(w, entries);
         },
         20},
        {"zip: entry with a climbing element in the middle",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("lib/../../x.js", kEvil)})); }, 20},
        {"zip: entry with an absolute path",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry(w.canary(), kEvil)})); }, 20},
        // Link entries are resolved over the archive's names before extraction: a target
        // outside the package, missing, or holding the link is refused there.
        {"zip: link entry to an absolute directory outside",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/out", w.outside())})); }, 20},
        {"zip: link entry climbing outside",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/out", w.climbing(w.outside()))}));
         },
         20},
        {"zip: link entry to the canary file",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/canary.txt", w.canary())})); },
         20},
        {"zip: file written through an absolute link entry",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("drop", w.outside()),
                                                      zipFileEntry("drop/canary.txt", kEvil)}));
         },
         20},
        {"zip: file written through a climbing link entry",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("drop", w.climbing(w.outside())),
                                                      zipFileEntry("drop/canary.txt", kEvil)}));
         },
         20},
        {"zip: file entry over a link entry to the canary",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w),
                                     {zipLinkEntry("lib/c.txt", w.canary()), zipFileEntry("lib/c.txt", kEvil)}));
         },
         20},
        {"zip: link entry to a missing absolute path",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/gone.js", w.scratch.file("no/such/file"))}));
         },
         20},
        {"zip: link entry to a missing file inside",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/zz-gone.js", "no-such.js")}));
         },
         20},
        {"zip: link loop",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("loop/a", "b"), zipLinkEntry("loop/b", "a")}));
         },
         20},
        {"zip: link to its own directory",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/self", ".")})); }, 20},
        {"zip: link to the package root from below",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/up", "..")})); }, 20},
        {"zip: bytes prepended to the archive",
         [](Workspace& w) {
             const std::string zip = writeZip(w, baseEntries(w));
             kvtest::writeFile(zip, "#!/bin/sh\nexec rm -rf \"$HOME\"\n" + kvtest::readFile(zip));
             return zip;
         },
         20},
        {"zip: encrypted entry",
         [](Workspace& w) {
             const SignedPackage p = basePackage().build(w.scratch.file("src"));
             p.zip(w.pkgZip());
             const CliResult r =
                 kvtest::runProgram("/usr/bin/zip", {"-q", "-P", "secret", w.pkgZip(), "lib/app.js"}, {}, 60, p.dir);
             if (r.exitCode != 0) throw std::runtime_error("zip -P failed: " + r.err);
             return w.pkgZip();
         },
         20},
        {"zip: unsupported compression method",
         [](Workspace& w) {
             return writeZip(w, baseEntries(w), [](ZipSpec& spec) {
                 ZipEntrySpec& e = kvtest::findEntry(spec, "lib/app.js");
                 e.localMethod = 99;
                 e.centralMethod = 99;
             });
         },
         20},
        {"zip: central directory names differ from the local headers",
         [](Workspace& w) {
             return writeZip(w, baseEntries(w),
                             [](ZipSpec& spec) { kvtest::findEntry(spec, "lib/app.js").centralName = "lib/evi.js"; });
         },
         20},
        {"zip: extra unlisted file in a subdirectory",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("lib/extra.js", kEvil)})); }, 50},
        {"zip: payload below __MACOSXa/",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("__MACOSXa/evil.js", kEvil)})); },
         50},
        {"zip: several hundred megabytes once extracted",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipZerosEntry("media/blob.bin", 300 * kMegabyte)}));
         },
         50},
    };
}

std::vector<Row> hostileTrees() {
    auto withFile = [](const char* path) {
        return [path](Workspace& w) {
            PackageBuilder b = basePackage();
            b.addUnlistedFile(path, kEvil);
            return buildDir(w, b).dir;
        };
    };
    return {
        {"dir: extra unlisted file in a subdirectory", withFile("lib/extra.js"), 50},
        {"dir: payload below Thumbs.dbx/", withFile("Thumbs.dbx/evil.js"), 50},
        {"dir: payload below __MACOSXa/", withFile("__MACOSXa/evil.js"), 50},
        {"dir: payload in a directory named .DS_Store", withFile(".DS_Store/evil.js"), 50},
        {"dir: payload below a nested __MACOSX/", withFile("lib/__MACOSX/evil.js"), 50},
        {"dir: payload whose name holds an excluded name", withFile("lib/desktop.ini.js"), 50},
        {"dir: link with an absolute target inside the package",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/abs.html", w.pkgDir() + "/index.html", true, "<html><body>hello</body></html>\n");
             return buildDir(w, b).dir;
         },
         50},
        {"dir: link to the canary file",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/canary.txt", w.canary(), true, kvtest::readFile(w.canary()));
             return buildDir(w, b).dir;
         },
         50},
        {"dir: relative link climbing to a sibling directory",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/out", "../../outside");
             return buildDir(w, b).dir;
         },
         50},
        // The walk stops at it; what it saw before proves nothing about what comes after.
        {"dir: dangling relative link",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/zz-gone.js", "no-such.js");
             return buildDir(w, b).dir;
         },
         50},
        {"dir: link loop",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("loop/a", "b").addSymlink("loop/b", "a");
             return buildDir(w, b).dir;
         },
         50},
        // Eight links to the next level at each of six levels: 8^6 paths to the same few files.
        {"dir: directory links fanning out at every level",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             for (int level = 0; level < 6; ++level) {
                 const std::string dir = "fan/d" + std::to_string(level);
                 b.addUnlistedFile(dir + "/f.txt", "f");
                 for (int link = 0; level < 5 && link < 8; ++link)
                     b.addSymlink(dir + "/l" + std::to_string(link), "../d" + std::to_string(level + 1));
             }
             return buildDir(w, b).dir;
         },
         50},
        // Fewer paths, one large file at the end of them: every path to it reads it again, so
        // a bound on the number of paths alone leaves the work growing with the file.
        {"dir: directory links fanning out to a large file",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             for (int level = 0; level < 4; ++level) {
                 const std::string dir = "fan/d" + std::to_string(level);
                 b.addUnlistedFile(dir + "/f.txt", level == 3 ? std::string(64 * kMegabyte, '\0') : "f");
                 for (int link = 0; level < 3 && link < 8; ++link)
                     b.addSymlink(dir + "/l" + std::to_string(link), "../d" + std::to_string(level + 1));
             }
             return buildDir(w, b).dir;
         },
         50},
        {"dir: link named .DS_Store to an absolute path",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.addSymlink("lib/.DS_Store", w.outside());
             return buildDir(w, b).dir;
         },
         50},
        {"dir: mimetype linked to a file outside",
         [](Workspace& w) {
             PackageBuilder b = basePackage();
             b.noMimetype().addSymlink("mimetype", w.canary(), true, kvtest::readFile(w.canary()));
             return buildDir(w, b).dir;
         },
         50},
        {"dir: signature document linked from outside",
         [](Workspace& w) {
             const SignedPackage p = buildDir(w, basePackage());
             kvtest::writeFile(w.scratch.file("elsewhere/signatures.xml"), p.xml);
             fs::remove(p.xmlPath());
             fs::create_symlink("../../elsewhere/signatures.xml", p.xmlPath());
             return p.dir;
         },
         31},
        // Its size cannot be taken, which counts as a read error.
        {"dir: signature document is a directory",
         [](Workspace& w) {
             const SignedPackage p = buildDir(w, basePackage());
             fs::remove(p.xmlPath());
             fs::create_directories(p.xmlPath() + "/inner");
             return p.dir;
         },
         31},
        // Nothing to digest, and reading it could block: it cannot be covered by the manifest.
        {"dir: unlisted named pipe",
         [](Workspace& w) {
             const SignedPackage p = buildDir(w, basePackage());
             if (mkfifo((p.dir + "/lib/pipe").c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
             return p.dir;
         },
         50},
        {"file: package path is a named pipe",
         [](Workspace& w) {
             if (mkfifo(w.pkgZip().c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
             return w.pkgZip();
         },
         20},
    };
}

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

TEST_F(HostileTest, ArchivesNeverPass) { runHostile("archive", hostileArchives()); }
TEST_F(HostileTest, TreesNeverPass) { runHostile("tree", hostileTrees()); }
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

// ---------------------------------------------------------------------------------------------
// Prompts: a tool that asks a question on the terminal would wait for ever

struct TerminalRun {
    int exitCode = -1;
    bool timedOut = false;
    std::string screen;
};

// Runs a program as the session leader of a new pseudo-terminal, which becomes its controlling
// terminal and its standard input, output and error. Nothing is ever typed. Waits at most
// timeoutSeconds, then kills the program's process group.
TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                          const kvtest::EnvList& extraEnv, const std::string& cwd, int timeoutSeconds) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slaveName[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slaveName, sizeof slaveName) != 0) {
        if (master >= 0) close(master);
        throw std::runtime_error("no pseudo-terminal");
    }

    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& kv : extraEnv)
            replaced = replaced || std::strncmp(*e, (kv.first + "=").c_str(), kv.first.size() + 1) == 0;
        if (!replaced) envStore.emplace_back(*e);
    }
    for (const auto& kv : extraEnv) envStore.push_back(kv.first + "=" + kv.second);
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    // Everything the child needs is ready: between fork and exec it makes only
    // async-signal-safe calls.
    const pid_t pid = fork();
    if (pid < 0) {
        close(master);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        setsid();
        const int slave = open(slaveName, O_RDWR);
        if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(126);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) close(slave);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }

    TerminalRun run;
    int status = 0;
    bool exited = false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (!exited) {
        if (Clock::now() >= deadline) {
            run.timedOut = true;
            kill(-pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                run.screen.append(buf, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EIO)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // no writer left
        }
        exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    // What the tool wrote just before it ended.
    for (;;) {
        pollfd p = {master, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        run.screen.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

TEST_F(HostileTest, ExtractionNeverWaitsForAnAnswerOnTheTerminal) {
    // The extractor would ask for a password, and whether to replace the first file.
    std::vector<Row> rows;
    for (const Row& row : hostileArchives()) {
        const std::string name = row.name;
        if (name == "zip: encrypted entry" || name == "zip: duplicate entry name with other content")
            rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 2u);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace w;
        const std::string path = row.make(w);
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const Clock::time_point start = Clock::now();
        const TerminalRun r = runOnTerminal(KVBSIGN_CMD_PATH, {"-verify", path, "-skipOnlineRevocationChecks"},
                                            suite().env(), w.scratch.path(), 20);
        std::printf("[ row      ] terminal %-72s want 20 got %3d %6.2f s\n", row.name, r.exitCode, secondsSince(start));
        EXPECT_FALSE(r.timedOut) << "still waiting after 20 s; the terminal shows: " << r.screen;
        EXPECT_EQ(r.exitCode, 20) << r.screen;
        EXPECT_NE(r.screen.find(kvtest::withoutLineEnd(kvtest::kMsg20)), std::string::npos) << r.screen;
        EXPECT_EQ(r.screen.find("password"), std::string::npos) << r.screen;
        EXPECT_EQ(r.screen.find("replace"), std::string::npos) << r.screen;
        for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
        EXPECT_EQ(w.canaries.changes(), "");

        // The control: the extractor itself, on the same kind of terminal, asks and waits.
        const TerminalRun asked =
            runOnTerminal("/usr/bin/unzip", {"-q", path, "-d", w.scratch.file("control")}, {}, w.scratch.path(), 3);
        EXPECT_TRUE(asked.timedOut) << asked.screen;
        EXPECT_TRUE(asked.screen.find("password") != std::string::npos ||
                    asked.screen.find("replace") != std::string::npos)
            << asked.screen;
    }
}

// ---------------------------------------------------------------------------------------------
// Hostile CRL servers

// A package whose signer (issued by the test intermediate, chain complete in KeyInfo) names
// this CRL URL.
std::string crlSignedPackage(Workspace& w, const std::string& url) {
    static kvtest::EvpPkeyPtr key = kvtest::makeRsaKey(2048, 65537, 30);
    kvtest::CertSpec spec = kvtest::leafSpec("KVB Hostile CRL Signer", "7B01");
    spec.crlUrls = {url};
    kvtest::X509Ptr cert =
        kvtest::makeCert(spec, key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
    PackageBuilder b = basePackage();
    b.signer(key.get()).keyInfoCerts({cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()});
    return buildDir(w, b).dir;
}

struct CrlRun {
    Observed run;
    long peakKb = -1;  // the tool's peak resident set size
};

// Runs the tool under /usr/bin/time to learn its peak memory.
CrlRun verifyWithCrl(Workspace& w, const std::string& pkg, int timeoutSeconds) {
    const std::string rssFile = w.scratch.file("peak-rss.txt");
    CrlRun r;
    const std::set<std::string> before = kvtest::kvbsignTempEntries();
    const Clock::time_point start = Clock::now();
    r.run.result =
        kvtest::runProgram("/usr/bin/time", {"-f", "%M", "-o", rssFile, KVBSIGN_CMD_PATH, "-verify", pkg, "-certInfo"},
                           suite().env(), timeoutSeconds, w.scratch.path());
    r.run.seconds = secondsSince(start);
    EXPECT_FALSE(r.run.result.timedOut);
    for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
    // The figure is the last line; a line about the non-zero exit status may come first.
    std::string text = kvtest::readFile(rssFile);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    const std::string last = text.substr(text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1);
    if (!last.empty() && last.find_first_not_of("0123456789") == std::string::npos)
        r.peakKb = std::stol(last);
    else
        ADD_FAILURE() << "no peak memory figure in: " << text;
    return r;
}

struct CrlRow {
    const char* name;
    const char* address;
    std::function<HttpReply(const std::string& url)> reply;
    double maxSeconds;
};

void runCrlRows(const std::vector<CrlRow>& rows) {
    if (access("/usr/bin/time", X_OK) != 0) GTEST_SKIP() << "needs /usr/bin/time (apt-get install -y time)";
    for (const CrlRow& row : rows) {
        SCOPED_TRACE(row.name);
        LoopbackHttpServer server(row.address);
        KVTEST_REQUIRE_SERVER(server);
        const std::string url = server.url("/crl/signer.crl");
        server.on("/crl/signer.crl", row.reply(url));
        Workspace w;
        const CrlRun r = verifyWithCrl(w, crlSignedPackage(w, url), static_cast<int>(row.maxSeconds) + 30);
        server.stop();
        std::printf("[ row      ] crl      %-72s want 52 got %3d %6.2f s (bound %.0f s) peak %ld KB\n", row.name,
                    r.run.result.exitCode, r.run.seconds, row.maxSeconds, r.peakKb);
        EXPECT_EQ(r.run.result.exitCode, 52) << r.run.result.out << r.run.result.err;
        EXPECT_NE(r.run.result.out.find(kRevokedUnknown), std::string::npos) << r.run.result.out;
        EXPECT_LT(r.run.seconds, row.maxSeconds);
        EXPECT_GT(r.peakKb, 0);
        EXPECT_LT(r.peakKb, 300 * 1024) << "peak memory in KB";
        EXPECT_EQ(server.requestCount("/crl/signer.crl"), 1) << "one request, never repeated";
        EXPECT_EQ(w.canaries.changes(), "");
    }
}

TEST_F(HostileTest, HostileCrlServersEndInAFailedFetch) {
    runCrlRows({
        // The body limit ends it (256 MB); the whole-download bound would, at the latest.
        {"sends an endless body", "127.77.20.1", [](const std::string&) { return HttpReply::endlessBody(); }, 65},
        {"answers 302 forever", "127.77.20.2",
         [](const std::string& url) { return HttpReply::status(302, "Found", "Location: " + url + "\r\n"); }, 15},
        {"sends headers without end", "127.77.20.3", [](const std::string&) { return HttpReply::endlessHeaders(); },
         15},
        {"closes in the middle of the status line", "127.77.20.4",
         [](const std::string&) { return HttpReply::raw("HTTP/1.0 20"); }, 15},
        {"resets in the middle of the body", "127.77.20.5",
         [](const std::string&) { return HttpReply::resetMidBody(kvtest::makeCrlDer({})); }, 15},
    });
}

// Whoever is on the network path answers for the CRL server: a page that is no list, a list cut
// short, a list of someone else's making, or the issuer's own list from before a revocation.
// None of them is a list fetched.
TEST_F(HostileTest, CrlAnswersThatAreNoCurrentListOfTheIssuerEndInAFailedFetch) {
    const time_t now = time(nullptr);
    runCrlRows({
        {"answers 200 with an HTML page", "127.77.20.21",
         [](const std::string&) { return HttpReply::ok("<html><body>Please sign in</body></html>"); }, 15},
        {"sends the list in a chunked body", "127.77.20.22",
         [](const std::string&) {
             const std::string der = kvtest::makeCrlDer({});
             char size[16];
             std::snprintf(size, sizeof size, "%zx", der.size());
             return HttpReply::raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) +
                                   "\r\n" + der + "\r\n0\r\n\r\n");
         },
         15},
        {"closes cleanly after half of the announced length", "127.77.20.23",
         [](const std::string&) {
             const std::string der = kvtest::makeCrlDer({});
             return HttpReply::raw("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(der.size()) + "\r\n\r\n" +
                                   der.substr(0, der.size() / 2));
         },
         15},
        {"sends a PEM list", "127.77.20.24",
         [](const std::string&) { return HttpReply::ok(kvtest::crlDerToPem(kvtest::makeCrlDer({}))); }, 15},
        {"serves an empty list signed by another key under the issuer's name", "127.77.20.25",
         [](const std::string&) {
             kvtest::CrlOptions options;
             options.signingKey = pki().unrelatedRoot.key.get();
             return HttpReply::ok(kvtest::makeCrlDer({}, options));
         },
         15},
        {"serves the issuer's own list from before, out of date now", "127.77.20.26",
         [now](const std::string&) {
             kvtest::CrlOptions options;
             options.thisUpdate = now - 30 * 86400;
             options.nextUpdate = now - 23 * 86400;
             return HttpReply::ok(kvtest::makeCrlDer({}, options));
         },
         15},
    });
}

// Each byte comes before the read bound passes; only the whole-download bound (60 s) ends it.
TEST_F(HostileTest, CrlServerDrippingOneByteASecondIsCutOff) {
    runCrlRows({
        {"drips one byte a second", "127.77.20.6",
         [](const std::string&) {
             return HttpReply::drip(kvtest::crlReplyHead() + kvtest::makeCrlDer({}), 1000, true);
         },
         75},
    });
}

}  // namespace
