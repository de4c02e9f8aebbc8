#ifndef KVBSIGN_TEST_TSA_H
#define KVBSIGN_TEST_TSA_H

// RFC 3161 timestamp tokens made at test time with OpenSSL's responder, for any message text
// and any signing time. Every function throws std::runtime_error when OpenSSL fails.

#include <ctime>
#include <string>
#include <vector>

#include "test_pki.h"

namespace kvtest {

// A timestamp authority: its signing certificate and key, and the certificates that its tokens
// carry after the signing certificate (normally its chain up to and including a root).
struct TsaIdentity {
    X509Ptr cert;
    EvpPkeyPtr key;
    std::vector<X509Ptr> chain;
};

// A TSA signing certificate (extendedKeyUsage critical,timeStamping; valid from now - 30 days to
// now + 365 days) issued by `issuer`; the tokens carry `chain` after it. keyPoolIndex picks the
// TSA's key from the test key pool.
TsaIdentity makeTsa(const std::string& cn, X509* issuer, EVP_PKEY* issuerKey, const std::vector<X509*>& chain,
                    int keyPoolIndex = 20);

// The shared TSA: issued by the TestPki root, its tokens carry the root.
const TsaIdentity& defaultTsa();

// A granted TimeStampResp (DER) whose message imprint is SHA-1 of `message` and whose genTime
// is `genTime` (whole seconds, UTC).
std::string grantedResponse(const TsaIdentity& tsa, const std::string& message, time_t genTime);

// A rejection TimeStampResp (DER): status rejection, failure unacceptedPolicy, no token. The
// request asks for a policy that the authority does not serve.
std::string rejectionResponse(const TsaIdentity& tsa, const std::string& message);

// The bare TimeStampToken (PKCS#7 signedData, DER) of a granted response.
std::string bareToken(const std::string& responseDer);

}  // namespace kvtest

#endif
