// STUB: replaced by the real implementation.
#include "Timestamp.h"

bool Timestamp::isTimestamped(const std::string&) { return false; }
std::string Timestamp::extractTimestampValue(const std::string&) { return ""; }
std::string Timestamp::constructTimestampRequestBody(const std::string&) { return ""; }
std::string Timestamp::readAndRepairTimestampRequestBody(const std::string&) { return ""; }
std::string Timestamp::computeSHA1AsHex(const std::string&) { return ""; }
std::string Timestamp::extractTSTInfo(const std::string&) { return ""; }
int Timestamp::validateTimestamp(const std::string&, bool, std::vector<X509*>, std::string&, long&) { return 3; }
