#ifndef KVBSIGN_CRL_LISTING_H
#define KVBSIGN_CRL_LISTING_H

// The text side of the system CRL cache: KVBSignLibInternal::getCertificateRevocationLists
// runs the listing tool and hands its whole output here. Kept apart so that listings the
// tool would never print can be parsed in tests.

#include <string>

#include "KVBSignLibInternal.h"

namespace kvbsign {

// Cuts the CRL section out of a listing, splits it into one record per list and adds every
// entry that the records yield to `map` (an existing key keeps its value).
void addCrlListingEntries(const std::string& listing, RevocationMap& map);

}  // namespace kvbsign

// Test seam: the shell command run to list the cache instead of the listing tool (a missing
// tool cannot be shown for real while the built one stays where the library expects it, nor a
// copy of it run as another user). Null restores the tool. Not for use outside tests.
void kvbsignSetCrlListingCommandForTesting(const char* command);

#endif
