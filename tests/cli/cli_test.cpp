// The built KVBSignCmd: command lines, exit codes, what goes to standard output and standard
// error, the certificate report, and the temporary directories a run leaves (none).

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "cli_runner.h"
#include "expected_texts.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "private_tmp.h"
#include "reader_agreement.h"
#include "test_pki.h"

namespace {

using kvtest::CliResult;
using kvtest::PackageBuilder;
using kvtest::pki;

const bool kPrivateTmp = kvtest::usePrivateTmp();

using kvtest::kMsg0;
using kvtest::kMsg1;
using kvtest::kMsg3;
using kvtest::kMsg13;
using kvtest::kMsg20;
using kvtest::kMsg26;
using kvtest::kMsg30;
using kvtest::kMsg32;
using kvtest::kMsg33;
using kvtest::kMsg50;
using kvtest::kMsg51;
using kvtest::kUsage;

const char* const kJunkSignature =
    "<signatures><Signature><SignedInfo></SignedInfo><SignatureValue>AAAA</SignatureValue></Signature>"
    "</signatures>";

using kvtest::newTempEntries;

class CliTest : public testing::Test {
protected:
    void SetUp() override {
        roots_ = scratch_.file("roots.pem");
        kvtest::writePemBundle(roots_, {pki().root.cert.get()});
    }

    // Runs the tool in the scratch directory with the test root as the only system root and a
    // fixed zone; checks that the run left no temporary directory.
    CliResult run(const std::vector<std::string>& args) {
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const CliResult r =
            kvtest::runCli(args, {{"SSL_CERT_FILE", roots_}, {"TZ", "UTC0"}}, 120, scratch_.path());
        EXPECT_FALSE(r.timedOut);
        for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
        EXPECT_EQ(kvtest::differencesIfAccepted(kvtest::packageOf(args, scratch_.path()), r.exitCode), "");
        return r;
    }

    std::string directoryPackage(const std::string& name, const std::string* document) {
        const std::string dir = scratch_.file(name);
        kvtest::writeFile(dir + "/mimetype", "application/vnd.kvb");
        if (document) kvtest::writeFile(dir + "/META-INF/signatures.xml", *document);
        return dir;
    }

    std::string zipPackage(const std::string& name, const std::string* document) {
        const std::string dir = directoryPackage(name + ".d", document);
        const std::string zip = scratch_.file(name);
        const CliResult r = kvtest::runProgram("/usr/bin/zip", {"-q", "-r", zip, "."}, {}, 60, dir);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return zip;
    }

    std::string signedPackage(const std::string& name) {
        PackageBuilder b;
        b.addFile("content/index.html", "<html></html>");
        return b.build(scratch_.file(name)).dir;
    }

    std::string der(const std::string& name, X509* cert) {
        const std::string path = scratch_.file(name);
        kvtest::writeDer(path, cert);
        return path;
    }

    kvtest::ScratchDir scratch_;
    std::string roots_;
};

TEST_F(CliTest, RejectedCommandLinesPrintUsageOnly) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        std::string err;
    };
    const Case cases[] = {
        {"no arguments", {}, 2, kUsage},
        {"verify alone", {"-verify"}, 3, kUsage},
        {"upper-case verify alone", {"-VERIFY"}, 3, kUsage},
        {"other operation", {"-sign", "pkg.kvb"}, 3, kUsage},
        {"unknown option", {"-verify", "pkg.kvb", "x"}, 3, std::string("Invalid option: x\n") + kUsage},
        {"unknown option after good ones", {"-verify", "pkg.kvb", "-certInfo", "-addCerts", "a.der", "-z"}, 3,
         std::string("Invalid option: -z\n") + kUsage},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(CliTest, FailuresOfThePackageGiveTheirStatus) {
    const std::string junk = kJunkSignature;
    const std::string bom = "\xEF\xBB\xBF<signatures><Signature/></signatures>";
    const std::string declaration = "<?xml version=\"1.0\"?><signatures><Signature/></signatures>";
    const std::string noSignature = "<signatures><signature/></signatures>";
    kvtest::writeFile(scratch_.file("text.kvb"), "not a zip archive");

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        const char* err;
    };
    const Case cases[] = {
        {"missing package", {"-verify", "missing.kvb"}, 3, kMsg3},
        {"package argument that looks like an option", {"-verify", "-certInfo"}, 3, kMsg3},
        {"not a zip archive", {"-verify", "text.kvb"}, 20, kMsg20},
        {"no signature document", {"-verify", zipPackage("nodoc.kvb", nullptr)}, 30, kMsg30},
        {"byte-order mark", {"-verify", zipPackage("bom.kvb", &bom)}, 32, kMsg32},
        {"XML declaration", {"-verify", directoryPackage("decl", &declaration)}, 32, kMsg32},
        {"no Signature element", {"-VERIFY", zipPackage("nosig.kvb", &noSignature), "-CERTINFO"}, 33, kMsg33},
        {"signature does not verify", {"-verify", zipPackage("junk.kvb", &junk), "-certInfo"}, 50, kMsg50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, "");  // no report after a failure, even with -certInfo
        EXPECT_EQ(r.err, c.err);
    }
}

