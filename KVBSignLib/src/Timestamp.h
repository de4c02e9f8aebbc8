#ifndef KVBSIGN_TIMESTAMP_H
#define KVBSIGN_TIMESTAMP_H

#include <ctime>
#include <string>
#include <vector>

#include <openssl/asn1.h>
#include <openssl/x509.h>

// RFC 3161 timestamp check and the library's one ASN.1 time conversion.
class Timestamp {
public:
    static time_t Asn1ToTime(const ASN1_STRING* t);

    static bool isTimestamped(const std::string& sigXml);
    static std::string constructTimestampRequestBody(const std::string& sigXml);
    static std::string readAndRepairTimestampRequestBody(const std::string& path);
    static std::string computeSHA1AsHex(const std::string& data);
    static int validateTimestamp(const std::string& sigXml, bool isNvo, std::vector<X509*> userCerts,
                                 std::string& signatureFilePath, long& genTime);
    // Design only, no step of the verification calls these (the check decodes the token from
    // its range in the document, and reads the signing time from the verified token, never
    // from a text dump):
    static std::string extractTimestampValue(const std::string& sigXml);
    static std::string extractTSTInfo(const std::string& dump);
};

#endif
