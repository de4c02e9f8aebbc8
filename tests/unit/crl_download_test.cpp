// One CRL over HTTP/1.0 from a loopback server: the request bytes, which responses count as
// fetched, and the time and size bounds that keep a hostile or stalled server from holding
// the verification. Each test serves on addresses of its own: 127.77.0.x, and 127.77.20.1x
// for the stalls run with the bounds shortened.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "http_server.h"
#include "leftover_check.h"
#include "private_tmp.h"
#include "test_pki.h"
#include "revocation/crl_check.h"
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

// Lists of the test intermediate, fetched for the test leaf (the intermediate issued it).
const std::string& sampleCrl() {
    static const std::string der = kvtest::makeCrlDer({{"0A1B", time(nullptr) - 86400}, {"0C", time(nullptr) - 86400}});
    return der;
}

kvbsign::CrlSubject leafSubject() { return {kvtest::pki().leaf.cert.get(), kvtest::pki().intermediate.cert.get()}; }

// The download of the revocation check, for `subject` (default: the test leaf).
bool fetchFor(const std::string& url, RevocationMap& map, const kvbsign::CrlSubject& subject = leafSubject()) {
    return kvbsign::downloadCrl(url, &subject, map, nullptr, Clock::time_point::max());
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
    EXPECT_TRUE(fetchFor("http://127.77.0.2", map));
    EXPECT_TRUE(fetchFor("http://127.77.0.2" + tail, map));
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[0].substr(0, 16), "GET  HTTP/1.0\r\nH");
    EXPECT_EQ(server.requests()[1], "GET " + tail + " HTTP/1.0\r\nHost: 127.77.0.2\r\nAccept: */*\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(map.size(), 2u);
}

TEST_F(CrlDownload, OnlyAStatus200WithACleanEndIsFetched) {
    LoopbackHttpServer server("127.77.0.3");
    KVTEST_REQUIRE_SERVER(server);
    const std::string& der = sampleCrl();
    const std::string& head = kvtest::crlReplyHead();
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
        // Only one DER list, and nothing else, is a list fetched.
        {"HTML page", HttpReply::ok("<html><body>CRL</body></html>"), false, false},
        {"PEM list", HttpReply::ok(kvtest::crlDerToPem(der)), false, false},
        {"empty body", HttpReply::ok(""), false, false},
        {"DER list with bytes after it", HttpReply::raw(head + der + "\x30\x03junk"), false, false},
        {"two DER lists", HttpReply::raw(head + der + der), false, false},
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
        EXPECT_EQ(fetchFor(server.url(path), map), c.fetched);
        EXPECT_EQ(map.count("0a1b"), c.entries ? 1u : 0u);
        EXPECT_EQ(server.requestCount(path), 1);
    }
}

// The body must be exactly what the header lines announce: a list cut short by a server that
// closes cleanly after part of it, a body in a transfer coding, or a length that readers may
// take apart is no list fetched.
TEST_F(CrlDownload, BodyMustBeExactlyWhatTheHeadersAnnounce) {
    LoopbackHttpServer server("127.77.0.15");
    KVTEST_REQUIRE_SERVER(server);
    const std::string& der = sampleCrl();
    const std::string length = std::to_string(der.size());
    auto response = [&](const std::string& headers, const std::string& body) {
        return HttpReply::raw("HTTP/1.0 200 OK\r\nContent-Type: application/pkix-crl\r\n" + headers + "\r\n" + body);
    };
    std::string chunked;
    {
        char size[16];
        std::snprintf(size, sizeof size, "%zx", der.size());
        chunked = std::string(size) + "\r\n" + der + "\r\n0\r\n\r\n";
    }
    struct Case {
        const char* name;
        HttpReply reply;
        bool fetched;
    };
    const Case cases[] = {
        {"the control: Content-Length and the whole list", response("Content-Length: " + length + "\r\n", der), true},
        {"the name in another case, blanks around the value",
         response("content-LENGTH:\t " + length + " \r\n", der), true},
        {"closed cleanly after half of the announced length",
         response("Content-Length: " + length + "\r\n", der.substr(0, der.size() / 2)), false},
        {"one byte short", response("Content-Length: " + length + "\r\n", der.substr(0, der.size() - 1)), false},
        {"more than announced", response("Content-Length: " + std::to_string(der.size() - 1) + "\r\n", der), false},
        {"Content-Length twice, both right",
         response("Content-Length: " + length + "\r\nContent-Length: " + length + "\r\n", der), false},
        {"a sign before the digits", response("Content-Length: +" + length + "\r\n", der), false},
        {"a letter after the digits", response("Content-Length: " + length + "a\r\n", der), false},
        {"two numbers", response("Content-Length: " + length + " " + length + "\r\n", der), false},
        {"no value", response("Content-Length: \r\n", der), false},
        {"a value that overflows", response("Content-Length: 18446744073709551617\r\n", der), false},
        {"more than the body bound", response("Content-Length: 1099511627776\r\n", der), false},
        {"a chunked body", response("Transfer-Encoding: chunked\r\n", chunked), false},
        {"any transfer coding, in any case", response("TRANSFER-encoding: identity\r\n", der), false},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = "/framing" + std::to_string(n++) + ".crl";
        server.on(path, c.reply);
        RevocationMap map;
        EXPECT_EQ(fetchFor(server.url(path), map), c.fetched);
        EXPECT_EQ(map.size(), c.fetched ? 2u : 0u);
        EXPECT_EQ(server.requestCount(path), 1);
    }
}

