#include <ctime>

#include <openssl/asn1.h>

#include "Timestamp.h"

namespace {

bool allDigits(const unsigned char* text, int count) {
    for (int i = 0; i < count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
    }
    return true;
}

int twoDigits(const unsigned char* text) { return (text[0] - '0') * 10 + (text[1] - '0'); }

// Month, day and hour, two digits each, as both time forms write them after the year. Only the
// month is range-checked; mktime normalises day and hour.
bool readMonthDayHour(const unsigned char* text, struct tm& fields) {
    const int month = twoDigits(text) - 1;
    if (month < 0 || month > 11) return false;
    fields.tm_mon = month;
    fields.tm_mday = twoDigits(text + 2);
    fields.tm_hour = twoDigits(text + 4);
    return true;
}

}  // namespace

// Keeps the date and the hour only. The working value starts as the current local time, so the
// daylight-saving flag that mktime sees is the one in force now, not the one of the date read.
time_t Timestamp::Asn1ToTime(const ASN1_STRING* t) {
    if (t == nullptr) return 0;

    const time_t now = time(nullptr);
    const struct tm* nowLocal = localtime(&now);
    if (nowLocal == nullptr) return 0;
    struct tm fields = *nowLocal;

    const int length = ASN1_STRING_length(t);
    const unsigned char* text = ASN1_STRING_get0_data(t);
    if (text == nullptr) return 0;

    switch (ASN1_STRING_type(t)) {
    case V_ASN1_UTCTIME: {
        if (length < 10 || !allDigits(text, 10)) return 0;
        const int yy = twoDigits(text);
        fields.tm_year = yy < 50 ? yy + 100 : yy;  // 1950..2049
        if (!readMonthDayHour(text + 2, fields)) return 0;
        break;
    }
    case V_ASN1_GENERALIZEDTIME: {
        if (length < 12 || !allDigits(text, 12)) return 0;
        fields.tm_year = twoDigits(text) * 100 + twoDigits(text + 2) - 1900;
        if (!readMonthDayHour(text + 4, fields)) return 0;
        break;
    }
    default:
        return 0;
    }
    fields.tm_min = 0;
    fields.tm_sec = 0;

    if (text[length - 1] != 'Z') return mktime(&fields);

    // A 'Z' time: read the fields as local time, then add the zone's offset from UTC. gmtime's
    // broken-down time carries no daylight-saving flag, so the correction is the standard offset.
    const time_t now2 = time(nullptr);
    const struct tm* local2 = localtime(&now2);
    if (local2 == nullptr) return 0;
    struct tm localNow = *local2;  // copied at once: gmtime reuses the same static buffer
    const struct tm* utc2 = gmtime(&now2);
    if (utc2 == nullptr) return 0;
    struct tm utcNow = *utc2;
    const time_t asLocal = mktime(&fields);
    return asLocal + mktime(&localNow) - mktime(&utcNow);
}
