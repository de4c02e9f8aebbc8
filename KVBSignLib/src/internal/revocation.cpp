// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

void KVBSignLibInternal::checkIfRevoked(const std::string&, KCertificateInfo* info, bool*, long&) { info->revoked = -1; }
int KVBSignLibInternal::checkCertificateChainRevocation(const std::string&, RevocationMap&, bool*, long&) { return -1; }
bool KVBSignLibInternal::hasSerialAfterRevocation(RevocationMap&, X509*, long&) { return false; }
