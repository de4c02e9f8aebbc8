// STUB: replaced by the real implementation.
#include "KVBSignCmd.h"
