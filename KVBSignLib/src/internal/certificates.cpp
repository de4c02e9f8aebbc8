// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

EVP_PKEY* KVBSignLibInternal::extractRSA(const std::string&) { return EVP_PKEY_new(); }
std::vector<std::string> KVBSignLibInternal::getX509Certificates(const std::string&) { return {}; }
X509* KVBSignLibInternal::getX509FromXML(const std::string&) { return nullptr; }
