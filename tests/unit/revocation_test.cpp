// The revocation verdict of a signature document's chain: CRL distribution points fetched
// from loopback servers, the all-fetched flag, the serial lookup against the signing time.
// Each test serves on its own 127.77.1.x address.

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "child_process.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "http_server.h"
#include "ossl_ptr.h"
#include "private_tmp.h"
#include "revocation/crl_download_limits.h"
#include "test_pki.h"

namespace {

using kvtest::CertAndKey;
using kvtest::HttpReply;
using kvtest::LoopbackHttpServer;

// The test's chain: root, intermediate and leaf, each with its own CRL distribution points.
struct Chain {
    CertAndKey root, intermediate, leaf;
    std::string leafSerialHex, intermediateSerialHex;

    // KeyInfo with the given certificates, in this order.
    static std::string xml(const std::vector<X509*>& certs) {
        std::string doc = "<signatures><Signature><KeyInfo><X509Data>";
        for (X509* c : certs) doc += "<X509Certificate>" + kvtest::base64(kvtest::toDer(c)) + "</X509Certificate>";
        return doc + "</X509Data></KeyInfo></Signature></signatures>";
    }
    std::string xml() const { return xml({leaf.cert.get(), intermediate.cert.get(), root.cert.get()}); }
};

Chain makeChain(const std::vector<std::string>& rootUrls, const std::vector<std::string>& intermediateUrls,
                const std::vector<std::string>& leafUrls, bool leafHasOnlyTheCrlExtension = false) {
    Chain c;
    c.leafSerialHex = "1A2B3C";
    c.intermediateSerialHex = "0777";
    kvtest::CertSpec rootSpec = kvtest::caSpec("Revocation Test Root", "01");
    rootSpec.crlUrls = rootUrls;
    c.root.key = kvtest::makeRsaKey(2048, 65537, 0);
    c.root.cert = kvtest::makeCert(rootSpec, c.root.key.get(), nullptr, nullptr);

    kvtest::CertSpec interSpec = kvtest::caSpec("Revocation Test Intermediate", c.intermediateSerialHex);
    interSpec.crlUrls = intermediateUrls;
    c.intermediate.key = kvtest::makeRsaKey(2048, 65537, 1);
    c.intermediate.cert = kvtest::makeCert(interSpec, c.intermediate.key.get(), c.root.cert.get(), c.root.key.get());

    kvtest::CertSpec leafSpec = kvtest::leafSpec("Revocation Test Leaf", c.leafSerialHex);
    leafSpec.crlUrls = leafUrls;
    if (leafHasOnlyTheCrlExtension) {
        leafSpec.basicConstraints = false;
        leafSpec.keyUsage = false;
        leafSpec.subjectKeyId = false;
        leafSpec.authorityKeyId = false;
    }
    c.leaf.key = kvtest::makeRsaKey(2048, 65537, 2);
    c.leaf.cert = kvtest::makeCert(leafSpec, c.leaf.key.get(), c.intermediate.cert.get(), c.intermediate.key.get());
    return c;
}

time_t utc(int year, int month, int day, int hour) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    return timegm(&t);
}

// A /tmp of our own, so that the check for left-over directories sees only ours.
const bool kPrivateTmp = kvtest::usePrivateTmp();

const time_t kRevokedAt = utc(2020, 6, 1, 12);  // on the hour: the lists keep hours only

// UTC makes list times exact; an absent cache file keeps the system cache out of the way;
// short network bounds keep a failing case quick.
class Revocation : public ::testing::Test {
protected:
    void SetUp() override {
        remember("TZ", "UTC0");
        remember("KVBSIGN_CRL_CACHE", scratch_.file("no-cache.db").c_str());
        tzset();
        kvbsignSetCrlTimeoutsForTesting(2000, 2000, 5000);
    }
    void TearDown() override {
        kvbsignSetCrlTimeoutsForTesting(0, 0, 0);
        if (kPrivateTmp) {
            EXPECT_EQ(kvtest::kvbsignTempEntries(), std::set<std::string>());
        }
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->had)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
        tzset();
    }
    void remember(const char* name, const char* value) {
        const char* old = getenv(name);
        saved_.push_back({name, old != nullptr, old ? old : ""});
        setenv(name, value, 1);
    }

    kvtest::ScratchDir scratch_;

