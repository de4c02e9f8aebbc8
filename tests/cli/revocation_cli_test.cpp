// Revocation as the tool reports it: the "Revoked: " line and the status, with the signer's
// CRL served from a loopback server or listed in the CRL cache. Each test serves on its own
// 127.77.2.x address.

#include <sys/resource.h>
#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_runner.h"
#include "crl_fixtures.h"
#include "expected_texts.h"
#include "http_server.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "tsa.h"

namespace {

using kvtest::HttpReply;
using kvtest::LoopbackHttpServer;
using kvtest::pki;

const char kRevokedTrue[] = "\nRevoked: true\n";
const char kRevokedFalse[] = "\nRevoked: false\n";
const char kRevokedUnknown[] =
    "\nRevoked: Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?\n";
using kvtest::kMsg0;
using kvtest::kMsg52;
const char kSignerSerial[] = "7A01";

class RevocationCli : public ::testing::Test {
protected:
    void SetUp() override { kvtest::writePemBundle(scratch.file("roots.pem"), {pki().root.cert.get()}); }

    // A package whose signer (issued by the test intermediate) names these CRL points.
    // keyInfoLeafOnly: KeyInfo holds the signer alone, so the chain cannot be built. top: the
    // certificate KeyInfo holds in place of the root.
    std::string package(const std::vector<std::string>& crlUrls, bool keyInfoLeafOnly = false, X509* top = nullptr) {
        return signedPackage(crlUrls, keyInfoLeafOnly, top).dir;
    }
    kvtest::SignedPackage signedPackage(const std::vector<std::string>& crlUrls, bool keyInfoLeafOnly = false,
                                        X509* top = nullptr) {
        signer.key = kvtest::makeRsaKey(2048, 65537, 4);
        kvtest::CertSpec spec = kvtest::leafSpec("KVB Revocation Signer", kSignerSerial);
        spec.crlUrls = crlUrls;
        signer.cert = kvtest::makeCert(spec, signer.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
        std::vector<X509*> chain = {signer.cert.get()};
        if (!keyInfoLeafOnly) {
            chain.push_back(pki().intermediate.cert.get());
            chain.push_back(top ? top : pki().root.cert.get());
        }
        kvtest::PackageBuilder b;
        b.signer(signer.key.get()).keyInfoCerts(chain).addFile("a.txt", "alpha");
        return b.build(scratch.file("pkg"));
    }

    kvtest::CliResult verify(const std::string& dir, const std::vector<std::string>& extra = {},
                             const std::string& cache = "", const kvtest::EnvList& moreEnv = {}) {
        std::vector<std::string> args = {"-verify", dir, "-certInfo"};
        args.insert(args.end(), extra.begin(), extra.end());
        kvtest::EnvList env = {{"SSL_CERT_FILE", scratch.file("roots.pem")},
                               {"KVBSIGN_CRL_CACHE", cache.empty() ? scratch.file("no-cache.db") : cache}};
        env.insert(env.end(), moreEnv.begin(), moreEnv.end());
        const kvtest::CliResult r = kvtest::runCli(args, env, 90);
        EXPECT_EQ(kvtest::differencesIfAccepted(dir, r.exitCode), "");
        return r;
    }

    // Issued by the signer's issuer.
    std::string revokedList() const {
        return kvtest::makeCrlDer({{kSignerSerial, time(nullptr) - 86400}}, &pki().intermediate);
    }

    kvtest::ScratchDir scratch;
    kvtest::CertAndKey signer;
};

TEST_F(RevocationCli, RevokedSignerIsReportedAndStillVerifies) {
    LoopbackHttpServer server("127.77.2.1");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/signer.crl", HttpReply::ok(revokedList()));
    kvtest::CliResult r = verify(package({server.url("/signer.crl")}));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(kRevokedTrue), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kMsg0), std::string::npos) << r.out;
    EXPECT_EQ(server.requestCount("/signer.crl"), 1);
}