// A list counts for a certificate only when its issuer signed it, it is current, and it
// covers that certificate. Each case changes one thing of a list that counts.
TEST_F(CrlDownload, OnlyACurrentListOfTheIssuerThatCoversTheCertificateIsFetched) {
    LoopbackHttpServer server("127.77.0.16");
    KVTEST_REQUIRE_SERVER(server);
    auto& p = kvtest::pki();
    const time_t now = time(nullptr);
    const kvbsign::CrlSubject leaf = leafSubject();
    const kvbsign::CrlSubject intermediate{p.intermediate.cert.get(), p.root.cert.get()};

    // An elliptic-curve CA and its end entity; a CA whose key usage leaves out cRLSign.
    kvtest::CertAndKey ecCa;
    ecCa.key = kvtest::makeEcKey();
    ecCa.cert = kvtest::makeCert(kvtest::caSpec("KVB EC CRL CA", "51"), ecCa.key.get(), nullptr, nullptr);
    const kvtest::X509Ptr ecLeaf =
        kvtest::makeCert(kvtest::leafSpec("KVB EC CRL Leaf", "52"), p.leaf.key.get(), ecCa.cert.get(), ecCa.key.get());
    kvtest::CertAndKey noCrlSign;
    noCrlSign.key = kvtest::makeRsaKey(2048, 65537, 14);
    kvtest::CertSpec noCrlSignSpec = kvtest::caSpec("KVB No CRL Sign CA", "53");
    noCrlSignSpec.keyUsageText = "critical,keyCertSign";
    noCrlSign.cert = kvtest::makeCert(noCrlSignSpec, noCrlSign.key.get(), nullptr, nullptr);
    const kvtest::X509Ptr noCrlSignLeaf = kvtest::makeCert(kvtest::leafSpec("KVB No CRL Sign Leaf", "54"),
                                                           p.leaf.key.get(), noCrlSign.cert.get(), noCrlSign.key.get());

    const std::vector<kvtest::RevokedSerial> entries = {{"0A1B", now - 86400}};
    auto list = [&](const std::function<void(kvtest::CrlOptions&)>& change) {
        kvtest::CrlOptions options;
        change(options);
        return kvtest::makeCrlDer(entries, options);
    };
    auto same = [](kvtest::CrlOptions&) {};
    const std::string sha384WithRsa("\x30\x0d\x06\x09\x2a\x86\x48\x86\xf7\x0d\x01\x01\x0c\x05\x00", 15);
    std::string tampered = list(same);
    tampered[tampered.find(std::string("\x02\x02\x0a\x1b", 4)) + 3] = '\x1c';

    struct Case {
        const char* name;
        std::string body;
        kvbsign::CrlSubject subject;
        bool fetched;
    };
    int n = 0;
    auto path = [&](int i) { return "/scope" + std::to_string(i) + ".crl"; };
    auto idp = [&](const std::string& value) {
        return [value](kvtest::CrlOptions& o) { o.extensions = {{"issuingDistributionPoint", value}}; };
    };
    std::vector<Case> cases = {
        {"the control: the issuer's current list", list(same), leaf, true},
        {"RSA-PSS with SHA-256", list([](kvtest::CrlOptions& o) { o.pss = true; }), leaf, true},
        {"RSA with SHA-1", list([](kvtest::CrlOptions& o) { o.digest = EVP_sha1(); }), leaf, true},
        {"ECDSA with SHA-384",
         list([&](kvtest::CrlOptions& o) {
             o.issuer = &ecCa;
             o.digest = EVP_sha384();
         }),
         {ecLeaf.get(), ecCa.cert.get()}, true},
        {"RSA with SHA3-256", list([](kvtest::CrlOptions& o) { o.digest = EVP_sha3_256(); }), leaf, false},
        {"ECDSA with SHA3-256",
         list([&](kvtest::CrlOptions& o) {
             o.issuer = &ecCa;
             o.digest = EVP_sha3_256();
         }),
         {ecLeaf.get(), ecCa.cert.get()}, false},
        {"inner and outer algorithms differ", kvtest::withOuterAlgorithm(list(same), sha384WithRsa), leaf, false},
        {"an entry changed after signing", tampered, leaf, false},
        {"an empty list signed by another key under the issuer's name",
         kvtest::makeCrlDer({}, [&] {
             kvtest::CrlOptions o;
             o.signingKey = p.unrelatedRoot.key.get();
             return o;
         }()),
         leaf, false},
        {"signed by the issuer, naming another issuer",
         list([&](kvtest::CrlOptions& o) { o.issuerNameFrom = p.root.cert.get(); }), leaf, false},
        {"the list of the issuer's own issuer", list([&](kvtest::CrlOptions& o) { o.issuer = &p.root; }), leaf, false},
        {"an issuer whose key usage leaves out cRLSign",
         list([&](kvtest::CrlOptions& o) { o.issuer = &noCrlSign; }), {noCrlSignLeaf.get(), noCrlSign.cert.get()},
         false},
        {"next update passed 10 minutes ago", list([&](kvtest::CrlOptions& o) { o.nextUpdate = now - 600; }), leaf,
         false},
        {"next update in 10 minutes", list([&](kvtest::CrlOptions& o) { o.nextUpdate = now + 600; }), leaf, true},
        {"no next update", list([](kvtest::CrlOptions& o) { o.nextUpdate = kvtest::kNoNextUpdate; }), leaf, false},
        {"issued 10 minutes ahead", list([&](kvtest::CrlOptions& o) { o.thisUpdate = now + 600; }), leaf, false},
        {"issued 4 minutes ahead: clocks differ", list([&](kvtest::CrlOptions& o) { o.thisUpdate = now + 240; }),
         leaf, true},
        {"a delta list",
         list([](kvtest::CrlOptions& o) { o.extensions = {{"crlNumber", "DER:02:01:06"}, {"deltaCRL", "critical,DER:02:01:05"}}; }), leaf,
         false},
        {"a critical extension nobody knows",
         list([](kvtest::CrlOptions& o) { o.extensions = {{"1.3.6.1.4.1.55555.1", "critical,DER:05:00"}}; }), leaf,
         false},
        {"the same extension, not critical",
         list([](kvtest::CrlOptions& o) { o.extensions = {{"1.3.6.1.4.1.55555.1", "DER:05:00"}}; }), leaf, true},
        {"only CA certificates, for an end entity", list(idp("critical,onlyCA:TRUE")), leaf, false},
        {"only CA certificates, for a CA", list([&](kvtest::CrlOptions& o) {
             o.issuer = &p.root;
             o.extensions = {{"issuingDistributionPoint", "critical,onlyCA:TRUE"}};
         }),
         intermediate, true},
        {"only end entities, for an end entity", list(idp("critical,onlyuser:TRUE")), leaf, true},
        {"only end entities, for a CA", list([&](kvtest::CrlOptions& o) {
             o.issuer = &p.root;
             o.extensions = {{"issuingDistributionPoint", "critical,onlyuser:TRUE"}};
         }),
         intermediate, false},
        {"only some reasons", list(idp("critical,onlysomereasons:keyCompromise")), leaf, false},
        {"an indirect list", list(idp("critical,indirectCRL:TRUE")), leaf, false},
        {"only attribute certificates", list(idp("critical,onlyAA:TRUE")), leaf, false},
        {"its distribution point is another URL", list(idp("critical,fullname:URI:http://127.77.0.16/other.crl")),
         leaf, false},
    };
    // Its distribution point is the URL it is served at.
    const std::string ownUrl = server.url(path(static_cast<int>(cases.size())));
    cases.push_back({"its distribution point is the URL it came from", list(idp("critical,fullname:URI:" + ownUrl)),
                     leaf, true});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string at = path(n++);
        server.on(at, HttpReply::ok(c.body));
        RevocationMap map;
        EXPECT_EQ(fetchFor(server.url(at), map, c.subject), c.fetched);
        EXPECT_EQ(map.count("0a1b"), c.fetched ? 1u : 0u);
        EXPECT_EQ(server.requestCount(at), 1);
    }
}

