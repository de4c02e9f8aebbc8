// The certificate record of a verification: the signer's names and dates, then the trust
// verdict, then the revocation verdict.

#include "KVBSignLibInternal.h"
#include "certificates/signer.h"
#include "ossl_ptr.h"

void KVBSignLibInternal::getCertificateInformation(const std::string& sigXml, KCertificateInfo* info,
                                                   bool* allFetched, long& signingTime,
                                                   bool skipOnlineRevocationChecks) {
    if (info == nullptr) return;

    // Without a signer there is nothing to describe: the record keeps its texts and dates.
    const kvbsign::X509Ptr signer = kvbsign::signerCertificate(sigXml);
    if (signer) readCertificateInfo(signer.get(), info);

    checkIfOSTrusted(sigXml, info);

    if (skipOnlineRevocationChecks) {
        info->revoked = -1;
        return;
    }
    checkIfRevoked(sigXml, info, allFetched, signingTime);
}
