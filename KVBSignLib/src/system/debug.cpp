#include "KVBSignLibInternal.h"

// Diagnostics are collected at these sinks and deliberately not shown: the user sees only
// the front end's report and status message.
void KVBSignLibInternal::debugError(std::string) {}
void KVBSignLibInternal::debugError(std::wstring) {}
void KVBSignLibInternal::debugMessage(std::string) {}