private:
    struct Saved {
        std::string name;
        bool had;
        std::string value;
    };
    std::vector<Saved> saved_;
};

// Only the leaf's issuer speaks for the leaf: a list of another CA that names its serial
// leaves it unknown.
TEST_F(Revocation, ListedLeafIsRevokedOnlyByItsIssuersList) {
    LoopbackHttpServer server("127.77.1.1");
    KVTEST_REQUIRE_SERVER(server);
    // The leaf carries nothing but its distribution point.
    Chain c = makeChain({}, {}, {server.url("/leaf.crl")}, true);
    struct Case {
        const char* name;
        const CertAndKey* issuer;
        int revoked;
        bool allFetched;
    };
    const Case cases[] = {
        {"the leaf's issuer", &c.intermediate, 1, true},
        {"an unrelated CA", &kvtest::pki().unrelatedRoot, -1, false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        server.on("/leaf.crl",
                  HttpReply::ok(kvtest::makeCrlDer({{"0999", kRevokedAt}, {c.leafSerialHex, kRevokedAt}}, k.issuer)));
        KCertificateInfo info = {};
        info.revoked = 7;
        bool allFetched = true;
        long signingTime = 0;
        KVBSignLibInternal::checkIfRevoked(c.xml(), &info, &allFetched, signingTime);
        EXPECT_EQ(info.revoked, k.revoked);
        EXPECT_EQ(allFetched, k.allFetched);
    }
    EXPECT_EQ(server.requestCount("/leaf.crl"), 2);
}

TEST_F(Revocation, SigningTimeDecidesAgainstTheRevocationTime) {
    LoopbackHttpServer server("127.77.1.2");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {}, {server.url("/leaf.crl")});
    server.on("/leaf.crl", HttpReply::ok(kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}}, &c.intermediate)));
    struct Case {
        const char* name;
        long signingTime;
        int want;
    };
    // Times are kept to the hour, so a revocation up to two hours after the signing time
    // still counts.
    const Case cases[] = {
        {"no timestamp: any listing counts", 0, 1},
        {"signed one second after the revocation", kRevokedAt + 1, 1},
        {"signed at the revocation time", kRevokedAt, 1},
        {"signed an hour before the revocation", kRevokedAt - 3600, 1},
        {"signed two hours before the revocation", kRevokedAt - 2 * 3600, 0},
        {"signed three hours before the revocation", kRevokedAt - 3 * 3600, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        RevocationMap map;
        bool allFetched = true;
        long signingTime = k.signingTime;
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), k.want);
        EXPECT_TRUE(allFetched);
    }
}

// The signing time keeps only the hour, and a "Z" time read while daylight saving is in
// effect comes out an hour early; the cache listing's revocation times are exact. A
// revocation a little before the signing time must still count.
TEST_F(Revocation, RevocationsJustBeforeAnHourPrecisionSigningTimeCount) {
    Chain c = makeChain({}, {}, {});
    auto at = [](int hour, int minute) { return utc(2020, 6, 1, hour) + minute * 60; };
    // Standard time UTC+1 and daylight saving all year: the shift holds whatever the date.
    const char* const kUtc = "UTC0";
    const char* const kDaylightSaving = "XST-1XDT,0/0,J365/25";
    struct Case {
        const char* name;
        const char* zone;
        time_t revokedAt;
        bool revoked;
    };
    const Case cases[] = {
        {"revoked in the same hour, before the stamp", kUtc, at(10, 5), true},
        {"revoked in the same hour, before the stamp, read during daylight saving", kDaylightSaving, at(10, 5), true},
        {"revoked an hour before", kUtc, at(9, 5), true},
        {"revoked half an hour after the stamp", kUtc, at(11, 25), true},
        {"revoked three hours after the stamp", kUtc, at(13, 55), false},
        {"revoked three hours after the stamp, read during daylight saving", kDaylightSaving, at(13, 55), false},
    };
    const std::unique_ptr<ASN1_TIME, kvbsign::Free<&ASN1_TIME_free>> stamp(ASN1_TIME_new());
    ASSERT_TRUE(stamp && ASN1_TIME_set_string(stamp.get(), "20200601105500Z") == 1 &&
                ASN1_STRING_type(stamp.get()) == V_ASN1_GENERALIZEDTIME);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        long signingTime = 0;
        {
            kvtest::ScopedEnv zone("TZ", k.zone);
            tzset();
            signingTime = static_cast<long>(Timestamp::Asn1ToTime(stamp.get()));
        }
        tzset();
        // 10:55 read as 10:00, or as 09:00 during daylight saving.
        ASSERT_EQ(signingTime, static_cast<long>(k.zone == kUtc ? at(10, 0) : at(9, 0)));
        RevocationMap map = {{"1a2b3c", static_cast<long>(k.revokedAt)}};
        EXPECT_EQ(KVBSignLibInternal::hasSerialAfterRevocation(map, c.leaf.cert.get(), signingTime), k.revoked);
    }
}

