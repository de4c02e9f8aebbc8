// Times one text routine of the verification library over a signature document.
//
//   text_bench <routine> <signatures.xml>
//
// Prints the best time in seconds of repeated calls: the routine runs again until 0.25 s
// have passed in all (at most 25 calls), so short times are not lost in the clock's noise
// while a slow routine runs once. Every call starts with caches that hold none of the
// document. Routines, each applied to the whole document as read:
//   htmlEntitiesDecode UriDecode unite_lines removeSpacesBetweenElements expandCollapsedElements
//   stringRange (the Manifest element), and with the line-break flag that the verifier takes
//   for the document (its variant marker): signedInfoSHA1 manifestSHA256 canonicalFormDropsContent.
//   Two checks of the document's certificates and timestamp: checkCertificateChainRevocation
//   (the revocation check without the system cache; run it where no download can leave the
//   machine) and validateTimestamp.
//   "reference" runs no library code: a copy of the document and one count over it.
//
// Built by bench/run.sh against a build's static core library; not part of the test suite.

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"

namespace {

using Lib = KVBSignLibInternal;
using Routine = std::function<std::size_t(const std::string&, bool)>;

// Each routine returns a size taken from its result, so the call cannot be dropped.
const std::map<std::string, Routine>& routines() {
    static const std::map<std::string, Routine> table = {
        // No library code: a copy and one count over the document, the cost of plain linear
        // work at this size on this machine.
        {"reference",
         [](const std::string& d, bool) {
             const std::string copy = d;
             return static_cast<std::size_t>(std::count(copy.begin(), copy.end(), '<'));
         }},
        {"htmlEntitiesDecode", [](const std::string& d, bool) { return Lib::htmlEntitiesDecode(d).size(); }},
        {"UriDecode", [](const std::string& d, bool) { return Lib::UriDecode(d).size(); }},
        {"unite_lines", [](const std::string& d, bool) { return Lib::unite_lines(d).size(); }},
        {"stringRange",
         [](const std::string& d, bool) {
             return Lib::stringRange(d, "<Manifest Id=\"PackageContents\">", "</Manifest>").size();
         }},
        {"removeSpacesBetweenElements",
         [](const std::string& d, bool) { return Lib::removeSpacesBetweenElements(d).size(); }},
        {"expandCollapsedElements", [](const std::string& d, bool) { return Lib::expandCollapsedElements(d).size(); }},
        {"signedInfoSHA1", [](const std::string& d, bool v) { return Lib::signedInfoSHA1(d, v).size(); }},
        {"manifestSHA256", [](const std::string& d, bool v) { return Lib::manifestSHA256(d, v).size(); }},
        {"canonicalFormDropsContent",
         [](const std::string& d, bool v) { return static_cast<std::size_t>(Lib::canonicalFormDropsContent(d, v)); }},
        {"checkCertificateChainRevocation",
         [](const std::string& d, bool) {
             RevocationMap map;
             bool allFetched = true;
             long signingTime = 0;
             return static_cast<std::size_t>(Lib::checkCertificateChainRevocation(d, map, &allFetched, signingTime) + 2);
         }},
        {"validateTimestamp",
         [](const std::string& d, bool v) {
             std::string path;
             long genTime = 0;
             return static_cast<std::size_t>(Timestamp::validateTimestamp(d, v, {}, path, genTime));
         }},
    };
    return table;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || routines().count(argv[1]) == 0) {
        std::cerr << "usage: text_bench <routine> <signatures.xml>\nroutines:";
        for (const auto& r : routines()) std::cerr << " " << r.first;
        std::cerr << "\n";
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary);
    const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::cerr << "text_bench: cannot read " << argv[2] << "\n";
        return 1;
    }
    // Every large block comes fresh from the kernel, whatever its size: otherwise the allocator
    // would hand the small document's blocks back from its free lists while the large one's
    // pages are new on each call, and the times would compare page faults, not the routines.
    mallopt(M_MMAP_THRESHOLD, 64 * 1024);
    const Routine& routine = routines().at(argv[1]);
    const bool variant = Lib::isNvoSignature(doc);

    using Clock = std::chrono::steady_clock;
    double best = 0;
    double total = 0;
    std::size_t sink = 0;
    // Written before every call, so that no call finds the document or its own last result in
    // the core's caches; a small document would gain from that and a large one would not.
    std::vector<char> evict(64u << 20);
    for (int i = 0; i < 25 && total < 0.25; ++i) {
        std::memset(evict.data(), i, evict.size());
        sink += static_cast<unsigned char>(evict[static_cast<std::size_t>(i) * 4099 % evict.size()]);
        const Clock::time_point start = Clock::now();
        sink += routine(doc, variant);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        total += seconds;
        if (i == 0 || seconds < best) best = seconds;
    }
    std::cout.setf(std::ios::fixed);
    std::cout.precision(6);
    std::cout << best << "\n";
    std::cerr << "result size " << sink << "\n";
    return 0;
}
