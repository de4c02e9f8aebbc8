// The tool on whole packages: zip files and extension root directories, good and tampered,
// with symbolic links inside and outside.

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "cli_runner.h"
#include "expected_texts.h"
#include "package_builder.h"
#include "pipe_writer.h"
#include "reader_agreement.h"
#include "test_pki.h"

namespace fs = boost::filesystem;

namespace {

using kvtest::PackageBuilder;
using kvtest::SignedPackage;

using kvtest::kMsg0;
using kvtest::kMsg50;

PackageBuilder basePackage() {
    PackageBuilder b;
    b.addFile("index.html", "<html></html>\n").addFile("js/app.js", "start();\n");
    return b;
}

class PackageCli : public ::testing::Test {
protected:
    void SetUp() override { kvtest::writePemBundle(scratch.file("roots.pem"), {kvtest::pki().root.cert.get()}); }

    kvtest::CliResult verify(const std::string& path) {
        return kvtest::runCli({"-verify", path, "-skipOnlineRevocationChecks"},
                              {{"SSL_CERT_FILE", scratch.file("roots.pem")}}, 120);
    }

    void expectVerified(const std::string& path) {
        kvtest::CliResult r = verify(path);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, kMsg0);
        EXPECT_EQ(r.err, "");
    }

    void expectTampered(const std::string& path) {
        kvtest::CliResult r = verify(path);
        EXPECT_EQ(r.exitCode, 50) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(kvtest::withoutLineEnd(kMsg50)), std::string::npos) << r.err;
    }

    kvtest::ScratchDir scratch;
};

struct Case {
    const char* name;
    std::function<void(PackageBuilder&)> edit;
    std::function<void(SignedPackage&)> after = [](SignedPackage&) {};
    // A zip whose link entries break the link rules is refused before extraction; the same
    // package as a directory fails the walk.
    bool refusedBeforeExtraction = false;
};

TEST_F(PackageCli, GoodZipPackagesVerify) {
    const std::vector<Case> kCases = {
        {"compact", [](PackageBuilder&) {}},
        {"CR LF line ends", [](PackageBuilder& b) { b.layout(kvtest::Layout::IndentedCRLF).signatureLineBreaks(); }},
        {"names with blanks, ampersands and escapes",
         [](PackageBuilder& b) {
             b.addFile("res/a b.txt", "1").addFile("res/x&y.txt", "2").setUri("res/x&y.txt", "res/x&amp;y.txt");
             b.addFile("res/p:q", "3").setUri("res/p:q", "res/p%3Aq");
         }},
        {"clutter added after signing", [](PackageBuilder&) {},
         [](SignedPackage& p) {
             kvtest::writeFile(p.dir + "/.DS_Store", "junk");
             kvtest::writeFile(p.dir + "/js/Thumbs.db", "junk");
             kvtest::writeFile(p.dir + "/__MACOSX/js/._app.js", "junk");
         }},
        {"relative link inside, listed",
         [](PackageBuilder& b) { b.addSymlink("js/main.js", "app.js", true, "start();\n"); }},
    };
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        PackageBuilder b = basePackage();
        c.edit(b);
        const std::string name = "good" + std::to_string(n++);
        SignedPackage pkg = b.build(scratch.file(name));
        c.after(pkg);
        pkg.zip(scratch.file(name + ".kvb"));
        expectVerified(scratch.file(name + ".kvb"));
        EXPECT_EQ(kvtest::readerDifferences(scratch.file(name + ".kvb")), "");
    }
}

TEST_F(PackageCli, TamperedZipPackagesFailWith50) {
    const std::vector<Case> kCases = {
        {"file changed", [](PackageBuilder&) {},
         [](SignedPackage& p) { kvtest::writeFile(p.dir + "/js/app.js", "steal();\n"); }},
        {"file added", [](PackageBuilder&) {}, [](SignedPackage& p) { kvtest::writeFile(p.dir + "/js/x.js", "x"); }},
        {"file missing", [](PackageBuilder&) {}, [](SignedPackage& p) { fs::remove(p.dir + "/index.html"); }},
        {"manifest entry changed", [](PackageBuilder&) {},
         [](SignedPackage& p) { p.replaceInXml("URI=\"index.html\"", "URI=\"index.htm\""); }},
        {"SignedInfo changed", [](PackageBuilder&) {},
         [](SignedPackage& p) { p.replaceInXml("REC-xml-c14n-20010315", "REC-xml-c14n-20010316"); }},
        {"signature value byte changed", [](PackageBuilder&) {},
         [](SignedPackage& p) {
             std::string v = p.signatureValueB64;
             v[10] = v[10] == 'Q' ? 'R' : 'Q';
             p.replaceInXml(p.signatureValueB64, v);
         }},
        {"Thumbs.dbx/evil.js added", [](PackageBuilder&) {},
         [](SignedPackage& p) { kvtest::writeFile(p.dir + "/Thumbs.dbx/evil.js", "evil"); }},
        {"__MACOSXa/evil.js added", [](PackageBuilder&) {},
         [](SignedPackage& p) { kvtest::writeFile(p.dir + "/__MACOSXa/evil.js", "evil"); }},
        {"two entries for one file, another unchecked",
         [](PackageBuilder& b) {
             b.addReference("js%2fapp.js", kvtest::digestB64("start();\n")).addUnlistedFile("evil.js", "evil");
         }},
        {"text the signature does not cover", [](PackageBuilder&) {},
         [](SignedPackage& p) { p.replaceInXml("</Reference>", "</Reference> unsigned words"); }},
        {"variant with a broken manifest digest",
         [](PackageBuilder& b) { b.variant().manifestDigestOverride(kvtest::digestB64("other")); }},
        {"absolute link added", [](PackageBuilder&) {},
         [](SignedPackage& p) { ASSERT_EQ(symlink("/etc/passwd", (p.dir + "/zz").c_str()), 0); }, true},
    };
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        PackageBuilder b = basePackage();
        c.edit(b);
        const std::string name = "tampered" + std::to_string(n++);
        SignedPackage pkg = b.build(scratch.file(name));
        c.after(pkg);
        pkg.zip(scratch.file(name + ".kvb"));
        if (!c.refusedBeforeExtraction) {
            expectTampered(scratch.file(name + ".kvb"));
            continue;
        }
        const kvtest::CliResult r = verify(scratch.file(name + ".kvb"));
        EXPECT_EQ(r.exitCode, 20) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        expectTampered(pkg.dir);
    }
}