// A configuration of the cryptography library that leaves no digest or RSA key to use is a
// failed set-up (1), not a signature that does not verify (50).
TEST_F(CliTest, CryptographyWithoutItsAlgorithmsIsAGeneralFailure) {
    auto config = [this](const std::string& name, const std::string& providers) {
        kvtest::writeFile(scratch_.file(name), "openssl_conf = init\n[init]\nproviders = providers\n[providers]\n" +
                                                   providers);
        return scratch_.file(name);
    };
    const std::string missing = config("missing.cnf", "nosuch = nosuch\n[nosuch]\nactivate = 1\n");
    const std::string null = config("null.cnf", "null = null\n[null]\nactivate = 1\n");
    const std::string standard = config("default.cnf", "default = default_sect\n[default_sect]\nactivate = 1\n");
    const std::string pkg = signedPackage("pkg");
    PackageBuilder b;
    b.addFile("content/index.html", "<html></html>");
    const std::string zip = scratch_.file("pkg.kvb");
    b.build(scratch_.file("pkg.zipped")).zip(zip);

    struct Case {
        const char* name;
        std::string config;
        std::vector<std::string> args;
        int exitCode;
        std::string out;
        std::string err;
    };
    const Case cases[] = {
        {"a provider that does not exist", missing, {"-verify", pkg, "-certInfo"}, 1, "", kMsg1},
        {"a provider that does not exist (package file)", missing, {"-verify", zip}, 1, "", kMsg1},
        {"only the provider without algorithms", null, {"-verify", pkg, "-certInfo"}, 1, "", kMsg1},
        {"the default provider named in the configuration", standard, {"-verify", pkg}, 0, kMsg0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const CliResult r = kvtest::runCli(c.args, {{"SSL_CERT_FILE", roots_}, {"OPENSSL_CONF", c.config}}, 120,
                                           scratch_.path());
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(kvtest::differencesIfAccepted(kvtest::packageOf(c.args, scratch_.path()), r.exitCode), "");
        for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
    }
}

TEST_F(CliTest, DirectoryWithTrailingSlashIsVerifiedInPlaceAndKept) {
    const std::string noSignature = "<signatures><signature/></signatures>";
    const std::string dir = directoryPackage("ext", &noSignature);
    const CliResult r = run({"-verify", "ext/"});
    EXPECT_EQ(r.exitCode, 33);
    EXPECT_EQ(r.err, kMsg33);
    EXPECT_EQ(kvtest::readFile(dir + "/META-INF/signatures.xml"), noSignature);
    EXPECT_EQ(kvtest::readFile(dir + "/mimetype"), "application/vnd.kvb");

    const std::string good = signedPackage("good");
    const CliResult ok = run({"-verify", good + "/"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_EQ(ok.out, kMsg0);
    EXPECT_TRUE(kvtest::readFile(good + "/META-INF/signatures.xml").size() > 0);
}

TEST_F(CliTest, CertificatePathsAfterAddCerts) {
    const std::string pkg = signedPackage("pkg");
    const std::string intermediate = der("intermediate.der", pki().intermediate.cert.get());
    const std::string root = der("root.der", pki().root.cert.get());
    const std::string unrelated = der("unrelated.der", pki().unrelatedRoot.cert.get());

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"addCerts last adds nothing", {"-verify", pkg, "-skipOnlineRevocationChecks", "-addCerts"}, 0, kMsg0, ""},
        {"two paths", {"-verify", pkg, "-addCerts", intermediate, root}, 0, kMsg0, ""},
        // The chain needs only one of the user certificates: a run passes only if a path
        // after the unrelated one was read.
        {"second path is read", {"-verify", pkg, "-addCerts", unrelated, intermediate}, 0, kMsg0, ""},
        {"second addCerts is read", {"-verify", pkg, "-addCerts", unrelated, "-ADDCERTS", intermediate}, 0, kMsg0, ""},
        {"none in the chain", {"-verify", pkg, "-addCerts", unrelated}, 51, kMsg51, ""},
        {"path list ends at an option", {"-verify", pkg, "-addCerts", unrelated, "-skipOnlineRevocationChecks"}, 51,
         kMsg51, ""},
        {"missing certificate file", {"-verify", pkg, "-addCerts", intermediate, "missing.der"}, 26, "", kMsg26},
        {"empty path", {"-verify", pkg, "-addCerts", ""}, 26, "", kMsg26},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = run(c.args);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

std::string day(const ASN1_TIME* t) {
    struct tm tm = {};
    EXPECT_EQ(ASN1_TIME_to_tm(t, &tm), 1);
    char buffer[20];
    strftime(buffer, sizeof buffer, "%Y-%m-%d", &tm);
    return buffer;
}

TEST_F(CliTest, CertificateReportAfterSuccess) {
    const std::string pkg = signedPackage("pkg");
    X509* leaf = pki().leaf.cert.get();
    const std::string report = "*********** Certificate Information ***********\n"
                               "CN: KVB Test Leaf\n"
                               "OU: Unit A Unit B\n"
                               "DN: " + kvtest::subjectOneLine(leaf) + "\n"
                               "OS Trusted: true\n"
                               "Revoked: Unknown - Signer's CRL could not be retrieved or CRL check was skipped. "
                               "Offline?\n"
                               "Timestamp: None\n"
                               "Signing Certificate: Valid (from " + day(X509_get0_notBefore(leaf)) + " until " +
                               day(X509_get0_notAfter(leaf)) + ")\n"
                               "***********************************************\n";

    const CliResult ok = run({"-verify", pkg, "-certInfo", "-skipOnlineRevocationChecks"});
    EXPECT_EQ(ok.exitCode, 0);
    EXPECT_EQ(ok.out, report + kMsg0);
    EXPECT_EQ(ok.err, "");

    const std::string unrelated = der("unrelated.der", pki().unrelatedRoot.cert.get());
    const CliResult chain =
        run({"-verify", pkg, "-addCerts", unrelated, "-certInfo", "-skipOnlineRevocationChecks"});
    EXPECT_EQ(chain.exitCode, 51);
    EXPECT_EQ(chain.out, report + kMsg51);
    EXPECT_EQ(chain.err, "");

    // Without -certInfo only the status line is written.
    const CliResult plain = run({"-verify", pkg});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, kMsg0);
}

// Status 26 arises before any temporary directory is made: with none possible the run still
// ends with 26, while a run that gets further fails with 13.
TEST_F(CliTest, UserCertificatesAreReadBeforeAnyTemporaryDirectory) {
    if (!kPrivateTmp) GTEST_SKIP() << "needs a private /tmp (mount namespaces)";
    // The private /tmp made read-only (the build tree bound back into it stays usable); the
    // package is "/" itself.
    CliResult missing;
    CliResult noDirectory;
    {
        const kvtest::ReadOnlyTmp readOnly;
        ASSERT_TRUE(readOnly.active());
        missing = kvtest::runCli({"-verify", "/", "-addCerts", "/no/such/cert.der"});
        noDirectory = kvtest::runCli({"-verify", "/"});
    }

    EXPECT_EQ(missing.exitCode, 26);
    EXPECT_EQ(missing.err, kMsg26);
    EXPECT_EQ(noDirectory.exitCode, 13);
    EXPECT_EQ(noDirectory.err, kMsg13);
    EXPECT_EQ(noDirectory.out, "");
}

}  // namespace
