// The DER CRL reader over fuzzed files.
#include "KVBSignLibInternal.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::initCrypto();
    const std::string path = kvfuzz::scratchDir() + "/revoked.crl";
    kvfuzz::writeFile(path, kvfuzz::bytes(data, size));
    RevocationMap map;
    KVBSignLibInternal::extractSerialNumbersFromX509CRL(path, map);
    return 0;
}
