// STUB: replaced by the real implementation.
#include "Timestamp.h"

time_t Timestamp::Asn1ToTime(const ASN1_STRING*) { return 0; }
