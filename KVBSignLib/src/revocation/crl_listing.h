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

#endif
