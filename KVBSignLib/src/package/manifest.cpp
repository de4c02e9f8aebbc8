// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

bool checkManifestHashes(const std::string&, const char*, const char*, bool, bool) { return false; }
void extractManifestEntriesNonXML(const std::string&, std::map<std::string, std::string>&) {}
