// The parser of the system CRL cache listing: the whole listing (section cut, records) and
// one record on its own.
#include <string>

#include "KVBSignLibInternal.h"
#include "fuzz_support.h"
#include "revocation/crl_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string listing = kvfuzz::bytes(data, size);

    RevocationMap map;
    kvbsign::addCrlListingEntries(listing, map);

    std::string record = listing;
    RevocationMap single;
    KVBSignLibInternal::extractInfoFromCrl(record, single);
    if (record != listing) __builtin_trap();  // the record is read, never changed
    return 0;
}
