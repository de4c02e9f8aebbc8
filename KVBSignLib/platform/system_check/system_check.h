#ifndef KVBSIGN_SYSTEM_CHECK_H
#define KVBSIGN_SYSTEM_CHECK_H

// The platform's own check of a certificate chain, handed the chain as a PEM file. Its answer
// decides nothing: trust is decided against the root store. Where the platform has no such
// check, asking for it does nothing.

#include <string>

namespace kvbsign {
namespace system_check {

// Asks the platform to check the chain in `pemFile`; returns when it is done.
void checkChainFile(const std::string& pemFile);

// Test seam: replaces the platform's check, so a test can see the file it is handed. Null
// restores the platform's. Not for use outside tests.
void setChainCheckForTesting(void (*check)(const std::string& pemFile));

}  // namespace system_check
}  // namespace kvbsign

#endif
