#ifndef KVBSIGN_CRL_READING_H
#define KVBSIGN_CRL_READING_H

// Revocation lists as one revocation check reads them: only the entries that the check can
// use, and only within the time the check has left. The named routines
// KVBSignLibInternal::extractSerialNumbersFromX509CRL and downloadAndParseCRL read every entry
// (up to kMaxEntriesKeptWhole) and have no deadline of their own beyond the download bounds.
//
// A list is walked entry by entry (revocation/crl_entries.h), never decoded whole, so memory
// stays bounded whatever its size; the server that sends it is chosen by the certificate.

#include <chrono>
#include <cstddef>
#include <set>
#include <string>

#include "KVBSignLibInternal.h"

namespace kvbsign {

enum class CrlFileRead {
    Read,      // a list: its entries (those wanted) went into the map
    NotAList,  // nothing that a whole decode would take for a list: nothing added
    TooLarge,  // a list that cannot be read within the bounds: nothing added
    Unopened,  // the file cannot be opened: nothing added
};

// Most entries kept by a read that keeps every entry (as many as the CRL cache listing
// takes); a longer list is TooLarge.
constexpr std::size_t kMaxEntriesKeptWhole = 250000;

// Adds to `map` (never replacing a key already there) the entries of the DER list in `path`
// whose key is in `wanted`, or every entry when `wanted` is null. A serial the list names
// twice keeps its later listing. The walk gives up (TooLarge) once `deadline` has passed.
CrlFileRead readDerCrlFile(const std::string& path, RevocationMap& map, const std::set<std::string>* wanted,
                           std::chrono::steady_clock::time_point deadline);

// downloadAndParseCRL for one revocation check: keeps only the entries in `wanted` (every
// entry when null), and ends by `deadline` at the latest, the list's reading included; a list
// too large to read within the bounds is a failed fetch. A URL that holds a control
// character, a blank or DEL is never requested.
bool downloadCrl(const std::string& url, RevocationMap& map, const std::set<std::string>* wanted,
                 std::chrono::steady_clock::time_point deadline);

}  // namespace kvbsign

#endif
