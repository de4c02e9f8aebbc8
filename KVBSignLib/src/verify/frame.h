#ifndef KVBSIGN_VERIFY_FRAME_H
#define KVBSIGN_VERIFY_FRAME_H

// The frame of one call of KVBSign_verify: the package path, the user certificates, the
// temporary directories, the extraction and the signature document, around the checks
// (verify/verify_steps.h), and the removal of what the steps made.

#include <string>

#include <boost/filesystem/path.hpp>

#include "KVBSignLib.h"
#include "ossl_ptr.h"

namespace kvbsign {
namespace verify {

// One call of KVBSign_verify. run() is the sequence of steps; every "leave" returns from it,
// and finish() then removes what the steps made, on every path.
class Verification {
public:
    Verification(const char* path, const char* const* certificatePaths, int certificateCount, KCertificateInfo* info,
                 bool skipOnlineRevocationChecks)
        : path_(path),
          certificatePaths_(certificatePaths),
          certificateCount_(certificateCount),
          info_(info),
          skipOnlineRevocationChecks_(skipOnlineRevocationChecks) {}
    Verification(const Verification&) = delete;
    Verification& operator=(const Verification&) = delete;

    int run() noexcept;
    void finish() noexcept;

private:
    int resolvePackage() noexcept;
    int prepareDirectories() noexcept;
    int extract() noexcept;
    int findSignatureDocument() noexcept;
    int setUpCryptography() noexcept;

    const char* path_;
    const char* const* certificatePaths_;
    int certificateCount_;
    KCertificateInfo* info_;
    bool skipOnlineRevocationChecks_;

    std::string packagePath_;
    boost::filesystem::path absolutePackagePath_;
    X509List userCertificates_;
    bool directoriesStarted_ = false;
    std::string firstTemporaryDirectory_;
    std::string secondTemporaryDirectory_;
    bool fileMode_ = true;
    bool extracted_ = false;
    std::string extractionDirectory_;
    std::string signaturePath_;
    std::string canonicalSignaturePath_;
    std::string document_;
};

}  // namespace verify
}  // namespace kvbsign

#endif
