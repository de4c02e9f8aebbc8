// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

std::string KVBSignLibInternal::stringRange(const std::string&, const std::string&, const std::string&) { return ""; }
std::string KVBSignLibInternal::unite_lines(std::string t) { return t; }
std::string KVBSignLibInternal::extractAttribute(const std::string&, std::string) { return ""; }
std::string KVBSignLibInternal::__base64_string_format(const std::string&) { return ""; }
std::string KVBSignLibInternal::base64_decodestring(std::string) { return ""; }
std::string KVBSignLibInternal::digest_to_hex_string(const unsigned char*, unsigned long) { return ""; }
unsigned char KVBSignLibInternal::hex2byte(const char*) { return 0; }
std::string KVBSignLibInternal::uriPercentEncode(const std::string& p) { return p; }
std::string KVBSignLibInternal::UriDecode(const std::string& t) { return t; }
std::string KVBSignLibInternal::htmlEntitiesDecode(const std::string& t) { return t; }
bool foundStr(const std::string&, const std::string&) { return false; }
bool isValidKeyHash(const std::string&) { return false; }
unsigned char charToHexDigit(char) { return 0; }
unsigned char stringToByte(char*) { return 0; }
bool isHashValueEqual(unsigned char*, const char*) { return false; }
