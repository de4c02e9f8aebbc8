// Revocation lists into the revocation map: DER list files, the CRL cache listing tool and the
// parse of its text.

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "Timestamp.h"
#include "child_process.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "revocation/crl_check.h"
#include "revocation/crl_listing.h"
#include "revocation/crl_reading.h"

namespace {

using kvtest::RevokedSerial;

// Standard time UTC+1, daylight saving UTC+2 from the last Sunday of March to the last Sunday
// of October: summer and winter dates tell local standard time from local wall-clock time.
const char* const kZoneWithDst = "CET-1CEST,M3.5.0,M10.5.0/3";

time_t utc(int year, int month, int day, int hour, int minute, int second) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

RevocationMap readDerFile(const std::string& bytes, bool* result = nullptr, RevocationMap map = {}) {
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("list.crl"), bytes);
    bool ok = KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("list.crl"), map);
    if (result) *result = ok;
    return map;
}

// --- DER list files ---

TEST(DerCrlFile, EntriesBecomeLowercaseHexKeysWithTimesToTheHour) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 15, 30)},
                                                {"ABCDEF0123", utc(2015, 3, 1, 0, 59, 59)},
                                                {"7F", utc(2049, 12, 31, 23, 0, 0)}});
    bool ok = false;
    RevocationMap map = readDerFile(der, &ok);
    EXPECT_TRUE(ok);
    const RevocationMap want = {{"0a1b", utc(2014, 1, 5, 10, 0, 0)},
                                {"abcdef0123", utc(2015, 3, 1, 0, 0, 0)},
                                {"7f", utc(2049, 12, 31, 23, 0, 0)}};
    EXPECT_EQ(map, want);
}

TEST(DerCrlFile, SerialListedTwiceKeepsItsLaterListing) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0C", utc(2014, 1, 1, 8, 0, 0)},
                                                {"0D", utc(2014, 2, 1, 8, 0, 0)},
                                                {"0C", utc(2016, 6, 1, 9, 0, 0)}});
    RevocationMap map = readDerFile(der);
    const RevocationMap want = {{"0c", utc(2016, 6, 1, 9, 0, 0)}, {"0d", utc(2014, 2, 1, 8, 0, 0)}};
    EXPECT_EQ(map, want);
}

TEST(DerCrlFile, NeverReplacesAnEntryAlreadyInTheMap) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 0, 0)}, {"02", utc(2014, 1, 6, 10, 0, 0)}});
    RevocationMap map = readDerFile(der, nullptr, {{"0a1b", 42}});
    const RevocationMap want = {{"0a1b", 42}, {"02", utc(2014, 1, 6, 10, 0, 0)}};
    EXPECT_EQ(map, want);
}

TEST(DerCrlFile, FilesWithoutADerListAddNothing) {
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 0, 0)}});
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"PEM list", kvtest::crlDerToPem(der)},
        {"list without entries", kvtest::makeCrlDer({})},
        {"empty file", ""},
        {"HTML error page", "<html><body>404 Not Found</body></html>"},
        {"truncated DER", der.substr(0, der.size() / 2)},
        {"DER header claiming more than the file holds", std::string("\x30\x84\x7f\xff\xff\xff", 6)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool ok = false;
        RevocationMap map = readDerFile(c.bytes, &ok);
        EXPECT_TRUE(ok);
        EXPECT_TRUE(map.empty());
    }
}

// --- the entry-by-entry walk against a whole decode ---

// What decoding the list whole gives: its entries from the last to the first, the first
// insertion winning (so a serial listed twice keeps its later listing). The reference the walk
// must match, built from the cryptography library's whole decode alone.
RevocationMap wholeDecode(const std::string& bytes, bool* parsed = nullptr) {
    RevocationMap map;
    kvbsign::BioPtr bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    kvbsign::X509CrlPtr crl(bio ? d2i_X509_CRL_bio(bio.get(), nullptr) : nullptr);
    if (parsed) *parsed = crl != nullptr;
    if (!crl) return map;
    STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.get());
    for (int i = revoked ? sk_X509_REVOKED_num(revoked) - 1 : -1; i >= 0; --i) {
        const X509_REVOKED* e = sk_X509_REVOKED_value(revoked, i);
        const ASN1_INTEGER* serial = X509_REVOKED_get0_serialNumber(e);
        map.insert({kvtest::hex(std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(serial)),
                                            static_cast<std::size_t>(ASN1_STRING_length(serial)))),
                    static_cast<long>(Timestamp::Asn1ToTime(X509_REVOKED_get0_revocationDate(e)))});
    }
    return map;
}

// DER and BER pieces, to write the forms a list may take.
enum class Form { Definite, Indefinite, PaddedLength };

std::string element(unsigned char tag, const std::string& content, Form form = Form::Definite) {
    std::string out(1, static_cast<char>(tag));
    if (form == Form::Indefinite) return out + '\x80' + content + std::string(2, '\0');
    std::string octets;
    for (std::size_t n = content.size(); n > 0; n >>= 8) octets.insert(octets.begin(), static_cast<char>(n & 0xff));
    if (form == Form::PaddedLength) octets.insert(octets.begin(), '\0');
    if (form == Form::Definite && content.size() < 0x80) return out + static_cast<char>(content.size()) + content;
    return out + static_cast<char>(0x80 | octets.size()) + octets + content;
}

