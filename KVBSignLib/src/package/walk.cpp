// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

char* KVBSignLibInternal::encodeFile(const char*, KVBSIGN_STATUS* status) { *status = KVBSIGN_FILE_NOT_FOUND; return nullptr; }
boost::filesystem::path KVBSignLibInternal::relativePath(const boost::filesystem::path& p, const boost::filesystem::path&) { return p; }
int generateManifestReferencesNonXML(std::vector<nonXMLManifestReference>&, const std::string&, const std::string&, const std::string&) { return KVBSIGN_FILE_NOT_FOUND; }
int recurseDirectoryAndAddReferencesNonXML(std::vector<nonXMLManifestReference>&, const std::string&, const char*, const char*) { return KVBSIGN_FILE_NOT_FOUND; }
int addManifestReferenceNonXML(std::vector<nonXMLManifestReference>&, const std::string&, const char*, const char*, const char*) { return KVBSIGN_FILE_NOT_FOUND; }
boost::filesystem::path resolvePath(const boost::filesystem::path& p) { return p; }
