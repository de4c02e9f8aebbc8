// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

std::string KVBSignLibInternal::extractSignatureValue(const std::string&) { return ""; }
std::string KVBSignLibInternal::extractManifestValue(const std::string&) { return ""; }
bool KVBSignLibInternal::isNvoSignature(const std::string&) { return false; }
std::string KVBSignLibInternal::removeSpacesBetweenElements(std::string t) { return t; }
std::string KVBSignLibInternal::expandCollapsedElements(std::string t) { return t; }
std::string KVBSignLibInternal::signedInfoSHA1(const std::string&, bool) { return ""; }
std::string KVBSignLibInternal::manifestSHA256(const std::string&, bool) { return ""; }
bool KVBSignLibInternal::canonicalFormDropsContent(const std::string&, bool) { return true; }
