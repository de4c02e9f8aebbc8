#ifndef KVBSIGNLIB_INTERNAL_H
#define KVBSIGNLIB_INTERNAL_H

// Internal routines of the verification library. Not exported from the shared library;
// the tests link them from the static core library.
//
// The design names some routines that no step of the verification calls (kept so that the
// design's names stand for what they describe). Each area lists them last, under a
// "Design only" comment; everything above such a comment is live code.

#include <ctime>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <boost/filesystem/path.hpp>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "KVBSignLib.h"

// Revocation map: serial number as hexadecimal text -> revocation time (time_t seconds).
typedef std::map<std::string, long> RevocationMap;

class KVBSignLibInternal {
public:
    // --- diagnostic sinks (print nothing) ---
    static void debugError(std::string text);
    static void debugMessage(std::string text);
    // Design only:
    static void debugError(std::wstring text);

    // --- shell commands, temporary directories, paths ---
    static std::string getOutputFromSystemCall(const std::string& command);
    static int extractReturnCode(const std::string& output);
    static bool unzip(boost::filesystem::path package, std::string destination);
    static std::string createTempDirectory(int quiet, int unused);
    static std::string tmpDir();
    static void removeTempDirectory(std::string& path);
    static std::string argumentPathToCanonical(const char* argument);
    // Design only (the front end matches its options itself):
    static int compareNoCase(const char* a, const char* b);

    // --- text cutting and codecs ---
    static std::string unite_lines(std::string text);
    static std::string base64_decodestring(std::string text);
    // At most kMaxHexBytes bytes are shown; the rest is dropped. Serial numbers become lookup
    // keys through it, so a key holds at most that many bytes of a serial.
    static constexpr unsigned long kMaxHexBytes = 510;
    static std::string digest_to_hex_string(const unsigned char* bytes, unsigned long count);
    static std::string uriPercentEncode(const std::string& path);
    static std::string UriDecode(const std::string& text);
    // Views into the text they are given, for steps that only look inside a range: the same
    // cut as stringRange and extractAttribute, without a copy.
    static std::string_view stringRangeView(std::string_view text, std::string_view start, std::string_view end);
    static std::string_view extractAttributeView(std::string_view text, std::string_view name);
    // The bytes that base64_decodestring yields for the text with its CR and LF removed; the
    // text is not copied.
    static std::string base64DecodeView(std::string_view text);
    // UriDecode(htmlEntitiesDecode(text)), built as one text.
    static std::string decodeUriText(std::string_view text);
    // Design only (the steps use the views above, and decodeUriText):
    static std::string stringRange(const std::string& text, const std::string& start, const std::string& end);
    static std::string extractAttribute(const std::string& text, std::string name);
    static std::string __base64_string_format(const std::string& text);
    static unsigned char hex2byte(const char* text);
    static std::string htmlEntitiesDecode(const std::string& text);

    // --- canonical forms and digests of the signature document ---
    static std::string extractManifestValue(const std::string& doc);
    // The ranges that extractSignatureValue and extractManifestValue cut their values from,
    // line breaks still in them.
    static std::string_view signatureValueRange(const std::string& doc);
    static std::string_view manifestValueRange(const std::string& doc);
    static bool isNvoSignature(const std::string& doc);
    static std::string signedInfoSHA1(const std::string& doc, bool removeLineBreaks);
    static std::string manifestSHA256(const std::string& doc, bool removeLineBreaks);
    // True when building the canonical SignedInfo (with the given line-break flag) or the
    // canonical Manifest would delete anything but white space: such text is not covered by
    // the signature, so the document must not verify.
    static bool canonicalFormDropsContent(const std::string& doc, bool signedInfoLineBreakFlag);
    // Design only (the digests stream the same rewriting, and the signature is read through
    // signatureValueRange):
    static std::string extractSignatureValue(const std::string& doc);
    static std::string removeSpacesBetweenElements(std::string text);
    static std::string expandCollapsedElements(std::string text);

    // --- signature value check and the document's certificates ---
    // The signer's public key from the first certificate inside KeyInfo. Never null: an empty
    // key (no key type) when the document yields no RSA key. The caller frees it.
    static EVP_PKEY* extractRSA(const std::string& doc);
    // The texts of the certificate elements inside KeyInfo, as views into `doc`.
    static std::vector<std::string_view> getX509CertificateViews(std::string_view doc);
    static X509* getX509FromBase64(std::string_view text);
    // Design only (copies of the views above, and a decoder of a copied text):
    static std::vector<std::string> getX509Certificates(const std::string& doc);
    static X509* getX509FromXML(const std::string& text);

