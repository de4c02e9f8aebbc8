// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

std::string KVBSignLibInternal::getOutputFromSystemCall(const std::string&) { return "-kvbreturncode:1\n"; }
int KVBSignLibInternal::extractReturnCode(const std::string&) { return 1; }
bool KVBSignLibInternal::unzip(boost::filesystem::path, std::string) { return false; }
std::string KVBSignLibInternal::createTempDirectory(int, int) { return ""; }
std::string KVBSignLibInternal::tmpDir() { return ""; }
void KVBSignLibInternal::removeTempDirectory(std::string&) {}
std::string KVBSignLibInternal::argumentPathToCanonical(const char* a) { return a ? a : ""; }
int KVBSignLibInternal::compareNoCase(const char*, const char*) { return 1; }
bool addToZip(const std::string&, const std::string&, const std::string&) { return false; }
std::string utf8ToPlatformChar(const char* t) { return t ? t : ""; }
std::string wideToString(const wchar_t*) { return ""; }
