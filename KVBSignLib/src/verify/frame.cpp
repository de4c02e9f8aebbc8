// The frame of one verification, step by step.

#include "verify/frame.h"

#include <new>
#include <stdexcept>
#include <string>

#include <boost/filesystem/operations.hpp>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "KVBSignLibInternal.h"
#include "system/file_copy.h"
#include "system/temp_dir.h"
#include "text/document_tags.h"
#include "verify/test_seams.h"
#include "verify/verify_steps.h"

namespace fs = boost::filesystem;
using Lib = KVBSignLibInternal;

std::string processArg(const char* argument) {
    if (!argument) throw std::invalid_argument("null path argument");
    const std::string text(argument);
    return Lib::argumentPathToCanonical(text.c_str());
}

namespace kvbsign {
namespace verify {

namespace {

// The status for the error being handled, raised outside the guarded regions: memory
// exhaustion is a general failure wherever it strikes, anything else gets the status of the
// step that it ended. Call only inside a catch block.
int statusOfCurrentError(int stepStatus) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return KVBSIGN_GENERAL_FAILURE;
    } catch (const std::exception& e) {
        diagnostic(e.what());
    } catch (...) {
    }
    return stepStatus;
}

}  // namespace

int Verification::run() noexcept {
    int status = KVBSIGN_SUCCESS;
    if (!path_) {
        status = KVBSIGN_INVALID_ARGUMENTS;
    } else {
        try {
            packagePath_ = processArg(path_);
        } catch (...) {
            status = statusOfCurrentError(KVBSIGN_INVALID_ARGUMENTS);
        }
    }
    // The texts are set even when the path is unusable: every return leaves them valid.
    setEmptyTexts(info_);
    if (status != KVBSIGN_SUCCESS) {
        diagnostic("Invalid kvb location");
        return status;
    }

    if ((status = resolvePackage()) != KVBSIGN_SUCCESS) return status;
    if ((status = prepareDirectories()) != KVBSIGN_SUCCESS) return status;
    if ((status = extract()) != KVBSIGN_SUCCESS) return status;
    if ((status = findSignatureDocument()) != KVBSIGN_SUCCESS) return status;

    status = readSignatureDocument(extractionDirectory_, signaturePath_, canonicalSignaturePath_, document_);
    if (status != KVBSIGN_SUCCESS) return status;
    // Nothing may stand before the root tag: no byte-order mark, declaration or blank.
    if (document_.compare(0, sizeof tags::kRootStart - 1, tags::kRootStart) != 0)
        return KVBSIGN_INVALID_SIGNATURE_ELEMENT;

    if ((status = setUpCryptography()) != KVBSIGN_SUCCESS) return status;

    if (document_.find(tags::kSignatureOpen) == std::string::npos) {
        diagnostic("Could not find <Signature> node in signatures.xml");
        return KVBSIGN_SIGNATURE_ELEMENT_NOT_FOUND;
    }
    return runChecks(document_, extractionDirectory_, canonicalSignaturePath_, userCertificates_.certs(), info_,
                     skipOnlineRevocationChecks_);
}

// Existence, user certificates and the absolute form of the package path.
int Verification::resolvePackage() noexcept {
    try {
        if (!fs::exists(packagePath_)) {
            diagnostic("Invalid kvb location");
            return KVBSIGN_INVALID_ARGUMENTS;
        }
    } catch (...) {
        diagnostic("Invalid kvb location");
        return statusOfCurrentError(KVBSIGN_INVALID_ARGUMENTS);
    }

    const int status = loadUserCertificates(certificatePaths_, certificateCount_, userCertificates_.certs());
    if (status != KVBSIGN_SUCCESS) return status;

    try {
        absolutePackagePath_ = fs::absolute(packagePath_, fs::current_path());
    } catch (...) {
        diagnostic("Invalid kvb location");
        return statusOfCurrentError(KVBSIGN_INVALID_ARGUMENTS);
    }
    return KVBSIGN_SUCCESS;
}

int Verification::prepareDirectories() noexcept {
    directoriesStarted_ = true;
    try {
        // An empty path means no directory was made; nothing may be built below it.
        firstTemporaryDirectory_ = Lib::createTempDirectory(0, 0);
        if (firstTemporaryDirectory_.empty()) return KVBSIGN_TEMP_DIRECTORY_FAILED;
        secondTemporaryDirectory_ = Lib::createTempDirectory(0, 0);
        if (secondTemporaryDirectory_.empty()) return KVBSIGN_TEMP_DIRECTORY_FAILED;
    } catch (...) {
        return statusOfCurrentError(KVBSIGN_TEMP_DIRECTORY_FAILED);
    }
    return KVBSIGN_SUCCESS;
}