    // --- package walk and file digests ---
    static boost::filesystem::path relativePath(const boost::filesystem::path& path,
                                                const boost::filesystem::path& base);
    // Design only (the walk digests the files it opens itself):
    static char* encodeFile(const char* path, KVBSIGN_STATUS* status);

    // --- certificate chains and trust anchors ---
    static bool validateCertificateChainX509(std::vector<X509*> certs, std::vector<X509*>& anchors);
    static bool validateCertificateChain(const std::string& sigXml, std::vector<X509*>& anchors);
    static bool getSystemRootCertificates(std::vector<X509*>& roots);
    static X509* loadDERCertificate(const char* path);
    static bool loadUserDERCertificates(std::vector<std::string>& paths, int count, std::vector<X509*>& certs);
    // Design only (the root store is platform/root_store; anchors are matched inside the
    // chain check):
    static const char* SYSTEM_ROOT_CERTIFICATES_KEYCHAIN;
    static bool hasCertificate(std::vector<X509*>& list, X509* cert);

    // --- certificate information and OS trust ---
    static void getCertificateInformation(const std::string& sigXml, KCertificateInfo* info, bool* allFetched,
                                          long& signingTime, bool skipOnlineRevocationChecks);
    static void readCertificateInfo(X509* cert, KCertificateInfo* info);
    static void checkIfOSTrusted(const std::string& sigXml, KCertificateInfo* info);

    // --- revocation ---
    static void checkIfRevoked(const std::string& sigXml, KCertificateInfo* info, bool* allFetched,
                               long& signingTime);
    static int checkCertificateChainRevocation(const std::string& sigXml, RevocationMap& map, bool* allFetched,
                                               long& signingTime);
    static bool hasSerialAfterRevocation(RevocationMap& map, X509* cert, long& signingTime);
    static bool getCertificateRevocationLists(RevocationMap& map);
    static bool extractInfoFromCrl(std::string& record, RevocationMap& map);
    // Design only: these two have no certificate to check a list against, so they take a list
    // from anyone; the revocation check reads lists through kvbsign::downloadCrl
    // (revocation/crl_reading.h), which takes only a list that the certificate's issuer signed
    // and that covers it.
    static bool downloadAndParseCRL(const std::string& url, RevocationMap& map);
    static bool extractSerialNumbersFromX509CRL(const std::string& path, RevocationMap& map);
};

// --- free functions of the library ---

bool foundStr(const std::string& needle, const std::string& haystack);

// Design only (shell and text helpers):
bool addToZip(const std::string& workingDirectory, const std::string& packagePath, const std::string& item);
std::string utf8ToPlatformChar(const char* text);
std::string wideToString(const wchar_t* text);
bool isValidKeyHash(const std::string& text);
unsigned char charToHexDigit(char c);
unsigned char stringToByte(char* p);
bool isHashValueEqual(unsigned char* digest, const char* hex);

// the verify call's helper
std::string processArg(const char* argument);

// package walk
struct nonXMLManifestReference {
    std::string uri;
    std::string symlinkInfo;
    std::string digestValue;
};

int generateManifestReferencesNonXML(std::vector<nonXMLManifestReference>& references, const std::string& sigXml,
                                     const std::string& directory, const std::string& prefix);
// Design only (the walk reads the directories and digests the files itself, and resolves only
// links, by the file-system library):
int recurseDirectoryAndAddReferencesNonXML(std::vector<nonXMLManifestReference>& references,
                                           const std::string& sigXml, const char* directory, const char* root);
int addManifestReferenceNonXML(std::vector<nonXMLManifestReference>& references, const std::string& sigXml,
                               const char* path, const char* relativePath, const char* realRelativePath);
boost::filesystem::path resolvePath(const boost::filesystem::path& path);

// manifest and signature checks
bool checkManifestHashes(const std::string& sigXml, const char* directory, const char* prefix,
                         bool skipManifestDigest, bool removeLineBreaks);
bool validateKVB(const std::string& sigXml, const char* directory, const char* prefix, bool isNvo);
// Design only (the manifest check reads the entries as views, without a map):
void extractManifestEntriesNonXML(const std::string& manifest, std::map<std::string, std::string>& entries);

#endif
