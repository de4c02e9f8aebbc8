#ifndef KVBSIGN_CRL_DOWNLOAD_LIMITS_H
#define KVBSIGN_CRL_DOWNLOAD_LIMITS_H

// Bounds of one CRL download (KVBSignLibInternal::downloadAndParseCRL) and of all downloads of
// one revocation check (KVBSignLibInternal::checkCertificateChainRevocation). Production code
// never calls these; tests shorten the bounds so that a stalled server fails the fetch quickly.
// A value of 0 or below restores that bound's default.

#include <cstdint>

// Name resolution and connection together (default 10 s), one read or write without any
// progress (default 30 s), the whole download (default 60 s).
void kvbsignSetCrlTimeoutsForTesting(int connectMs, int idleMs, int totalMs);

// Largest response body accepted (default 256 MB). A list within it is read entry by entry,
// so its size costs time, not memory.
void kvbsignSetCrlBodyLimitForTesting(std::int64_t bytes);

// All downloads of one revocation check together (default 120 s): once it has passed, the
// points not yet tried count as not fetched, and a download under way ends then too (its own
// bounds never reach past it).
void kvbsignSetCrlCheckBoundForTesting(int totalMs);

#endif
