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

    K::stringRange(s, "<a>", "</a>");
    K::unite_lines(s);
    K::extractAttribute(s, "URI");
    K::__base64_string_format(s);
    K::base64_decodestring(s);
    K::UriDecode(s);
    K::UriDecode(K::htmlEntitiesDecode(s));
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
