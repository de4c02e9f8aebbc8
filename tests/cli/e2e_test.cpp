// The whole verification as a user meets it: the built tool run over tables of packages,
// options and environments, with the exit code, standard output and standard error checked
// apart, byte for byte. Every run must leave no /tmp/kvbsign* entry behind.
//
// The CRL server listens on port 80 of the first free address from 127.77.9.1 to 127.77.9.60;
// nothing listens on 127.77.8.1.

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "KVBSignCmd.h"
#include "cli_runner.h"
#include "e2e_world.h"
#include "expected_texts.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "verify/test_seams.h"

namespace {

namespace fs = boost::filesystem;
using kvtest::CliResult;
using kvtest::EnvList;
using kvtest::pki;
using kvtest::SignedPackage;
using kvtest::e2e::expectedReport;
using kvtest::e2e::Roots;
using kvtest::e2e::World;

const time_t kDay = 24 * 60 * 60;

using kvtest::kMsg0;
using kvtest::kMsg1;
using kvtest::kMsg3;
using kvtest::kMsg13;
using kvtest::kMsg20;
using kvtest::kMsg24;
using kvtest::kMsg26;
using kvtest::kMsg30;
using kvtest::kMsg31;
using kvtest::kMsg32;
using kvtest::kMsg33;
using kvtest::kMsg42;
using kvtest::kMsg50;
using kvtest::kMsg51;
using kvtest::kMsg52;
using kvtest::kUsage;

const char kSkip[] = "-skipOnlineRevocationChecks";
const char kInfo[] = "-certInfo";
const char kAdd[] = "-addCerts";

// A signer with the given subject, issued by the test intermediate, and the report texts
// written by hand from the subject's one-line form.
kvtest::e2e::Signer namedSigner(const std::vector<std::pair<std::string, std::string>>& subject,
                                const std::string& serialHex, const std::string& cn, const std::string& ou,
                                const std::string& dn) {
    kvtest::CertSpec spec = kvtest::leafSpec("unused", serialHex);
    spec.subject = subject;
    kvtest::e2e::Signer s;
    s.id.key = kvtest::shareKey(pki().leaf.key.get());
    s.id.cert = kvtest::makeCert(spec, s.id.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
    s.cn = cn;
    s.ou = ou;
    s.dn = dn;
    return s;
}

// Every package and file the rows use, made once per suite.
struct Packages {
    explicit Packages(World& w)
        // One O value that spells the test leaf's units and name after its own: the one-line
        // form writes its slashes as "\/", and the report must show them. The certificate has
        // no CN or OU entry, so those lines stay empty.
        : forgedSigner(namedSigner({{"C", "GB"}, {"O", "KVB Test Signers/OU=Unit A/OU=Unit B/CN=KVB Test Leaf"}},
                                   "9B01", "", "",
                                   "/C=GB/O=KVB Test Signers\\/OU=Unit A\\/OU=Unit B\\/CN=KVB Test Leaf")),
          // A value that ends in a backslash right before the next entry.
          backslashSigner(namedSigner({{"C", "GB"}, {"O", "KVB Test Signers\\"}, {"OU", "Unit A"}, {"CN", "KVB Slash"}},
                                      "9B02", "KVB Slash", "Unit A", "/C=GB/O=KVB Test Signers\\/OU=Unit A/CN=KVB Slash")),
          // Values that spell a CN after an O and an OU after a CN.
          spellingSigner(namedSigner({{"C", "GB"}, {"O", "Org/CN=Evil"}, {"OU", "Unit+X"}, {"CN", "Name/OU=Injected"}},
                                     "9B03", "Name\\/OU=Injected", "Unit\\+X",
                                     "/C=GB/O=Org\\/CN=Evil/OU=Unit\\+X/CN=Name\\/OU=Injected")) {
        const time_t now = time(nullptr);
        forged = w.build(forgedSigner, "pkg/forged-name").dir;
        backslash = w.build(backslashSigner, "pkg/backslash-name").dir;
        spelling = w.build(spellingSigner, "pkg/spelling-name").dir;
        good = w.build(w.plain, "pkg/good").dir;
        SignedPackage goodPackage = w.build(w.plain, "pkg/good-for-zip");
        goodZip = w.path("pkg/good.kvb");
        goodPackage.zip(goodZip);

        tampered = w.build(w.plain, "pkg/tampered").dir;
        kvtest::writeFile(tampered + "/scripts/main.js", "console.log('changed');\n");
        crlCleanTampered = w.build(w.crlClean, "pkg/crl-clean-tampered").dir;
        kvtest::writeFile(crlCleanTampered + "/index.html", "<html>changed</html>\n");

        expired = w.build(w.expired, "pkg/expired").dir;
        notYetValid = w.build(w.notYetValid, "pkg/not-yet-valid").dir;
        crlClean = w.build(w.crlClean, "pkg/crl-clean").dir;
        crlRevoked = w.build(w.crlRevoked, "pkg/crl-revoked").dir;
        crlDead = w.build(w.crlDead, "pkg/crl-dead").dir;
        expiredCrlDead = w.build(w.expiredCrlDead, "pkg/expired-crl-dead").dir;
        cacheListed = w.build(w.cacheListed, "pkg/cache-listed").dir;

        // The test leaf is valid from now - 30 days; the expired leaf from now - 60 to now - 2 days.
        tsWithin = timestamped(w, w.plain, "pkg/ts-within", now - kDay, false);
        tsOutside = timestamped(w, w.plain, "pkg/ts-outside", now - 40 * kDay, false);
        tsInvalid = timestamped(w, w.plain, "pkg/ts-invalid", now - kDay, true);
        {
            SignedPackage p = w.build(w.plain, "pkg/ts-unverifiable");
            p.addTimestamp(kvtest::base64("neither a response nor a token"));
            tsUnverifiable = p.dir;
        }
        // The served list revokes crlRevoked as of now - 1 day.
        revokedSignedBefore = timestamped(w, w.crlRevoked, "pkg/revoked-signed-before", now - 3 * kDay, false);
        revokedSignedAfter = timestamped(w, w.crlRevoked, "pkg/revoked-signed-after", now - 2 * 60 * 60, false);
        tsWithinZip = zipped(tsWithin, w.path("pkg/ts-within.kvb"));
        crlRevokedZip = zipped(crlRevoked, w.path("pkg/crl-revoked.kvb"));
        expiredTsWithin = timestamped(w, w.expired, "pkg/expired-ts-within", now - 10 * kDay, false);
        expiredTsOutside = timestamped(w, w.expired, "pkg/expired-ts-outside", now - kDay, false);
        expiredTsInvalid = timestamped(w, w.expired, "pkg/expired-ts-invalid", now - 10 * kDay, true);
        // The offline expired signer is valid from now - 60 to now - 2 days.
        expiredCrlDeadTsWithin =
            timestamped(w, w.expiredCrlDead, "pkg/expired-crl-dead-ts-within", now - 10 * kDay, false);
        expiredCrlDeadTsInvalid =
            timestamped(w, w.expiredCrlDead, "pkg/expired-crl-dead-ts-invalid", now - 10 * kDay, true);

        junk = w.path("pkg/junk.kvb");
        kvtest::writeFile(junk, "this is not a zip archive\n");

        SignedPackage unsignedPackage = w.build(w.plain, "pkg/unsigned");
        fs::remove_all(unsignedPackage.dir + "/META-INF");
        unsignedZip = w.path("pkg/unsigned.kvb");
        unsignedPackage.zip(unsignedZip);

        variant = w.builder(w.plain).variant().build(w.path("pkg/variant")).dir;

        documentIsDirectory = w.build(w.plain, "pkg/doc-directory").dir;
        fs::remove(documentIsDirectory + "/META-INF/signatures.xml");
        fs::create_directory(documentIsDirectory + "/META-INF/signatures.xml");
        documentIsFifo = w.build(w.plain, "pkg/doc-fifo").dir;
        fs::remove(documentIsFifo + "/META-INF/signatures.xml");
        if (mkfifo((documentIsFifo + "/META-INF/signatures.xml").c_str(), 0600) != 0)
            throw std::runtime_error("mkfifo failed");

        SignedPackage bomPackage = w.build(w.plain, "pkg/doc-bom");
        bomPackage.writeXml("\xEF\xBB\xBF" + bomPackage.xml);
        withBom = bomPackage.dir;
        SignedPackage declPackage = w.build(w.plain, "pkg/doc-declaration");
        declPackage.writeXml("<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + declPackage.xml);
        withDeclaration = declPackage.dir;
        SignedPackage emptyPackage = w.build(w.plain, "pkg/doc-no-signature");
        emptyPackage.writeXml("<signatures><SignedInfo></SignedInfo></signatures>");
        noSignatureElement = emptyPackage.dir;

        intermediateDer = w.path("certs/intermediate.der");
        kvtest::writeDer(intermediateDer, pki().intermediate.cert.get());
        unrelatedDer = w.path("certs/unrelated.der");
        kvtest::writeDer(unrelatedDer, pki().unrelatedRoot.cert.get());
        intermediatePem = w.path("certs/intermediate.pem");
        kvtest::writePemBundle(intermediatePem, {pki().intermediate.cert.get()});
        missingDer = w.path("certs/missing.der");
        missingPackage = w.path("pkg/missing.kvb");
    }

    static std::string timestamped(World& w, const kvtest::e2e::Signer& signer, const std::string& name,
                                   time_t genTime, bool oneByteOff) {
        SignedPackage p = w.build(signer, name);
        p.addTimestamp(World::timestamp(p, genTime, oneByteOff));
        return p.dir;
    }

    static std::string zipped(const std::string& dir, const std::string& zipPath) {
        SignedPackage p;
        p.dir = dir;
        p.zip(zipPath);
        return zipPath;
    }

    kvtest::e2e::Signer forgedSigner, backslashSigner, spellingSigner;
    std::string forged, backslash, spelling;
    std::string good, goodZip, variant, tampered, crlCleanTampered, expired, notYetValid;
    std::string crlClean, crlRevoked, crlRevokedZip, crlDead, expiredCrlDead, cacheListed;
    std::string tsWithin, tsWithinZip, tsOutside, tsInvalid, tsUnverifiable;
    std::string revokedSignedBefore, revokedSignedAfter, expiredTsWithin, expiredTsOutside, expiredTsInvalid;
    std::string expiredCrlDeadTsWithin, expiredCrlDeadTsInvalid;
    std::string junk, unsignedZip, documentIsDirectory, documentIsFifo, withBom, withDeclaration, noSignatureElement;
    std::string intermediateDer, unrelatedDer, intermediatePem, missingDer, missingPackage;
};

struct Row {
    std::string name;
    std::vector<std::string> args;  // after the program name
    EnvList env;
    int wantExit;
    std::string wantOut;
    std::string wantErr;
    bool needsServer = false;
    int wantRequests = -1;  // requests the CRL server must count during the run; -1: not checked
    std::string cwd = "";   // working directory of the run; empty: the test's own
};

std::vector<std::string> verifyArgs(const std::string& package, std::vector<std::string> options = {}) {
    std::vector<std::string> args = {"-verify", package};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

std::string join(const std::set<std::string>& names) {
    std::string text;
    for (const auto& n : names) text += (text.empty() ? "" : ", ") + n;
    return text;
}

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        world_ = new World(kvtest::e2e::addressRange("127.77.9.", 1, 60), "127.77.8.1");
        packages_ = new Packages(*world_);
    }
    static void TearDownTestSuite() {
        delete packages_;
        packages_ = nullptr;
        delete world_;
        world_ = nullptr;
    }

    static World& w() { return *world_; }
    static const Packages& p() { return *packages_; }

    // Runs every row; rows that need the CRL server are left out (and the test reported as
    // skipped) when it could not bind.
    static void runRows(const std::vector<Row>& rows) {
        std::vector<std::string> skipped;
        for (const Row& row : rows) {
            SCOPED_TRACE(row.name);
            if (row.needsServer && !w().serverUp()) {
                skipped.push_back(row.name);
                continue;
            }
            const auto before = kvtest::kvbsignTempEntries();
            const int requestsBefore = w().server().totalRequests();
            const CliResult r = kvtest::runCli(row.args, row.env, 90, row.cwd);
            const auto ended = kvtest::wallClockNow();
            ASSERT_FALSE(r.timedOut) << r.out << r.err;
            EXPECT_EQ(r.exitCode, row.wantExit) << r.out << r.err;
            EXPECT_EQ(r.out, row.wantOut);
            EXPECT_EQ(r.err, row.wantErr);
            if (row.wantRequests >= 0) {
                EXPECT_EQ(w().server().totalRequests() - requestsBefore, row.wantRequests);
            }
            EXPECT_EQ(kvtest::differencesIfAccepted(kvtest::packageOf(row.args, row.cwd, row.env), r.exitCode), "");
            const auto added = kvtest::newTempEntries(before, kvtest::runEndedAt(ended));
            EXPECT_TRUE(added.empty()) << "left in /tmp: " << join(added);
        }
        if (!skipped.empty()) {
            std::string names;
            for (const auto& s : skipped) names += "\n  " + s;
            GTEST_SKIP() << w().serverProblem() << "; rows not run:" << names;
        }
    }

    static World* world_;
    static Packages* packages_;
};

World* EndToEnd::world_ = nullptr;
Packages* EndToEnd::packages_ = nullptr;

const std::string kUnknown = kvtest::e2e::kRevokedUnknownText;

// One row per status the tool can end with from the command line.
TEST_F(EndToEnd, EveryStatusFromTheCommandLine) {
    const EnvList trusted = w().env(Roots::Trusted);
    EnvList withHome = trusted;
    withHome.emplace_back("HOME", w().path(""));
    const std::vector<Row> rows = {
        {"0: directory package with the report", verifyArgs(p().good, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kvtest::e2e::kTimestampNone, true) + kMsg0, ""},
        {"0: package file", verifyArgs(p().goodZip), trusted, 0, kMsg0, ""},
        {"0: signature variant", verifyArgs(p().variant), trusted, 0, kMsg0, ""},
        {"0: package file and user certificate given relative to the working directory",
         verifyArgs("pkg/good.kvb", {kAdd, "certs/intermediate.der", kSkip}), trusted, 0, kMsg0, "", false, -1,
         w().path("")},
        {"0: package directory and user certificate given under ~",
         verifyArgs("~/pkg/good", {kAdd, "~/certs/intermediate.der", kSkip}), withHome, 0, kMsg0, ""},
        {"0: user certificate inside the signer's chain", verifyArgs(p().goodZip, {kAdd, p().intermediateDer, kSkip}),
         trusted, 0, kMsg0, ""},
        {"3: package path does not exist", verifyArgs(p().missingPackage, {kInfo}), trusted, 3, "", kMsg3},
        {"3: no package argument", {"-verify"}, trusted, 3, "", kUsage},
        {"20: package file is no zip archive", verifyArgs(p().junk, {kInfo}), trusted, 20, "", kMsg20},
        {"24: signer expired, no timestamp", verifyArgs(p().expired, {kInfo, kSkip}), trusted, 24, "", kMsg24},
        {"24: signer not yet valid", verifyArgs(p().notYetValid, {kSkip}), trusted, 24, "", kMsg24},
        {"26: user certificate file missing", verifyArgs(p().good, {kAdd, p().missingDer}), trusted, 26, "", kMsg26},
        {"26: user certificate in PEM", verifyArgs(p().good, {kInfo, kAdd, p().intermediatePem}), trusted, 26, "",
         kMsg26},
        {"26: user certificate path names a directory", verifyArgs(p().goodZip, {kAdd, w().path("certs"), kSkip}),
         trusted, 26, "", kMsg26},
        {"26: empty user certificate argument, after a good one",
         verifyArgs(p().goodZip, {kAdd, p().intermediateDer, "", kSkip}), trusted, 26, "", kMsg26},
        {"30: package file without a signature document", verifyArgs(p().unsignedZip), trusted, 30, "", kMsg30},
        {"31: signature document is a directory", verifyArgs(p().documentIsDirectory), trusted, 31, "", kMsg31},
        {"31: signature document is a FIFO", verifyArgs(p().documentIsFifo, {kInfo}), trusted, 31, "", kMsg31},
        {"32: byte-order mark before the root tag", verifyArgs(p().withBom), trusted, 32, "", kMsg32},
        {"32: XML declaration before the root tag", verifyArgs(p().withDeclaration), trusted, 32, "", kMsg32},
        {"33: no Signature element", verifyArgs(p().noSignatureElement), trusted, 33, "", kMsg33},
        {"50: a file changed", verifyArgs(p().tampered, {kInfo, kSkip}), trusted, 50, "", kMsg50},
        {"51: user certificate unrelated to the signer",
         verifyArgs(p().good, {kInfo, kSkip, kAdd, p().unrelatedDer}), trusted, 51,
         expectedReport(w().plain, "true", kUnknown, kvtest::e2e::kTimestampNone, true) + kMsg51, ""},
        {"52: signer's CRL server unreachable", verifyArgs(p().crlDead, {kInfo}), trusted, 52,
         expectedReport(w().crlDead, "true", kUnknown, kvtest::e2e::kTimestampNone, true) + kMsg52, ""},
    };
    runRows(rows);
}

// One row per value of each verdict line of the report. The verdicts never change the status.
TEST_F(EndToEnd, EveryReportLineValue) {
    using namespace kvtest::e2e;
    const EnvList trusted = w().env(Roots::Trusted);
    // POSIX zone names: "UTC-14" lies 14 hours east of UTC.
    auto inZone = [&trusted](const std::string& tz) {
        EnvList env = trusted;
        env.emplace_back("TZ", tz);
        return env;
    };
    const std::vector<Row> rows = {
        {"OS Trusted: false (bundle without the root)", verifyArgs(p().good, {kInfo, kSkip}),
         w().env(Roots::Untrusted), 0, expectedReport(w().plain, "false", kUnknown, kTimestampNone, true) + kMsg0,
         ""},
        {"OS Trusted: unknown (bundle missing)", verifyArgs(p().good, {kInfo, kSkip}), w().env(Roots::Missing), 0,
         expectedReport(w().plain, "unknown", kUnknown, kTimestampNone, true) + kMsg0, ""},
        {"Revoked: false (no CRL point)", verifyArgs(p().good, {kInfo}), trusted, 0,
         expectedReport(w().plain, "true", "false", kTimestampNone, true) + kMsg0, "", false, 0},
        {"Revoked: false (downloaded list does not name the signer)", verifyArgs(p().crlClean, {kInfo}), trusted, 0,
         expectedReport(w().crlClean, "true", "false", kTimestampNone, true) + kMsg0, "", true, 1},
        {"Revoked: true (downloaded list names the signer)", verifyArgs(p().crlRevoked, {kInfo}), trusted, 0,
         expectedReport(w().crlRevoked, "true", "true", kTimestampNone, true) + kMsg0, "", true, 1},
        {"Revoked: true (CRL cache lists the signer)", verifyArgs(p().cacheListed, {kInfo}),
         w().env(Roots::Trusted, w().revokedCache), 0,
         expectedReport(w().cacheListed, "true", "true", kTimestampNone, true) + kMsg0, "", false, 0},
        {"Revoked: true (package file)", verifyArgs(p().crlRevokedZip, {kInfo}), trusted, 0,
         expectedReport(w().crlRevoked, "true", "true", kTimestampNone, true) + kMsg0, "", true, 1},
        {"Revoked: true (timestamp after the revocation)", verifyArgs(p().revokedSignedAfter, {kInfo}), trusted, 0,
         expectedReport(w().crlRevoked, "true", "true", kTimestampWithin, true) + kMsg0, "", true, 1},
        {"Revoked: false (timestamp before the revocation)", verifyArgs(p().revokedSignedBefore, {kInfo}), trusted, 0,
         expectedReport(w().crlRevoked, "true", "false", kTimestampWithin, true) + kMsg0, "", true, 1},
        {"Revoked: unknown (online checks skipped)", verifyArgs(p().crlRevoked, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().crlRevoked, "true", kUnknown, kTimestampNone, true) + kMsg0, "", false, 0},
        {"Timestamp: valid and within", verifyArgs(p().tsWithin, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kTimestampWithin, true) + kMsg0, ""},
        {"Timestamp: valid and within (package file)", verifyArgs(p().tsWithinZip, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kTimestampWithin, true) + kMsg0, ""},
        {"Timestamp: unverifiable without a root store", verifyArgs(p().tsWithin, {kInfo, kSkip}),
         w().env(Roots::Missing), 0,
         expectedReport(w().plain, "unknown", kUnknown, kTimestampUnverifiable, true) + kMsg0, ""},
        {"Timestamp: valid but outside", verifyArgs(p().tsOutside, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kTimestampOutside, true) + kMsg0, ""},
        {"Timestamp: unverifiable", verifyArgs(p().tsUnverifiable, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kTimestampUnverifiable, true) + kMsg0, ""},
        {"Timestamp: invalid", verifyArgs(p().tsInvalid, {kInfo, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kTimestampInvalid, true) + kMsg0, ""},
        {"dates in a zone 14 hours east of UTC", verifyArgs(p().good, {kInfo, kSkip}), inZone("UTC-14"), 0,
         expectedReport(w().plain, "true", kUnknown, kTimestampNone, true, 14) + kMsg0, ""},
        {"dates in a zone 11 hours west of UTC", verifyArgs(p().expiredTsWithin, {kInfo, kSkip}), inZone("UTC+11"), 0,
         expectedReport(w().expired, "true", kUnknown, kTimestampWithin, false, -11) + kMsg0, ""},
        {"Signing Certificate: expired signer vouched for by its timestamp", verifyArgs(p().expiredTsWithin, {kInfo, kSkip}),
         trusted, 0, expectedReport(w().expired, "true", kUnknown, kTimestampWithin, false) + kMsg0, ""},
    };
    runRows(rows);
}

// The names in the report are the subject's one-line form as written: a slash or plus inside a
// value keeps its backslash, and the CN and OU lines take each entry's value whole, so a value
// that spells other entries cannot pass for them.
TEST_F(EndToEnd, ReportNamesAsTheOneLineFormWritesThem) {
    using namespace kvtest::e2e;
    const EnvList trusted = w().env(Roots::Trusted);
    const std::vector<Row> rows = {
        {"an O value that spells the genuine signer's units and name", verifyArgs(p().forged, {kInfo, kSkip}),
         trusted, 0, expectedReport(p().forgedSigner, "true", kUnknown, kTimestampNone, true) + kMsg0, ""},
        {"a value ending in a backslash before the next entry", verifyArgs(p().backslash, {kInfo, kSkip}), trusted, 0,
         expectedReport(p().backslashSigner, "true", kUnknown, kTimestampNone, true) + kMsg0, ""},
        {"values that spell a CN and an OU add no entry", verifyArgs(p().spelling, {kInfo, kSkip}), trusted, 0,
         expectedReport(p().spellingSigner, "true", kUnknown, kTimestampNone, true) + kMsg0, ""},
    };
    runRows(rows);

    // Line by line against the genuine signer's report: none of the three names passes.
    const CliResult genuine = kvtest::runCli(verifyArgs(p().good, {kInfo, kSkip}), trusted, 90);
    const CliResult forged = kvtest::runCli(verifyArgs(p().forged, {kInfo, kSkip}), trusted, 90);
    auto lines = [](const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    };
    const std::vector<std::string> g = lines(genuine.out);
    const std::vector<std::string> f = lines(forged.out);
    ASSERT_EQ(g.size(), 10u) << genuine.out << genuine.err;
    ASSERT_EQ(f.size(), 10u) << forged.out << forged.err;
    EXPECT_EQ(g[1], "CN: KVB Test Leaf");
    EXPECT_EQ(f[1], "CN: ");
    EXPECT_EQ(f[2], "OU: ");
    EXPECT_NE(f[3], g[3]);  // DN
    EXPECT_EQ(f[3], "DN: /C=GB/O=KVB Test Signers\\/OU=Unit A\\/OU=Unit B\\/CN=KVB Test Leaf");
}

// Which outcome wins when more than one applies, and which checks run regardless of the options.
TEST_F(EndToEnd, StatusPrecedence) {
    using namespace kvtest::e2e;
    const EnvList trusted = w().env(Roots::Trusted);
    const std::vector<Row> rows = {
        // A CRL that cannot be fetched (a machine without network) must not turn a rejection
        // into a verified result: 52 only when no other check failed.
        {"24 wins over 52: expired signer, CRL server unreachable", verifyArgs(p().expiredCrlDead, {kInfo}), trusted,
         24, "", kMsg24},
        {"24 wins over 52 without the report", verifyArgs(p().expiredCrlDead), trusted, 24, "", kMsg24},
        {"24 wins over 52: an invalid timestamp does not vouch for the expired signer",
         verifyArgs(p().expiredCrlDeadTsInvalid, {kInfo}), trusted, 24, "", kMsg24},
        {"52 once the timestamp vouches for the expired signer", verifyArgs(p().expiredCrlDeadTsWithin, {kInfo}),
         trusted, 52, expectedReport(w().expiredCrlDead, "true", kUnknown, kTimestampWithin, false) + kMsg52, ""},
        {"52 arises without the report: the revocation lookup still runs", verifyArgs(p().crlDead), trusted, 52,
         kMsg52, ""},
        {"the revocation lookup runs without the report", verifyArgs(p().crlRevoked), trusted, 0, kMsg0, "", true, 1},
        {"0, not 52: online checks skipped for a signer whose CRL server is unreachable",
         verifyArgs(p().crlDead, {kSkip}), trusted, 0, kMsg0, ""},
        {"24, not 51: expired signer and an unrelated user certificate",
         verifyArgs(p().expired, {kAdd, p().unrelatedDer, kSkip}), trusted, 24, "", kMsg24},
        {"52, not 51: CRL server unreachable and an unrelated user certificate",
         verifyArgs(p().crlDead, {kAdd, p().unrelatedDer}), trusted, 52, kMsg52, ""},
        {"51 once the timestamp vouches for an expired signer",
         verifyArgs(p().expiredTsWithin, {kAdd, p().unrelatedDer, kSkip}), trusted, 51, kMsg51, ""},
        {"26 before extraction: unreadable user certificate with a package that is no zip",
         verifyArgs(p().junk, {kAdd, p().missingDer}), trusted, 26, "", kMsg26},
        {"3 before 26: missing package and missing user certificate",
         verifyArgs(p().missingPackage, {kAdd, p().missingDer}), trusted, 3, "", kMsg3},
        {"50 and no download: a changed file in a package whose signer names a CRL",
         verifyArgs(p().crlCleanTampered, {kInfo}), trusted, 50, "", kMsg50, true, 0},
        {"24: an invalid timestamp does not vouch for an expired signer", verifyArgs(p().expiredTsInvalid, {kInfo, kSkip}),
         trusted, 24, "", kMsg24},
        {"24: a timestamp outside the validity does not vouch for an expired signer",
         verifyArgs(p().expiredTsOutside, {kInfo, kSkip}), trusted, 24, "", kMsg24},
        {"0: an untrusted and revoked signer still verifies", verifyArgs(p().cacheListed, {kInfo}),
         w().env(Roots::Untrusted, w().revokedCache), 0,
         expectedReport(w().cacheListed, "false", "true", kTimestampNone, true) + kMsg0, "", false, 0},
    };
    runRows(rows);
}

// ---- faults that only an internal error can cause: through the tool's front end in-process ----

const char* gFaultAt = nullptr;

void injectFault(const char* where) {
    if (gFaultAt != nullptr && std::strcmp(where, gFaultAt) == 0) throw std::runtime_error("injected fault");
}

TEST_F(EndToEnd, InternalFaultsGiveTheirStatuses) {
    struct Case {
        const char* name;
        const char* faultAt;  // null: no fault
        std::string package;
        std::vector<std::string> options;
        int wantExit;
        std::string wantOut;
        std::string wantErr;
    };
    const std::vector<Case> cases = {
        {"no fault", nullptr, p().goodZip, {kInfo, kSkip}, 0,
         expectedReport(w().plain, "true", kUnknown, kvtest::e2e::kTimestampNone, true) + kMsg0, ""},
        {"1: cryptography set-up fails (package file)", "crypto-setup", p().goodZip, {kInfo, kSkip}, 1, "", kMsg1},
        {"1: cryptography set-up fails (directory)", "crypto-setup", p().good, {}, 1, "", kMsg1},
        {"42: error while the checks run (package file)", "verify", p().goodZip, {kInfo, kSkip}, 42, "", kMsg42},
        {"42: error while the checks run (directory, user certificate)", "verify", p().good,
         {kAdd, p().intermediateDer}, 42, "", kMsg42},
    };
    kvtest::ScopedEnv tz("TZ", "UTC");
    kvtest::ScopedEnv roots("SSL_CERT_FILE", w().trustedBundle);
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", w().noCache);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"KVBSignCmd", "-verify", c.package};
        args.insert(args.end(), c.options.begin(), c.options.end());
        std::vector<const char*> argv;
        for (const auto& a : args) argv.push_back(a.c_str());

        const auto before = kvtest::kvbsignTempEntries();
        std::ostringstream out, err;
        gFaultAt = c.faultAt;
        kvbsignFaultHookForTesting = injectFault;
        const int exitCode = runCommandLine(static_cast<int>(argv.size()), argv.data(), out, err);
        const auto ended = kvtest::wallClockNow();
        kvbsignFaultHookForTesting = nullptr;
        gFaultAt = nullptr;

        EXPECT_EQ(exitCode, c.wantExit);
        EXPECT_EQ(out.str(), c.wantOut);
        EXPECT_EQ(err.str(), c.wantErr);
        EXPECT_EQ(kvtest::differencesIfAccepted(c.package, exitCode), "");
        const auto added = kvtest::newTempEntries(before, kvtest::runEndedAt(ended));
        EXPECT_TRUE(added.empty()) << "left in /tmp: " << join(added);
    }
}

// ---- an unusable /tmp: the tool runs in a private mount namespace with a read-only /tmp ----

// A read-only bind of /tmp over itself: nothing can be made in it, while what lies below it
// (a build tree in a checkout under /tmp, bound back into the test's private /tmp) stays.
const char kReadOnlyTmp[] = "mount --rbind /tmp /tmp && mount -o remount,bind,ro /tmp && exec \"$0\" \"$@\"";

std::string executableDirectory() {
    char buffer[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n <= 0) throw std::runtime_error("cannot read /proc/self/exe");
    buffer[n] = '\0';
    return fs::path(buffer).parent_path().string();
}

// A scratch directory outside the test's /tmp file system, next to the test binary.
class OutsideTmpDir {
public:
    OutsideTmpDir() {
        std::string pattern = executableDirectory() + "/e2e-outside-tmp-XXXXXX";
        if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~OutsideTmpDir() {
        boost::system::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    OutsideTmpDir(const OutsideTmpDir&) = delete;
    OutsideTmpDir& operator=(const OutsideTmpDir&) = delete;
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

TEST_F(EndToEnd, UnusableTmpGives13) {
    const std::string unshare = "/usr/bin/unshare";
    if (access(unshare.c_str(), X_OK) != 0) GTEST_SKIP() << "unshare is not installed";
    const CliResult probe =
        kvtest::runProgram(unshare, {"-m", "sh", "-c", kReadOnlyTmp, "echo", "mounted"}, {}, 30);
    if (probe.exitCode != 0 || probe.out != "mounted\n")
        GTEST_SKIP() << "cannot mount a private read-only /tmp (needs root or CAP_SYS_ADMIN): " << probe.err;

    OutsideTmpDir outside;
    const std::string dir = outside.file("good");
    const SignedPackage package = w().builder(w().plain).build(dir);
    const std::string zip = outside.file("good.kvb");
    package.zip(zip);
    const std::string bundle = outside.file("roots.pem");
    kvtest::writePemBundle(bundle, {pki().root.cert.get()});
    const EnvList env = {{"TZ", "UTC"}, {"SSL_CERT_FILE", bundle}, {"KVBSIGN_CRL_CACHE", outside.file("no-cache.db")}};

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int wantExit;
        std::string wantErr;
    };
    const std::vector<Case> cases = {
        {"directory package", verifyArgs(dir, {kSkip}), 13, kMsg13},
        {"package file, with the report", verifyArgs(zip, {kInfo, kSkip}), 13, kMsg13},
        {"26 comes before any temporary directory", verifyArgs(zip, {kAdd, outside.file("missing.der")}), 26, kMsg26},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"-m", "sh", "-c", kReadOnlyTmp, KVBSIGN_CMD_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto before = kvtest::kvbsignTempEntries();
        const CliResult r = kvtest::runProgram(unshare, args, env, 60);
        const auto ended = kvtest::wallClockNow();
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, c.wantExit) << r.out << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.wantErr);
        const auto added = kvtest::newTempEntries(before, kvtest::runEndedAt(ended));
        EXPECT_TRUE(added.empty()) << "left in /tmp: " << join(added);
    }
}

// Packages and certificates usually live in a home directory while /tmp is a file system of its
// own (a tmpfs; the test programs run with a private one where they may): the copies into the
// temporary directories cross file systems.
TEST_F(EndToEnd, PackagesOutsideTheTmpFileSystem) {
    OutsideTmpDir outside;
    const std::string dir = outside.file("good");
    const SignedPackage package = w().builder(w().plain).build(dir);
    const std::string zip = outside.file("good.kvb");
    package.zip(zip);
    const std::string der = outside.file("intermediate.der");
    kvtest::writeDer(der, pki().intermediate.cert.get());
    const EnvList trusted = w().env(Roots::Trusted);
    const std::vector<Row> rows = {
        {"package file", verifyArgs(zip, {kSkip}), trusted, 0, kMsg0, ""},
        {"package directory, user certificate", verifyArgs(dir, {kAdd, der, kSkip}), trusted, 0, kMsg0, ""},
        {"package file, user certificate, report", verifyArgs(zip, {kInfo, kAdd, der, kSkip}), trusted, 0,
         expectedReport(w().plain, "true", kUnknown, kvtest::e2e::kTimestampNone, true) + kMsg0, ""},
    };
    runRows(rows);
}

}  // namespace
