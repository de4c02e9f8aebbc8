// Revocation lists into the revocation map: DER list files, the CRL cache listing tool and the
// parse of its text.

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "internal/crl_listing.h"

namespace {

using kvtest::RevokedSerial;

// Standard time UTC+1, daylight saving UTC+2 from the last Sunday of March to the last Sunday
// of October: summer and winter dates tell local standard time from local wall-clock time.
const char* const kZoneWithDst = "CET-1CEST,M3.5.0,M10.5.0/3";

time_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

RevocationMap readDerFile(const std::string& bytes, bool* result = nullptr, RevocationMap map = {}) {
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("list.crl"), bytes);
    bool ok = KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("list.crl"), map);
    if (result) *result = ok;
    return map;
}

// --- DER list files ---

TEST(DerCrlFile, EntriesBecomeLowercaseHexKeysWithTimesToTheHour) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 15, 30)},
                                                {"ABCDEF0123", utc(2015, 3, 1, 0, 59, 59)},
                                                {"7F", utc(2049, 12, 31, 23, 0, 0)}});
    bool ok = false;
    RevocationMap map = readDerFile(der, &ok);
    EXPECT_TRUE(ok);
    const RevocationMap want = {{"0a1b", utc(2014, 1, 5, 10, 0, 0)},
                                {"abcdef0123", utc(2015, 3, 1, 0, 0, 0)},
                                {"7f", utc(2049, 12, 31, 23, 0, 0)}};
    EXPECT_EQ(map, want);
}

TEST(DerCrlFile, SerialListedTwiceKeepsItsLaterListing) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0C", utc(2014, 1, 1, 8, 0, 0)},
                                                {"0D", utc(2014, 2, 1, 8, 0, 0)},
                                                {"0C", utc(2016, 6, 1, 9, 0, 0)}});
    RevocationMap map = readDerFile(der);
    const RevocationMap want = {{"0c", utc(2016, 6, 1, 9, 0, 0)}, {"0d", utc(2014, 2, 1, 8, 0, 0)}};
    EXPECT_EQ(map, want);
}

TEST(DerCrlFile, NeverReplacesAnEntryAlreadyInTheMap) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 0, 0)}, {"02", utc(2014, 1, 6, 10, 0, 0)}});
    RevocationMap map = readDerFile(der, nullptr, {{"0a1b", 42}});
    const RevocationMap want = {{"0a1b", 42}, {"02", utc(2014, 1, 6, 10, 0, 0)}};
    EXPECT_EQ(map, want);
}

TEST(DerCrlFile, FilesWithoutADerListAddNothing) {
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 0, 0)}});
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"PEM list", kvtest::crlDerToPem(der)},
        {"list without entries", kvtest::makeCrlDer({})},
        {"empty file", ""},
        {"HTML error page", "<html><body>404 Not Found</body></html>"},
        {"truncated DER", der.substr(0, der.size() / 2)},
        {"DER header claiming more than the file holds", std::string("\x30\x84\x7f\xff\xff\xff", 6)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = false;
        RevocationMap map = readDerFile(c.bytes, &ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(map.empty());
    }
}

TEST(DerCrlFile, MissingFileIsAFailure) {
    kvtest::ScratchDir dir;
    RevocationMap map;
    EXPECT_FALSE(KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("absent.crl"), map));
    EXPECT_TRUE(map.empty());
}

// --- the listing tool and the system cache ---

TEST(CacheListingTool, EmptyOrMissingCacheListsNothing) {
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("empty.db"), "");
    for (const std::string& cache : {dir.file("absent.db"), dir.file("empty.db")}) {
        SCOPED_TRACE(cache);
        kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + cache, "v"},
                                                 {{"-KVBSIGN_CRL_CACHE", ""}}, 20);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "0 certificates found\n0 CRLs found\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CacheListingTool, EnvironmentNamesTheCacheInsteadOfTheArgument) {
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("cache.db"), kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 15, 0)}}));
    kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + dir.file("absent.db"), "v"},
                                             {{"KVBSIGN_CRL_CACHE", dir.file("cache.db")}, {"TZ", "UTC0"}}, 20);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Revoked Cert 1:\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Serial number    : 0a:1b\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Revocation time  : 10:15:00 Jan 05, 2014\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n1 CRLs found\n"), std::string::npos) << r.out;
}

