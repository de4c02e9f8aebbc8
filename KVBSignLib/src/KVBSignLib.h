#ifndef KVBSIGNLIB_H
#define KVBSIGNLIB_H

#include <time.h>

#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(KVBSIGN_BUILDING_LIBRARY)
#define KVBSIGN_API __attribute__((visibility("default")))
#else
#define KVBSIGN_API
#endif

/* Every status the library or the front end can produce. Held and passed as a plain int. */
enum KVBSIGN_STATUS {
    KVBSIGN_SUCCESS = 0,
    KVBSIGN_GENERAL_FAILURE = 1,
    KVBSIGN_NO_ARGUMENTS = 2,
    KVBSIGN_INVALID_ARGUMENTS = 3,
    KVBSIGN_FILE_POINTER_FAILED = 10,
    KVBSIGN_FILE_NOT_FOUND = 11,
    KVBSIGN_FILE_READ_FAILED = 12,
    KVBSIGN_TEMP_DIRECTORY_FAILED = 13,
    KVBSIGN_SYMLINK_INVALID_LOCATION = 14,
    KVBSIGN_SYMLINK_ABSOLUTE_PATH = 15,
    KVBSIGN_UNZIP_FAILED = 20,
    KVBSIGN_ZIP_FAILED = 21,
    KVBSIGN_CERTIFICATE_NOT_VALID_NOW = 24,
    KVBSIGN_CERTIFICATE_FILE_NOT_FOUND = 25,
    KVBSIGN_CERTIFICATE_FILE_READ_FAILED = 26,
    KVBSIGN_CERTIFICATE_PARSE_FAILED = 27,
    KVBSIGN_KEY_NOT_RSA = 28,
    KVBSIGN_CHAIN_BUILD_FAILED = 29,
    KVBSIGN_SIGNATURE_FILE_NOT_FOUND = 30,
    KVBSIGN_SIGNATURE_FILE_PARSE_FAILED = 31,
    KVBSIGN_INVALID_SIGNATURE_ELEMENT = 32,
    KVBSIGN_SIGNATURE_ELEMENT_NOT_FOUND = 33,
    KVBSIGN_SIGNATURE_FILE_WRITE_FAILED = 34,
    KVBSIGN_TSA_TIMESTAMP_UNVERIFIED = 35,
    KVBSIGN_TSA_UNREACHABLE = 36,
    KVBSIGN_SIGNING_EXCEPTION = 41,
    KVBSIGN_VERIFICATION_EXCEPTION = 42,
    KVBSIGN_CRYPTOGRAPHIC_EXCEPTION = 43,
    KVBSIGN_NETWORK_EXCEPTION = 44,
    KVBSIGN_SIGNATURE_INVALID = 50,
    KVBSIGN_VERIFIED_CHAIN_UNVERIFIED = 51,
    KVBSIGN_VERIFIED_REVOCATION_UNKNOWN = 52,
    KVBSIGN_KEY_GENERATION_FAILED = 61,
    KVBSIGN_CERTIFICATE_REQUEST_FAILED = 62,
    KVBSIGN_SERIAL_NUMBER_FAILED = 63,
    KVBSIGN_CERTIFICATE_PROPERTIES_FAILED = 64,
    KVBSIGN_CERTIFICATE_REQUEST_SIGN_FAILED = 65,
    KVBSIGN_CERTIFICATE_CREATION_FAILED = 66
};

/* Values of KCertificateInfo.timestampStatus. */
enum KVBSIGN_TIMESTAMP_STATUS {
    KVBSIGN_TIMESTAMP_NONE = 0,
    KVBSIGN_TIMESTAMP_VALID = 1,
    KVBSIGN_TIMESTAMP_OUTSIDE_VALIDITY = 2,
    KVBSIGN_TIMESTAMP_UNVERIFIABLE = 3,
    KVBSIGN_TIMESTAMP_INVALID = 4
};

/* The signer certificate's details. The caller owns the record; the library allocates the
   three texts, which the caller releases only with KVBSign_releaseCertificateData. */
typedef struct KCertificateInfo {
    char* distinguishedName;
    char* commonName;
    char* organizationalUnit;
    int osTrusted;       /* 1 yes, 0 no, other: unknown */
    int revoked;         /* 1 yes, 0 no, other: unknown */
    int timestampStatus; /* KVBSIGN_TIMESTAMP_STATUS */
    time_t validFrom;
    time_t validTo;
} KCertificateInfo;

#ifdef __cplusplus
extern "C" {
#endif

KVBSIGN_API int KVBSign_verify(const char* path, const char** certificatePaths, int certificateCount,
                               KCertificateInfo* info, bool skipOnlineRevocationChecks);

KVBSIGN_API int KVBSign_releaseCertificateData(KCertificateInfo* info);

#ifdef __cplusplus
}
#endif

#endif
