// STUB: replaced by the real implementation.
#include "KVBSignLibInternal.h"

bool validateKVB(const std::string&, const char*, const char*, bool) { return false; }