TEST_F(Revocation, LookupUsesLowercaseKeysOfEveryChainCertificate) {
    Chain c = makeChain({}, {}, {});
    struct Case {
        const char* name;
        RevocationMap map;
        long signingTime;
        bool leafRevoked;
    };
    const Case cases[] = {
        {"lowercase key", {{"1a2b3c", kRevokedAt}}, 0, true},
        {"uppercase key never matches", {{"1A2B3C", kRevokedAt}}, 0, false},
        {"other serial", {{"1a2b3d", kRevokedAt}}, 0, false},
        {"revoked after signing", {{"1a2b3c", kRevokedAt}}, static_cast<long>(kRevokedAt - 3 * 3600), false},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        RevocationMap map = k.map;
        long signingTime = k.signingTime;
        EXPECT_EQ(KVBSignLibInternal::hasSerialAfterRevocation(map, c.leaf.cert.get(), signingTime), k.leafRevoked);
    }
    // An intermediate listed in the map revokes the chain as well (no network: no points).
    RevocationMap map = {{"0777", kRevokedAt}};
    bool allFetched = true;
    long signingTime = 0;
    EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), 1);
    EXPECT_TRUE(allFetched);
}

TEST_F(Revocation, SystemCacheRevokesWithoutAnyDownload) {
    Chain c = makeChain({}, {}, {});
    kvtest::writeFile(scratch_.file("cache.db"), kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}}));
    setenv("KVBSIGN_CRL_CACHE", scratch_.file("cache.db").c_str(), 1);
    KCertificateInfo info = {};
    bool allFetched = true;
    long signingTime = 0;
    KVBSignLibInternal::checkIfRevoked(c.xml(), &info, &allFetched, signingTime);
    EXPECT_EQ(info.revoked, 1);
    EXPECT_TRUE(allFetched);
}

// A list is fetched once for an issuer: two certificates of that issuer that name it share one
// download. One accepted for one issuer says nothing about a certificate of another, so the
// same URL named by certificates of two issuers is fetched for each.
TEST_F(Revocation, SameUrlIsFetchedOnceForOneIssuer) {
    LoopbackHttpServer server("127.77.1.3");
    KVTEST_REQUIRE_SERVER(server);
    const std::string shared = server.url("/shared.crl");
    struct Case {
        const char* name;
        Chain chain;
        const CertAndKey* listIssuer;
        int want;
        int requests;
    };
    Case cases[] = {
        // The root issued itself and the intermediate.
        {"the root and the intermediate", makeChain({shared}, {shared}, {}), nullptr, 0, 1},
        {"the intermediate and the leaf", makeChain({}, {shared}, {shared}), nullptr, -1, 2},
    };
    cases[0].listIssuer = &cases[0].chain.root;
    cases[1].listIssuer = &cases[1].chain.intermediate;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        server.on("/shared.crl", HttpReply::ok(kvtest::makeCrlDer(
                                     {{"0999", kRevokedAt}, {k.chain.leafSerialHex, kRevokedAt}}, k.listIssuer)));
        const int before = server.requestCount("/shared.crl");
        RevocationMap map;
        bool allFetched = true;
        long signingTime = static_cast<long>(kRevokedAt - 3 * 3600);  // signed well before the revocation
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(k.chain.xml(), map, &allFetched, signingTime),
                  k.want);
        EXPECT_EQ(allFetched, k.want != -1);
        EXPECT_EQ(server.requestCount("/shared.crl") - before, k.requests);
        // Only the chain's own serials are kept from a list.
        const RevocationMap want = {{"1a2b3c", static_cast<long>(kRevokedAt)}};
        EXPECT_EQ(map, want);
    }
}

