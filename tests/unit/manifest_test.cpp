// Manifest check: the manifest digest and the one-to-one agreement of manifest entries and
// package files.

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "package_builder.h"

namespace fs = boost::filesystem;

namespace {

using kvtest::PackageBuilder;
using kvtest::SignedPackage;

// A small package: the mimetype and two files, one in a subdirectory.
PackageBuilder basePackage() {
    PackageBuilder b;
    b.addFile("index.js", "console.log(1);\n").addFile("img/logo.png", std::string("\x89PNG\0\1", 6));
    return b;
}

bool check(const SignedPackage& pkg, bool skipManifestDigest = false) {
    return checkManifestHashes(pkg.xml, pkg.dir.c_str(), pkg.dir.c_str(), skipManifestDigest, false);
}

struct Case {
    const char* name;
    std::function<void(PackageBuilder&)> edit;                       // before the build
    std::function<void(SignedPackage&)> after = [](SignedPackage&) {}; // on the built package
};

void expectAll(const std::vector<Case>& cases, bool want) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::ScratchDir scratch;
        PackageBuilder b = basePackage();
        c.edit(b);
        SignedPackage pkg = b.build(scratch.file("pkg"));
        c.after(pkg);
        EXPECT_EQ(check(pkg), want);
    }
}

TEST(ManifestCheck, GoodPackagePassesInEveryLayout) {
    for (kvtest::Layout layout : {kvtest::Layout::Compact, kvtest::Layout::IndentedLF, kvtest::Layout::IndentedCRLF}) {
        SCOPED_TRACE(static_cast<int>(layout));
        kvtest::ScratchDir scratch;
        SignedPackage pkg = basePackage().layout(layout).build(scratch.file("pkg"));
        EXPECT_TRUE(check(pkg));
    }
}

TEST(ManifestCheck, EntriesMatchFilesWhateverTheUriSpelling) {
    expectAll(
        {
            {"ampersand as &amp;", [](PackageBuilder& b) { b.addFile("a&b.txt", "x").setUri("a&b.txt", "a&amp;b.txt"); }},
            {"ampersand as %26", [](PackageBuilder& b) { b.addFile("a&b.txt", "x").setUri("a&b.txt", "a%26b.txt"); }},
            {"ampersand as &38;", [](PackageBuilder& b) { b.addFile("a&b.txt", "x").setUri("a&b.txt", "a&38;b.txt"); }},
            {"blank as %20", [](PackageBuilder& b) { b.addFile("a b.txt", "x"); }},
            {"blank written plainly", [](PackageBuilder& b) { b.addFile("a b.txt", "x").setUri("a b.txt", "a b.txt"); }},
            {"escape in upper case", [](PackageBuilder& b) { b.addFile("a:b", "x").setUri("a:b", "a%3Ab"); }},
            {"escape in lower case", [](PackageBuilder& b) { b.addFile("a:b", "x").setUri("a:b", "a%3ab"); }},
            {"utf-8 name", [](PackageBuilder& b) { b.addFile("d\xC3\xA9j\xC3\xA0.txt", "x"); }},
        },
        true);
}

TEST(ManifestCheck, ClutterFilesAreIgnoredOnBothSides) {
    expectAll(
        {
            {".DS_Store at the root", [](PackageBuilder& b) { b.addUnlistedFile(".DS_Store", "junk"); }},
            {".DS_Store in a subdirectory", [](PackageBuilder& b) { b.addUnlistedFile("img/.DS_Store", "junk"); }},
            {"Thumbs.db and desktop.ini",
             [](PackageBuilder& b) { b.addUnlistedFile("img/Thumbs.db", "j").addUnlistedFile("desktop.ini", "j"); }},
            {"top-level __MACOSX", [](PackageBuilder& b) { b.addUnlistedFile("__MACOSX/img/._logo.png", "junk"); }},
            {"clutter listed in the manifest too",
             [](PackageBuilder& b) { b.addFile(".DS_Store", "junk").addFile("__MACOSX/x", "junk"); }},
            {"clutter entry with a wrong digest",
             [](PackageBuilder& b) { b.addReference("img/%2EDS_Store", "not a digest"); }},
        },
        true);
}