// The children (whole elements) of the definite element at the start of `der`.
std::vector<std::string> childrenOf(const std::string& der) {
    auto lengthAt = [&](std::size_t pos, std::size_t& header) {
        std::size_t length = static_cast<unsigned char>(der.at(pos + 1));
        header = 2;
        if (length & 0x80) {
            const std::size_t count = length & 0x7f;
            length = 0;
            for (std::size_t i = 0; i < count; ++i) length = (length << 8) | static_cast<unsigned char>(der.at(pos + 2 + i));
            header += count;
        }
        return length;
    };
    std::size_t header = 0;
    const std::size_t end = lengthAt(0, header) + header;
    std::vector<std::string> children;
    for (std::size_t pos = header; pos < end;) {
        std::size_t childHeader = 0;
        const std::size_t length = lengthAt(pos, childHeader);
        children.push_back(der.substr(pos, childHeader + length));
        pos += childHeader + length;
    }
    return children;
}

std::string joined(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts) out += p;
    return out;
}

// The parts of a list made by the fixtures: signed fields (version, algorithm, issuer,
// thisUpdate, nextUpdate), entries, algorithm, signature.
struct ListParts {
    std::vector<std::string> fields, entries;
    std::string algorithm, signature;
};

ListParts partsOf(const std::string& der) {
    const std::vector<std::string> list = childrenOf(der);
    ListParts parts;
    parts.fields = childrenOf(list.at(0));
    parts.entries = childrenOf(parts.fields.back());
    parts.fields.pop_back();
    parts.algorithm = list.at(1);
    parts.signature = list.at(2);
    return parts;
}

struct Forms {
    Form list = Form::Definite, signedPart = Form::Definite, entries = Form::Definite;
};

std::string assemble(const ListParts& p, const Forms& forms = {}, const std::string& afterEntries = "",
                     const std::string& afterSignature = "") {
    const std::string entries = element(0x30, joined(p.entries), forms.entries);
    const std::string signedPart = element(0x30, joined(p.fields) + entries + afterEntries, forms.signedPart);
    return element(0x30, signedPart + p.algorithm + p.signature + afterSignature, forms.list);
}

const std::string kReasonCode("\x30\x0a\x06\x03\x55\x1d\x15\x04\x03\x0a\x01\x01", 12);

std::string entryWithExtensions(const std::string& serialContent, const std::string& date, const std::string& extensions) {
    return element(0x30, element(0x02, serialContent) + date + element(0x30, extensions));
}

TEST(DerCrlFile, WalkAgreesWithAWholeDecode) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const ListParts base = partsOf(kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 15, 30)},
                                                        {"0C", utc(2015, 3, 1, 0, 59, 59)},
                                                        {"0A1B", utc(2016, 6, 1, 9, 0, 0)}}));
    const std::string generalizedDate = element(0x18, "20300801101500Z");
    ListParts withExtensions = base;
    withExtensions.entries.push_back(entryWithExtensions("\x0d", generalizedDate, kReasonCode));
    ListParts bare = base;  // no version, no nextUpdate
    bare.fields.erase(bare.fields.begin() + 4);
    bare.fields.erase(bare.fields.begin());
    ListParts paddedSerial = base;
    paddedSerial.entries.push_back(element(0x30, element(0x02, std::string("\x00\x01", 2)) + generalizedDate));
    ListParts noEntries = base;
    noEntries.entries.clear();
    const std::string crlNumber = element(0xa0, element(0x30, element(0x30, std::string("\x06\x03\x55\x1d\x14", 5) +
                                                                              element(0x04, "\x02\x01\x05"))));
    const std::string listed = assemble(base);
    const std::string allIndefinite = assemble(base, {Form::Indefinite, Form::Indefinite, Form::Indefinite});
    std::string sixLengthOctets = listed;
    {
        const std::size_t header = 2 + (static_cast<unsigned char>(listed[1]) & 0x7f);
        const std::size_t length = listed.size() - header;
        sixLengthOctets = std::string("\x30\x86\x00\x00\x00\x00", 6) + static_cast<char>(length >> 8) +
                          static_cast<char>(length & 0xff) + listed.substr(header);
    }

    struct Case {
        const char* name;
        std::string bytes;
        bool parses;
    };
    const Case cases[] = {
        {"DER as written", listed, true},
        {"indefinite lengths at every level", allIndefinite, true},
        {"long-form lengths padded with a zero", assemble(base, {Form::PaddedLength, Form::PaddedLength, Form::PaddedLength}),
         true},
        {"indefinite entries in a definite list", assemble(base, {Form::Definite, Form::Definite, Form::Indefinite}), true},
        {"entry with a reason code and a GeneralizedTime date", assemble(withExtensions), true},
        {"no version, no nextUpdate", assemble(bare), true},
        {"list extensions after the entries", assemble(base, {}, crlNumber), true},
        {"bytes after the list", listed + "\x30\x03junk", true},
        {"empty entry sequence", assemble(noEntries), true},
        {"content left over in the signed part", assemble(base, {}, element(0x02, "\x01")), false},
        {"end-of-contents marker in a definite sequence", assemble(base, {}, std::string(2, '\0')), false},
        {"indefinite list without its last end marker", allIndefinite.substr(0, allIndefinite.size() - 2), false},
        {"last entry with a padded serial", assemble(paddedSerial), false},
        {"field after the signature", assemble(base, {}, "", element(0x05, "")), false},
        {"list cut short", listed.substr(0, listed.size() - 1), false},
        {"header of six length octets (a file read sees 8 bytes)", sixLengthOctets, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool parsed = false;
        const RevocationMap want = wholeDecode(c.bytes, &parsed);
        EXPECT_EQ(parsed, c.parses);
        EXPECT_EQ(readDerFile(c.bytes), want);
    }

    // Any byte changed, dropped or added: the walk still agrees with the whole decode.
    std::mt19937 random(20240611);
    const std::string seeds[] = {listed, assemble(withExtensions, {Form::Indefinite, Form::PaddedLength, Form::Indefinite}),
                                 assemble(base, {}, crlNumber)};
    kvtest::ScratchDir dir;
    int disagreements = 0;
    for (int i = 0; i < 3000 && disagreements < 5; ++i) {
        std::string bytes = seeds[i % 3];
        for (int edits = 1 + static_cast<int>(random() % 3); edits > 0; --edits) {
            const std::size_t at = random() % bytes.size();
            switch (random() % 4) {
                case 0: bytes[at] = static_cast<char>(random()); break;
                case 1: bytes.erase(at, 1); break;
                case 2: bytes.insert(at, 1, "\x00\x80\x30\x81"[random() % 4]); break;
                default: bytes.resize(at); break;
            }
            if (bytes.empty()) bytes = "\x30";
        }
        kvtest::writeFile(dir.file("list.crl"), bytes);
        RevocationMap got;
        KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("list.crl"), got);
        if (got != wholeDecode(bytes)) {
            ++disagreements;
            ADD_FAILURE() << "walk and whole decode disagree on " << kvtest::hex(bytes);
        }
    }
}