TEST_F(RevocationCli, SignerNotListedIsNotRevoked) {
    LoopbackHttpServer server("127.77.2.2");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/signer.crl", HttpReply::ok(kvtest::makeCrlDer({{"7A02", time(nullptr) - 86400}}, &pki().intermediate)));
    kvtest::CliResult r = verify(package({server.url("/signer.crl")}));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(kRevokedFalse), std::string::npos) << r.out;
}

TEST_F(RevocationCli, UnreachableCrlServerGives52WithTheReport) {
    // Nothing listens on this address.
    kvtest::CliResult r = verify(package({"http://127.77.2.3/signer.crl"}));
    EXPECT_EQ(r.exitCode, 52) << r.out << r.err;
    EXPECT_NE(r.out.find("*********** Certificate Information ***********\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kRevokedUnknown), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(kMsg52), std::string::npos) << r.out;
}

TEST_F(RevocationCli, SkippingOnlineChecksContactsNoServer) {
    LoopbackHttpServer server("127.77.2.4");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/signer.crl", HttpReply::ok(revokedList()));
    kvtest::CliResult r = verify(package({server.url("/signer.crl")}), {"-skipOnlineRevocationChecks"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(kRevokedUnknown), std::string::npos) << r.out;
    EXPECT_EQ(server.connections(), 0);
}

TEST_F(RevocationCli, CacheListingRevokesWithoutNetwork) {
    kvtest::writeFile(scratch.file("cache.db"), revokedList());
    kvtest::CliResult r = verify(package({}), {}, scratch.file("cache.db"));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(kRevokedTrue), std::string::npos) << r.out;
}

// A CRL point is copied into the request byte for byte: a signer certificate whose point holds
// CR LF could make the tool send headers and a second request of its author's choosing (to
// any host's port 80) for a package whose own signature verifies. A point holding a control
// character, a blank or DEL is never requested; it counts as a list that could not be fetched.
TEST_F(RevocationCli, CrlPointWithControlCharactersIsNeverRequested) {
    LoopbackHttpServer server("127.77.2.6");
    KVTEST_REQUIRE_SERVER(server);
    const std::string base = server.url("/signer.crl");
    server.on("/signer.crl", HttpReply::ok(revokedList()));
    server.on("/other.crl", HttpReply::ok(kvtest::makeCrlDer({}, &pki().intermediate)));
    const std::string smuggled = base + " HTTP/1.0\r\nHost: 127.77.2.6\r\n\r\nPOST /admin HTTP/1.0\r\n"
                                        "Content-Length: 5\r\n\r\nreset";
    struct Case {
        const char* name;
        std::vector<std::string> points;
        int status;
        const char* revoked;
    };
    const Case cases[] = {
        {"a second request after CR LF", {smuggled}, 52, kRevokedUnknown},
        {"a header after CR LF", {base + "\r\nX-Injected: yes"}, 52, kRevokedUnknown},
        {"a blank", {server.url("/signer .crl")}, 52, kRevokedUnknown},
        {"a tab", {server.url("/signer\t.crl")}, 52, kRevokedUnknown},
        {"DEL", {server.url("/signer\x7f.crl")}, 52, kRevokedUnknown},
        // One point fetched is enough for a certificate that names several.
        {"a bad point beside a good one", {server.url("/a\r\nb.crl"), base}, 0, kRevokedTrue},
        {"two bad points", {server.url("/a\r\nb.crl"), server.url("/c d.crl")}, 52, kRevokedUnknown},
        // A point of a scheme the tool does not fetch is never requested either.
        {"https only", {"https://127.77.2.6/signer.crl"}, 52, kRevokedUnknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = server.connections();
        kvtest::CliResult r = verify(package(c.points));
        EXPECT_EQ(r.exitCode, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.revoked), std::string::npos) << r.out;
        EXPECT_EQ(server.connections() - before, c.status == 0 ? 1 : 0);
    }
    for (const std::string& request : server.requests()) {
        EXPECT_EQ(request, "GET /signer.crl HTTP/1.0\r\nHost: 127.77.2.6\r\nAccept: */*\r\nConnection: close\r\n\r\n");
    }
    EXPECT_EQ(server.requestCount("/admin"), 0);
}

// A system cache the listing tool refuses leaves the verdict unknown, with no change of status:
// it is no list that could not be fetched.
TEST_F(RevocationCli, CacheThatCannotBeListedLeavesTheVerdictUnknown) {
    kvtest::writeFile(scratch.file("junk.db"), revokedList() + "junk");
    kvtest::writeFile(scratch.file("directory.db/cache"), revokedList());
    ASSERT_EQ(mkfifo(scratch.file("pipe.db").c_str(), 0600), 0);
    // The list that names the signer where a reader of PEM blocks alone skips it (after a
    // certificate block, or under another label), then an empty list that such a reader takes.
    const std::string emptyPem = kvtest::crlDerToPem(kvtest::makeCrlDer({}, &pki().intermediate));
    kvtest::writeFile(scratch.file("mixed.db"), kvtest::toPem(pki().root.cert.get()) + revokedList() + "\n" + emptyPem);
    std::string relabelled = kvtest::crlDerToPem(revokedList());
    relabelled.replace(relabelled.find("X509 CRL"), 8, "CRL");
    relabelled.replace(relabelled.rfind("X509 CRL"), 8, "CRL");
    kvtest::writeFile(scratch.file("relabelled.db"), relabelled + emptyPem);
    for (const char* cache : {"junk.db", "directory.db", "pipe.db", "mixed.db", "relabelled.db"}) {
        SCOPED_TRACE(cache);
        kvtest::CliResult r = verify(package({}), {}, scratch.file(cache));
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find(kRevokedUnknown), std::string::npos) << r.out;
    }
}

// A file size limit under which the package fits but the list does not: the write past it
// fails (the tool ignores SIGXFSZ), and the list counts as not fetched instead of the tool
// ending on the signal.
TEST_F(RevocationCli, ListPastTheFileSizeLimitIsUnknownAndTheToolLives) {
    LoopbackHttpServer server("127.77.2.7");
    KVTEST_REQUIRE_SERVER(server);
    // About 2.3 MB, the signer listed in the middle.
    server.on("/signer.crl", HttpReply::okInOneWrite(kvtest::makeLargeCrlDer(
                                 100000, {{kSignerSerial, time(nullptr) - 86400}}, time(nullptr) - 86400, &pki().intermediate)));
    const std::string dir = package({server.url("/signer.crl")});
    struct Case {
        const char* name;
        rlim_t limit;
        int status;
        const char* revoked;
    };
    const Case cases[] = {
        {"a limit of 1 MB", 1024 * 1024, 52, kRevokedUnknown},
        {"the control: no lower limit", RLIM_INFINITY, 0, kRevokedTrue},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        rlimit saved;
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
        rlimit lower = saved;
        if (c.limit < lower.rlim_cur) lower.rlim_cur = c.limit;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lower), 0);
        const kvtest::CliResult r = verify(dir);
        setrlimit(RLIMIT_FSIZE, &saved);
        EXPECT_EQ(r.exitCode, c.status) << r.out << r.err;
        EXPECT_NE(r.out.find(c.revoked), std::string::npos) << r.out;
    }
    EXPECT_EQ(server.requestCount("/signer.crl"), 2);
}

