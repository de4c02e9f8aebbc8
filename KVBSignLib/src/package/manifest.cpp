// Manifest check: the signed manifest digest, then every manifest entry against the files
// that the package walk found, one entry per file and one file per entry.

#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "KVBSignLibInternal.h"
#include "package/package_paths.h"

namespace {

const char kManifestStart[] = "<Manifest Id=\"PackageContents\">";
const char kManifestEnd[] = "</Manifest>";

// The path an entry's URI text names, decoded the way it is matched against the files.
std::string decodedEntryPath(std::string_view uriText) { return KVBSignLibInternal::decodeUriText(uriText); }

// Fills the map with views into the manifest text; of two entries with the same URI text the
// first stays.
template <class Map>
void manifestEntries(std::string_view manifest, Map& entries) {
    static const std::string_view kEndTag = "</Reference>";
    std::string_view::size_type rest = 0;
    // Each pass moves past one end tag, so the scan ends.
    for (;;) {
        const std::string_view::size_type end = manifest.find(kEndTag, rest);
        if (end == std::string_view::npos) break;
        const std::string_view piece = manifest.substr(rest, end - rest);
        const std::string_view uri = KVBSignLibInternal::extractAttributeView(piece, "URI");
        // The walk leaves out the same paths, so neither side counts them.
        if (!kvbsign::isExcludedPackagePath(decodedEntryPath(uri)))
            entries.emplace(uri, KVBSignLibInternal::stringRangeView(piece, "<DigestValue>", "</DigestValue>"));
        rest = end + kEndTag.size();
    }
}

}  // namespace

void extractManifestEntriesNonXML(const std::string& manifest, std::map<std::string, std::string>& entries) {
    std::map<std::string_view, std::string_view> views;
    manifestEntries(manifest, views);
    // Entries already in the map stay, as the first of two equal URI texts does.
    for (const auto& entry : views) entries.emplace(entry.first, entry.second);
}

bool checkManifestHashes(const std::string& sigXml, const char* directory, const char* prefix,
                         bool skipManifestDigest, bool removeLineBreaks) {
    if (!skipManifestDigest) {
        const std::string signedDigest =
            KVBSignLibInternal::base64DecodeView(KVBSignLibInternal::manifestValueRange(sigXml));
        const std::string manifestDigest = KVBSignLibInternal::manifestSHA256(sigXml, removeLineBreaks);
        if (signedDigest.size() != manifestDigest.size()) {
            KVBSignLibInternal::debugError("\nManifest size mismatch\n");
            return false;
        }
        if (signedDigest != manifestDigest) {
            KVBSignLibInternal::debugError("\nManifest Digest mismatch\n");
            return false;
        }
    }

    if (directory == nullptr) {
        KVBSignLibInternal::debugError("No package directory\n");
        return false;
    }
    std::vector<nonXMLManifestReference> references;
    const int walkStatus =
        generateManifestReferencesNonXML(references, sigXml, directory, prefix != nullptr ? prefix : directory);
    // A walk that stopped has not seen every file; what it did see proves nothing.
    if (walkStatus != KVBSIGN_SUCCESS) {
        KVBSignLibInternal::debugError("Package walk stopped with status " + std::to_string(walkStatus) + "\n");
        return false;
    }

    // Views into the document: the entries are compared, never kept.
    std::map<std::string_view, std::string_view> entries;
    manifestEntries(KVBSignLibInternal::stringRangeView(sigXml, kManifestStart, kManifestEnd), entries);

    if (references.size() != entries.size()) {
        KVBSignLibInternal::debugError("Manifest mismatch\n");
        return false;
    }

    // Records by decoded URI; the first record of a URI is the one an entry matches.
    std::unordered_map<std::string, std::size_t> byUri;
    byUri.reserve(references.size());
    for (std::size_t i = 0; i < references.size(); ++i)
        byUri.emplace(KVBSignLibInternal::UriDecode(references[i].uri), i);

    // With the counts equal, one record per entry means every file is checked by exactly one.
    std::vector<bool> matched(references.size(), false);
    for (const auto& entry : entries) {
        const auto found = byUri.find(decodedEntryPath(entry.first));
        if (found == byUri.end() || matched[found->second] ||
            references[found->second].digestValue != entry.second) {
            KVBSignLibInternal::debugError("Manifest entry mismatch\n");
            return false;
        }
        matched[found->second] = true;
    }
    return true;
}
