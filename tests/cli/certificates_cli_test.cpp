// The tool's certificate verdicts: trust against the root store, the user's certificate files
// and the signer's validity, as the report and the exit code show them.

#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "cli_runner.h"
#include "expected_texts.h"
#include "package_builder.h"
#include "private_tmp.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "tsa.h"

namespace {

// Before any thread or scratch directory exists.
const bool kPrivateTmp = kvtest::usePrivateTmp();

using kvtest::CliResult;
using kvtest::pki;

const time_t kDay = 24 * 60 * 60;
using kvtest::kMsg0;
using kvtest::kMsg24;
using kvtest::kMsg26;
using kvtest::kMsg51;
const char kRevokedSkipped[] =
    "Revoked: Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?\n";

std::string day(const ASN1_TIME* t) {
    struct tm tm = {};
    EXPECT_EQ(ASN1_TIME_to_tm(t, &tm), 1);
    char buffer[20];
    strftime(buffer, sizeof buffer, "%Y-%m-%d", &tm);
    return buffer;
}

std::string validLine(X509* cert) {
    return "Signing Certificate: Valid (from " + day(X509_get0_notBefore(cert)) + " until " +
           day(X509_get0_notAfter(cert)) + ")\n";
}

std::string expiredLine(X509* cert) {
    return "Signing Certificate: Expired/Outwith validity period (" + day(X509_get0_notBefore(cert)) + " to " +
           day(X509_get0_notAfter(cert)) + ")\n";
}

// The report for the shared leaf signer.
std::string leafReport(const std::string& osTrusted) {
    X509* leaf = pki().leaf.cert.get();
    return "*********** Certificate Information ***********\n"
           "CN: KVB Test Leaf\n"
           "OU: Unit A Unit B\n"
           "DN: " + kvtest::subjectOneLine(leaf) + "\n"
           "OS Trusted: " + osTrusted + "\n" + kRevokedSkipped + "Timestamp: None\n" + validLine(leaf) +
           "***********************************************\n";
}

class CertificatesCli : public ::testing::Test {
protected:
    void SetUp() override {
        kvtest::writePemBundle(scratch_.file("roots.pem"), {pki().root.cert.get()});
        roots_ = scratch_.file("roots.pem");
    }

