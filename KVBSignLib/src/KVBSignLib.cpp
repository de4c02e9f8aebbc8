// STUB: replaced by the real implementation.
#include "KVBSignLib.h"
#include "KVBSignLibInternal.h"

std::string processArg(const char* argument) { return KVBSignLibInternal::argumentPathToCanonical(argument); }

extern "C" int KVBSign_verify(const char*, const char**, int, KCertificateInfo*, bool) { return KVBSIGN_SIGNATURE_INVALID; }

extern "C" int KVBSign_releaseCertificateData(KCertificateInfo*) { return 0; }
