#ifndef KVBSIGN_CRL_CACHE_LISTING_H
#define KVBSIGN_CRL_CACHE_LISTING_H

// The exit statuses and bounds of the CRL cache listing tool (kvbsign-crltool), shared by the
// tool and by the library that runs it. Only kListed lets the library use the listing: any
// other status, and a tool that cannot be started at all, leaves the cache's revocations
// unknown.

#include <cstddef>

namespace kvbsign {
namespace crl_listing {

// Every list of the cache file was listed. No cache file at all is an empty cache.
constexpr int kListed = 0;
// The command line was not "y k=<cache file> v"; nothing listed.
constexpr int kUsage = 2;
// The cache was refused as a whole and nothing was listed: it cannot be opened, it is not a
// regular file, it is over the bounds, or it holds something that is not a list.
constexpr int kRefused = 3;

// The cache is read whole and listed whole, and the library reads the listing whole: a larger
// cache is refused rather than listed in part.
constexpr std::size_t kMaxCacheBytes = 32 * 1024 * 1024;
// The most entries the listing holds, all lists together; also the most entries the library
// keeps of one list read whole (a list it is given without a certificate to check it for).
constexpr std::size_t kMaxEntries = 250000;

}  // namespace crl_listing
}  // namespace kvbsign

#endif