TEST(DerCrlFile, OnlyWantedSerialsAreKept) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string der = kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 0, 0)},
                                                {"0C", utc(2014, 2, 1, 8, 0, 0)},
                                                {"0A1B", utc(2016, 6, 1, 9, 0, 0)},
                                                {"7F", utc(2017, 1, 1, 0, 0, 0)}});
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("list.crl"), der);
    struct Case {
        const char* name;
        std::set<std::string> wanted;
        RevocationMap before, want;
    };
    const Case cases[] = {
        {"a serial listed twice keeps its later listing", {"0a1b", "99"}, {}, {{"0a1b", utc(2016, 6, 1, 9, 0, 0)}}},
        {"an entry already in the map stays", {"0a1b", "7f"}, {{"7f", 42}}, {{"0a1b", utc(2016, 6, 1, 9, 0, 0)}, {"7f", 42}}},
        {"keys in uppercase are never list keys", {"0A1B", "7F"}, {}, {}},
        {"nothing wanted", {}, {{"01", 1}}, {{"01", 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RevocationMap map = c.before;
        EXPECT_EQ(kvbsign::readDerCrlFile(dir.file("list.crl"), map, &c.wanted, std::chrono::steady_clock::time_point::max()),
                  kvbsign::CrlFileRead::Read);
        EXPECT_EQ(map, c.want);
    }
}

// A list of millions is walked in bounded memory; decoding it whole would take gigabytes.
TEST(DerCrlFile, MillionsOfEntriesAreWalkedInBoundedMemory) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::size_t count = 2000000;
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("list.crl"), kvtest::makeLargeCrlDer(count, {{"7A01", utc(2020, 6, 1, 12, 0, 0)}},
                                                                     utc(2019, 1, 1, 0, 0, 0)));
#ifndef __SANITIZE_ADDRESS__
    rusage before = {};
    getrusage(RUSAGE_SELF, &before);
#endif

    const std::set<std::string> wanted = {"7a01", kvtest::largeCrlSerialKey(1234567), kvtest::largeCrlSerialKey(count),
                                          "1a2b3c"};
    RevocationMap map;
    EXPECT_EQ(kvbsign::readDerCrlFile(dir.file("list.crl"), map, &wanted, std::chrono::steady_clock::time_point::max()),
              kvbsign::CrlFileRead::Read);
    const RevocationMap want = {{"7a01", utc(2020, 6, 1, 12, 0, 0)},
                                {kvtest::largeCrlSerialKey(1234567), utc(2019, 1, 1, 0, 0, 0)}};
    EXPECT_EQ(map, want);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer holds freed memory back for a while
    rusage after = {};
    getrusage(RUSAGE_SELF, &after);
    const long grownKiB = after.ru_maxrss - before.ru_maxrss;
    EXPECT_LT(grownKiB, 64 * 1024) << "peak memory grew by " << grownKiB << " KiB";
#endif

    // Every entry kept is more than a read may hold: nothing is added.
    map.clear();
    EXPECT_EQ(kvbsign::readDerCrlFile(dir.file("list.crl"), map, nullptr, std::chrono::steady_clock::time_point::max()),
              kvbsign::CrlFileRead::TooLarge);
    EXPECT_TRUE(map.empty());
    EXPECT_TRUE(KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("list.crl"), map));
    EXPECT_TRUE(map.empty());
}

