// The archive reader over arbitrary bytes: it must end, stay inside the input, and accept
// only listings that keep its promises.
#include <cstdlib>
#include <string>

#include "package/archive.h"
#include "fuzz_support.h"

namespace ka = kvbsign::archive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes = kvfuzz::bytes(data, size);
    ka::MemorySource source(bytes);
    ka::Listing listing;
    std::string reason;
    const bool accepted = ka::readArchive(source, listing, reason);
    if (!accepted) {
        if (reason.empty()) abort();
        return 0;
    }
    std::uint64_t total = 0;
    std::uint64_t largest = 0;
    for (std::size_t i = 0; i < listing.entries.size(); ++i) {
        const ka::Entry& e = listing.entries[i];
        const std::string_view name = listing.name(e);
        if (name.empty() || name.front() == '/' || name.back() == '/') abort();
        if (name.find('\\') != std::string_view::npos || name.find("//") != std::string_view::npos) abort();
        for (char c : name)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) abort();
        if (listing.find(name) != &e) abort();  // unique and found
        if (e.kind == ka::EntryKind::Directory && e.size != 0) abort();
        total += e.size;
        largest = e.size > largest ? e.size : largest;
    }
    if (total != listing.totalSize || largest != listing.largestSize) abort();
    if (listing.data.size() != listing.entries.size()) abort();

    // The data check decodes what the structure accepted, bounded by the declared sizes, and
    // reads the link targets that the link check resolves.
    std::string dataReason;
    if (!ka::checkArchiveData(source, listing, dataReason)) {
        if (dataReason.empty()) abort();
    } else {
        for (const ka::Entry& e : listing.entries)
            if (e.kind == ka::EntryKind::Symlink && listing.target(e).size() != e.size) abort();
        std::string linkReason;
        if (!ka::checkLinks(listing, linkReason) && linkReason.empty()) abort();
    }

    // Read again: the same listing.
    ka::Listing again;
    if (!ka::readArchive(source, again, reason) || again.names != listing.names ||
        again.entries.size() != listing.entries.size())
        abort();
    return 0;
}