    // A package signed by `signer`, chain signer, intermediate, root; with a timestamp at
    // genTime when genTime is not 0.
    std::string package(const std::string& name, const kvtest::CertAndKey& signer, time_t genTime = 0) {
        kvtest::PackageBuilder b;
        b.signer(signer.key.get())
            .keyInfoCerts({signer.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
            .addFile("content/index.html", "<html></html>");
        kvtest::SignedPackage p = b.build(scratch_.file(name));
        if (genTime != 0)
            p.addTimestamp(kvtest::base64(kvtest::grantedResponse(kvtest::defaultTsa(), p.timestampMessageText, genTime)));
        return p.dir;
    }

    std::string der(const std::string& name, X509* cert) {
        kvtest::writeDer(scratch_.file(name), cert);
        return scratch_.file(name);
    }

    // Runs the tool with the given root store in a fixed zone; checks that nothing is left in /tmp.
    CliResult run(const std::vector<std::string>& args, const std::string& store) {
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const CliResult r = kvtest::runCli(args, {{"SSL_CERT_FILE", store}, {"TZ", "UTC0"}}, 120, scratch_.path());
        EXPECT_FALSE(r.timedOut);
        if (kPrivateTmp) {
            EXPECT_EQ(kvtest::kvbsignTempEntries(), before);
        }
        EXPECT_EQ(kvtest::differencesIfAccepted(kvtest::packageOf(args, scratch_.path()), r.exitCode), "");
        return r;
    }

    kvtest::ScratchDir scratch_;
    std::string roots_;
};

TEST_F(CertificatesCli, TrustLineFollowsTheRootStore) {
    const std::string pkg = package("pkg", pki().leaf);
    kvtest::writePemBundle(scratch_.file("intermediate.pem"), {pki().intermediate.cert.get()});
    kvtest::writePemBundle(scratch_.file("unrelated.pem"), {pki().unrelatedRoot.cert.get()});
    kvtest::writeFile(scratch_.file("empty.pem"), "");
    kvtest::writeFile(scratch_.file("mixed.pem"), "junk\n" + kvtest::toPem(pki().unrelatedRoot.cert.get()) +
                                                      "-----BEGIN CERTIFICATE-----\n@@\n-----END CERTIFICATE-----\n" +
                                                      kvtest::toPem(pki().root.cert.get()));
    struct Case {
        const char* name;
        std::string store;
        const char* osTrusted;
    };
    const Case cases[] = {
        {"root in the store", roots_, "true"},
        {"intermediate in the store", scratch_.file("intermediate.pem"), "true"},
        {"root among garbage", scratch_.file("mixed.pem"), "true"},
        {"only an unrelated root", scratch_.file("unrelated.pem"), "false"},
        {"empty store", scratch_.file("empty.pem"), "false"},
        {"store missing", scratch_.file("missing.pem"), "unknown"},
        {"store variable set but empty", "", "unknown"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = run({"-verify", pkg, "-certInfo", "-skipOnlineRevocationChecks"}, c.store);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, leafReport(c.osTrusted) + kMsg0);
        EXPECT_EQ(r.err, "");
    }
}

// The platform's own chain check does not exist here: a program of its name first on the
// search path never runs, in a package file or a directory, and trust is still decided.
TEST_F(CertificatesCli, NoProgramRunsForThePlatformCheck) {
    const std::string pkg = package("pkg", pki().leaf);
    kvtest::SignedPackage zipped;
    zipped.dir = pkg;
    zipped.zip(scratch_.file("pkg.kvb"));
    const std::string ran = scratch_.file("ran");
    kvtest::writeFile(scratch_.file("bin/security"), "#!/bin/sh\necho \"security $*\" >> '" + ran + "'\n");
    ASSERT_EQ(chmod(scratch_.file("bin/security").c_str(), 0755), 0);
    const char* path = getenv("PATH");
    const std::string searchPath = scratch_.file("bin") + ":" + (path ? path : "/usr/bin:/bin");

    for (const std::string& target : {pkg, scratch_.file("pkg.kvb")}) {
        SCOPED_TRACE(target);
        const CliResult r = kvtest::runCli({"-verify", target, "-certInfo", "-skipOnlineRevocationChecks"},
                                           {{"SSL_CERT_FILE", roots_}, {"TZ", "UTC0"}, {"PATH", searchPath}}, 120,
                                           scratch_.path());
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, leafReport("true") + kMsg0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(kvtest::differencesIfAccepted(target, r.exitCode), "");
    }
    EXPECT_FALSE(boost::filesystem::exists(ran)) << kvtest::readFile(ran);
}

TEST_F(CertificatesCli, UserCertificateFiles) {
    const std::string pkg = package("pkg", pki().leaf);
    kvtest::writePemBundle(scratch_.file("intermediate.pem"), {pki().intermediate.cert.get()});
    kvtest::writeFile(scratch_.file("garbage.der"), "not a certificate");
    kvtest::CertSpec fakeSpec = kvtest::caSpec("KVB Test Root", "01");
    fakeSpec.subject = {{"CN", "KVB Test Root"}};
    const kvtest::X509Ptr fakeRoot = kvtest::makeCert(fakeSpec, pki().unrelatedRoot.key.get(), nullptr, nullptr);
    struct Case {
        const char* name;
        std::string path;
        int exitCode;
        const char* out;
        const char* err;
    };
    const Case cases[] = {
        {"intermediate DER", der("intermediate.der", pki().intermediate.cert.get()), 0, kMsg0, ""},
        {"root DER under another name", der("root.crt", pki().root.cert.get()), 0, kMsg0, ""},
        {"signer itself", der("leaf.der", pki().leaf.cert.get()), 0, kMsg0, ""},
        {"unrelated certificate", der("unrelated.der", pki().unrelatedRoot.cert.get()), 51, kMsg51, ""},
        {"root's subject with another key", der("fake-root.der", fakeRoot.get()), 51, kMsg51, ""},
        {"PEM file", scratch_.file("intermediate.pem"), 26, "", kMsg26},
        {"not a certificate", scratch_.file("garbage.der"), 26, "", kMsg26},
        {"missing file", scratch_.file("missing.der"), 26, "", kMsg26},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CliResult r = run({"-verify", pkg, "-skipOnlineRevocationChecks", "-addCerts", c.path}, roots_);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(CertificatesCli, SignerValidityDecidesWithoutTimestamp) {
    const time_t now = time(nullptr);
    auto verify = [this](const std::string& dir) {
        return run({"-verify", dir, "-certInfo", "-skipOnlineRevocationChecks"}, roots_);
    };

    const CliResult valid = verify(package("valid", pki().leaf));
    EXPECT_EQ(valid.exitCode, 0);
    EXPECT_NE(valid.out.find(validLine(pki().leaf.cert.get())), std::string::npos) << valid.out;

    for (const kvtest::CertAndKey* signer : {&pki().expiredLeaf, &pki().notYetValidLeaf}) {
        const CliResult r = verify(package(signer == &pki().expiredLeaf ? "expired" : "future", *signer));
        EXPECT_EQ(r.exitCode, 24);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kMsg24);
    }

    // A timestamp from within the validity lets the report through; it shows the present state.
    const CliResult stamped = verify(package("stamped", pki().expiredLeaf, now - 30 * kDay));
    EXPECT_EQ(stamped.exitCode, 0) << stamped.err;
    EXPECT_NE(stamped.out.find(expiredLine(pki().expiredLeaf.cert.get())), std::string::npos) << stamped.out;
    EXPECT_NE(stamped.out.find("CN: KVB Test Expired Leaf\n"), std::string::npos) << stamped.out;
}

}  // namespace