TEST(ManifestCheck, AnyDifferenceBetweenFilesAndEntriesFails) {
    const std::string goodDigest = kvtest::digestB64("console.log(1);\n");
    expectAll(
        {
            {"file changed", [](PackageBuilder&) {},
             [](SignedPackage& p) { kvtest::writeFile(p.dir + "/index.js", "console.log(2);\n"); }},
            {"file added", [](PackageBuilder&) {}, [](SignedPackage& p) { kvtest::writeFile(p.dir + "/extra.js", "x"); }},
            {"file removed", [](PackageBuilder&) {}, [](SignedPackage& p) { fs::remove(p.dir + "/img/logo.png"); }},
            {"entry digest changed", [](PackageBuilder& b) { b.setDigest("index.js", kvtest::digestB64("other")); }},
            {"entry digest with a leading blank",
             [goodDigest](PackageBuilder& b) { b.setDigest("index.js", " " + goodDigest); }},
            {"entry digest with a line break",
             [goodDigest](PackageBuilder& b) { b.setDigest("index.js", goodDigest.substr(0, 20) + "\n" + goodDigest.substr(20)); }},
            {"entry URI names another file", [](PackageBuilder& b) { b.setUri("index.js", "index.jsx"); }},
            {"entry with an empty URI",
             [](PackageBuilder& b) { b.editReferences([](std::vector<kvtest::ManifestRef>& refs) { refs[1].uri = ""; }); }},
            {"mimetype not listed", [](PackageBuilder& b) { b.mimetypeUnlisted(); }},
            {"entry for the signature document",
             [](PackageBuilder& b) { b.addReference("META-INF/signatures.xml", kvtest::digestB64("x")); }},
            {"manifest edited after signing", [](PackageBuilder&) {},
             [](SignedPackage& p) { p.replaceInXml("URI=\"index.js\"", "URI=\"index.js\" "); }},
            {"empty manifest digest", [](PackageBuilder& b) { b.manifestDigestOverride(""); }},
            {"manifest digest of another text", [](PackageBuilder& b) { b.manifestDigestOverride(kvtest::digestB64("x")); }},
            // Only whole clutter names are left out.
            {"Thumbs.dbx/evil.js added", [](PackageBuilder& b) { b.addUnlistedFile("Thumbs.dbx/evil.js", "evil"); }},
            {"__MACOSXa/evil.js added", [](PackageBuilder& b) { b.addUnlistedFile("__MACOSXa/evil.js", "evil"); }},
            {"nested __MACOSX added", [](PackageBuilder& b) { b.addUnlistedFile("img/__MACOSX/evil.js", "evil"); }},
            // Two entries spelling one file differently, while another file goes unchecked.
            {"two entries for one file",
             [](PackageBuilder& b) {
                 b.addFile("a b.js", "ab").addReference("a b.js", kvtest::digestB64("ab")).addUnlistedFile("evil.js", "evil");
             }},
            // A file the walk cannot digest must not slip past the count. (The superuser reads
            // the unreadable one, which then fails as an unlisted file.)
            {"named pipe added", [](PackageBuilder&) {},
             [](SignedPackage& p) { ASSERT_EQ(mkfifo((p.dir + "/img/pipe").c_str(), 0600), 0); }},
            {"unreadable file added", [](PackageBuilder&) {},
             [](SignedPackage& p) {
                 kvtest::writeFile(p.dir + "/img/unseen.js", "evil");
                 ASSERT_EQ(chmod((p.dir + "/img/unseen.js").c_str(), 0), 0);
             }},
            // The walk stops at the link; the manifest lists exactly what it had seen by then.
            {"unsigned absolute link after the listed files",
             [](PackageBuilder& b) {
                 b = PackageBuilder();
                 b.addSymlink("zz", "/etc/hostname");
             }},
        },
        false);
}

TEST(ManifestCheck, SkipFlagLeavesOutOnlyTheManifestDigest) {
    kvtest::ScratchDir scratch;
    SignedPackage pkg = basePackage().manifestDigestOverride(kvtest::digestB64("wrong")).build(scratch.file("pkg"));
    EXPECT_FALSE(check(pkg, false));
    EXPECT_TRUE(check(pkg, true));
    kvtest::writeFile(pkg.dir + "/index.js", "changed");
    EXPECT_FALSE(check(pkg, true));
}

TEST(ManifestCheck, NoDirectoryFails) {
    kvtest::ScratchDir scratch;
    SignedPackage pkg = basePackage().build(scratch.file("pkg"));
    EXPECT_FALSE(checkManifestHashes(pkg.xml, nullptr, nullptr, false, false));
}

TEST(ManifestEntries, ScanOfReferences) {
    struct Case {
        const char* name;
        std::string manifest;
        std::map<std::string, std::string> want;
    };
    const std::vector<Case> kCases = {
        {"uri and digest text kept raw",
         "<Reference URI=\"a&amp;b\"><DigestMethod/><DigestValue> d\n1 </DigestValue></Reference>",
         {{"a&amp;b", " d\n1 "}}},
        {"first of two equal URIs wins",
         "<Reference URI=\"x\"><DigestValue>1</DigestValue></Reference><Reference URI=\"x\"><DigestValue>2</DigestValue></Reference>",
         {{"x", "1"}}},
        {"text after the last end tag ignored",
         "<Reference URI=\"x\"><DigestValue>1</DigestValue></Reference><Reference URI=\"y\"><DigestValue>2</DigestValue>",
         {{"x", "1"}}},
        {"no DigestValue gives the whole piece", "<Reference URI=\"x\">raw</Reference>", {{"x", "<Reference URI=\"x\">raw"}}},
        {"no URI gives the empty key", "<Reference><DigestValue>1</DigestValue></Reference>", {{"", "1"}}},
        {"clutter paths dropped, decoded first",
         "<Reference URI=\"sub/.DS_Store\"><DigestValue>1</DigestValue></Reference>"
         "<Reference URI=\"%2EDS_Store\"><DigestValue>1</DigestValue></Reference>"
         "<Reference URI=\"__MACOSX/x\"><DigestValue>1</DigestValue></Reference>"
         "<Reference URI=\"Thumbs.dbx/y\"><DigestValue>2</DigestValue></Reference>"
         "<Reference URI=\"__MACOSXa/z\"><DigestValue>3</DigestValue></Reference>",
         {{"Thumbs.dbx/y", "2"}, {"__MACOSXa/z", "3"}}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        std::map<std::string, std::string> entries;
        extractManifestEntriesNonXML(c.manifest, entries);
        EXPECT_EQ(entries, c.want);
    }
    // The map is added to, never cleared.
    std::map<std::string, std::string> entries = {{"x", "old"}};
    extractManifestEntriesNonXML("<Reference URI=\"x\"><DigestValue>new</DigestValue></Reference>", entries);
    EXPECT_EQ(entries.at("x"), "old");
}

}  // namespace