// The named download has no certificate to check a list against: it takes any list, from any
// issuer. The revocation check never uses it.
TEST_F(CrlDownload, NamedDownloadTakesAListFromAnyIssuer) {
    LoopbackHttpServer server("127.77.0.17");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/other.crl", HttpReply::ok(kvtest::makeCrlDer({{"0A1B", time(nullptr) - 86400}}, &kvtest::pki().unrelatedRoot)));
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::downloadAndParseCRL(server.url("/other.crl"), map));
    EXPECT_EQ(map.count("0a1b"), 1u);
    map.clear();
    EXPECT_FALSE(fetchFor(server.url("/other.crl"), map));
    EXPECT_TRUE(map.empty());
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

// A URL without a host would send the request to this machine's own port 80: it is never
// requested. The server stands where an empty host resolves.
TEST_F(CrlDownload, UrlWithoutAHostIsNeverRequested) {
    LoopbackHttpServer server("127.0.0.1");
    KVTEST_REQUIRE_SERVER(server);
    server.on("", HttpReply::ok(sampleCrl()));
    server.on("/ca.crl", HttpReply::ok(sampleCrl()));
    for (const char* url : {"http://", "http:///ca.crl", "http:///"}) {
        SCOPED_TRACE(url);
        RevocationMap map;
        EXPECT_FALSE(fetchFor(url, map));
        EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(url, map));
        EXPECT_TRUE(map.empty());
    }
    EXPECT_EQ(server.connections(), 0);
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
    const std::string& head = kvtest::crlReplyHead();
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
    EXPECT_FALSE(KVBSignLibInternal::downloadAndParseCRL(server.url("/html.crl"), map));

    // Keeping only the serials wanted, the same list is fetched (and its signature over all of
    // its entries checked).
    const std::set<std::string> wanted = {kvtest::largeCrlSerialKey(7)};
    const kvbsign::CrlSubject subject = leafSubject();
    EXPECT_TRUE(kvbsign::downloadCrl(server.url("/many.crl"), &subject, map, &wanted, Clock::time_point::max()));
    EXPECT_EQ(map.size(), 1u);
    EXPECT_EQ(map.count(kvtest::largeCrlSerialKey(7)), 1u);

    // A deadline that has passed ends the download before anything is sent.
    map.clear();
    EXPECT_FALSE(kvbsign::downloadCrl(server.url("/many.crl"), &subject, map, &wanted, Clock::now()));
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

