#ifndef KVBSIGN_TEST_E2E_WORLD_H
#define KVBSIGN_TEST_E2E_WORLD_H

// The world that the end-to-end suites run the built tool in: signers with and without CRL
// distribution points, root bundles for SSL_CERT_FILE, CRL cache files for the listing tool, a
// loopback CRL server, and signed packages built from them. Built once per suite; everything
// lives below one scratch directory and goes with the world.

#include <time.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "http_server.h"
#include "package_builder.h"
#include "test_pki.h"

namespace kvtest {
namespace e2e {

// A signer certificate with the texts the certificate report must show for it, written by
// hand from its subject.
struct Signer {
    CertAndKey id;
    std::string cn;
    std::string ou;
    std::string dn;
};

// The root store the tool reads through SSL_CERT_FILE.
enum class Roots {
    Trusted,   // a bundle holding the test root
    Untrusted, // a bundle holding an unrelated root only
    Missing,   // a path where no file exists
};

// The texts of the report's verdict lines.
extern const char* const kRevokedUnknownText;
extern const char* const kTimestampNone;
extern const char* const kTimestampWithin;
extern const char* const kTimestampOutside;
extern const char* const kTimestampUnverifiable;
extern const char* const kTimestampInvalid;

class World {
public:
    // serverAddresses: loopback addresses for the CRL server (port 80), tried in order until
    // one can be bound (the suites' test programs run side by side, each with its own server);
    // deadAddress: a loopback address where nothing listens.
    World(const std::vector<std::string>& serverAddresses, const std::string& deadAddress);
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    std::string path(const std::string& relative) const { return scratch_.file(relative); }

    LoopbackHttpServer& server() { return *server_; }
    bool serverUp() const { return server_->started(); }
    // Why the server is not up, for skip messages.
    std::string serverProblem() const;

    // Issued by the test intermediate; all share one key.
    Signer plain;           // the test leaf: two OU values, no CRL point
    Signer expired;         // the test expired leaf (valid from now - 60 days to now - 2 days)
    Signer notYetValid;     // the test leaf that becomes valid in 2 days
    Signer crlClean;        // CRL point on the server; the list served does not name it
    Signer crlRevoked;      // CRL point on the server; the list served names it
    Signer crlDead;         // CRL point where nothing listens
    Signer expiredCrlDead;  // expired, CRL point where nothing listens
    Signer cacheListed;     // no CRL point; the revoked cache file names it

    std::string trustedBundle;
    std::string untrustedBundle;
    std::string missingBundle;
    std::string noCache;       // a cache path where no file exists
    std::string revokedCache;  // a cache file whose list names cacheListed

    // A builder for a package of three files signed by `signer`, with its chain to the root
    // in KeyInfo.
    PackageBuilder builder(const Signer& signer) const;
    // builder(signer) built into path(name).
    SignedPackage build(const Signer& signer, const std::string& name) const;
    // A timestamp response over the package's signature value with the given time, base64;
    // oneByteOff: over a message that differs in one byte.
    static std::string timestamp(const SignedPackage& package, time_t genTime, bool oneByteOff = false);

    // The environment of one run: TZ=UTC (report dates are then the certificates' UTC dates),
    // the root store and the CRL cache file (noCache when empty).
    EnvList env(Roots roots, const std::string& cache = "") const;

private:
    ScratchDir scratch_;
    std::unique_ptr<LoopbackHttpServer> server_;
};

// "prefix" + n for n from first to last: candidate addresses for World.
std::vector<std::string> addressRange(const std::string& prefix, int first, int last);

// The nine report lines for `signer`, with the verdict texts as given; validNow picks the
// "Signing Certificate:" form. Dates are those of the certificate's validity bounds, cut to the
// hour, in a zone utcOffsetHours east of UTC (the zone of the run).
std::string expectedReport(const Signer& signer, const std::string& trusted, const std::string& revoked,
                           const std::string& timestamp, bool validNow, int utcOffsetHours = 0);

}  // namespace e2e
}  // namespace kvtest

#endif