// A directory is verified in place; a package file is copied and extracted.
int Verification::extract() noexcept {
    int stepStatus = KVBSIGN_INVALID_ARGUMENTS;
    try {
        const std::string copyPath = secondTemporaryDirectory_ + "/toVerify.kvb";
        if (fs::is_directory(absolutePackagePath_)) {
            extractionDirectory_ = absolutePackagePath_.generic_string();
            fileMode_ = false;
        } else {
            stepStatus = KVBSIGN_UNZIP_FAILED;
            // Copying a pipe would wait for a writer and a device may never end: only a
            // regular file can be a package.
            if (!fs::is_regular_file(absolutePackagePath_))
                throw std::runtime_error("not a regular file: " + absolutePackagePath_.generic_string());
            copyRegularFile(absolutePackagePath_.string(), copyPath);
            const std::string unzipTarget = fs::absolute(firstTemporaryDirectory_, fs::current_path()).generic_string();
            if (!Lib::unzip(copyPath, unzipTarget)) {
                diagnostic("Failed to unzip kvb.");
                return KVBSIGN_UNZIP_FAILED;
            }
            extractionDirectory_ = unzipTarget;
            extracted_ = true;
        }
    } catch (...) {
        if (stepStatus == KVBSIGN_UNZIP_FAILED) diagnostic("Failed to unzip kvb.");
        return statusOfCurrentError(stepStatus);
    }
    return KVBSIGN_SUCCESS;
}

int Verification::findSignatureDocument() noexcept {
    try {
        if (!extractionDirectory_.empty()) {
            const char last = extractionDirectory_.back();
            if (last == '/' || last == '\\') extractionDirectory_.pop_back();
        }
        signaturePath_ = extractionDirectory_ + "/META-INF/" + "signatures.xml";
        if (!fs::exists(signaturePath_)) {
            diagnostic(("Cannot find " + signaturePath_).c_str());
            return KVBSIGN_SIGNATURE_FILE_NOT_FOUND;
        }
    } catch (...) {
        // The document's path cannot be resolved (a link loop, a name too long): it cannot be read.
        return statusOfCurrentError(KVBSIGN_SIGNATURE_FILE_PARSE_FAILED);
    }
    return KVBSIGN_SUCCESS;
}

int Verification::setUpCryptography() noexcept {
    try {
        if (kvbsignFaultHookForTesting) kvbsignFaultHookForTesting("crypto-setup");
        if (OPENSSL_init_crypto(OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                                    OPENSSL_INIT_LOAD_CRYPTO_STRINGS,
                                nullptr) == 0)
            throw std::runtime_error("OPENSSL_init_crypto failed");
        // The library sets up without a usable provider (a configuration that loads none), and
        // then every digest fails later, which would read as a signature that does not verify.
        // Each verification digests with SHA-1 and SHA-256 and checks an RSA key.
        const EvpMdPtr sha1(EVP_MD_fetch(nullptr, "SHA1", nullptr));
        const EvpMdPtr sha256(EVP_MD_fetch(nullptr, "SHA256", nullptr));
        const EvpKeymgmtPtr rsa(EVP_KEYMGMT_fetch(nullptr, "RSA", nullptr));
        if (!sha1 || !sha256 || !rsa) throw std::runtime_error("SHA-1, SHA-256 or RSA not available");
    } catch (...) {
        diagnostic("Error during initialisation of cryptography provider");
        return KVBSIGN_GENERAL_FAILURE;
    }
    return KVBSIGN_SUCCESS;
}

void Verification::finish() noexcept {
    if (directoriesStarted_) {
        // The second directory holds the package copy; the first is the extraction target.
        // The caller's own directory is never among them.
        removeTemporaryDirectory(secondTemporaryDirectory_);
        removeTemporaryDirectory(firstTemporaryDirectory_);
    }
    // The library's tables stay loaded (a later call in this process uses them again); only
    // the errors this call queued are dropped, also those of the certificate loader.
    ERR_clear_error();
    userCertificates_.clear();
    if (directoriesStarted_ && fileMode_ && extracted_) {
        try {
            const std::string output = Lib::getOutputFromSystemCall("rm -rf " + extractionDirectory_);
            if (Lib::extractReturnCode(output) != 0) diagnostic(("Failed to delete: " + extractionDirectory_).c_str());
        } catch (...) {
        }
    }
}

}  // namespace verify
}  // namespace kvbsign
