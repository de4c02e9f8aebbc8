// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

void KVBSignLibInternal::getCertificateInformation(const std::string&, KCertificateInfo*, bool*, long&, bool) {}
void KVBSignLibInternal::readCertificateInfo(X509*, KCertificateInfo*) {}
void KVBSignLibInternal::checkIfOSTrusted(const std::string&, KCertificateInfo* info) { info->osTrusted = -1; }
