// One CRL over HTTP/1.0 from a loopback server: the request bytes, which responses count as
// fetched, and the time and size bounds that keep a hostile or stalled server from holding
// the verification. Each test serves on its own 127.77.0.x address.

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "http_server.h"
#include "private_tmp.h"
#include "revocation/crl_download_limits.h"
#include "revocation/crl_reading.h"

namespace {

using kvtest::HttpReply;
using kvtest::LoopbackHttpServer;
using Clock = std::chrono::steady_clock;

// A /tmp of our own, so that the check for left-over download directories sees only ours.
const bool kPrivateTmp = kvtest::usePrivateTmp();

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const std::string& sampleCrl() {
    static const std::string der = kvtest::makeCrlDer({{"0A1B", time(nullptr) - 86400}, {"0C", time(nullptr) - 86400}});
    return der;
}

class CrlDownload : public ::testing::Test {
protected:
    void TearDown() override {
        kvbsignSetCrlTimeoutsForTesting(0, 0, 0);
        kvbsignSetCrlBodyLimitForTesting(0);
        // Every way out of a download removes its temporary directory.
        if (kPrivateTmp) {
            EXPECT_EQ(kvtest::kvbsignTempEntries(), std::set<std::string>());
        }
    }
};

TEST_F(CrlDownload, SendsTheExactRequestAndAddsTheListEntries) {
    LoopbackHttpServer server("127.77.0.1");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/lists/ca.crl", HttpReply::ok(sampleCrl()));
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/lists/ca.crl"), map));
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(map.count("0a1b"), 1u);
    EXPECT_EQ(map.count("0c"), 1u);
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0],
              "GET /lists/ca.crl HTTP/1.0\r\nHost: 127.77.0.1\r\nAccept: */*\r\nConnection: close\r\n\r\n");
}

TEST_F(CrlDownload, UrlWithoutPathAndUrlWithTrailingBytes) {
    LoopbackHttpServer server("127.77.0.2");
    KVTEST_REQUIRE_SERVER(server);
    server.on("", HttpReply::ok(sampleCrl()));
    // Bytes of the certificate extension that follow the URI travel in the path, unchanged
    // (as long as none of them is a control character or a blank).
    const std::string tail("/ca.crl\x80\xa0\xff~x", 11);
    server.on(tail, HttpReply::ok(sampleCrl()));

    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL("http://127.77.0.2", map));
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL("http://127.77.0.2" + tail, map));
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].substr(0, 16), "GET  HTTP/1.0\r\nH");
    EXPECT_EQ(server.requests()[1], "GET " + tail + " HTTP/1.0\r\nHost: 127.77.0.2\r\nAccept: */*\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(map.size(), 2u);
}