TEST(DerCrlFile, ListsBeyondTheBoundsAddNothing) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const ListParts base = partsOf(kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 0, 0)}}));
    ListParts largeEntry = base;
    const std::string bulkyExtension = element(0x30, std::string("\x06\x03\x2a\x03\x04", 5) +
                                                         element(0x04, std::string(70 * 1024, 'e')));
    largeEntry.entries.push_back(entryWithExtensions("\x0d", element(0x17, "140105101500Z"), bulkyExtension));
    const std::string largeFrame = assemble(
        base, {}, element(0xa0, element(0x30, element(0x30, std::string("\x06\x03\x2a\x03\x04", 5) +
                                                                element(0x04, std::string(1100 * 1024, 'f'))))));
    struct Case {
        const char* name;
        std::string bytes;
    };
    const Case cases[] = {
        {"an entry over 64 KB", assemble(largeEntry)},
        {"a list over 1 MB without its entries", largeFrame},
    };
    kvtest::ScratchDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        bool parsed = false;
        EXPECT_FALSE(wholeDecode(c.bytes, &parsed).empty());
        EXPECT_TRUE(parsed);  // a whole decode would take it
        kvtest::writeFile(dir.file("list.crl"), c.bytes);
        RevocationMap map;
        const std::set<std::string> wanted = {"0a1b", "0d"};
        EXPECT_EQ(kvbsign::readDerCrlFile(dir.file("list.crl"), map, &wanted, std::chrono::steady_clock::time_point::max()),
                  kvbsign::CrlFileRead::TooLarge);
        EXPECT_TRUE(map.empty());
    }

    // A read of every entry keeps as many as the bound, and no list longer than that.
    for (const std::size_t count : {kvbsign::kMaxEntriesKeptWhole, kvbsign::kMaxEntriesKeptWhole + 1}) {
        SCOPED_TRACE(count);
        kvtest::writeFile(dir.file("list.crl"), kvtest::makeLargeCrlDer(count, {}, utc(2019, 1, 1, 0, 0, 0)));
        RevocationMap map;
        EXPECT_TRUE(KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("list.crl"), map));
        EXPECT_EQ(map.size(), count == kvbsign::kMaxEntriesKeptWhole ? count : 0u);
    }

    // Past the deadline the walk gives up.
    kvtest::writeFile(dir.file("list.crl"), kvtest::makeLargeCrlDer(20000, {}, utc(2019, 1, 1, 0, 0, 0)));
    RevocationMap map;
    const std::set<std::string> wanted = {kvtest::largeCrlSerialKey(0)};
    EXPECT_EQ(kvbsign::readDerCrlFile(dir.file("list.crl"), map, &wanted, std::chrono::steady_clock::now()),
              kvbsign::CrlFileRead::TooLarge);
    EXPECT_TRUE(map.empty());
}

// A list read for a certificate has its signature checked over the signed part exactly as it
// stands in the file, whatever form its lengths take and however far it reaches past what the
// walk holds at a time; one byte changed anywhere in it, or a byte after the list, and it is
// not taken.
TEST(FetchedList, SignatureCoversTheSignedPartAsItStands) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const time_t t = utc(2014, 1, 5, 10, 0, 0);
    const ListParts few = partsOf(kvtest::makeCrlDer({{"0C", t}, {"0A1B", t}}));
    // Some 460 KB of entries, the one that matters in the middle.
    const ListParts many = partsOf(kvtest::makeLargeCrlDer(20000, {{"0A1B", t}}, t));
    struct Case {
        const char* name;
        const ListParts& parts;
        Forms forms;
    };
    const Case cases[] = {
        {"DER as written", few, {}},
        {"indefinite lengths", few, {Form::Definite, Form::Indefinite, Form::Indefinite}},
        {"long-form lengths padded with a zero", few, {Form::Definite, Form::PaddedLength, Form::PaddedLength}},
        {"many entries", many, {}},
        {"many entries, indefinite lengths", many, {Form::Definite, Form::Indefinite, Form::Indefinite}},
    };
    const kvbsign::CrlSubject subject{kvtest::pki().leaf.cert.get(), kvtest::pki().intermediate.cert.get()};
    kvbsign::FetchedList fetched;
    fetched.subject = &subject;
    fetched.point = "http://127.77.0.99/list.crl";
    kvtest::ScratchDir dir;
    auto read = [&](const std::string& bytes, RevocationMap& map) {
        kvtest::writeFile(dir.file("list.crl"), bytes);
        return kvbsign::readDerCrlFile(dir.file("list.crl"), map, nullptr, std::chrono::steady_clock::time_point::max(),
                                       &fetched);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string entries = element(0x30, joined(c.parts.entries), c.forms.entries);
        const std::string list = kvtest::signedCrl(element(0x30, joined(c.parts.fields) + entries, c.forms.signedPart));
        RevocationMap map;
        EXPECT_EQ(read(list, map), kvbsign::CrlFileRead::Read);
        EXPECT_EQ(map.count("0a1b"), 1u);

        map.clear();
        EXPECT_EQ(read(list + "\x30\x03junk", map), kvbsign::CrlFileRead::NotAList);
        std::string changed = list;
        changed[changed.find(std::string("\x02\x02\x0a\x1b", 4)) + 3] = '\x1c';
        EXPECT_EQ(read(changed, map), kvbsign::CrlFileRead::Refused);
        EXPECT_TRUE(map.empty());
    }
}

TEST(DerCrlFile, MissingFileIsAFailure) {
    kvtest::ScratchDir dir;
    RevocationMap map;
    EXPECT_FALSE(KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("absent.crl"), map));
    EXPECT_TRUE(map.empty());
}

// --- the listing tool and the system cache ---

TEST(CacheListingTool, EmptyOrMissingCacheListsNothing) {
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("empty.db"), "");
    for (const std::string& cache : {dir.file("absent.db"), dir.file("empty.db")}) {
        SCOPED_TRACE(cache);
        kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + cache, "v"},
                                                 {{"-KVBSIGN_CRL_CACHE", ""}}, 20);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, "0 certificates found\n0 CRLs found\n");
        EXPECT_EQ(r.err, "");
    }
}

TEST(CacheListingTool, EnvironmentNamesTheCacheInsteadOfTheArgument) {
    kvtest::ScratchDir dir;
    kvtest::writeFile(dir.file("cache.db"), kvtest::makeCrlDer({{"0A1B", utc(2014, 1, 5, 10, 15, 0)}}));
    kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + dir.file("absent.db"), "v"},
                                             {{"KVBSIGN_CRL_CACHE", dir.file("cache.db")}, {"TZ", "UTC0"}}, 20);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("Revoked Cert 1:\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Serial number    : 0a:1b\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Revocation time  : 10:15:00 Jan 05, 2014\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n1 CRLs found\n"), std::string::npos) << r.out;
}

