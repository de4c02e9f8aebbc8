// Revocation lists into the revocation map: DER list files (downloaded lists) and the text
// listing of the system CRL cache. Only serial numbers and revocation times are taken, and an
// insertion never replaces an entry already in the map. A downloaded list read for a
// certificate must be one that may speak for it (revocation/crl_check.h); the cache listing is
// taken as the listing tool prints it.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include "crl_cache_tool/cache_listing.h"
#include "revocation/crl_entries.h"
#include "revocation/crl_listing.h"
#include "revocation/crl_reading.h"

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "crl_tool_path/crl_tool_path.h"
#include "ossl_ptr.h"
#include "system/interrupt.h"

namespace {

// The listing tool's path is the build tree's or the install prefix's and may hold any
// character: it goes between single quotes, each of its own written as '\''.
std::string cacheListingCommand() {
    std::string command = "'";
    for (const char c : kvbsign::crl_tool_path::listingToolPath()) {
        if (c == '\'') {
            command += "'\\''";
        } else {
            command += c;
        }
    }
    return command + "' y k=/var/db/crls/crlcache.db v";
}

// Replaces the listing command in tests (crl_listing.h); empty in production.
std::string& listingCommandForTesting() {
    static std::string command;
    return command;
}

const std::string kCertificatesFound = " certificates found";
const std::string kCrlsFound = " CRLs found";
const std::string kVersion = "Version";
const std::string kRevokedCert = "Revoked Cert ";
const std::string kSerialNumber = "Serial number";
const std::string kRevocationTime = "Revocation time ";

// digest_to_hex_string shows at most this many bytes of a serial.
constexpr int kMaxShownSerialBytes = static_cast<int>(KVBSignLibInternal::kMaxHexBytes);

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The serial bytes whose key (lowercase, two digits a byte) is `key`; false for a text that
// no list entry can have as its key.
bool serialBytesOfKey(const std::string& key, std::string& serial) {
    if (key.empty() || key.size() % 2 != 0 || key.size() > 2 * static_cast<std::size_t>(kMaxShownSerialBytes))
        return false;
    serial.clear();
    for (std::size_t i = 0; i < key.size(); i += 2) {
        const int high = hexDigit(key[i]);
        const int low = hexDigit(key[i + 1]);
        if (high < 0 || low < 0) return false;
        serial += static_cast<char>(high * 16 + low);
    }
    return true;
}

bool isSpaceC(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// The value of a "Label : value" line: from the first ':' at or after `from` up to the next
// line end (or the end of the text), with every ':' and line end turned into a blank.
// npos in `colon` when there is no ':' at all.
std::string labelValue(const std::string& text, std::size_t from, std::size_t& colon) {
    colon = text.find(':', from);
    if (colon == std::string::npos) return std::string();
    std::size_t end = text.find('\n', colon);
    std::string value = text.substr(colon, end == std::string::npos ? std::string::npos : end - colon);
    for (char& c : value) {
        if (c == ':' || c == '\n') c = ' ';
    }
    return value;
}

}  // namespace

bool KVBSignLibInternal::extractSerialNumbersFromX509CRL(const std::string& path, RevocationMap& map) {
    return kvbsign::readDerCrlFile(path, map, nullptr, std::chrono::steady_clock::time_point::max()) !=
           kvbsign::CrlFileRead::Unopened;
}

kvbsign::CrlFileRead kvbsign::readDerCrlFile(const std::string& path, RevocationMap& map,
                                             const std::set<std::string>* wanted,
                                             std::chrono::steady_clock::time_point deadline,
                                             const FetchedList* fetched) {
    BioPtr bio(BIO_new(BIO_s_file()));
    if (!bio) {
        KVBSignLibInternal::debugError("Error creating file pointer");
        return CrlFileRead::Unopened;
    }
    if (BIO_read_filename(bio.get(), path.c_str()) <= 0) {
        KVBSignLibInternal::debugError("Error opening CRL file ");
        return CrlFileRead::Unopened;
    }
    std::FILE* file = nullptr;
    if (BIO_get_fp(bio.get(), &file) <= 0 || !file) return CrlFileRead::NotAList;

    // Keys and the serial bytes they stand for are one to one (two lowercase digits a byte, at
    // most 510 bytes shown), so entries are matched on their bytes and only a match is turned
    // into text.
    std::set<std::string, std::less<>> wantedBytes;
    if (wanted) {
        for (const std::string& key : *wanted) {
            std::string serial;
            if (serialBytesOfKey(key, serial)) wantedBytes.insert(serial);
        }
    }

    // Held apart until the whole list has been read: a fault after the last entry still
    // makes it no list.
    RevocationMap kept;
    const std::function<bool(const X509_REVOKED&)> onEntry = [&](const X509_REVOKED& entry) {
        // A list may hold millions of entries; an interrupted verification reads no further.
        if (interrupt::interrupted()) return false;
        const ASN1_INTEGER* serial = X509_REVOKED_get0_serialNumber(&entry);
        const ASN1_TIME* date = X509_REVOKED_get0_revocationDate(&entry);
        if (!serial || !date) return true;
        const unsigned char* bytes = ASN1_STRING_get0_data(serial);
        const int length = ASN1_STRING_length(serial);
        if (wanted) {
            const std::size_t shown = static_cast<std::size_t>(std::min(std::max(length, 0), kMaxShownSerialBytes));
            if (!bytes || wantedBytes.find(std::string_view(reinterpret_cast<const char*>(bytes), shown)) ==
                              wantedBytes.end())
                return true;
        }
        const std::string key =
            KVBSignLibInternal::digest_to_hex_string(bytes, static_cast<unsigned long>(length));
        // A serial listed again: its later listing stands.
        kept[key] = static_cast<long>(Timestamp::Asn1ToTime(date));
        return wanted != nullptr || kept.size() <= kMaxEntriesKeptWhole;
    };

    // A list for a certificate: its signature is checked as the walk reads it.
    std::unique_ptr<CrlCheck> check;
    if (fetched && fetched->subject) {
        check.reset(new CrlCheck(*fetched->subject, fetched->point, time(nullptr)));
        if (!check->usable()) {
            KVBSignLibInternal::debugError("CRL refused: " + check->problem());
            return CrlFileRead::Refused;
        }
    }

    CrlBytes bytes(file);
    CrlWalkBounds bounds;
    bounds.deadline = deadline;
    bounds.asFromFile = true;
    bounds.signedPart = check.get();
    X509CrlPtr frame;
    std::uint64_t end = 0;
    switch (walkCrlEntries(bytes, 0, bounds, onEntry, &frame, &end)) {
        case CrlWalk::Listed:
            break;
        case CrlWalk::NotAList:
            return CrlFileRead::NotAList;
        case CrlWalk::TooLarge:
            KVBSignLibInternal::debugError("CRL too large to read within the bounds");
            return CrlFileRead::TooLarge;
    }
    // A downloaded body is the list and nothing else: bytes after it are a second reading of
    // the body that another reader may take up.
    if (fetched && end != bytes.size()) return CrlFileRead::NotAList;
    if (check && !check->accepts(*frame)) {
        KVBSignLibInternal::debugError("CRL refused: " + check->problem());
        return CrlFileRead::Refused;
    }
    for (const RevocationMap::value_type& entry : kept) map.insert(entry);
    return CrlFileRead::Read;
}

void kvbsignSetCrlListingCommandForTesting(const char* command) {
    listingCommandForTesting() = command != nullptr ? command : "";
}

bool KVBSignLibInternal::getCertificateRevocationLists(RevocationMap& map) {
    const std::string& replaced = listingCommandForTesting();
    const std::string listing = getOutputFromSystemCall(replaced.empty() ? cacheListingCommand() : replaced);
    // Only a listing the tool finished is the cache: a tool that refused the cache, failed or
    // could not be started (127) listed nothing, and without the cache's entries a revoked
    // chain could pass as not revoked, so the verdict is unknown.
    if (extractReturnCode(listing) != kvbsign::crl_listing::kListed) {
        debugError("CRL cache could not be listed");
        return false;
    }
    kvbsign::addCrlListingEntries(listing, map);
    return true;
}

void kvbsign::addCrlListingEntries(const std::string& listing, RevocationMap& map) {
    // The lists lie between the line that counts the certificates and the line that counts the
    // lists. Without both counts, or with them the wrong way round, the whole text is scanned.
    std::string section = listing;
    const std::size_t certs = listing.find(kCertificatesFound);
    const std::size_t crls = listing.find(kCrlsFound);
    if (certs != std::string::npos && crls != std::string::npos && certs < crls) {
        section = listing.substr(certs, crls - certs);
        std::size_t firstEnd = section.find('\n');
        if (firstEnd != std::string::npos) section.erase(0, firstEnd + 1);
        std::size_t lastEnd = section.rfind('\n');
        if (lastEnd != std::string::npos) section.erase(lastEnd);
    }

    // One record per "Version"; the search starts 7 characters in so that a record's own
    // leading "Version" is not found again. Each pass moves `start` forward by at least 8.
    std::size_t start = 0;
    for (;;) {
        const std::size_t remaining = section.size() - start;
        std::size_t hit = remaining < 7 ? std::string::npos : section.find(kVersion, start + 7);
        if (hit == std::string::npos || hit - start == 7) {
            std::string record = section.substr(start);
            KVBSignLibInternal::extractInfoFromCrl(record, map);
            break;
        }
        std::string record = section.substr(start, hit - start);
        KVBSignLibInternal::extractInfoFromCrl(record, map);
        start = hit;
    }
}

bool KVBSignLibInternal::extractInfoFromCrl(std::string& record, RevocationMap& map) {
    const std::string& text = record;  // read only; the current text is text[current..]
    if (text.find(kRevokedCert) == std::string::npos) return true;

    // Each entry moves `current` past its own "Serial number" label, so the walk ends.
    std::size_t current = 0;
    for (;;) {
        const std::size_t label = text.find(kSerialNumber, current);
        if (label == std::string::npos) break;
        const std::size_t tail = label + kSerialNumber.size();

        std::size_t colon;
        std::string serial = labelValue(text, tail, colon);
        if (colon == std::string::npos) break;  // a label without a value: nothing more to read
        std::string key;
        for (char c : serial) {
            if (!isSpaceC(c)) key += c;
        }

        const std::size_t timeLabel = text.find(kRevocationTime, current);
        if (timeLabel == std::string::npos) break;  // no time for this entry: skip it and stop
        std::string when = labelValue(text, timeLabel + kRevocationTime.size(), colon);
        if (colon == std::string::npos) break;
        std::size_t blanks = 0;
        while (blanks < when.size() && when[blanks] == ' ') ++blanks;
        when.erase(0, blanks);

        // Local standard time, to the second; fields the format did not reach stay zero.
        struct tm fields;
        std::memset(&fields, 0, sizeof fields);
        strptime(when.c_str(), "%H %M %S %b %d, %Y", &fields);
        fields.tm_isdst = 0;
        const long revokedAt = static_cast<long>(mktime(&fields));

        const std::size_t next = text.find(kRevokedCert, tail);
        map.insert(std::make_pair(key, revokedAt));
        if (next == std::string::npos) break;
        current = next + kRevokedCert.size();
    }
    return true;
}
