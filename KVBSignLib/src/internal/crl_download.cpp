// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

bool KVBSignLibInternal::downloadAndParseCRL(const std::string&, RevocationMap&) { return false; }
