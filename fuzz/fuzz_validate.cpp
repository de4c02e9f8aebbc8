// The signature check end to end (signature value, canonical SignedInfo, manifest, file
// digests) and the KeyInfo chain over a fuzzed signature document, against the fixed package
// of fuzz_fixture.h. Seed documents are real signed documents of that package, so mutations
// start from inputs that pass every check. With KVBFUZZ_EXPECT_VALID set, a document that
// fails the check traps: the run script uses it to prove that the seeds still pass.
#include <cstdlib>
#include <string>
#include <vector>

#include "KVBSignLibInternal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::initCrypto();
    const std::string& dir = kvfuzz::packageDir();
    const std::string doc = kvfuzz::bytes(data, size);

    static const bool expectValid = std::getenv("KVBFUZZ_EXPECT_VALID") != nullptr;
    const bool valid = validateKVB(doc, dir.c_str(), dir.c_str(), KVBSignLibInternal::isNvoSignature(doc));
    if (expectValid && !valid) __builtin_trap();
    std::vector<X509*> noAnchors;
    KVBSignLibInternal::validateCertificateChain(doc, noAnchors);
    return 0;
}