TEST(CacheListingTool, OtherArgumentsGetTheUsage) {
    const std::vector<std::vector<std::string>> argLists = {
        {}, {"y"}, {"y", "k=/x", "w"}, {"x", "k=/x", "v"}, {"y", "/x", "v"}, {"y", "k=/x", "v", "extra"}};
    for (const auto& args : argLists) {
        kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, args, {}, 20);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage:"), std::string::npos);
    }
}

// The cache and its listing are read whole: past its bounds the tool lists nothing at all,
// and says so, rather than leave out lists it could not take.
TEST(CacheListingTool, CacheBeyondItsBoundsIsRefusedWhole) {
    kvtest::ScratchDir dir;
    const time_t t = utc(2019, 1, 1, 0, 0, 0);
    const std::string small = kvtest::makeCrlDer({{"0A1B", t}});
    kvtest::writeFile(dir.file("at-bounds.db"), kvtest::makeLargeCrlDer(249999, {}, t) + small);
    kvtest::writeFile(dir.file("entries.db"), small + kvtest::makeLargeCrlDer(250000, {}, t));
    kvtest::writeFile(dir.file("bytes.db"), small + std::string(32 * 1024 * 1024, '\n'));

    kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + dir.file("at-bounds.db"), "v"},
                                             {{"TZ", "UTC0"}}, 60);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Number of entries   : 249999\n"), std::string::npos);
    EXPECT_NE(r.out.find("Revoked Cert 249999:\n   Serial number    : 01:03:d0:8e\n"), std::string::npos);
    EXPECT_NE(r.out.find("Serial number    : 0a:1b\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 13), "2 CRLs found\n");

    for (const char* name : {"entries.db", "bytes.db"}) {
        SCOPED_TRACE(name);
        r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + dir.file(name), "v"}, {{"TZ", "UTC0"}}, 60);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.out, "0 certificates found\n0 CRLs found\n");
        EXPECT_EQ(r.err, "kvbsign-crltool: cache file: larger than 33554432 bytes or 250000 entries\n");
    }

    // The library tells a refused cache from an empty one.
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file("entries.db").c_str());
    RevocationMap map;
    EXPECT_FALSE(KVBSignLibInternal::getCertificateRevocationLists(map));
    EXPECT_TRUE(map.empty());
}

// Anything but a cache of lists that can be read whole is refused whole: the library must not
// take a cache it could not read for an empty one. A pipe is never waited on.
TEST(CacheListingTool, CacheThatIsNotAReadableFileOfListsIsRefusedWhole) {
    kvtest::ScratchDir dir;
    const time_t t = utc(2019, 1, 1, 0, 0, 0);
    const std::string listed = kvtest::makeCrlDer({{"0A1B", t}});
    const std::string pem = kvtest::crlDerToPem(listed);
    const std::string empty = kvtest::makeCrlDer({});
    const std::string emptyPem = kvtest::crlDerToPem(empty);
    // The listed serial's list under another label, as PEM readers skip it.
    auto relabelled = [&](const std::string& label) {
        std::string out = pem;
        out.replace(out.find("X509 CRL"), 8, label);
        out.replace(out.rfind("X509 CRL"), 8, label);
        return out;
    };
    // An empty list whose extension holds the listed serial's PEM list: a reader of PEM that
    // skips what is no block finds that list inside the DER bytes.
    std::string hidden;
    for (const unsigned char c : "\n" + pem) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", c);
        hidden += std::string(hidden.empty() ? "" : ":") + hex;
    }
    kvtest::CrlOptions hiding;
    hiding.extensions = {{"1.3.6.1.4.1.99999.1", "DER:" + hidden}};
    const std::string hider = kvtest::makeCrlDer({}, hiding);
    kvtest::writeFile(dir.file("junk.db"), "not a list at all\n");
    kvtest::writeFile(dir.file("list-then-junk.db"), listed + "\x30\x03junk");
    kvtest::writeFile(dir.file("pem-then-junk.db"), pem + "-----BEGIN X509 CRL-----\nAA==\n");
    kvtest::writeFile(dir.file("certificate-der-pem.db"),
                      kvtest::toPem(kvtest::pki().root.cert.get()) + listed + "\n" + emptyPem);
    kvtest::writeFile(dir.file("other-label.db"), relabelled("CRL") + emptyPem);
    kvtest::writeFile(dir.file("der-then-pem.db"), empty + pem);
    kvtest::writeFile(dir.file("pem-then-der.db"), emptyPem + listed);
    kvtest::writeFile(dir.file("text-between.db"), emptyPem + "a note\n" + pem);
    kvtest::writeFile(dir.file("not-at-line-start.db"), emptyPem + " " + pem);
    kvtest::writeFile(dir.file("header.db"), "-----BEGIN X509 CRL-----\nNote: x\n" + pem.substr(pem.find('\n') + 1));
    kvtest::writeFile(dir.file("space-before-der.db"), "\n" + listed);
    kvtest::writeFile(dir.file("hidden-in-der.db"), hider);
    kvtest::writeFile(dir.file("directory.db/inner"), listed);
    ASSERT_EQ(mkfifo(dir.file("pipe.db").c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::string file;
        std::string err;
    };
    const Case cases[] = {
        {"junk bytes", "junk.db", "not a CRL at byte 0"},
        {"a list, then junk", "list-then-junk.db", "not a CRL at byte " + std::to_string(listed.size())},
        {"a PEM list, then a PEM block that is no list", "pem-then-junk.db",
         "not a CRL at byte " + std::to_string(pem.size())},
        // Each reader of the file must take the same lists.
        {"a certificate block, a DER list, then a PEM list", "certificate-der-pem.db", "not a CRL at byte 0"},
        {"a list labelled otherwise, then a PEM list", "other-label.db", "not a CRL at byte 0"},
        {"a DER list, then a PEM list", "der-then-pem.db",
         "a PEM marker among DER lists at byte " + std::to_string(empty.size())},
        {"a PEM list, then a DER list", "pem-then-der.db", "not a CRL at byte " + std::to_string(emptyPem.size())},
        {"text between PEM lists", "text-between.db", "not a CRL at byte " + std::to_string(emptyPem.size())},
        {"a PEM list that does not begin a line", "not-at-line-start.db",
         "not a CRL at byte " + std::to_string(emptyPem.size() + 1)},
        {"a PEM list with a header line", "header.db", "not a CRL at byte 0"},
        {"white space before a DER list", "space-before-der.db", "not a CRL at byte 0"},
        {"a PEM list inside a DER list", "hidden-in-der.db",
         "a PEM marker among DER lists at byte " + std::to_string(hider.find("-----BEGIN"))},
        {"a directory", "directory.db", "not a regular file"},
        {"a named pipe without a writer", "pipe.db", "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const kvtest::CliResult r =
            kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + dir.file(c.file), "v"}, {{"-KVBSIGN_CRL_CACHE", ""}}, 20);
        EXPECT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, 3);
        EXPECT_EQ(r.out, "0 certificates found\n0 CRLs found\n");
        EXPECT_EQ(r.err, "kvbsign-crltool: cache file: " + c.err + "\n");

        kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file(c.file).c_str());
        RevocationMap map;
        EXPECT_FALSE(KVBSignLibInternal::getCertificateRevocationLists(map));
        EXPECT_TRUE(map.empty());
    }
}

