// Element values of the signature document and the canonical texts that its digests cover.
// The canonical texts come from fixed text rules, not from an XML parser: a signing tool
// has to produce the same bytes.
#include <string_view>

#include <openssl/evp.h>

#include "KVBSignLibInternal.h"

namespace {

const char kXmlSignatureNamespace[] = "http://www.w3.org/2000/09/xmldsig#";
const char kSignedInfoStart[] = "<SignedInfo>";
const char kSignedInfoEnd[] = "</SignedInfo>";
const char kManifestStart[] = "<Manifest Id=\"PackageContents\">";
const char kManifestEnd[] = "</Manifest>";
const char kVariantMarker[] = "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"/>";

bool isBlankOrLineBreak(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Deletes what lies between a ">" followed by a blank and the next "<". When dropsContent
// is given, it is set to true if anything but blanks, tabs, CR and LF was deleted.
std::string removeSpaces(std::string_view text, bool* dropsContent) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    // Each pass ends at a "<" that lies after the "> " it found, so pos grows every time.
    while (pos < text.size()) {
        const size_t gt = text.find("> ", pos);
        if (gt == std::string_view::npos) break;
        const size_t lt = text.find('<', gt + 1);
        if (lt == std::string_view::npos) break;
        out.append(text.substr(pos, gt + 1 - pos));
        if (dropsContent != nullptr && !*dropsContent) {
            for (char c : text.substr(gt + 1, lt - gt - 1)) {
                if (!isBlankOrLineBreak(c)) {
                    *dropsContent = true;
                    break;
                }
            }
        }
        pos = lt;
    }
    if (pos < text.size()) out.append(text.substr(pos));
    return out;
}

// CR LF becomes LF; a lone CR stays.
std::string normaliseLineEnds(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out.push_back(text[i]);
    }
    return out;
}

std::string oneShotDigest(const std::string& text, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, md, nullptr) != 1) return "";
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string signedInfoWrapped(const std::string& doc) {
    return std::string("<SignedInfo xmlns=\"") + kXmlSignatureNamespace + "\">" +
           KVBSignLibInternal::stringRange(doc, kSignedInfoStart, kSignedInfoEnd) + kSignedInfoEnd;
}

}  // namespace

std::string KVBSignLibInternal::extractSignatureValue(const std::string& doc) {
    return unite_lines(stringRange(doc, "<SignatureValue Id=\"PackageSignatureValue\">", "</SignatureValue>"));
}

std::string KVBSignLibInternal::extractManifestValue(const std::string& doc) {
    const std::string signedInfo = stringRange(doc, kSignedInfoStart, kSignedInfoEnd);
    return unite_lines(stringRange(signedInfo, "<DigestValue>", "</DigestValue>"));
}

bool KVBSignLibInternal::isNvoSignature(const std::string& doc) { return foundStr(kVariantMarker, doc); }

std::string KVBSignLibInternal::removeSpacesBetweenElements(std::string text) { return removeSpaces(text, nullptr); }

std::string KVBSignLibInternal::expandCollapsedElements(std::string text) {
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    size_t pos = 0;
    // Every pass either stops or moves pos past a "/>", so the loop ends.
    while (pos < text.size()) {
        const size_t slash = text.find("/>", pos);
        if (slash == std::string::npos) {
            out.append(text, pos, std::string::npos);
            break;
        }
        const std::string_view piece = std::string_view(text).substr(pos, slash - pos);
        const size_t headStart = out.size();
        out.append(piece);
        out.push_back('>');
        pos = slash + 2;

        // The element is the head from its last "<"; without one there is no name to close.
        const std::string_view head = std::string_view(out).substr(headStart);
        const size_t lt = head.rfind('<');
        if (lt == std::string_view::npos) continue;
        const std::string_view element = head.substr(lt);
        size_t nameEnd = element.find(' ');
        if (nameEnd == std::string_view::npos) nameEnd = element.find('>');  // always found: head ends in '>'
        const std::string name(element.substr(1, nameEnd - 1));
        out.append("</");
        out.append(name);
        out.push_back('>');
    }
    return out;
}

std::string KVBSignLibInternal::signedInfoSHA1(const std::string& doc, bool removeLineBreaks) {
    // Wrapped before the rewriting: a blank right after the start tag is deleted too.
    std::string s = signedInfoWrapped(doc);
    if (removeLineBreaks) s = unite_lines(s);
    s = removeSpacesBetweenElements(s);
    s = expandCollapsedElements(s);
    return oneShotDigest(removeLineBreaks ? s : normaliseLineEnds(s), EVP_sha1());
}

std::string KVBSignLibInternal::manifestSHA256(const std::string& doc, bool removeLineBreaks) {
    // Rewritten before the wrapping, and line breaks removed only afterwards.
    std::string inner = stringRange(doc, kManifestStart, kManifestEnd);
    inner = removeSpacesBetweenElements(inner);
    inner = expandCollapsedElements(inner);
    std::string s = std::string("<Manifest xmlns=\"") + kXmlSignatureNamespace + "\" Id=\"PackageContents\">" + inner +
                    kManifestEnd;
    if (removeLineBreaks) s = unite_lines(s);
    return oneShotDigest(removeLineBreaks ? s : normaliseLineEnds(s), EVP_sha256());
}

bool KVBSignLibInternal::canonicalFormDropsContent(const std::string& doc, bool signedInfoLineBreakFlag) {
    // The same steps as the canonical texts up to the deletion; what is deleted there is not
    // covered by the digests, so it must be white space only.
    bool drops = false;
    std::string signedInfo = signedInfoWrapped(doc);
    if (signedInfoLineBreakFlag) signedInfo = unite_lines(signedInfo);
    removeSpaces(signedInfo, &drops);
    if (drops) return true;
    removeSpaces(stringRange(doc, kManifestStart, kManifestEnd), &drops);
    return drops;
}
