// Manifest check: the signed manifest digest, then every manifest entry against the files
// that the package walk found, one entry per file and one file per entry.

#include <algorithm>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "KVBSignLibInternal.h"
#include "package/package_paths.h"
#include "text/document_tags.h"

namespace {

namespace tags = kvbsign::tags;

// The path an entry's URI text names, decoded the way it is matched against the files. The
// decoders change nothing in a text without "&" and "%": such a text is its own path.
bool needsDecoding(std::string_view uriText) { return uriText.find_first_of("&%") != std::string_view::npos; }

std::string decodedEntryPath(std::string_view uriText) {
    return KVBSignLibInternal::decodeUriText(uriText);
}

// Calls take(uri text, digest text) for every Reference of the manifest text, in document
// order, except those whose path neither side counts. The texts are views into `manifest`.
template <class Take>
void forEachManifestEntry(std::string_view manifest, Take take) {
    static constexpr std::string_view kEndTag = tags::kReferenceEnd;
    std::string_view::size_type rest = 0;
    // Each pass moves past one end tag, so the scan ends.
    for (;;) {
        const std::string_view::size_type end = manifest.find(kEndTag, rest);
        if (end == std::string_view::npos) break;
        const std::string_view piece = manifest.substr(rest, end - rest);
        const std::string_view uri = KVBSignLibInternal::extractAttributeView(piece, "URI");
        const std::string_view digest =
            KVBSignLibInternal::stringRangeView(piece, tags::kDigestValueStart, tags::kDigestValueEnd);
        // The walk leaves out the same paths, so neither side counts them.
        const bool excluded = needsDecoding(uri) ? kvbsign::isExcludedPackagePath(decodedEntryPath(uri))
                                                 : kvbsign::isExcludedPackagePath(uri);
        if (!excluded) take(uri, digest);
        rest = end + kEndTag.size();
    }
}

struct EntryText {
    std::string_view uri;
    std::string_view digest;
};

}  // namespace

void extractManifestEntriesNonXML(const std::string& manifest, std::map<std::string, std::string>& entries) {
    forEachManifestEntry(manifest, [&entries](std::string_view uri, std::string_view digest) {
        entries.emplace(std::string(uri), std::string(digest));  // first wins
    });
}

bool checkManifestHashes(const std::string& sigXml, const char* directory, const char* prefix,
                         bool skipManifestDigest, bool removeLineBreaks) {
    if (!skipManifestDigest) {
        const std::string signedDigest =
            KVBSignLibInternal::base64_decodestring(KVBSignLibInternal::extractManifestValue(sigXml));
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
    // The entries as views into the manifest text, in byte order of their URI texts; of two
    // equal URI texts the first in the document stays. A package of many files is listed by
    // a large manifest, so the entries hold no copies of their texts.
    const std::string_view manifest =
        KVBSignLibInternal::stringRangeView(sigXml, tags::kManifestStart, tags::kManifestEnd);
    std::vector<EntryText> entries;
    forEachManifestEntry(manifest, [&entries](std::string_view uri, std::string_view digest) {
        entries.push_back({uri, digest});
    });
    std::stable_sort(entries.begin(), entries.end(),
                     [](const EntryText& a, const EntryText& b) { return a.uri < b.uri; });
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const EntryText& a, const EntryText& b) { return a.uri == b.uri; }),
                  entries.end());

    // A package that verifies has one file per entry: the list is made that large at once
    // rather than by doubling. Every entry stands for at least the 12 bytes of its end tag
    // in the document, so the reservation stays within a small multiple of the document.
    std::vector<nonXMLManifestReference> references;
    references.reserve(entries.size());
    const int walkStatus =
        generateManifestReferencesNonXML(references, sigXml, directory, prefix != nullptr ? prefix : directory);
    // A walk that stopped has not seen every file; what it did see proves nothing.
    if (walkStatus != KVBSIGN_SUCCESS) {
        KVBSignLibInternal::debugError("Package walk stopped with status " + std::to_string(walkStatus) + "\n");
        return false;
    }

    if (references.size() != entries.size()) {
        KVBSignLibInternal::debugError("Manifest mismatch\n");
        return false;
    }

    // Records by decoded URI, ordered by it and then by their place in the list, so that the
    // first record of a URI is the one an entry matches. A URI without an escape is its own
    // decoded form and is not copied.
    std::size_t escaped = 0;
    for (const nonXMLManifestReference& r : references) escaped += r.uri.find('%') != std::string::npos;
    std::vector<std::string> decoded;
    decoded.reserve(escaped);  // no reallocation below: the views into it stay valid
    std::vector<std::pair<std::string_view, std::size_t>> byUri;
    byUri.reserve(references.size());
    for (std::size_t i = 0; i < references.size(); ++i) {
        std::string_view uri = references[i].uri;
        if (uri.find('%') != std::string_view::npos) {
            decoded.push_back(KVBSignLibInternal::UriDecode(references[i].uri));
            uri = decoded.back();
        }
        byUri.emplace_back(uri, i);
    }
    std::sort(byUri.begin(), byUri.end());

    // With the counts equal, one record per entry means every file is checked by exactly one.
    std::vector<bool> matched(references.size(), false);
    std::string entryPath;
    for (const EntryText& entry : entries) {
        std::string_view path = entry.uri;
        if (needsDecoding(entry.uri)) {
            entryPath = decodedEntryPath(entry.uri);
            path = entryPath;
        }
        const auto found = std::lower_bound(byUri.begin(), byUri.end(), path,
                                            [](const auto& record, std::string_view p) { return record.first < p; });
        if (found == byUri.end() || found->first != path || matched[found->second] ||
            references[found->second].digestValue != entry.digest) {
            KVBSignLibInternal::debugError("Manifest entry mismatch\n");
            return false;
        }
        matched[found->second] = true;
    }
    return true;
}
