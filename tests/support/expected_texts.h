#ifndef KVBSIGN_TEST_EXPECTED_TEXTS_H
#define KVBSIGN_TEST_EXPECTED_TEXTS_H

// Texts of the front end that several tests expect byte for byte, written out by hand.

namespace kvtest {

// The usage text: tabs, the long option lines, and three line ends at its end.
inline constexpr const char* kUsage =
    "Usage:\n"
    "    KVBSignCmd -verify <kvb>|<extensionRootDirectory> [options]\n"
    "\toptions:\n"
    "\t\t-certInfo - will print out information about certificates (including timestamp and certificate "
    "revocation information)\n"
    "\t\t-skipOnlineRevocationChecks - will skip online checks for certificate revocation (certificate revocation "
    "checks only happen with -certInfo flag set)\n"
    "\t\t-addCerts <certificate1> <certificate2>... - will verify certificate chain and assess whether or not DER "
    "encoded certificates passed in are included\n"
    "\n"
    "\n";

}  // namespace kvtest

#endif