// A cache is DER lists back to back or PEM lists with white space around them; either form
// is listed whole.
TEST(CacheListingTool, ListsEveryListOfEitherForm) {
    kvtest::ScratchDir dir;
    const time_t t = utc(2019, 1, 1, 0, 0, 0);
    const std::string a = kvtest::makeCrlDer({{"0A1B", t}});
    const std::string b = kvtest::makeCrlDer({});
    const std::string c = kvtest::makeCrlDer({{"0C", t}, {"0D", t}});
    auto crlf = [](const std::string& text) {
        std::string out;
        for (const char ch : text) out += ch == '\n' ? std::string("\r\n") : std::string(1, ch);
        return out;
    };
    std::string lastWithoutLineEnd = kvtest::crlDerToPem(c);
    lastWithoutLineEnd.pop_back();
    struct Case {
        const char* name;
        std::string cache;
    };
    const Case cases[] = {
        {"DER lists back to back", a + b + c},
        {"PEM lists with blank lines around them",
         "\n" + kvtest::crlDerToPem(a) + "\n\n" + kvtest::crlDerToPem(b) + " \t\n" + kvtest::crlDerToPem(c) + "\n"},
        {"PEM lists with CR LF line ends", crlf(kvtest::crlDerToPem(a) + kvtest::crlDerToPem(b) + kvtest::crlDerToPem(c))},
        {"PEM lists, the last without a line end", kvtest::crlDerToPem(a) + kvtest::crlDerToPem(b) + lastWithoutLineEnd},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        kvtest::writeFile(dir.file("cache.db"), k.cache);
        const kvtest::CliResult r = kvtest::runProgram(KVBSIGN_CRL_TOOL_PATH, {"y", "k=" + dir.file("cache.db"), "v"},
                                                       {{"-KVBSIGN_CRL_CACHE", ""}, {"TZ", "UTC0"}}, 20);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find("Serial number    : 0a:1b\n"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("Serial number    : 0d\n"), std::string::npos) << r.out;
        EXPECT_EQ(r.out.substr(r.out.size() - 13), "3 CRLs found\n");
    }
}