// A list of millions of entries (the server is whoever the certificate names) gives the same
// verdict as a short one.
TEST_F(Revocation, ListOfMillionsGivesTheVerdict) {
    LoopbackHttpServer server("127.77.1.12");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {}, {server.url("/leaf.crl")});
    const std::size_t count = 2000000;
    struct Case {
        const char* name;
        std::vector<kvtest::RevokedSerial> inserted;
        int want;
    };
    const Case cases[] = {
        {"the leaf among the millions", {{c.leafSerialHex, kRevokedAt}}, 1},
        {"the leaf not listed", {}, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        server.on("/leaf.crl", HttpReply::okInOneWrite(kvtest::makeLargeCrlDer(count, k.inserted, kRevokedAt - 3600, &c.intermediate)));
        RevocationMap map;
        bool allFetched = true;
        long signingTime = 0;
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), k.want);
        EXPECT_TRUE(allFetched);
        EXPECT_EQ(map.size(), k.inserted.size());  // none of the millions is kept
    }
    EXPECT_EQ(server.requestCount("/leaf.crl"), 2);
}

TEST_F(Revocation, FailedSingleFetchMakesTheVerdictUnknown) {
    LoopbackHttpServer server("127.77.1.4");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {}, {server.url("/gone.crl")});
    server.on("/gone.crl", HttpReply::status(404, "Not Found"));
    KCertificateInfo info = {};
    bool allFetched = true;
    long signingTime = 0;
    KVBSignLibInternal::checkIfRevoked(c.xml(), &info, &allFetched, signingTime);
    EXPECT_EQ(info.revoked, -1);
    EXPECT_FALSE(allFetched);
    EXPECT_EQ(server.requestCount("/gone.crl"), 1);
}

TEST_F(Revocation, SeveralPointsNeedOneSuccessfulFetch) {
    LoopbackHttpServer server("127.77.1.5");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {}, {server.url("/first.crl"), server.url("/second.crl")});
    server.on("/first.crl", HttpReply::status(404, "Not Found"));
    server.on("/second.crl", HttpReply::ok(kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}}, &c.intermediate)));
    RevocationMap map;
    bool allFetched = true;
    long signingTime = 0;
    EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), 1);
    EXPECT_TRUE(allFetched);
    EXPECT_EQ(server.requestCount("/first.crl"), 1);
    EXPECT_EQ(server.requestCount("/second.crl"), 1);

    // Neither point answers: unknown.
    server.on("/second.crl", HttpReply::status(404, "Not Found"));
    Chain other = makeChain({}, {}, {server.url("/first.crl"), server.url("/second.crl")});
    map.clear();
    EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(other.xml(), map, &allFetched, signingTime), -1);
    EXPECT_FALSE(allFetched);
}

// A later certificate's working point must not paper over an earlier certificate whose list
// could not be fetched: the intermediate's revocation is then unknown.
TEST_F(Revocation, EarlierFailureSurvivesALaterCertificateWithSeveralPoints) {
    LoopbackHttpServer server("127.77.1.6");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {server.url("/intermediate.crl")}, {server.url("/a.crl"), server.url("/b.crl")});
    server.on("/intermediate.crl", HttpReply::status(404, "Not Found"));
    server.on("/a.crl", HttpReply::ok(kvtest::makeCrlDer({}, &c.intermediate)));
    server.on("/b.crl", HttpReply::ok(kvtest::makeCrlDer({}, &c.intermediate)));
    RevocationMap map;
    bool allFetched = true;
    long signingTime = 0;
    EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), -1);
    EXPECT_FALSE(allFetched);
    EXPECT_EQ(server.requestCount("/intermediate.crl"), 1);
}

