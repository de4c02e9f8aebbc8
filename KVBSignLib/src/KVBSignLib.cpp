#include "KVBSignLib.h"

#include "system/interrupt.h"
#include "verify/frame.h"

extern "C" int KVBSign_verify(const char* path, const char** certificatePaths, int certificateCount,
                              KCertificateInfo* info, bool skipOnlineRevocationChecks) {
    // For the whole call, clean-up included: a signal stops the steps, never the removal.
    kvbsign::interrupt::Scope interruptible;
    kvbsign::verify::Verification verification(path, certificatePaths, certificateCount, info,
                                               skipOnlineRevocationChecks);
    int status = verification.run();
    verification.finish();
    // The signal is raised again here, and the process ends by it; should the caller's own
    // handler return instead, the verification did not finish.
    if (interruptible.end()) status = KVBSIGN_GENERAL_FAILURE;
    return status;
}

extern "C" int KVBSign_releaseCertificateData(KCertificateInfo* info) {
    if (!info) return 0;
    delete[] info->commonName;
    delete[] info->distinguishedName;
    delete[] info->organizationalUnit;
    return 0;
}
