#ifndef KVBSIGN_TEST_CRL_FIXTURES_H
#define KVBSIGN_TEST_CRL_FIXTURES_H

// Certificate revocation lists made at test time with OpenSSL alone.

#include <ctime>
#include <string>
#include <vector>

#include "test_pki.h"

namespace kvtest {

// One entry of a list: the serial number in hexadecimal (as BN_hex2bn reads it, so "0A1B"
// gives the content bytes 0A 1B) and the revocation date (written as UTCTime for 1950-2049).
struct RevokedSerial {
    std::string serialHex;
    time_t revokedAt;
};

// A version 2 CRL in DER, its entries in the order given (a serial may repeat), signed by
// `issuer` (default: the test PKI's intermediate). An empty list has no entries at all.
std::string makeCrlDer(const std::vector<RevokedSerial>& entries, const CertAndKey* issuer = nullptr);

// The same list as PEM ("-----BEGIN X509 CRL-----").
std::string crlDerToPem(const std::string& der);

// A list of `count` generated entries plus `inserted` (placed after the first half of the
// generated ones). The generated serials are the four content bytes 01 00 00 00 + i (keys
// "01000000", "01000001", ...), each revoked at `revokedAt`. Millions of entries take a
// moment: the entries are written as bytes into the signed list of makeCrlDer(inserted), so
// its signature does not cover them (nothing that reads a list checks it).
std::string makeLargeCrlDer(std::size_t count, const std::vector<RevokedSerial>& inserted, time_t revokedAt);

// The key of the i-th generated entry of makeLargeCrlDer.
std::string largeCrlSerialKey(std::size_t i);

}  // namespace kvtest

#endif