// A cache file the user may not read is refused by the tool itself (run as that user from a
// copy the user can reach), and the same tool lists a cache that user may read.
TEST(CacheListingTool, CacheTheUserCannotReadIsRefused) {
    if (!kvtest::canDropPrivileges()) GTEST_SKIP() << "needs root to run the tool as another user";
    kvtest::ScratchDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string tool = dir.file("kvbsign-crltool");
    kvtest::writeFile(tool, kvtest::readFile(KVBSIGN_CRL_TOOL_PATH));
    ASSERT_EQ(chmod(tool.c_str(), 0755), 0);
    const std::string list = kvtest::makeCrlDer({{"0A1B", utc(2019, 1, 1, 0, 0, 0)}});
    kvtest::writeFile(dir.file("closed.db"), list);
    ASSERT_EQ(chmod(dir.file("closed.db").c_str(), 0600), 0);
    kvtest::writeFile(dir.file("open.db"), list);
    ASSERT_EQ(chmod(dir.file("open.db").c_str(), 0644), 0);

    // Each check has its own exit code, so that a failure says which one it was.
    const int status = kvtest::runInChild([&] {
        if (chdir("/") != 0 || !kvtest::becomeNobody()) return 90;
        unsetenv("KVBSIGN_CRL_CACHE");
        const std::string closed = KVBSignLibInternal::getOutputFromSystemCall("'" + tool + "' y k=" + dir.file("closed.db") + " v");
        if (KVBSignLibInternal::extractReturnCode(closed) != 3) return 91;
        if (closed.find("kvbsign-crltool: cache file: cannot be opened: Permission denied\n") == std::string::npos) return 92;
        const std::string open = KVBSignLibInternal::getOutputFromSystemCall("'" + tool + "' y k=" + dir.file("open.db") + " v");
        if (KVBSignLibInternal::extractReturnCode(open) != 0 || open.find("Serial number    : 0a:1b\n") == std::string::npos)
            return 93;

        RevocationMap map;
        const std::string command = "'" + tool + "' y k=" + dir.file("closed.db") + " v";
        kvbsignSetCrlListingCommandForTesting(command.c_str());
        if (KVBSignLibInternal::getCertificateRevocationLists(map) || !map.empty()) return 94;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// The library takes a listing only from a tool that ran and exited with 0. Stand-ins through
// the listing seam print what a listing of a revoked serial looks like and end otherwise.
TEST(CacheListing, OnlyAListingThatEndedWithStatusZeroCounts) {
    const std::string printListing =
        "printf '0 certificates found\\nVersion 2\\nRevoked Cert 1:\\n   Serial number    : 0a:1b\\n"
        "   Revocation time  : 10:15:00 Jan 05, 2014\\n1 CRLs found\\n'";
    struct Case {
        const char* name;
        std::string command;
        bool listed;
    };
    const Case cases[] = {
        {"the listing tool is missing", "'/nonexistent/kvbsign-crltool' y k=/var/db/crls/crlcache.db v", false},
        {"a listing, then status 1", "(" + printListing + "; exit 1)", false},
        {"a listing, then status 3", "(" + printListing + "; exit 3)", false},
        {"a listing, then the tool is killed", "(" + printListing + "; sh -c 'kill -9 $PPID')", false},
        {"a listing, then the shell that runs it is killed", printListing + "; kill -9 $$", false},
        {"the control: a listing, then status 0", "(" + printListing + "; exit 0)", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kvbsignSetCrlListingCommandForTesting(c.command.c_str());
        RevocationMap map;
        const bool listed = KVBSignLibInternal::getCertificateRevocationLists(map);
        kvbsignSetCrlListingCommandForTesting(nullptr);
        EXPECT_EQ(listed, c.listed);
        EXPECT_EQ(map.count("0a1b"), c.listed ? 1u : 0u);
    }
}

// Through the library: the tool lists the cache named by KVBSIGN_CRL_CACHE, the library parses it.
TEST(CacheListing, EveryEntryOfDerAndPemListsRoundTripsToTheSecond) {
    kvtest::ScopedEnv tz("TZ", kZoneWithDst);
    kvtest::ScratchDir dir;
    const time_t winter = utc(2014, 1, 5, 10, 15, 30);
    const time_t summer = utc(2014, 7, 15, 23, 59, 59);
    const time_t other = utc(2030, 8, 1, 0, 0, 1);
    const std::string first = kvtest::makeCrlDer({{"0A1B", winter}, {"00FF", summer}});
    const std::string second = kvtest::makeCrlDer({{"0123456789ABCDEF", other}, {"0A1B", other}}, &kvtest::pki().root);
    const std::string third = kvtest::makeCrlDer({});
    kvtest::writeFile(dir.file("der.db"), first + third);
    kvtest::writeFile(dir.file("pem.db"), kvtest::crlDerToPem(second) + "\n" + kvtest::crlDerToPem(third));

    RevocationMap map;
    for (const char* file : {"der.db", "pem.db"}) {
        kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file(file).c_str());
        EXPECT_TRUE(KVBSignLibInternal::getCertificateRevocationLists(map)) << file;
    }
    // The serial 0A1B is in two lists: the first listing stays.
    const RevocationMap want = {{"0a1b", winter}, {"ff", summer}, {"0123456789abcdef", other}};
    EXPECT_EQ(map, want);
}

TEST(CacheListing, NoCacheFileAddsNothing) {
    kvtest::ScratchDir dir;
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file("absent.db").c_str());
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::getCertificateRevocationLists(map));
    EXPECT_TRUE(map.empty());
}

TEST(CacheListing, CacheTimeStaysWhenADownloadedListNamesTheSerialToo) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    kvtest::ScratchDir dir;
    const time_t cached = utc(2014, 1, 5, 10, 15, 30);
    kvtest::writeFile(dir.file("cache.db"), kvtest::makeCrlDer({{"0A1B", cached}}));
    kvtest::writeFile(dir.file("downloaded.crl"),
                      kvtest::makeCrlDer({{"0A1B", utc(2012, 1, 1, 0, 0, 0)}, {"0C", utc(2012, 1, 1, 0, 0, 0)}}));
    kvtest::ScopedEnv cache("KVBSIGN_CRL_CACHE", dir.file("cache.db").c_str());

    RevocationMap map;
    ASSERT_TRUE(KVBSignLibInternal::getCertificateRevocationLists(map));
    ASSERT_TRUE(KVBSignLibInternal::extractSerialNumbersFromX509CRL(dir.file("downloaded.crl"), map));
    const RevocationMap want = {{"0a1b", cached}, {"0c", utc(2012, 1, 1, 0, 0, 0)}};
    EXPECT_EQ(map, want);
}

// --- listing texts the tool would not print ---

std::string entry(int n, const std::string& serial, const std::string& when) {
    return "Revoked Cert " + std::to_string(n) + ":\n   Serial number    : " + serial +
           "\n   Revocation time  : " + when + "\n";
}