TEST(CacheListingTool, OtherArgumentsGetTheUsage) {
    const std::vector<std::vector<std::string>> argLists = {
        {}, {"y"}, {"y", "k=/x", "w"}, {"x", "k=/x", "v"}, {"y", "/x", "v"}, {"y", "k=/x", "v", "extra"}};
    for (const auto& args : argLists) {
        kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, args, {}, 20);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
}

// Through the library: the tool lists the cache named by KVBSIGN_CRL_CACHE, the library parses it.
TEST(CacheListing, EveryEntryOfDerAndPemListsRoundTripsToTheSecond) {
    kvtest::ScopedEnv tz("TZ", kZoneWithDst);
    kvtest::ScratchDir dir;
    const time_t winter = utc(2014, 1, 5, 10, 15, 30);
    const time_t summer = utc(2014, 7, 15, 23, 59, 59);
    const time_t other = utc(2030, 8, 1, 0, 0, 1);
    const std::string first = kvtest::makeCrlDer({{"0A1B", winter}, {"00FF", summer}});
    const std::string second = kvtest::makeCrlDer({{"0123456789ABCDEF", other}, {"0A1B", other}}, &kvtest::pki().root);
    const std::string third = kvtest::makeCrlDer({});
    kvtest::writeFile(dir.file("cache.db"), first + kvtest::crlDerToPem(second) + "\n" + third);
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file("cache.db").c_str());

    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::getCertificateRevocationLists(map));
    // The serial 0A1B is in two lists: the first listing stays.
    const RevocationMap want = {{"0a1b", winter}, {"ff", summer}, {"0123456789abcdef", other}};
    EXPECT_EQ(map, want);
}

TEST(CacheListing, NoCacheFileAddsNothing) {
    kvtest::ScratchDir dir;
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file("absent.db").c_str());
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::getCertificateRevocationLists(map));
    EXPECT_TRUE(map.empty());
}

TEST(CacheListing, CacheTimeStaysWhenADownloadedListNamesTheSerialToo) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    kvtest::ScratchDir dir;
    const time_t cached = utc(2014, 1, 5, 10, 15, 30);
    kvtest::writeFile(dir.file("cache.db"), kvtest::makeCrlDer({{"0A1B", cached}}));
    kvtest::writeFile(dir.file("downloaded.crl"),
                      kvtest::makeCrlDer({{"0A1B", utc(2012, 1, 1, 0, 0, 0)}, {"0C", utc(2012, 1, 1, 0, 0, 0)}}));
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file("cache.db").c_str());

    RevocationMap map;
    ASSERT_TRUE(KVBSignLibInternal::getCertificateRevocationLists(map));
    ASSERT_TRUE(KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("downloaded.crl"), map));
    const RevocationMap want = {{"0a1b", cached}, {"0c", utc(2012, 1, 1, 0, 0, 0)}};
    EXPECT_EQ(map, want);
}

// --- listing texts the tool would not print ---

std::string entry(int n, const std::string& serial, const std::string& when) {
    return "Revoked Cert " + std::to_string(n) + ":\n   Serial number    : " + serial +
           "\n   Revocation time  : " + when + "\n";
}

