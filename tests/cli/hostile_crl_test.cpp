// Hostile CRL servers against the built KVBSignCmd: whatever a server on the network path
// answers, the run ends in time and in bounded memory after one request, with the revocation
// status unknown.

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_runner.h"
#include "crl_fixtures.h"
#include "hostile_run.h"
#include "http_server.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "test_pki.h"

namespace {

using kvtest::HttpReply;
using kvtest::LoopbackHttpServer;
using kvtest::newTempEntries;
using kvtest::PackageBuilder;
using kvtest::pki;
using kvtest::hostile::basePackage;
using kvtest::hostile::buildDir;
using kvtest::hostile::Clock;
using kvtest::hostile::HostileTest;
using kvtest::hostile::Observed;
using kvtest::hostile::secondsSince;
using kvtest::hostile::suite;
using kvtest::hostile::Workspace;

const char kRevokedUnknown[] =
    "\nRevoked: Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?\n";

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