TEST_F(CrlDownload, OnlyAStatus200WithACleanEndIsFetched) {
    LoopbackHttpServer server("127.77.0.3");
    KVTEST_REQUIRE_SERVER(server);
    const std::string& der = sampleCrl();
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/pkix-crl\r\n\r\n";
    struct Case {
        const char* name;
        HttpReply reply;
        bool fetched;
        bool entries;
    };
    const Case cases[] = {
        {"HTTP/1.1 200", HttpReply::ok(der, "HTTP/1.1"), true, true},
        {"body in the same write as the headers", HttpReply::okInOneWrite(der), true, true},
        {"body without Content-Length", HttpReply::raw(head + der), true, true},
        {"HTML page", HttpReply::ok("<html><body>CRL</body></html>"), true, false},
        {"PEM list", HttpReply::ok(kvtest::crlDerToPem(der)), true, false},
        {"empty body", HttpReply::ok(""), true, false},
        {"404", HttpReply::status(404, "Not Found"), false, false},
        {"302 redirect", HttpReply::status(302, "Found", "Location: http://127.77.0.3/ok\r\n"), false, false},
        {"500", HttpReply::status(500, "Internal Server Error"), false, false},
        {"status line followed at once by the empty line", HttpReply::raw("HTTP/1.0 200 OK\r\n\r\n" + der), false,
         false},
        {"connection reset in the middle of the body", HttpReply::resetMidBody(der), false, false},
        {"closed in the middle of the status line", HttpReply::raw("HTTP/1.0 20"), false, false},
        {"closed in the middle of the headers", HttpReply::raw("HTTP/1.0 200 OK\r\nContent-Ty"), false, false},
        {"not HTTP", HttpReply::raw("HTTX/1.0 200 OK\r\nA: b\r\n\r\n" + der), false, false},
        {"no status code", HttpReply::raw("HTTP/1.0 OK\r\nA: b\r\n\r\n" + der), false, false},
        {"closed without a byte", HttpReply::raw(""), false, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/case" + std::to_string(n++) + ".crl";
        server.on(path, c.reply);
        RevocationMap map;
        EXPECT_EQ(KVBSignLibInternal::downloadAndParseCRL(server.url(path), map), c.fetched);
        EXPECT_EQ(map.count("0a1b"), c.entries ? 1u : 0u);
        EXPECT_EQ(server.requestCount(path), 1);
    }
}

// The host and the path go into the request line and the Host line byte for byte: a URL
// that holds a line end, a blank, any other control character or DEL could end those lines
// early and add headers or a whole second request. Such a URL is never requested.
TEST_F(CrlDownload, UrlWithControlCharactersOrBlanksIsNeverRequested) {
    LoopbackHttpServer server("127.77.0.13");
    KVTEST_REQUIRE_SERVER(server);
    const std::string host = "127.77.0.13";
    server.on("/ca.crl", HttpReply::ok(sampleCrl()));
    const std::string cases[] = {
        "/ca.crl HTTP/1.0\r\nHost: " + host + "\r\n\r\nPOST /admin HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi",
        "/ca.crl\r\nX-Injected: 1",
        "/ca.crl\n",
        "/ca.crl\r",
        "/ca crl",
        "/ca.crl\t",
        "/ca.crl\x7f",
        std::string("/ca.crl\x00", 8),
        "/ca.crl\x1b[0m",
        "/ca.crl\x30\x0b\xa0\x09",  // extension bytes after the URI: a length below 0x21
    };
    for (const std::string& path : cases) {
        SCOPED_TRACE(kvtest::hex(path));
        RevocationMap map;
        EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL("http://" + host + path, map));
        EXPECT_TRUE(map.empty());
    }
    // In the host part too.
    RevocationMap map;
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL("http://" + host + "\r\nX-Injected: 1/ca.crl", map));
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL("http:// " + host + "/ca.crl", map));
    EXPECT_EQ(server.connections(), 0);

    // The same URL without the bad byte is fetched.
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_EQ(server.connections(), 1);
}

TEST_F(CrlDownload, NobodyListeningIsAFailedFetch) {
    RevocationMap map;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL("http://127.77.0.4/ca.crl", map));
    EXPECT_LT(secondsSince(start), 5.0);
    EXPECT_TRUE(map.empty());
}

TEST_F(CrlDownload, ServerThatNeverAnswersIsBoundedByTheReadBound) {
    LoopbackHttpServer server("127.77.0.5");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/ca.crl", HttpReply::neverAnswer());
    kvbsignSetCrlTimeoutsForTesting(1000, 400, 5000);
    RevocationMap map;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    const double took = secondsSince(start);
    EXPECT_GE(took, 0.35);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(server.requestCount("/ca.crl"), 1);
}

TEST_F(CrlDownload, StalledBodyIsBoundedByTheReadBound) {
    LoopbackHttpServer server("127.77.0.6");
    KVTEST_REQUIRE_SERVER(server);
    // Headers and a first part of the body, then silence: the drip pauses far longer than the bound.
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/pkix-crl\r\n\r\n";
    server.on("/ca.crl", HttpReply::drip(head + sampleCrl(), 60 * 1000, false));
    kvbsignSetCrlTimeoutsForTesting(1000, 400, 5000);
    RevocationMap map;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_TRUE(map.empty());
}

TEST_F(CrlDownload, DrippingServerIsBoundedByTheWholeDownloadBound) {
    LoopbackHttpServer server("127.77.0.7");
    KVTEST_REQUIRE_SERVER(server);
    // A byte every 20 ms never trips the 400 ms read bound; only the bound on the whole download ends it.
    server.on("/ca.crl", HttpReply::drip("HTTP/1.0 200 OK\r\nX-Slow: yes\r\n\r\n" + sampleCrl(), 20, true));
    kvbsignSetCrlTimeoutsForTesting(1000, 400, 1500);
    RevocationMap map;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    const double took = secondsSince(start);
    EXPECT_GE(took, 1.4);
    EXPECT_LT(took, 4.0);
    EXPECT_TRUE(map.empty());
}

