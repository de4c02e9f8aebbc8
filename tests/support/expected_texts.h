#ifndef KVBSIGN_TEST_EXPECTED_TEXTS_H
#define KVBSIGN_TEST_EXPECTED_TEXTS_H

// Texts of the front end that several tests expect byte for byte, written out by hand.

#include <string>

namespace kvtest {

// The status messages of a verification, line end included: kMsgN is what status N prints.
inline constexpr const char* kMsg0 = "Signature verified successfully\n";
inline constexpr const char* kMsg1 = "Error - General failure occured. Process failed. \n";
inline constexpr const char* kMsg3 = "Error - Arguments are invalid. Process failed. \n";
inline constexpr const char* kMsg13 =
    "Error - Could not create temporary directory for unzipping. Verification failed. \n";
inline constexpr const char* kMsg20 = "Error - Failed to unzip KVB. Verification failed.\n";
inline constexpr const char* kMsg24 =
    "Error - Certificate is expired or not yet valid. Please check certificate validity.\n";
inline constexpr const char* kMsg26 =
    "Error - Could not read one or more certificate files. Please check that all certificate file(s) are valid.\n";
inline constexpr const char* kMsg30 = "Error - Cannot locate /META-INF/signatures.xml. No signature detected.\n";
inline constexpr const char* kMsg31 = "Error - Failed to parse signatures.xml. Check for valid XML format. \n";
inline constexpr const char* kMsg32 = "Error - Invalid Signature element encountered. \n";
inline constexpr const char* kMsg33 = "Error - Cannot locate <Signature> element in signatures.xml\n";
inline constexpr const char* kMsg42 = "Error - Verification Exception raised. Verifying failed\n";
inline constexpr const char* kMsg50 = "Error - Failed to verify signature. Signature might have been tampered with.\n";
inline constexpr const char* kMsg51 =
    "Signature and file references verified successfully, but certificate chain could not be verified and/or "
    "certificates passed in were not found\n";
inline constexpr const char* kMsg52 =
    "Signature and file references verified successfully, but certificate revocation status could not be "
    "verified as remote CRL could not be reached.\n";

// A message without its line end: to find it where the line may end otherwise (a terminal
// ends its lines with "\r\n").
inline std::string withoutLineEnd(const char* message) {
    std::string text(message);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

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
