// The names of an archive: their plain form, their order in a tree, the tree rules, and the
// forms other readers and file systems take them in.

#include "package/archive_format.h"

#include <algorithm>

namespace kvbsign {
namespace archive {

namespace {

// CP437, the code page that readers assume for a name without the UTF-8 flag, bytes 0x80 to
// 0xFF as Unicode code points.
constexpr std::uint16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7, 0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE,
    0x00EC, 0x00C4, 0x00C5, 0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9, 0x00FF, 0x00D6,
    0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192, 0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA,
    0x00BA, 0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB, 0x2591, 0x2592, 0x2593, 0x2502,
    0x2524, 0x2561, 0x2562, 0x2556, 0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510, 0x2514,
    0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F, 0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550,
    0x256C, 0x2567, 0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B, 0x256A, 0x2518, 0x250C,
    0x2588, 0x2584, 0x258C, 0x2590, 0x2580, 0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229, 0x2261, 0x00B1, 0x2265, 0x2264, 0x2320,
    0x2321, 0x00F7, 0x2248, 0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,
};

void appendUtf8(std::uint32_t c, std::string& out) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// No two entries share a name, and none lies below a file or link entry. The items are
// sorted in tree order; two items of one owner never conflict.
bool namesFormATree(std::vector<NamedItem>& items, const char* what, std::string& reason) {
    std::sort(items.begin(), items.end(),
              [](const NamedItem& a, const NamedItem& b) { return treeCompare(a.name, b.name) < 0; });
    // Same names sort side by side; the items above a name are on the stack when it comes.
    std::vector<const NamedItem*> ancestors;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const NamedItem& item = items[i];
        if (i > 0 && items[i - 1].name == item.name && items[i - 1].owner != item.owner) {
            reason = std::string("two entries share a name") + what;
            return false;
        }
        while (!ancestors.empty() && !isBelow(item.name, ancestors.back()->name)) ancestors.pop_back();
        if (!ancestors.empty() && ancestors.back()->kind != EntryKind::Directory &&
            ancestors.back()->owner != item.owner) {
            reason = std::string("an entry lies below a file or link entry") + what;
            return false;
        }
        ancestors.push_back(&item);
    }
    return true;
}

// A name as a case-insensitive file system takes it (ASCII letters folded), read as CP437
// when asked.
void appendFolded(std::string_view name, bool asCp437, std::string& out) {
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u >= 0x80 && asCp437)
            appendUtf8(kCp437High[u - 0x80], out);
        else
            out += (u >= 'A' && u <= 'Z') ? static_cast<char>(u - 'A' + 'a') : c;
    }
}

}  // namespace

int treeCompare(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned ca = a[i] == '/' ? 1u : static_cast<unsigned char>(a[i]);
        const unsigned cb = b[i] == '/' ? 1u : static_cast<unsigned char>(b[i]);
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool isBelow(std::string_view name, std::string_view directory) {
    return name.size() > directory.size() && name[directory.size()] == '/' &&
           name.compare(0, directory.size(), directory) == 0;
}

bool nameIsPlain(std::string_view name, std::size_t& elements, std::string& reason) {
    if (name.empty()) {
        reason = "an entry has an empty name";
        return false;
    }
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            reason = "an entry name holds a control character";
            return false;
        }
        if (c == '\\') {
            reason = "an entry name holds a backslash";
            return false;
        }
    }
    if (name[0] == '/') {
        reason = "an entry name is absolute";
        return false;
    }
    std::size_t start = 0;
    elements = 0;
    // Each pass consumes one element and the "/" after it.
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        const std::string_view element = name.substr(start, end - start);
        if (element.empty() || element == "." || element == "..") {
            reason = "an entry name has an empty, \".\" or \"..\" element";
            return false;
        }
        ++elements;
        start = end + 1;
    }
    return true;
}

const Entry* Listing::find(std::string_view name) const {
    auto it = std::lower_bound(entries.begin(), entries.end(), name, [this](const Entry& e, std::string_view n) {
        return treeCompare(this->name(e), n) < 0;
    });
    if (it == entries.end() || this->name(*it) != name) return nullptr;
    return &*it;
}

bool Listing::hasEntryBelow(std::string_view directory) const {
    // In tree order the first name after the directory itself is below it if any is.
    auto it = std::upper_bound(entries.begin(), entries.end(), directory, [this](std::string_view n, const Entry& e) {
        return treeCompare(n, this->name(e)) < 0;
    });
    return it != entries.end() && isBelow(name(*it), directory);
}



bool hasHighByte(std::string_view name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
}

bool sortEntriesByName(std::vector<Entry>& unsorted, Listing& listing, std::vector<NamedItem>& exact,
                       std::string& reason) {
    exact.reserve(unsorted.size());
    for (std::size_t i = 0; i < unsorted.size(); ++i)
        exact.push_back({listing.name(unsorted[i]), unsorted[i].kind, static_cast<std::uint32_t>(i)});
    if (!namesFormATree(exact, "", reason)) return false;
    listing.entries.reserve(exact.size());
    // The data records name their entries by central index until now.
    std::vector<std::uint32_t> sortedIndex(exact.size());
    for (const NamedItem& item : exact) {
        sortedIndex[item.owner] = static_cast<std::uint32_t>(listing.entries.size());
        listing.entries.push_back(unsorted[item.owner]);
    }
    for (StoredData& data : listing.data) data.entry = sortedIndex[data.entry];
    sortedIndex.clear();
    sortedIndex.shrink_to_fit();
    unsorted.clear();
    unsorted.shrink_to_fit();
    return true;
}

bool foldedNamesFormATree(std::vector<NamedItem>& exact, const std::vector<std::uint8_t>& readAsCp437,
                          std::string& reason) {
    // The text is written first, the views taken once it no longer moves.
    struct FoldedRange {
        std::size_t offset;
        std::size_t length;
        EntryKind kind;
        std::uint32_t owner;
    };
    std::string foldedNames;
    std::vector<FoldedRange> ranges;
    ranges.reserve(exact.size());
    for (const NamedItem& item : exact) {
        for (int asCp437 = 0; asCp437 <= (readAsCp437[item.owner] ? 1 : 0); ++asCp437) {
            const std::size_t start = foldedNames.size();
            appendFolded(item.name, asCp437 != 0, foldedNames);
            ranges.push_back({start, foldedNames.size() - start, item.kind, item.owner});
        }
    }
    exact.clear();
    exact.shrink_to_fit();
    std::vector<NamedItem> folded;
    folded.reserve(ranges.size());
    for (const FoldedRange& r : ranges)
        folded.push_back({std::string_view(foldedNames).substr(r.offset, r.length), r.kind, r.owner});
    ranges.clear();
    ranges.shrink_to_fit();
    return namesFormATree(folded, " once case is folded or read as CP437", reason);
}

}  // namespace archive
}  // namespace kvbsign