// A point of 3.6 MB that repeats "http://a." without any ".crl": each of its 400,000 schemes
// starts a URL of the scheme alone. The URLs are those of any other point list: only the
// first "http://" is tried, and a ".crl" further on ends the URL that starts at the run.
// Searching the rest of the extension for ".crl" once per scheme would take minutes here.
TEST_F(Revocation, LongRunOfSchemesGivesTheUrlsOfShortOnes) {
    LoopbackHttpServer server("127.77.1.16");
    KVTEST_REQUIRE_SERVER(server);
    std::string run;
    for (int i = 0; i < 400000; ++i) run += "http://a.";
    const std::string answering = server.url("/a.crl");
    struct Case {
        const char* name;
        std::vector<std::string> points;
        int want;
        int requests;  // of /a.crl
    };
    const Case cases[] = {
        // Only "http://" is tried, once: its empty host is no server of this test.
        {"the run alone", {run}, -1, 0},
        {"a point that answers, then the run", {answering, run}, 1, 1},
        // The first URL reaches from the run to the next point's ".crl", over the bytes
        // between the two URIs: it is never requested, and nothing is left after it.
        {"the run, then a point that would answer", {run, answering}, -1, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Chain c = makeChain({}, {}, k.points);
        server.on("/a.crl", HttpReply::ok(kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}}, &c.intermediate)));
        const int before = server.requestCount("/a.crl");
        RevocationMap map;
        bool allFetched = true;
        long signingTime = 0;
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), k.want);
        EXPECT_EQ(allFetched, k.want != -1);
        EXPECT_EQ(server.requestCount("/a.crl") - before, k.requests);
    }
    EXPECT_EQ(server.totalRequests(), 1);
}

// Points already fetched for an earlier certificate of the same issuer count as fetched for a
// later one: the root and the intermediate it issued.
TEST_F(Revocation, PointsFetchedForAnEarlierCertificateCountAgain) {
    LoopbackHttpServer server("127.77.1.7");
    KVTEST_REQUIRE_SERVER(server);
    const std::vector<std::string> points = {server.url("/a.crl"), server.url("/b.crl")};
    Chain c = makeChain(points, points, {});
    server.on("/a.crl", HttpReply::status(404, "Not Found"));
    server.on("/b.crl", HttpReply::ok(kvtest::makeCrlDer({{"0777", kRevokedAt}}, &c.root)));
    RevocationMap map;
    bool allFetched = true;
    long signingTime = 0;
    EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), 1);
    EXPECT_TRUE(allFetched);
    EXPECT_EQ(server.requestCount("/a.crl"), 1);
    EXPECT_EQ(server.requestCount("/b.crl"), 1);
}

// Points the tool cannot fetch leave the certificate's revocation unknown: nothing is
// requested, and even a revocation the cache already holds gives no verdict.
TEST_F(Revocation, PointsWithoutPlainHttpAreNotFetched) {
    LoopbackHttpServer server("127.77.1.8");
    KVTEST_REQUIRE_SERVER(server);
    struct Case {
        const char* name;
        Chain chain;
    };
    Case cases[] = {
        {"ldap on the root, https on the leaf",
         makeChain({"ldap://127.77.1.8/cn=root?certificateRevocationList"}, {}, {"https://127.77.1.8/leaf.crl"})},
        {"https only, on the leaf", makeChain({}, {}, {"https://127.77.1.8/leaf.crl"})},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        RevocationMap map = {{"1a2b3c", kRevokedAt}};
        bool allFetched = true;
        long signingTime = 0;
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(k.chain.xml(), map, &allFetched, signingTime), -1);
        EXPECT_FALSE(allFetched);
    }
    EXPECT_EQ(server.connections(), 0);
}