TEST_F(PackageCli, VariantWithEitherManifestDigestFormVerifies) {
    PackageBuilder b = basePackage();
    b.variant().layout(kvtest::Layout::IndentedLF);
    SignedPackage kept = b.build(scratch.file("kept"));
    expectVerified(kept.dir);

    std::string joined;
    for (char c : kept.canonicalManifest)
        if (c != '\n') joined += c;
    b.manifestDigestOverride(kvtest::digestB64(joined));
    expectVerified(b.build(scratch.file("joined")).dir);
}

TEST_F(PackageCli, DirectoryModeSymbolicLinks) {
    struct LinkCase {
        const char* name;
        std::function<void(const std::string& pkg, const std::string& outside)> make;
        bool verifies;
    };
    const LinkCase kCases[] = {
        {"no links", [](const std::string&, const std::string&) {}, true},
        {"absolute link to a file inside",
         [](const std::string& pkg, const std::string&) { ASSERT_EQ(symlink((pkg + "/index.html").c_str(), (pkg + "/l").c_str()), 0); },
         false},
        {"absolute link outside",
         [](const std::string& pkg, const std::string& out) { ASSERT_EQ(symlink((out + "/secret").c_str(), (pkg + "/l").c_str()), 0); },
         false},
        {"relative link outside",
         [](const std::string& pkg, const std::string&) { ASSERT_EQ(symlink("../secret", (pkg + "/l").c_str()), 0); }, false},
        {"unlisted relative link inside",
         [](const std::string& pkg, const std::string&) { ASSERT_EQ(symlink("index.html", (pkg + "/l").c_str()), 0); }, false},
        {"link loop",
         [](const std::string& pkg, const std::string&) { ASSERT_EQ(symlink("loop", (pkg + "/loop").c_str()), 0); }, false},
        {"link to its own directory",
         [](const std::string& pkg, const std::string&) { ASSERT_EQ(symlink(".", (pkg + "/js/here").c_str()), 0); }, false},
        {"link with a missing target",
         [](const std::string& pkg, const std::string&) { ASSERT_EQ(symlink("gone.js", (pkg + "/js/l").c_str()), 0); }, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::ScratchDir work;
        kvtest::writeFile(work.file("secret"), "outside");
        SignedPackage pkg = basePackage().build(work.file("pkg"));
        c.make(pkg.dir, work.path());
        if (c.verifies)
            expectVerified(pkg.dir);
        else
            expectTampered(pkg.dir);
    }

    // A relative link inside that the manifest lists is part of the package.
    SignedPackage linked = basePackage().addSymlink("js/main.js", "app.js", true, "start();\n").build(scratch.file("linked"));
    expectVerified(linked.dir);
    kvtest::writeFile(linked.dir + "/js/app.js", "changed();\n");
    expectTampered(linked.dir);
}

// A writer waiting on a named pipe is released by whoever opens it to read; the tool never
// opens one, wherever the package's mimetype leads.
TEST_F(PackageCli, DirectoryWhoseMimetypeLeadsToAPipeFailsWithoutOpeningIt) {
    struct PipeCase {
        const char* name;
        const char* pipe;    // relative to the work directory, which holds the package "pkg"
        const char* target;  // of the link that replaces pkg/mimetype: "" for the pipe's absolute path,
                             // nullptr for the pipe itself in its place
    };
    const PipeCase kCases[] = {
        {"absolute link to a pipe outside", "outside/pipe", ""},
        {"climbing relative link to a pipe outside", "outside/pipe", "../outside/pipe"},
        {"mimetype is a pipe", "pkg/mimetype", nullptr},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        kvtest::ScratchDir work;
        SignedPackage pkg = basePackage().build(work.file("pkg"));
        fs::remove(pkg.dir + "/mimetype");
        fs::create_directories(fs::path(work.file(c.pipe)).parent_path());
        ASSERT_EQ(mkfifo(work.file(c.pipe).c_str(), 0600), 0);
        if (c.target != nullptr) {
            const std::string target = *c.target != '\0' ? c.target : work.file(c.pipe);
            ASSERT_EQ(symlink(target.c_str(), (pkg.dir + "/mimetype").c_str()), 0);
        }
        kvtest::BlockedPipeWriter writer(work.file(c.pipe));
        ASSERT_TRUE(writer.blockedAtStart());
        expectTampered(pkg.dir);
        EXPECT_TRUE(writer.stillBlocked()) << "the pipe was opened";
    }
}

}  // namespace
