#include "verify/test_seams.h"

void (*kvbsignFaultHookForTesting)(const char* where) = nullptr;
