// Text routines, the canonical digests and the element cutters over an arbitrary document.
#include <cstdlib>
#include <map>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "fuzz_support.h"

using K = KVBSignLibInternal;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::initCrypto();
    const std::string s = kvfuzz::bytes(data, size);

    // The views cut and decode as the copying routines do.
    if (K::stringRangeView(s, "<a>", "</a>") != K::stringRange(s, "<a>", "</a>")) abort();
    if (K::extractAttributeView(s, "URI") != K::extractAttribute(s, "URI")) abort();
    K::__base64_string_format(s);
    if (K::base64DecodeView(s) != K::base64_decodestring(K::unite_lines(s))) abort();
    if (K::base64DecodeView(K::signatureValueRange(s)) != K::base64_decodestring(K::extractSignatureValue(s))) abort();
    if (K::base64DecodeView(K::manifestValueRange(s)) != K::base64_decodestring(K::extractManifestValue(s))) abort();
    K::UriDecode(s);
    if (K::decodeUriText(s) != K::UriDecode(K::htmlEntitiesDecode(s))) abort();
    K::uriPercentEncode(s);
    if (K::digest_to_hex_string(data, size).size() != 2 * (size < 510 ? size : 510)) abort();
    const std::string terminated = s.substr(0, 8);
    K::hex2byte(terminated.c_str());
    K::removeSpacesBetweenElements(s);
    K::expandCollapsedElements(s);

    if (K::signedInfoSHA1(s, false).size() != 20 || K::signedInfoSHA1(s, true).size() != 20) abort();
    if (K::manifestSHA256(s, false).size() != 32 || K::manifestSHA256(s, true).size() != 32) abort();
    K::canonicalFormDropsContent(s, false);
    K::canonicalFormDropsContent(s, true);
    K::extractSignatureValue(s);
    K::extractManifestValue(s);
    K::isNvoSignature(s);
    for (const std::string& text : K::getX509Certificates(s)) X509_free(K::getX509FromXML(text));
    EVP_PKEY_free(K::extractRSA(s));

    std::map<std::string, std::string> entries;
    extractManifestEntriesNonXML(s, entries);

    Timestamp::isTimestamped(s);
    Timestamp::extractTimestampValue(s);
    Timestamp::constructTimestampRequestBody(s);
    Timestamp::extractTSTInfo(s);
    return 0;
}