TEST(CacheListingText, ParsesWhatTheMarkersEnclose) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string jan = "10:15:00 Jan 05, 2014";
    const time_t janT = utc(2014, 1, 5, 10, 15, 0);
    const std::string dec = "23:59:59 Dec 31, 2015";
    const time_t decT = utc(2015, 12, 31, 23, 59, 59);
    const std::string list1 = "Version : 2\n" + entry(1, "0a:1b", jan) + entry(2, "0c", dec);
    const std::string list2 = "Version : 2\nIssuer : something\n" + entry(1, "ff:01", dec);
    const std::string tailEntry = entry(1, "99", jan);

    struct Case {
        const char* name;
        std::string listing;
        RevocationMap want;
    };
    const Case cases[] = {
        {"two lists", "4 certificates found\n" + list1 + list2 + "2 CRLs found\n",
         {{"0a1b", janT}, {"0c", decT}, {"ff01", decT}}},
        {"uppercase serial with colons keeps its case",
         "0 certificates found\nVersion 2\n" + entry(1, "0A:1B:2C", jan) + "1 CRLs found\n", {{"0A1B2C", janT}}},
        {"serial bytes split by blanks and tabs",
         "0 certificates found\nVersion 2\n" + entry(1, "0a 1b\t2c ", jan) + "1 CRLs found\n", {{"0a1b2c", janT}}},
        {"same serial twice: the first time stays",
         "0 certificates found\nVersion 2\n" + entry(1, "0c", jan) + entry(2, "0c", dec) + "1 CRLs found\n",
         {{"0c", janT}}},
        {"an entry after the list count is outside the section",
         "1 certificates found\n" + list2 + "1 CRLs found\n" + tailEntry, {{"ff01", decT}}},
        {"no certificate count: the whole text is read", list2 + "1 CRLs found\n" + tailEntry,
         {{"ff01", decT}, {"99", janT}}},
        {"no list count: the whole text is read", "1 certificates found\n" + list2 + tailEntry,
         {{"ff01", decT}, {"99", janT}}},
        {"list count before certificate count: the whole text is read",
         "1 CRLs found\n" + list2 + "0 certificates found\n", {{"ff01", decT}}},
        {"empty section", "0 certificates found\n0 CRLs found\n", {}},
        {"section shorter than 7 characters", "0 certificates found\nVers\n0 CRLs found\n", {}},
        {"nothing but noise", "sh: 1: /no/such/tool: not found\n-kvbreturncode:127\n", {}},
        {"serial label without ':' ends its list, the next list is read",
         "0 certificates found\nVersion 1\n" + entry(1, "01", jan) + "Revoked Cert 2:\n   Serial number 02\n" +
             "Version 2\n" + entry(1, "03", dec) + "2 CRLs found\n",
         {{"01", janT}, {"03", decT}}},
        {"entry without a revocation time ends its list, the next list is read",
         "0 certificates found\nVersion 1\nRevoked Cert 1:\n   Serial number : 01\nVersion 2\n" + entry(1, "03", dec) +
             "2 CRLs found\n",
         {{"03", decT}}},
        {"time label without ':'",
         "0 certificates found\nVersion 1\nRevoked Cert 1:\n   Serial number : 01\n   Revocation time 10 15\n"
         "1 CRLs found\n",
         {}},
        {"no 'Revoked Cert ' in a list: its entries are not read",
         "0 certificates found\nVersion 1\n   Serial number : 01\n   Revocation time : " + jan + "\nVersion 2\n" +
             entry(1, "03", dec) + "2 CRLs found\n",
         {{"03", decT}}},
        {"time without a date keeps the fields it read", "Version 1\n" + entry(1, "05", "10:15:00"),
         {{"05", utc(1899, 12, 31, 10, 15, 0)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RevocationMap map;
        kvbsign::addCrlListingEntries(c.listing, map);
        EXPECT_EQ(map, c.want);
    }
}

TEST(CacheListingText, TimesAreLocalStandardTimeAllYearRound) {
    kvtest::ScopedEnv tz("TZ", kZoneWithDst);
    const std::string listing = "0 certificates found\nVersion 2\n" + entry(1, "01", "10:15:00 Jan 05, 2014") +
                                entry(2, "02", "10:15:00 Jul 15, 2014") + "1 CRLs found\n";
    RevocationMap map;
    kvbsign::addCrlListingEntries(listing, map);
    // UTC+1 in winter and summer alike: daylight saving never applies.
    const RevocationMap want = {{"01", utc(2014, 1, 5, 9, 15, 0)}, {"02", utc(2014, 7, 15, 9, 15, 0)}};
    EXPECT_EQ(map, want);
}

TEST(CacheListingText, RecordIsLeftUnchanged) {
    std::string record = "Version 1\n" + entry(1, "0a:1b", "10:15:00 Jan 05, 2014");
    const std::string copy = record;
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::extractInfoFromCrl(record, map));
    EXPECT_EQ(record, copy);
    EXPECT_EQ(map.count("0a1b"), 1u);
}

TEST(CacheListingText, LargeListingIsParsedInOnePass) {
    // Many entries in one list: the walk must stay linear in the size of the text.
    std::string listing = "0 certificates found\nVersion 2\n";
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        char serial[16];
        snprintf(serial, sizeof serial, "%06x", i);
        listing += entry(i + 1, serial, "10:15:00 Jan 05, 2014");
    }
    listing += "1 CRLs found\n";
    RevocationMap map;
    kvbsign::addCrlListingEntries(listing, map);
    EXPECT_EQ(map.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(map.count("004e1f"), 1u);
}

}  // namespace
