#include <new>
#include <stdexcept>

#include "KVBSignLibInternal.h"
#include "SafeStringAPIs.h"
#include "Timestamp.h"
#include "verify/test_seams.h"
#include "verify/verify_steps.h"

namespace kvbsign {
namespace verify {

using Lib = KVBSignLibInternal;

void diagnostic(const char* text) noexcept {
    try {
        Lib::debugError(text);
    } catch (...) {
    }
}

void progress(const char* text) noexcept {
    try {
        Lib::debugMessage(text);
    } catch (...) {
    }
}

namespace {

char* newEmptyText() noexcept {
    char* text = new (std::nothrow) char[2];
    if (text) strncpy_safe(text, 2, "", 1);
    return text;
}

// The record the checks fill when the caller passed none; its texts go on every way out.
class TemporaryRecord {
public:
    TemporaryRecord() = default;
    TemporaryRecord(const TemporaryRecord&) = delete;
    TemporaryRecord& operator=(const TemporaryRecord&) = delete;
    ~TemporaryRecord() { release(); }

    KCertificateInfo* make() noexcept {
        record_ = KCertificateInfo{};
        setEmptyTexts(&record_);
        made_ = true;
        return &record_;
    }
    void release() noexcept {
        if (made_) KVBSign_releaseCertificateData(&record_);
        made_ = false;
    }

private:
    KCertificateInfo record_{};
    bool made_ = false;
};

}  // namespace

void setEmptyTexts(KCertificateInfo* info) noexcept {
    if (!info) return;
    info->commonName = newEmptyText();
    info->distinguishedName = newEmptyText();
    info->organizationalUnit = newEmptyText();
}

int loadUserCertificates(const char* const* paths, int count, std::vector<X509*>& certificates) noexcept {
    if (!paths) return KVBSIGN_SUCCESS;
    try {
        std::vector<std::string> resolved;
        for (int i = 0; i < count; ++i) {
            if (paths[i]) resolved.push_back(processArg(paths[i]));
        }
        // The loader reads as many entries as it is told; skipped null entries are not among them.
        if (!Lib::loadUserDERCertificates(resolved, static_cast<int>(resolved.size()), certificates)) {
            diagnostic("Cannot read/parse user certificates");
            return KVBSIGN_CERTIFICATE_FILE_READ_FAILED;
        }
    } catch (const std::exception& e) {
        // A path that cannot be resolved (a leading "~" without HOME, an unreadable working
        // directory) names a certificate file that cannot be read.
        diagnostic("Cannot read/parse user certificates");
        diagnostic(e.what());
        return KVBSIGN_CERTIFICATE_FILE_READ_FAILED;
    } catch (...) {
        diagnostic("Cannot read/parse user certificates");
        return KVBSIGN_CERTIFICATE_FILE_READ_FAILED;
    }
    return KVBSIGN_SUCCESS;
}

bool signerDateTestFails(int timestampStatus, const KCertificateInfo& record, time_t now) {
    // A timestamp that is missing, unverifiable, invalid or outside the validity says nothing
    // reliable about when the document was signed, so the signer must be valid now.
    if (timestampStatus == KVBSIGN_TIMESTAMP_VALID) return false;
    return difftime(now, record.validFrom) <= 0 || difftime(record.validTo, now) <= 0;
}

int runChecks(const std::string& document, const std::string& extractionDirectory,
              std::string& canonicalSignaturePath, std::vector<X509*>& userCertificates, KCertificateInfo* info,
              bool skipOnlineRevocationChecks) noexcept {
    TemporaryRecord temporary;
    try {
        if (kvbsignFaultHookForTesting) kvbsignFaultHookForTesting("verify");

        const bool variant = Lib::isNvoSignature(document);
        int timestampStatus = KVBSIGN_TIMESTAMP_NONE;
        long signingTime = 0;
        // The timestamp is judged before the signature; the checker borrows the user certificates.
        if (Timestamp::isTimestamped(document))
            timestampStatus = Timestamp::validateTimestamp(document, variant, userCertificates,
                                                           canonicalSignaturePath, signingTime);

        if (!validateKVB(document, extractionDirectory.c_str(), extractionDirectory.c_str(), variant)) {
            diagnostic("Signature verification failed");
            return KVBSIGN_SIGNATURE_INVALID;
        }

        // Trust and revocation are decided even when nobody asked for the record: the date
        // test and the revocation outcome depend on them.
        KCertificateInfo* record = info ? info : temporary.make();
        bool allFetched = true;
        Lib::getCertificateInformation(document, record, &allFetched, signingTime, skipOnlineRevocationChecks);

        int status = KVBSIGN_SUCCESS;
        record->timestampStatus = timestampStatus;
        // A signer outside its validity is a rejection, whatever the revocation lookup managed
        // to fetch: a list that could not be reached (no network) must not turn it into the
        // "verified, revocation unknown" result.
        if (signerDateTestFails(timestampStatus, *record, time(nullptr)))
            status = KVBSIGN_CERTIFICATE_NOT_VALID_NOW;
        else if (!allFetched)
            status = KVBSIGN_VERIFIED_REVOCATION_UNKNOWN;
        temporary.release();
        if (status != KVBSIGN_SUCCESS) return status;

        if (!userCertificates.empty() && !Lib::validateCertificateChain(document, userCertificates)) {
            progress("Signature verified OK but chain verification failed and/or certificates passed in were not "
                     "found");
            return KVBSIGN_VERIFIED_CHAIN_UNVERIFIED;
        }
        progress("Signature verified OK!");
        return KVBSIGN_SUCCESS;
    } catch (const std::exception& e) {
        diagnostic("An error occured during verifying operation\n   Message: ");
        diagnostic(e.what());
    } catch (...) {
        diagnostic("An error occured during verifying operation\n   Message: ");
        diagnostic("unknown error");
    }
    return KVBSIGN_VERIFICATION_EXCEPTION;
}

}  // namespace verify
}  // namespace kvbsign