// Two lists that may both speak (the root's own, for itself, and the intermediate's, for the
// leaf) can name one serial: a list fetched from elsewhere must not be able to move a
// revocation to a later date than the one the leaf's issuer gives, whatever the order of the
// fetches or of the entries already known.
TEST_F(Revocation, AnotherListCannotPostponeARevocation) {
    LoopbackHttpServer server("127.77.1.10");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({server.url("/decoy.crl")}, {}, {server.url("/leaf.crl")});
    const time_t muchLater = utc(2049, 1, 1, 0);
    server.on("/leaf.crl", HttpReply::ok(kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}}, &c.intermediate)));
    server.on("/decoy.crl", HttpReply::ok(kvtest::makeCrlDer({{c.leafSerialHex, muchLater}}, &c.root)));

    struct Case {
        const char* name;
        RevocationMap map;
    };
    const Case cases[] = {
        {"the decoy list is fetched first", {}},
        {"an earlier entry already holds the later date", {{"1a2b3c", static_cast<long>(muchLater)}}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        RevocationMap map = k.map;
        bool allFetched = true;
        long signingTime = static_cast<long>(kRevokedAt + 3600);
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime), 1);
        EXPECT_TRUE(allFetched);
        EXPECT_EQ(map["1a2b3c"], static_cast<long>(kRevokedAt));
    }
    EXPECT_EQ(server.requestCount("/decoy.crl"), 2);
    EXPECT_EQ(server.requestCount("/leaf.crl"), 2);
}

// Only what the chain check vouches for is looked up. A document may replace the root of a
// genuine chain by a copy of its own making (same name and key: its own signature is never
// checked), with a serial and points of its choosing. Where the copy matches a root of the
// store, the store's certificate takes its place; where an anchor matches lower down, nothing
// above it is looked up.
TEST_F(Revocation, OnlyTheCertificatesTheChainCheckVouchesForAreLookedUp) {
    LoopbackHttpServer server("127.77.1.14");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {}, {server.url("/leaf.crl")});
    // Issued by a namesake key: the copy's own signature does not verify.
    kvtest::CertSpec copySpec = kvtest::caSpec("Revocation Test Root", "0999");
    kvtest::EvpPkeyPtr otherKey = kvtest::makeRsaKey(2048, 65537, 3);
    kvtest::X509Ptr namesake = kvtest::makeCert(copySpec, otherKey.get(), nullptr, nullptr);
    // Issued by a namesake key: the copies' own signatures do not verify.
    kvtest::X509Ptr listedCopy = kvtest::makeCert(copySpec, c.root.key.get(), namesake.get(), otherKey.get());
    copySpec.crlUrls = {server.url("/copy.crl")};
    kvtest::X509Ptr pointingCopy = kvtest::makeCert(copySpec, c.root.key.get(), namesake.get(), otherKey.get());
    server.on("/copy.crl", HttpReply::status(404, "Not Found"));
    // The leaf's issuer names the copies' serial, not the leaf's.
    server.on("/leaf.crl", HttpReply::ok(kvtest::makeCrlDer({{"0999", kRevokedAt}}, &c.intermediate)));

    struct Case {
        const char* name;
        std::vector<X509*> store;
        X509* copy;
        int want;
    };
    const Case cases[] = {
        {"the genuine root in the store, a copy whose serial a list names", {c.root.cert.get()}, listedCopy.get(), 0},
        {"the genuine root in the store, a copy that names a point", {c.root.cert.get()}, pointingCopy.get(), 0},
        {"the intermediate in the store, a copy whose serial a list names", {c.intermediate.cert.get()},
         listedCopy.get(), 0},
        {"the intermediate in the store, a copy that names a point", {c.intermediate.cert.get()}, pointingCopy.get(),
         0},
        // The controls: in an untrusted chain the copy stands at the top. Its serial is looked
        // up, and its points cannot be checked (its own signature does not verify).
        {"neither in the store, a copy whose serial a list names", {kvtest::pki().unrelatedRoot.cert.get()},
         listedCopy.get(), 1},
        {"neither in the store, a copy that names a point", {kvtest::pki().unrelatedRoot.cert.get()},
         pointingCopy.get(), -1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        kvtest::writePemBundle(scratch_.file("roots.pem"), k.store);
        remember("SSL_CERT_FILE", scratch_.file("roots.pem").c_str());
        RevocationMap map;
        bool allFetched = true;
        long signingTime = 0;
        const std::string xml = Chain::xml({c.leaf.cert.get(), c.intermediate.cert.get(), k.copy});
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(xml, map, &allFetched, signingTime), k.want);
        EXPECT_EQ(allFetched, k.want != -1);
    }
    EXPECT_EQ(server.requestCount("/copy.crl"), 0);
}

