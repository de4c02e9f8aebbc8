// A few whole verifications of the built tool under valgrind's memcheck: no invalid access and
// no definitely or indirectly lost block on the main paths (success with the report, a revoked
// signer found through a download, a timestamp with a user certificate, a changed file).
//
// The CRL server listens on port 80 of the first free address from 127.77.9.101 to
// 127.77.9.120; nothing listens on 127.77.8.2.

#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_runner.h"
#include "e2e_world.h"
#include "expected_texts.h"
#include "leftover_check.h"
#include "reader_agreement.h"
#include "test_pki.h"

#if defined(__SANITIZE_ADDRESS__)
#define KVTEST_SANITIZER_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KVTEST_SANITIZER_BUILD 1
#endif
#endif

namespace {

using kvtest::e2e::expectedReport;
using kvtest::e2e::Roots;
using kvtest::e2e::World;

using kvtest::kMsg0;
using kvtest::kMsg50;

// The valgrind executable on the search path, or empty.
std::string findValgrind() {
    const char* path = getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (dir.empty()) continue;
        const std::string candidate = dir + "/valgrind";
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Valgrind's own report lines ("==pid== ...") that name a memory error or a lost block.
std::string memoryErrors(const std::string& err) {
    static const char* const kMarks[] = {"Invalid read", "Invalid write", "Invalid free", "Mismatched free",
                                         "uninitialised", "definitely lost in", "indirectly lost in",
                                         "Source and destination overlap"};
    std::string found;
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 2, "==") != 0) continue;
        for (const char* mark : kMarks)
            if (line.find(mark) != std::string::npos) found += line + "\n";
    }
    return found;
}

// The program's own standard error: valgrind's lines removed.
std::string programErr(const std::string& err) {
    std::string kept;
    std::istringstream lines(err);
    std::string line;
    while (std::getline(lines, line))
        if (line.compare(0, 2, "==") != 0) kept += line + "\n";
    return kept;
}

TEST(EndToEndMemcheck, FullVerificationsAreClean) {
#ifdef KVTEST_SANITIZER_BUILD
    GTEST_SKIP() << "sanitizer build: valgrind cannot run sanitized binaries (the sanitizers check these paths)";
#endif
    const std::string valgrind = findValgrind();
    if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed (apt-get install -y valgrind)";

    World w(kvtest::e2e::addressRange("127.77.9.", 101, 120), "127.77.8.2");
    const time_t now = time(nullptr);

    const std::string good = w.build(w.plain, "pkg/good").dir;

    kvtest::SignedPackage revoked = w.build(w.crlRevoked, "pkg/revoked");
    const std::string revokedZip = w.path("pkg/revoked.kvb");
    revoked.zip(revokedZip);

    kvtest::SignedPackage stamped = w.build(w.plain, "pkg/stamped");
    stamped.addTimestamp(World::timestamp(stamped, now - 24 * 60 * 60));
    const std::string stampedZip = w.path("pkg/stamped.kvb");
    stamped.zip(stampedZip);
    const std::string intermediateDer = w.path("certs/intermediate.der");
    kvtest::writeDer(intermediateDer, kvtest::pki().intermediate.cert.get());

    kvtest::SignedPackage tampered = w.build(w.plain, "pkg/tampered");
    kvtest::writeFile(tampered.dir + "/scripts/main.js", "console.log('changed');\n");
    const std::string tamperedZip = w.path("pkg/tampered.kvb");
    tampered.zip(tamperedZip);

    struct Case {
        const char* name;
        std::vector<std::string> args;
        kvtest::EnvList env;
        bool needsServer;
        int wantExit;
        std::string wantOut;
        std::string wantErr;
    };
    const std::vector<Case> cases = {
        {"good directory package with the report and the revocation lookup",
         {"-verify", good, "-certInfo"}, w.env(Roots::Trusted), false, 0,
         expectedReport(w.plain, "true", "false", kvtest::e2e::kTimestampNone, true) + kMsg0, ""},
        {"revoked signer, list downloaded", {"-verify", revokedZip, "-certInfo"}, w.env(Roots::Trusted), true, 0,
         expectedReport(w.crlRevoked, "true", "true", kvtest::e2e::kTimestampNone, true) + kMsg0, ""},
        {"timestamped package file with a user certificate",
         {"-verify", stampedZip, "-certInfo", "-skipOnlineRevocationChecks", "-addCerts", intermediateDer},
         w.env(Roots::Trusted), false, 0,
         expectedReport(w.plain, "true", kvtest::e2e::kRevokedUnknownText, kvtest::e2e::kTimestampWithin, true) +
             kMsg0,
         ""},
        {"changed file", {"-verify", tamperedZip, "-certInfo"}, w.env(Roots::Trusted), false, 50, "", kMsg50},
    };

    std::vector<std::string> skipped;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsServer && !w.serverUp()) {
            skipped.push_back(c.name);
            continue;
        }
        std::vector<std::string> args = {"--error-exitcode=99", "--leak-check=full",
                                         "--errors-for-leak-kinds=definite,indirect",
                                         "--show-leak-kinds=definite,indirect", "-q", KVBSIGN_CMD_PATH};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto before = kvtest::kvbsignTempEntries();
        const kvtest::CliResult r = kvtest::runProgram(valgrind, args, c.env, 300);
        const auto ended = kvtest::wallClockNow();
        ASSERT_FALSE(r.timedOut) << r.err;
        EXPECT_EQ(r.exitCode, c.wantExit) << r.err;
        EXPECT_EQ(memoryErrors(r.err), "") << r.err;
        EXPECT_EQ(r.out, c.wantOut);
        EXPECT_EQ(programErr(r.err), c.wantErr) << r.err;
        // Outside valgrind: the readers are other programs.
        EXPECT_EQ(kvtest::differencesIfAccepted(kvtest::packageOf(c.args), r.exitCode), "");
        for (const auto& name : kvtest::newTempEntries(before, kvtest::runEndedAt(ended)))
            ADD_FAILURE() << "left in /tmp: " << name;
    }
    if (!skipped.empty()) GTEST_SKIP() << w.serverProblem() << "; not run: " << skipped.front();
}

}  // namespace
