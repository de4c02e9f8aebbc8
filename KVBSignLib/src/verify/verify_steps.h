#ifndef KVBSIGN_VERIFY_STEPS_H
#define KVBSIGN_VERIFY_STEPS_H

// The parts of the verify call that run between its frame's steps: the user certificates,
// the reading of the signature document and the checks. Each turns every error raised inside
// it into a status and never lets one out.

#include <ctime>
#include <string>
#include <vector>

#include <openssl/x509.h>

#include "KVBSignLib.h"

namespace kvbsign {
namespace verify {

// Gives the record's three texts fresh empty values; whatever they held is neither read nor
// released. A text that cannot be allocated is left null, which the release call accepts.
void setEmptyTexts(KCertificateInfo* info) noexcept;

// Resolves the caller's certificate paths (null entries are skipped) and loads them into
// `certificates`. 0, or 26 when a path cannot be resolved or a file cannot be read or parsed.
// Whatever `certificates` holds afterwards belongs to the caller, also after a failure.
int loadUserCertificates(const char* const* paths, int count, std::vector<X509*>& certificates) noexcept;

// Resolves `signaturePath` (META-INF/signatures.xml below `packageRoot`) into `canonicalPath`
// and reads the whole document into `document` (cut at its first NUL byte; left empty when
// the file does not open). 0, or 31 when an error is raised, when the path names no regular
// file inside the package (links are followed only while they stay inside), or when its size
// cannot be taken or is 256 MiB or more.
int readSignatureDocument(const std::string& packageRoot, const std::string& signaturePath,
                          std::string& canonicalPath, std::string& document) noexcept;

// True when the signer must be judged against `now` and `now` is not strictly inside its
// validity. Only a timestamp that verified and lies within the validity vouches for the signer.
bool signerDateTestFails(int timestampStatus, const KCertificateInfo& record, time_t now);

// The checks of one verification: timestamp, signature and file digests, certificate record,
// date test, revocation outcome and the user chain. Returns 0, 24, 42, 50, 51 or 52.
int runChecks(const std::string& document, const std::string& extractionDirectory,
              std::string& canonicalSignaturePath, std::vector<X509*>& userCertificates, KCertificateInfo* info,
              bool skipOnlineRevocationChecks) noexcept;

// Passes a diagnostic or progress text on; never throws (a diagnostic is not worth an error).
void diagnostic(const char* text) noexcept;
void progress(const char* text) noexcept;

}  // namespace verify
}  // namespace kvbsign

#endif