// A list that cannot be stored whole (a /tmp too small for it, as any local user can bring
// about by filling a shared /tmp) is no list fetched, not an empty one.
TEST_F(Revocation, ListThatCannotBeStoredWholeIsUnknown) {
    Chain c = makeChain({}, {}, {"http://127.77.1.15/leaf.crl"});
    // About 2.3 MB, the leaf listed in the middle.
    const std::string large =
        kvtest::makeLargeCrlDer(100000, {{c.leafSerialHex, kRevokedAt}}, kRevokedAt - 3600, &c.intermediate);
    const std::string xml = c.xml();
    struct Case {
        const char* name;
        int megabytes;
        int want;
    };
    const Case cases[] = {
        {"a /tmp of 1 MB", 1, -1},
        {"the control: a /tmp of 16 MB", 16, 1},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        // The verdict travels in the exit status: -1, 0 and 1 as 9, 10 and 11.
        const int status = kvtest::runInChild([&] {
            if (!kvtest::mountSmallTmp(k.megabytes)) return 98;
            LoopbackHttpServer server("127.77.1.15");
            if (!server.started()) return 97;
            server.on("/leaf.crl", HttpReply::okInOneWrite(large));
            RevocationMap map;
            bool allFetched = true;
            long signingTime = 0;
            const int verdict = KVBSignLibInternal::checkCertificateChainRevocation(xml, map, &allFetched, signingTime);
            server.stop();
            if (allFetched != (verdict != -1)) return 95;
            // Nothing may be left on the small file system either.
            return kvtest::kvbsignTempEntries().empty() ? verdict + 10 : 96;
        });
        if (status == 98) GTEST_SKIP() << "cannot make a mount namespace";
        if (status == 97) GTEST_SKIP() << "cannot serve HTTP on 127.77.1.15:80";
        EXPECT_EQ(status, k.want + 10);
    }
}

// Each download is bounded, but a document decides how many points there are: all the downloads
// of one check share one bound too. Points left when it has passed count as not fetched.
TEST_F(Revocation, AllDownloadsOfACheckShareOneBound) {
    LoopbackHttpServer server("127.77.1.11");
    KVTEST_REQUIRE_SERVER(server);
    std::vector<std::string> points;
    for (int i = 0; i < 12; ++i) {
        const std::string path = "/silent" + std::to_string(i) + ".crl";
        server.on(path, HttpReply::neverAnswer());
        points.push_back(server.url(path));
    }
    Chain c = makeChain({}, {}, points);
    kvbsignSetCrlTimeoutsForTesting(2000, 200, 200);
    kvbsignSetCrlCheckBoundForTesting(700);
    RevocationMap map;
    bool allFetched = true;
    long signingTime = 0;
    const auto start = std::chrono::steady_clock::now();
    const int verdict = KVBSignLibInternal::checkCertificateChainRevocation(c.xml(), map, &allFetched, signingTime);
    const auto took = std::chrono::steady_clock::now() - start;
    kvbsignSetCrlCheckBoundForTesting(0);
    EXPECT_EQ(verdict, -1);
    EXPECT_FALSE(allFetched);
    EXPECT_GE(server.totalRequests(), 1);
    EXPECT_LT(server.totalRequests(), 12);
    EXPECT_LT(took, std::chrono::milliseconds(1800));
}

// The check's bound holds inside a download too: a download never runs past the time the
// check has left. Each server below delivers a good list, slowly enough that it would be
// complete well inside a download's own bound (20 s here) but only after the check's bound
// (1.5 s) has passed. So the list is never taken, and the points after it are not tried.
TEST_F(Revocation, DownloadsEndWithTheTimeTheCheckHasLeft) {
    LoopbackHttpServer server("127.77.1.13");
    KVTEST_REQUIRE_SERVER(server);
    const std::string body = kvtest::makeCrlDer({{"1A2B3C", kRevokedAt}});
    // 5 ms a byte: the whole response takes longer than 2 s, each byte well inside the idle bound.
    const HttpReply slow = HttpReply::drip("HTTP/1.0 200 OK\r\nX: y\r\n\r\n" + body, 5, false);
    ASSERT_GT(body.size(), 400u);
    for (const char* path : {"/a.crl", "/b.crl", "/c.crl"}) server.on(path, slow);
    const std::string a = server.url("/a.crl"), b = server.url("/b.crl"), cUrl = server.url("/c.crl");
    struct Case {
        const char* name;
        Chain chain;
    };
    Case cases[] = {
        {"three points of one certificate", makeChain({}, {}, {a, b, cUrl})},
        {"one point on each of three certificates", makeChain({a}, {b}, {cUrl})},
    };
    kvbsignSetCrlTimeoutsForTesting(1000, 1000, 20000);
    kvbsignSetCrlCheckBoundForTesting(1500);
    for (Case& k : cases) {
        SCOPED_TRACE(k.name);
        const int before = server.totalRequests();
        RevocationMap map;
        bool allFetched = true;
        long signingTime = 0;
        EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(k.chain.xml(), map, &allFetched, signingTime), -1);
        EXPECT_FALSE(allFetched);
        EXPECT_TRUE(map.empty());  // the slow list was cut off, not read
        EXPECT_EQ(server.totalRequests() - before, 1);
    }
    kvbsignSetCrlCheckBoundForTesting(0);
    EXPECT_EQ(server.requestCount("/a.crl"), 2);
}

