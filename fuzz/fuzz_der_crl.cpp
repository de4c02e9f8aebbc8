// The DER CRL reader over fuzzed files, checked against a whole decode of the same bytes:
// the list walked entry by entry must give exactly the map that decoding the list whole and
// reading its entries gives (nothing for bytes the whole decode refuses), with every entry
// and with only some serials wanted. Read for a certificate (the fixed fuzz root, its own
// issuer), a list taken must also be one list alone whose signature a whole decode verifies.
#include <set>
#include <string>

#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "fuzz_fixture.h"
#include "fuzz_support.h"
#include "ossl_ptr.h"
#include "revocation/crl_reading.h"

namespace {

RevocationMap wholeDecode(const std::string& bytes) {
    RevocationMap map;
    kvbsign::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    if (!bio) __builtin_trap();
    kvbsign::X509CrlPtr crl(d2i_X509_CRL_bio(bio.get(), nullptr));
    if (!crl) return map;
    STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
    for (int i = revoked ? sk_X509_REVOKED_num(revoked) - 1 : -1; i >= 0; --i) {
        const X509_REVOKED* entry = sk_X509_REVOKED_value(revoked, i);
        const ASN1_INTEGER* serial = X509_REVOKED_get0_serialNumber(entry);
        const ASN1_TIME* date = X509_REVOKED_get0_revocationDate(entry);
        if (!serial || !date) continue;
        map.insert(std::make_pair(KVBSignLibInternal::digest_to_hex_string(
                                      ASN1_STRING_get0_data(serial), static_cast<unsigned long>(ASN1_STRING_length(serial))),
                                  static_cast<long>(Timestamp::Asn1ToTime(date))));
    }
    return map;
}

// The fuzz root, read once and kept for the process.
X509* fuzzRoot() {
    static X509* const root = [] {
        kvbsign::BioPtr bio(BIO_new_mem_buf(kvfuzz::fixture::kRootPem, -1));
        X509* cert = bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr;
        if (!cert) __builtin_trap();
        return cert;
    }();
    return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvfuzz::initCrypto();
    const std::string bytes = kvfuzz::bytes(data, size);
    const std::string path = kvfuzz::scratchDir() + "/revoked.crl";
    kvfuzz::writeFile(path, bytes);
    RevocationMap map;
    if (!KVBSignLibInternal::extractSerialNumbersFromX509CRL(path, map)) __builtin_trap();

    const RevocationMap want = wholeDecode(bytes);
    if (map != want) __builtin_trap();

    // Every other key of the whole decode, and one that no list holds.
    std::set<std::string> wanted = {"00"};
    bool take = true;
    for (const RevocationMap::value_type& entry : want) {
        if (take) wanted.insert(entry.first);
        take = !take;
    }
    RevocationMap some;
    kvbsign::readDerCrlFile(path, some, &wanted, std::chrono::steady_clock::time_point::max());
    for (const RevocationMap::value_type& entry : want) {
        const RevocationMap::const_iterator found = some.find(entry.first);
        if (wanted.count(entry.first) ? found == some.end() || found->second != entry.second : found != some.end())
            __builtin_trap();
    }
    if (some.size() > wanted.size()) __builtin_trap();

    const kvbsign::CrlSubject subject{fuzzRoot(), fuzzRoot()};
    kvbsign::FetchedList fetched;
    fetched.subject = &subject;
    fetched.point = "http://fuzz.invalid/list.crl";
    RevocationMap checked;
    if (kvbsign::readDerCrlFile(path, checked, nullptr, std::chrono::steady_clock::time_point::max(), &fetched) ==
        kvbsign::CrlFileRead::Read) {
        const unsigned char* p = data;
        kvbsign::X509CrlPtr crl(d2i_X509_CRL(nullptr, &p, static_cast<long>(size)));
        if (!crl || p != data + size || X509_CRL_verify(crl.get(), X509_get0_pubkey(fuzzRoot())) != 1 ||
            checked != want)
            __builtin_trap();
    } else if (!checked.empty()) {
        __builtin_trap();
    }
    return 0;
}
