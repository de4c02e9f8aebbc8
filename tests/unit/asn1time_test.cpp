// Timestamp::Asn1ToTime: hour precision, two-digit years, the 'Z' rule and its dependence on
// the daylight-saving state of the moment of the call.

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <openssl/asn1.h>

#include "Timestamp.h"

namespace {

// Sets the process time zone for one scope and restores the previous one.
class TzScope {
public:
    explicit TzScope(const std::string& tz) {
        const char* old = getenv("TZ");
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        setenv("TZ", tz.c_str(), 1);
        tzset();
    }
    ~TzScope() {
        if (hadOld_) {
            setenv("TZ", old_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    TzScope(const TzScope&) = delete;
    TzScope& operator=(const TzScope&) = delete;

private:
    bool hadOld_ = false;
    std::string old_;
};

struct Asn1StringFree {
    void operator()(ASN1_STRING* s) const { ASN1_STRING_free(s); }
};
using Asn1StringPtr = std::unique_ptr<ASN1_STRING, Asn1StringFree>;

Asn1StringPtr asn1(int type, const std::string& text) {
    Asn1StringPtr s(ASN1_STRING_type_new(type));
    if (!s || ASN1_STRING_set(s.get(), text.data(), static_cast<int>(text.size())) != 1) ADD_FAILURE();
    return s;
}

time_t convert(int type, const std::string& text) { return Timestamp::Asn1ToTime(asn1(type, text).get()); }

bool dstInEffectNow() {
    const time_t now = time(nullptr);
    return localtime(&now)->tm_isdst > 0;
}

// A POSIX zone (standard UTC+1, daylight saving UTC+2) whose daylight-saving period lies
// `offsetDays` days around today, so that the state at the moment of the call is known
// whatever the real date: inside the period when the window contains today, outside otherwise.
std::string syntheticDstZone(bool dstNow) {
    const time_t now = time(nullptr);
    struct tm utc;
    gmtime_r(&now, &utc);
    const int today = utc.tm_yday;  // 0-based
    auto julian = [](int day) { return ((day % 365) + 365) % 365 + 1; };
    const int start = dstNow ? julian(today - 20) : julian(today + 100);
    const int end = dstNow ? julian(today + 20) : julian(today + 200);
    return "XST-1XDT,J" + std::to_string(start) + ",J" + std::to_string(end);
}

const time_t k20140101_1200 = 1388577600;  // 2014-01-01 12:00:00 UTC
const time_t k20140701_1200 = 1404216000;  // 2014-07-01 12:00:00 UTC

struct Case {
    const char* name;
    int type;
    std::string text;
    time_t want;
};

TEST(Asn1ToTime, ReadsUtcTimesToTheHourInUtcZone) {
    TzScope tz("UTC");
    const Case cases[] = {
        {"UTCTime without seconds", V_ASN1_UTCTIME, "1401011230Z", k20140101_1200},
        {"UTCTime last two-digit year of the window", V_ASN1_UTCTIME, "491231235959Z", 2524604400},
        {"UTCTime first two-digit year of the window", V_ASN1_UTCTIME, "500101000000Z", -631152000},
        {"GeneralizedTime", V_ASN1_GENERALIZEDTIME, "20140101123456Z", k20140101_1200},
        {"GeneralizedTime with fraction", V_ASN1_GENERALIZEDTIME, "20140101123456.789Z", k20140101_1200},
        {"GeneralizedTime beyond 2049", V_ASN1_GENERALIZEDTIME, "20510601102030Z", 2569226400},
        {"letters in the UTCTime seconds are not read", V_ASN1_UTCTIME, "1401011230x5Z", k20140101_1200},
        {"letters in the GeneralizedTime seconds are not read", V_ASN1_GENERALIZEDTIME, "201401011234x6Z",
         k20140101_1200},
        {"day 00 is the last day of the previous month", V_ASN1_UTCTIME, "1401001200Z", 1388491200},
        {"hour 24 is midnight of the next day", V_ASN1_UTCTIME, "1401012400Z", 1388620800},
        {"no Z: local time, here UTC", V_ASN1_UTCTIME, "1401011230", k20140101_1200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(convert(c.type, c.text), c.want) << c.text;
    }
}

TEST(Asn1ToTime, UnreadableTimesGiveZero) {
    TzScope tz("UTC");
    const Case cases[] = {
        {"UTCTime of 9 characters", V_ASN1_UTCTIME, "140101123", 0},
        {"GeneralizedTime of 11 characters", V_ASN1_GENERALIZEDTIME, "20140101123", 0},
        {"month 00", V_ASN1_UTCTIME, "1400011200Z", 0},
        {"month 13", V_ASN1_GENERALIZEDTIME, "20141301120000Z", 0},
        {"letter in the UTCTime minutes", V_ASN1_UTCTIME, "140101123xZ", 0},
        {"letter in the GeneralizedTime minutes", V_ASN1_GENERALIZEDTIME, "20140101120xZ", 0},
        {"byte above 0x7F among the digits", V_ASN1_UTCTIME, "14\xb1" "1011230Z", 0},
        {"empty UTCTime", V_ASN1_UTCTIME, "", 0},
        {"another string type", V_ASN1_OCTET_STRING, "1401011230Z", 0},
        {"a printable string holding a time", V_ASN1_PRINTABLESTRING, "20140101123456Z", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(convert(c.type, c.text), 0);
    }
    EXPECT_EQ(Timestamp::Asn1ToTime(nullptr), 0);
}

TEST(Asn1ToTime, FixedOffsetZoneReadsZAsUtcAndIgnoresOtherOffsets) {
    TzScope tz("UTC-2");  // two hours east of UTC, no daylight saving
    // 12:00 local at UTC+2 is 10:00 UTC; the +0100 in the text is not read.
    EXPECT_EQ(convert(V_ASN1_GENERALIZEDTIME, "20140101120000+0100"), 1388570400);
    EXPECT_EQ(convert(V_ASN1_GENERALIZEDTIME, "20140101120000Z"), k20140101_1200);
    EXPECT_EQ(convert(V_ASN1_UTCTIME, "1407011200Z"), k20140701_1200);
}

// While daylight saving is in effect every date is read with the daylight-saving offset but
// corrected by the standard offset only: a 'Z' time comes out one hour early, winter or summer.
TEST(Asn1ToTime, DaylightSavingStateOfTheCallDecides) {
    struct DstCase {
        const char* name;
        bool dstNow;
    };
    const DstCase zones[] = {{"daylight saving in effect now", true}, {"daylight saving not in effect now", false}};
    for (const DstCase& z : zones) {
        SCOPED_TRACE(z.name);
        TzScope tz(syntheticDstZone(z.dstNow));
        ASSERT_EQ(dstInEffectNow(), z.dstNow) << "the synthetic zone does not behave as planned";
        const time_t shift = z.dstNow ? 3600 : 0;
        EXPECT_EQ(convert(V_ASN1_GENERALIZEDTIME, "20140101120000Z"), k20140101_1200 - shift);
        EXPECT_EQ(convert(V_ASN1_UTCTIME, "1407011200Z"), k20140701_1200 - shift);
        // Without 'Z' the fields are local time at the offset of the moment of the call.
        const time_t localOffset = z.dstNow ? 7200 : 3600;
        EXPECT_EQ(convert(V_ASN1_GENERALIZEDTIME, "20140101120000"), k20140101_1200 - localOffset);
    }
}

TEST(Asn1ToTime, RealDaylightSavingZone) {
    TzScope tz("Europe/Berlin");
    const time_t shift = dstInEffectNow() ? 3600 : 0;
    EXPECT_EQ(convert(V_ASN1_UTCTIME, "1401011200Z"), k20140101_1200 - shift);
    EXPECT_EQ(convert(V_ASN1_UTCTIME, "1407011200Z"), k20140701_1200 - shift);
}

}  // namespace