// A system cache too large to list leaves the verdict unknown: a revocation it holds could
// otherwise go unseen. It is no failed fetch, so the status stays.
TEST_F(Revocation, CacheTooLargeToListIsUnknown) {
    Chain c = makeChain({}, {}, {});
    kvtest::writeFile(scratch_.file("cache.db"),
                      kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}}) + kvtest::makeLargeCrlDer(250000, {}, kRevokedAt));
    setenv("KVBSIGN_CRL_CACHE", scratch_.file("cache.db").c_str(), 1);
    KCertificateInfo info = {};
    bool allFetched = true;
    long signingTime = 0;
    KVBSignLibInternal::checkIfRevoked(c.xml(), &info, &allFetched, signingTime);
    EXPECT_EQ(info.revoked, -1);
    EXPECT_TRUE(allFetched);
}

// A chain that does not hold together gives no verdict, fetches nothing and leaves the flag.
TEST_F(Revocation, ChainThatDoesNotValidateIsUnknown) {
    LoopbackHttpServer server("127.77.1.9");
    KVTEST_REQUIRE_SERVER(server);
    Chain c = makeChain({}, {server.url("/intermediate.crl")}, {server.url("/leaf.crl")});
    server.on("/leaf.crl", HttpReply::ok(kvtest::makeCrlDer({{c.leafSerialHex, kRevokedAt}})));
    server.on("/intermediate.crl", HttpReply::ok(kvtest::makeCrlDer({})));
    RevocationMap listed = {{"1a2b3c", kRevokedAt}};
    // Names link it to the intermediate, but another key signed it.
    kvtest::EvpPkeyPtr otherKey = kvtest::makeRsaKey(2048, 65537, 3);
    kvtest::X509Ptr forged = kvtest::makeCert(kvtest::leafSpec("Revocation Test Leaf", c.leafSerialHex),
                                              c.leaf.key.get(), c.intermediate.cert.get(), otherKey.get());

    struct Case {
        const char* name;
        std::string xml;
    };
    const Case cases[] = {
        {"KeyInfo cut down to the leaf", Chain::xml({c.leaf.cert.get()})},
        {"root missing", Chain::xml({c.leaf.cert.get(), c.intermediate.cert.get()})},
        {"leaf signed by another key", Chain::xml({forged.get(), c.intermediate.cert.get(), c.root.cert.get()})},
        {"no certificate at all", "<signatures><Signature><KeyInfo></KeyInfo></Signature></signatures>"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        for (bool flag : {true, false}) {
            RevocationMap map = listed;
            bool allFetched = flag;
            long signingTime = 0;
            EXPECT_EQ(KVBSignLibInternal::checkCertificateChainRevocation(k.xml, map, &allFetched, signingTime), -1);
            EXPECT_EQ(allFetched, flag);
        }
    }
    KCertificateInfo info = {};
    bool allFetched = true;
    long signingTime = 0;
    KVBSignLibInternal::checkIfRevoked(Chain::xml({c.leaf.cert.get()}), &info, &allFetched, signingTime);
    EXPECT_EQ(info.revoked, -1);
    EXPECT_TRUE(allFetched);
    EXPECT_EQ(server.totalRequests(), 0);
}

}  // namespace
