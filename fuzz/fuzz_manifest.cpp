// The manifest check over a fuzzed signature document and the fixed package of
// fuzz_fixture.h: the entry cutter over the raw input, then the whole comparison of the
// manifest digest and entries with the files that the walk finds.
#include <map>
#include <string>

#include "KVBSignLibInternal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::initCrypto();
    const std::string& dir = kvfuzz::packageDir();
    const std::string doc = kvfuzz::bytes(data, size);

    std::map<std::string, std::string> entries;
    extractManifestEntriesNonXML(doc, entries);
    // Entries are only added, never replaced: a second pass over the same text changes nothing.
    const std::map<std::string, std::string> first = entries;
    extractManifestEntriesNonXML(doc, entries);
    if (entries != first) __builtin_trap();

    // As the signature check calls it: the variant's manifest digest is compared elsewhere.
    checkManifestHashes(doc, dir.c_str(), dir.c_str(), KVBSignLibInternal::isNvoSignature(doc), false);
    return 0;
}
