// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

bool KVBSignLibInternal::extractSerialNumbersFromX509CRL(const std::string&, RevocationMap&) { return false; }
bool KVBSignLibInternal::getCertificateRevocationLists(RevocationMap&) { return true; }
bool KVBSignLibInternal::extractInfoFromCrl(std::string&, RevocationMap&) { return true; }