// A third party replaces the root inside KeyInfo of a genuine package by a copy of its own
// making: the root's name and key (its own signature is never checked), a serial and points of
// its choosing. The store's certificate takes the copy's place, so neither changes the verdict;
// nor do they where the store holds the intermediate, below the copy.
TEST_F(RevocationCli, RootCopyInKeyInfoChangesNothing) {
    LoopbackHttpServer server("127.77.2.8");
    KVTEST_REQUIRE_SERVER(server);
    kvtest::CertSpec copySpec = kvtest::caSpec("KVB Test Root", "0999");
    copySpec.subject = {{"CN", "KVB Test Root"}};
    const kvtest::EvpPkeyPtr otherKey = kvtest::makeRsaKey(2048, 65537, 15);
    const kvtest::X509Ptr namesake = kvtest::makeCert(copySpec, otherKey.get(), nullptr, nullptr);
    const kvtest::X509Ptr listedCopy = kvtest::makeCert(copySpec, pki().root.key.get(), namesake.get(), otherKey.get());
    copySpec.crlUrls = {server.url("/copy.crl")};
    const kvtest::X509Ptr pointingCopy = kvtest::makeCert(copySpec, pki().root.key.get(), namesake.get(), otherKey.get());
    server.on("/copy.crl", HttpReply::status(404, "Not Found"));
    // The signer's issuer lists the copies' serial, not the signer's.
    server.on("/signer.crl", HttpReply::ok(kvtest::makeCrlDer({{"0999", time(nullptr) - 86400}}, &pki().intermediate)));
    kvtest::writePemBundle(scratch.file("intermediate.pem"), {pki().intermediate.cert.get()});
    struct Case {
        const char* name;
        X509* copy;
        std::string roots;  // empty: the test root
    };
    const Case cases[] = {
        {"a copy that names a point", pointingCopy.get(), ""},
        {"a copy whose serial a list names", listedCopy.get(), ""},
        {"a copy that names a point, the intermediate in the store", pointingCopy.get(), "intermediate.pem"},
        {"a copy whose serial a list names, the intermediate in the store", listedCopy.get(), "intermediate.pem"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string dir = package({server.url("/signer.crl")}, false, c.copy);
        if (!c.roots.empty()) kvtest::writeFile(scratch.file("roots.pem"), kvtest::readFile(scratch.file(c.roots)));
        const kvtest::CliResult r = verify(dir);
        SetUp();  // the test root again
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("\nOS Trusted: true\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(kRevokedFalse), std::string::npos) << r.out;
    }
    EXPECT_EQ(server.requestCount("/copy.crl"), 0);
    EXPECT_EQ(server.requestCount("/signer.crl"), 4);
}

// The signing time is kept to the hour while the cache listing's times are exact: a signer
// revoked at 10:05 whose signature is stamped 10:55 (read as 10:00) is revoked all the same.
// Only a revocation more than two hours after the stamp leaves the signature unrevoked.
TEST_F(RevocationCli, RevocationJustBeforeTheStampedTimeCounts) {
    const time_t hour = (time(nullptr) - 86400) / 3600 * 3600;
    const time_t stamped = hour + 55 * 60;
    struct Case {
        const char* name;
        time_t revokedAt;
        const char* revoked;
    };
    const Case cases[] = {
        {"revoked 50 minutes before the stamp", hour + 5 * 60, kRevokedTrue},
        {"revoked three hours after the stamp", stamped + 3 * 3600, kRevokedFalse},
    };
    kvtest::SignedPackage p = signedPackage({});
    p.addTimestamp(kvtest::base64(kvtest::grantedResponse(kvtest::defaultTsa(), p.timestampMessageText, stamped)));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::writeFile(scratch.file("cache.db"),
                          kvtest::makeCrlDer({{kSignerSerial, c.revokedAt}}, &pki().intermediate));
        const kvtest::CliResult r = verify(p.dir, {}, scratch.file("cache.db"), {{"TZ", "UTC0"}});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("\nTimestamp: Valid and within certificate validity dates at time of signing\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(c.revoked), std::string::npos) << r.out;
    }
}

// A revoked signer cannot pass as "not revoked" by leaving its chain out of KeyInfo.
TEST_F(RevocationCli, SignerWithoutItsChainIsUnknownNotUnrevoked) {
    LoopbackHttpServer server("127.77.2.5");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/signer.crl", HttpReply::ok(revokedList()));
    kvtest::writeFile(scratch.file("cache.db"), revokedList());
    kvtest::CliResult r = verify(package({server.url("/signer.crl")}, true), {}, scratch.file("cache.db"));
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_NE(r.out.find(kRevokedUnknown), std::string::npos) << r.out;
    EXPECT_EQ(server.connections(), 0);
}

}  // namespace