TEST(CacheListingText, ParsesWhatTheMarkersEnclose) {
    kvtest::ScopedEnv tz("TZ", "UTC0");
    const std::string jan = "10:15:00 Jan 05, 2014";
    const time_t janT = utc(2014, 1, 5, 10, 15, 0);
    const std::string dec = "23:59:59 Dec 31, 2015";
    const time_t decT = utc(2015, 12, 31, 23, 59, 59);
    const std::string list1 = "Version : 2\n" + entry(1, "0a:1b", jan) + entry(2, "0c", dec);
    const std::string list2 = "Version : 2\nIssuer : something\n" + entry(1, "ff:01", dec);
    const std::string tailEntry = entry(1, "99", jan);

    struct Case {
        const char* name;
        std::string listing;
        RevocationMap want;
    };
    const Case cases[] = {
        {"two lists", "4 certificates found\n" + list1 + list2 + "2 CRLs found\n",
         {{"0a1b", janT}, {"0c", decT}, {"ff01", decT}}},
        {"uppercase serial with colons keeps its case",
         "0 certificates found\nVersion 2\n" + entry(1, "0A:1B:2C", jan) + "1 CRLs found\n", {{"0A1B2C", janT}}},
        {"serial bytes split by blanks and tabs",
         "0 certificates found\nVersion 2\n" + entry(1, "0a 1b\t2c ", jan) + "1 CRLs found\n", {{"0a1b2c", janT}}},
        {"same serial twice: the first time stays",
         "0 certificates found\nVersion 2\n" + entry(1, "0c", jan) + entry(2, "0c", dec) + "1 CRLs found\n",
         {{"0c", janT}}},
        {"an entry after the list count is outside the section",
         "1 certificates found\n" + list2 + "1 CRLs found\n" + tailEntry, {{"ff01", decT}}},
        {"no certificate count: the whole text is read", list2 + "1 CRLs found\n" + tailEntry,
         {{"ff01", decT}, {"99", janT}}},
        {"no list count: the whole text is read", "1 certificates found\n" + list2 + tailEntry,
         {{"ff01", decT}, {"99", janT}}},
        {"list count before certificate count: the whole text is read",
         "1 CRLs found\n" + list2 + "0 certificates found\n", {{"ff01", decT}}},
        {"empty section", "0 certificates found\n0 CRLs found\n", {}},
        {"section shorter than 7 characters", "0 certificates found\nVers\n0 CRLs found\n", {}},
        {"nothing but noise", "sh: 1: /no/such/tool: not found\n-kvbreturncode:127\n", {}},
        {"serial label without ':' ends its list, the next list is read",
         "0 certificates found\nVersion 1\n" + entry(1, "01", jan) + "Revoked Cert 2:\n   Serial number 02\n" +
             "Version 2\n" + entry(1, "03", dec) + "2 CRLs found\n",
         {{"01", janT}, {"03", decT}}},
        {"entry without a revocation time ends its list, the next list is read",
         "0 certificates found\nVersion 1\nRevoked Cert 1:\n   Serial number : 01\nVersion 2\n" + entry(1, "03", dec) +
             "2 CRLs found\n",
         {{"03", decT}}},
        {"time label without ':'",
         "0 certificates found\nVersion 1\nRevoked Cert 1:\n   Serial number : 01\n   Revocation time 10 15\n"
         "1 CRLs found\n",
         {}},
        {"no 'Revoked Cert ' in a list: its entries are not read",
         "0 certificates found\nVersion 1\n   Serial number : 01\n   Revocation time : " + jan + "\nVersion 2\n" +
             entry(1, "03", dec) + "2 CRLs found\n",
         {{"03", decT}}},
        {"time without a date keeps the fields it read", "Version 1\n" + entry(1, "05", "10:15:00"),
         {{"05", utc(1899, 12, 31, 10, 15, 0)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RevocationMap map;
        kvbsign::addCrlListingEntries(c.listing, map);
        EXPECT_EQ(map, c.want);
    }
}

TEST(CacheListingText, TimesAreLocalStandardTimeAllYearRound) {
    kvtest::ScopedEnv tz("TZ", kZoneWithDst);
    const std::string listing = "0 certificates found\nVersion 2\n" + entry(1, "01", "10:15:00 Jan 05, 2014") +
                                entry(2, "02", "10:15:00 Jul 15, 2014") + "1 CRLs found\n";
    RevocationMap map;
    kvbsign::addCrlListingEntries(listing, map);
    // UTC+1 in winter and summer alike: daylight saving never applies.
    const RevocationMap want = {{"01", utc(2014, 1, 5, 9, 15, 0)}, {"02", utc(2014, 7, 15, 9, 15, 0)}};
    EXPECT_EQ(map, want);
}

TEST(CacheListingText, RecordIsLeftUnchanged) {
    std::string record = "Version 1\n" + entry(1, "0a:1b", "10:15:00 Jan 05, 2014");
    const std::string copy = record;
    RevocationMap map;
    EXPECT_TRUE(KVBSignLibInternal::extractInfoFromCrl(record, map));
    EXPECT_EQ(record, copy);
    EXPECT_EQ(map.count("0a1b"), 1u);
}

TEST(CacheListingText, LargeListingIsParsedInOnePass) {
    // Many entries in one list: the walk must stay linear in the size of the text.
    std::string listing = "0 certificates found\nVersion 2\n";
    const int count = 20000;
    for (int i = 0; i < count; ++i) {
        char serial[16];
        snprintf(serial, sizeof serial, "%06x", i);
        listing += entry(i + 1, serial, "10:15:00 Jan 05, 2014");
    }
    listing += "1 CRLs found\n";
    RevocationMap map;
    kvbsign::addCrlListingEntries(listing, map);
    EXPECT_EQ(map.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(map.count("004e1f"), 1u);
}

}  // namespace
