#ifndef KVBSIGN_CRL_READING_H
#define KVBSIGN_CRL_READING_H

// Revocation lists as one revocation check reads them: only the entries that the check can
// use, only within the time the check has left, and, for a certificate, only from a list that
// may speak for it (revocation/crl_check.h). The named routines
// KVBSignLibInternal::extractSerialNumbersFromX509CRL and downloadAndParseCRL have no
// certificate to check a list against: they read every entry (up to kMaxEntriesKeptWhole) of
// whatever list they are given, have no deadline of their own beyond the download bounds, and
// the verification never uses them.
//
// A list is walked entry by entry (revocation/crl_entries.h), never decoded whole, so memory
// stays bounded whatever its size; the server that sends it is chosen by the certificate.

#include <chrono>
#include <cstddef>
#include <set>
#include <string>
#include <string_view>

#include "KVBSignLibInternal.h"
#include "crl_cache_tool/cache_listing.h"
#include "revocation/crl_check.h"

namespace kvbsign {

enum class CrlFileRead {
    Read,      // a list: its entries (those wanted) went into the map
    NotAList,  // nothing that a whole decode would take for a list: nothing added
    TooLarge,  // a list that cannot be read within the bounds: nothing added
    Unopened,  // the file cannot be opened: nothing added
    Refused,   // a list, but not one that may speak for the certificate: nothing added
};

// How a downloaded list is read: the file must hold exactly one list and nothing after it,
// and, with a certificate, that list must be one that may speak for it.
struct FetchedList {
    const CrlSubject* subject = nullptr;  // null: the list is not checked against an issuer
    std::string_view point;               // the URL it was fetched from
};

// Most entries kept by a read that keeps every entry (as many as the CRL cache listing
// takes); a longer list is TooLarge.
constexpr std::size_t kMaxEntriesKeptWhole = crl_listing::kMaxEntries;

// Adds to `map` (never replacing a key already there) the entries of the DER list in `path`
// whose key is in `wanted`, or every entry when `wanted` is null. A serial the list names
// twice keeps its later listing. The walk gives up (TooLarge) once `deadline` has passed.
// Without `fetched` the file is read as a decode from a file reads it (bytes after the list
// are not looked at) and nothing about the list is checked.
CrlFileRead readDerCrlFile(const std::string& path, RevocationMap& map, const std::set<std::string>* wanted,
                           std::chrono::steady_clock::time_point deadline, const FetchedList* fetched = nullptr);

// The download of the revocation check: fetches the list at `url` for `subject` (a certificate
// whose distribution point names that URL, and its issuer) and adds its entries to `map`. True
// only for a fetched list: status 200 without a transfer coding, a body of exactly the length
// announced (when one is), stored whole, that holds one DER list and nothing else, which may
// speak for the certificate. Keeps only the entries in `wanted` (every entry when null), and
// ends by `deadline` at the latest, the list's reading included; a list too large to read
// within the bounds is a failed fetch. A URL that holds a control character, a blank or DEL is
// never requested. Without a subject the list is taken whoever issued it (downloadAndParseCRL).
bool downloadCrl(const std::string& url, const CrlSubject* subject, RevocationMap& map,
                 const std::set<std::string>* wanted, std::chrono::steady_clock::time_point deadline);

}  // namespace kvbsign

#endif