// The stalls of the hostile servers that the front-end tests meet at full length, here in
// process with the bounds shortened through the download's test seam.
class CrlBoundsSeam : public testing::Test {
protected:
    void SetUp() override { kvbsignSetCrlTimeoutsForTesting(2000, 1000, 3000); }
    void TearDown() override {
        kvbsignSetCrlTimeoutsForTesting(0, 0, 0);
        kvbsignSetCrlBodyLimitForTesting(0);
    }
};

TEST_F(CrlBoundsSeam, StalledServersFailWithinTheBounds) {
    kvbsignSetCrlBodyLimitForTesting(4 * 1024 * 1024);
    struct Case {
        const char* name;
        const char* address;
        HttpReply reply;
        double maxSeconds;
    };
    const Case cases[] = {
        {"never answers (read bound, 1 s)", "127.77.20.11", HttpReply::neverAnswer(), 2.5},
        {"drips every 200 ms (whole-download bound, 3 s)", "127.77.20.12",
         HttpReply::drip(kvtest::crlReplyHead() + kvtest::makeCrlDer({}), 200, true), 4.5},
        {"status line in pieces without end", "127.77.20.13", HttpReply::drip("HTTP/1.0 200 O", 300, true), 4.5},
        {"endless body (4 MB limit)", "127.77.20.14", HttpReply::endlessBody(), 3},
        {"endless headers (64 KB limit)", "127.77.20.15", HttpReply::endlessHeaders(), 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LoopbackHttpServer server(c.address);
        KVTEST_REQUIRE_SERVER(server);
        server.on("/x.crl", c.reply);
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        RevocationMap map;
        const Clock::time_point start = Clock::now();
        const bool fetched = KVBSignLibInternal::downloadAndParseCRL(server.url("/x.crl"), map);
        const double seconds = secondsSince(start);
        server.stop();
        std::printf("[ row      ] seam     %-72s got %s %6.2f s (bound %.1f s)\n", c.name,
                    fetched ? "fetched" : "failed", seconds, c.maxSeconds);
        EXPECT_FALSE(fetched);
        EXPECT_TRUE(map.empty());
        EXPECT_LT(seconds, c.maxSeconds);
        for (const std::string& name : kvtest::newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
    }
}

}  // namespace
