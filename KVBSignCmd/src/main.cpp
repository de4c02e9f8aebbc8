// STUB: replaced by the real implementation.
#include "KVBSignLib.h"

int main() { return 2; }