TEST_F(CrlDownload, SlowButSteadyServerStillDelivers) {
    LoopbackHttpServer server("127.77.0.8");
    KVTEST_REQUIRE_SERVER(server);
    const std::string head = "HTTP/1.0 200 OK\r\nX: y\r\n\r\n";
    const std::string der = kvtest::makeCrlDer({{"0A1B", time(nullptr) - 86400}});
    server.on("/ca.crl", HttpReply::drip(head + der, 2, false));
    kvbsignSetCrlTimeoutsForTesting(1000, 400, 20000);
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_EQ(map.count("0a1b"), 1u);
}

TEST_F(CrlDownload, EndlessHeadersStopAtTheHeaderBound) {
    LoopbackHttpServer server("127.77.0.9");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/ca.crl", HttpReply::endlessHeaders());
    RevocationMap map;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_LT(secondsSince(start), 5.0);  // the size bound, long before any time bound
}

TEST_F(CrlDownload, HeaderBlockUpTo64KiBIsAccepted) {
    LoopbackHttpServer server("127.77.0.10");
    KVTEST_REQUIRE_SERVER(server);
    const std::string& der = sampleCrl();
    auto withHeaders = [&](std::size_t headBytes) {
        std::string head = "HTTP/1.0 200 OK\r\nX-Fill: ";
        const std::size_t rest = headBytes - head.size() - 4;  // the line end and the empty line
        head += std::string(rest, 'f') + "\r\n\r\n";
        return HttpReply::raw(head + der);
    };
    server.on("/small.crl", withHeaders(60 * 1024));
    server.on("/large.crl", withHeaders(70 * 1024));
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/small.crl"), map));
    EXPECT_EQ(map.size(), 2u);
    map.clear();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/large.crl"), map));
    EXPECT_TRUE(map.empty());
}

TEST_F(CrlDownload, BodyBoundIsExact) {
    LoopbackHttpServer server("127.77.0.11");
    KVTEST_REQUIRE_SERVER(server);
    const std::string& der = sampleCrl();
    server.on("/ca.crl", HttpReply::ok(der));
    RevocationMap map;
    kvbsignSetCrlBodyLimitForTesting(static_cast<std::int64_t>(der.size()));
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_EQ(map.size(), 2u);
    map.clear();
    kvbsignSetCrlBodyLimitForTesting(static_cast<std::int64_t>(der.size()) - 1);
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_TRUE(map.empty());
}

// A list that can be read only beyond the bounds is a failed fetch, unlike a body that holds
// no list at all.
TEST_F(CrlDownload, ListTooLargeToReadIsAFailedFetch) {
    LoopbackHttpServer server("127.77.0.14");
    KVTEST_REQUIRE_SERVER(server);
    // More entries than a read of every entry keeps.
    server.on("/many.crl", HttpReply::okInOneWrite(
                               kvtest::makeLargeCrlDer(kvbsign::kMaxEntriesKeptWhole + 1, {}, time(nullptr) - 86400)));
    server.on("/html.crl", HttpReply::ok("<html><body>no list</body></html>"));
    RevocationMap map;
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/many.crl"), map));
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/html.crl"), map));

    // Keeping only the serials wanted, the same list is fetched.
    const std::set<std::string> wanted = {kvtest::largeCrlSerialKey(7)};
    EXPECT_TRUE(kvbsign::downloadCrl(server.url("/many.crl"), map, &wanted, Clock::time_point::max()));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.count(kvtest::largeCrlSerialKey(7)), 1u);

    // A deadline that has passed ends the download before anything is sent.
    map.clear();
    EXPECT_FALSE(kvbsign::downloadCrl(server.url("/many.crl"), map, &wanted, Clock::now()));
    EXPECT_TRUE(map.empty());
    EXPECT_EQ(server.requestCount("/many.crl"), 2);
}

// The body goes to disk as it arrives: an endless body ends at the bound without the process
// growing by anything near the bytes received.
TEST_F(CrlDownload, EndlessBodyEndsAtTheBodyBoundWithBoundedMemory) {
    LoopbackHttpServer server("127.77.0.12");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/ca.crl", HttpReply::endlessBody());
    const long bound = 48L * 1024 * 1024;
    kvbsignSetCrlBodyLimitForTesting(bound);
    rusage before = {};
    getrusage(RUSAGE_SELF, &before);
    RevocationMap map;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/ca.crl"), map));
    EXPECT_LT(secondsSince(start), 30.0);
    rusage after = {};
    getrusage(RUSAGE_SELF, &after);
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    EXPECT_LT(grownKiB, bound / 1024 / 2) << "peak memory grew by " << grownKiB << " KiB";
}

}  // namespace
