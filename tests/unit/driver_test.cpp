// The verify call in-process: arguments, temporary directories, the signature document's
// tests, the error walls, the record, and whole verifications of signed packages.

#include <execinfo.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "KVBSignLib.h"
#include "cli_runner.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "tsa.h"
#include "verify/test_seams.h"
#include "verify/verify_steps.h"

// --- allocation fault injection -----------------------------------------------------------
// When armed, the allocation with the given number (counted from arming) throws
// std::bad_alloc; every other allocation behaves as usual.
namespace {
std::atomic<bool> gArmed{false};
std::atomic<long> gAllocations{0};
std::atomic<long> gFailAt{-1};

// boost.filesystem's path comparison is declared not to throw yet allocates: a failure there
// ends the process whatever its caller does. Such an allocation is passed over and the next
// one fails instead.
bool insideNonThrowingDependency() {
    void* frames[64];
    const int n = backtrace(frames, 64);
    char** names = backtrace_symbols(frames, n);
    if (!names) return false;
    bool found = false;
    for (int i = 0; i < n && !found; ++i) found = std::strstr(names[i], "path7compare") != nullptr;
    std::free(names);
    return found;
}

void* allocate(std::size_t size) {
    if (gArmed.load(std::memory_order_relaxed) && gAllocations.fetch_add(1) == gFailAt.load()) {
        if (!insideNonThrowingDependency()) throw std::bad_alloc();
        ++gFailAt;
    }
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

using kvtest::PackageBuilder;
using kvtest::ScratchDir;
using kvtest::SignedPackage;
using kvtest::pki;


using kvtest::newTempEntries;

void expectNoNewTempEntries(const std::set<std::string>& before) {
    for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
}

class ScopedFaultHook {
public:
    explicit ScopedFaultHook(void (*hook)(const char*)) { kvbsignFaultHookForTesting = hook; }
    ~ScopedFaultHook() { kvbsignFaultHookForTesting = nullptr; }
};

// A record as a caller may leave it: pointers that must be neither read nor released.
KCertificateInfo garbageRecord() {
    KCertificateInfo info;
    info.distinguishedName = reinterpret_cast<char*>(0x11);
    info.commonName = reinterpret_cast<char*>(0x22);
    info.organizationalUnit = reinterpret_cast<char*>(0x33);
    info.osTrusted = -77;
    info.revoked = -78;
    info.timestampStatus = -79;
    info.validFrom = 12345;
    info.validTo = 67890;
    return info;
}

void expectEmptyTexts(const KCertificateInfo& info) {
    ASSERT_NE(info.commonName, nullptr);
    ASSERT_NE(info.distinguishedName, nullptr);
    ASSERT_NE(info.organizationalUnit, nullptr);
    EXPECT_STREQ(info.commonName, "");
    EXPECT_STREQ(info.distinguishedName, "");
    EXPECT_STREQ(info.organizationalUnit, "");
}

void expectNumbersUntouched(const KCertificateInfo& info) {
    EXPECT_EQ(info.osTrusted, -77);
    EXPECT_EQ(info.revoked, -78);
    EXPECT_EQ(info.timestampStatus, -79);
    EXPECT_EQ(info.validFrom, 12345);
    EXPECT_EQ(info.validTo, 67890);
}

const char* const kJunkSignature =
    "<signatures><Signature><SignedInfo></SignedInfo><SignatureValue>AAAA</SignatureValue></Signature>"
    "</signatures>";

// An extension root directory with a mimetype and, when given, a signature document.
std::string writeDirectoryPackage(const std::string& dir, const std::string* document) {
    kvtest::writeFile(dir + "/mimetype", "application/vnd.kvb");
    if (document) kvtest::writeFile(dir + "/META-INF/signatures.xml", *document);
    return dir;
}

void zipDirectory(const std::string& dir, const std::string& zipPath) {
    const kvtest::CliResult r = kvtest::runProgram("/usr/bin/zip", {"-q", "-r", "-y", zipPath, "."}, {}, 60, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;
}

class DriverTest : public testing::Test {
protected:
    void SetUp() override { before_ = kvtest::kvbsignTempEntries(); }
    void TearDown() override { expectNoNewTempEntries(before_); }

    int verify(const std::string& path, KCertificateInfo* info = nullptr, std::vector<const char*> certs = {}) {
        const int status = KVBSign_verify(path.c_str(), certs.empty() ? nullptr : certs.data(),
                                          static_cast<int>(certs.size()), info, true);
        EXPECT_EQ(kvtest::differencesIfAccepted(path, status), "");
        return status;
    }

    ScratchDir scratch_;
    std::set<std::string> before_;
};

// --- the record and unusable package paths ---------------------------------------------------

TEST_F(DriverTest, NullPackagePathGivesThreeWithEmptyTexts) {
    KCertificateInfo info = garbageRecord();
    EXPECT_EQ(KVBSign_verify(nullptr, nullptr, 0, &info, false), KVBSIGN_INVALID_ARGUMENTS);
    expectEmptyTexts(info);
    expectNumbersUntouched(info);
    EXPECT_EQ(KVBSign_releaseCertificateData(&info), 0);
    EXPECT_EQ(KVBSign_verify(nullptr, nullptr, 0, nullptr, false), KVBSIGN_INVALID_ARGUMENTS);
}

TEST_F(DriverTest, UnusablePackagePathsGiveThree) {
    const std::string loop = scratch_.file("loop");
    ASSERT_EQ(symlink("loop", loop.c_str()), 0);
    const std::string tooLong = scratch_.path() + "/" + std::string(300, 'n');

    struct Case {
        const char* name;
        std::string path;
        bool unsetHome;
    };
    const Case cases[] = {
        {"does not exist", scratch_.file("missing.kvb"), false},
        {"parent does not exist", scratch_.file("no/such/dir/p.kvb"), false},
        {"name too long", tooLong, false},
        {"symbolic link loop", loop, false},
        {"tilde without HOME", "~/p.kvb", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::ScopedEnv home("HOME", c.unsetHome ? nullptr : getenv("HOME"));
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(c.path, &info), KVBSIGN_INVALID_ARGUMENTS);
        expectEmptyTexts(info);
        expectNumbersUntouched(info);
        EXPECT_EQ(KVBSign_releaseCertificateData(&info), 0);
    }
}

TEST_F(DriverTest, WorkingDirectoryGoneGivesThree) {
    const std::string package = writeDirectoryPackage(scratch_.file("pkg"), nullptr);
    const std::string gone = scratch_.file("gone");
    ASSERT_EQ(mkdir(gone.c_str(), 0700), 0);
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(chdir(gone.c_str()), 0);
    ASSERT_EQ(rmdir(gone.c_str()), 0);
    KCertificateInfo info = garbageRecord();
    const int relative = verify("pkg", &info);
    const int absolute = verify(package);
    ASSERT_EQ(chdir(saved), 0);
    EXPECT_EQ(relative, KVBSIGN_INVALID_ARGUMENTS);
    EXPECT_EQ(absolute, KVBSIGN_INVALID_ARGUMENTS);
    expectEmptyTexts(info);
    KVBSign_releaseCertificateData(&info);
}

TEST(ReleaseCertificateData, NullRecordAndEmptyTexts) {
    EXPECT_EQ(KVBSign_releaseCertificateData(nullptr), 0);
    KCertificateInfo info{};
    EXPECT_EQ(KVBSign_releaseCertificateData(&info), 0);  // all three null
}

// --- user certificates ----------------------------------------------------------------------

TEST_F(DriverTest, UnreadableUserCertificatesGiveTwentySix) {
    const std::string package = writeDirectoryPackage(scratch_.file("pkg"), nullptr);
    const std::string pem = scratch_.file("root.pem");
    kvtest::writePemBundle(pem, {pki().root.cert.get()});
    const std::string der = scratch_.file("root.der");
    kvtest::writeDer(der, pki().root.cert.get());
    const std::string missing = scratch_.file("missing.der");

    struct Case {
        const char* name;
        std::vector<const char*> certs;
        bool unsetHome;
    };
    const Case cases[] = {
        {"missing file", {missing.c_str()}, false},
        {"PEM instead of DER", {pem.c_str()}, false},
        {"good one then a missing one", {der.c_str(), missing.c_str()}, false},
        {"null entry is skipped, the next is read", {nullptr, missing.c_str()}, false},
        {"tilde without HOME", {"~/c.der"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        kvtest::ScopedEnv home("HOME", c.unsetHome ? nullptr : getenv("HOME"));
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(package, &info, c.certs), KVBSIGN_CERTIFICATE_FILE_READ_FAILED);
        expectEmptyTexts(info);
        expectNumbersUntouched(info);
        KVBSign_releaseCertificateData(&info);
    }
}

TEST_F(DriverTest, NoUserCertificatesWhenArrayIsNullOrCountNotPositive) {
    // The package has no signature document, so the call ends with 30 once the user
    // certificate step has passed.
    const std::string package = writeDirectoryPackage(scratch_.file("pkg"), nullptr);
    const char* missing[] = {"/no/such/file.der"};
    const char* onlyNull[] = {nullptr, nullptr};
    EXPECT_EQ(KVBSign_verify(package.c_str(), nullptr, 5, nullptr, true), KVBSIGN_SIGNATURE_FILE_NOT_FOUND);
    EXPECT_EQ(KVBSign_verify(package.c_str(), missing, 0, nullptr, true), KVBSIGN_SIGNATURE_FILE_NOT_FOUND);
    EXPECT_EQ(KVBSign_verify(package.c_str(), missing, -3, nullptr, true), KVBSIGN_SIGNATURE_FILE_NOT_FOUND);
    EXPECT_EQ(KVBSign_verify(package.c_str(), onlyNull, 2, nullptr, true), KVBSIGN_SIGNATURE_FILE_NOT_FOUND);
}

// --- the signature document -----------------------------------------------------------------

TEST_F(DriverTest, SignatureDocumentTests) {
    struct Case {
        const char* name;
        std::string document;
        int status;
    };
    const Case cases[] = {
        {"byte-order mark", "\xEF\xBB\xBF<signatures><Signature></Signature></signatures>", 32},
        {"XML declaration", "<?xml version=\"1.0\"?><signatures><Signature></Signature></signatures>", 32},
        {"leading blank", " <signatures><Signature></Signature></signatures>", 32},
        {"attribute on the root", "<signatures a=\"1\"><Signature></Signature></signatures>", 32},
        {"upper-case root", "<SIGNATURES><Signature></Signature></SIGNATURES>", 32},
        {"empty", "", 32},
        {"shorter than the tag", "<signatures", 32},
        {"NUL byte before the root", std::string("\0<signatures><Signature>", 24), 32},
        {"no Signature element", "<signatures><signature></signature></signatures>", 33},
        {"root tag alone", "<signatures>", 33},
        {"Signature only after a NUL byte", std::string("<signatures>\0<Signature></Signature>", 36), 33},
        {"SignatureValue satisfies the search", "<signatures><SignatureValue>AAAA</SignatureValue></signatures>",
         50},
        {"junk signature", kJunkSignature, 50},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string package = writeDirectoryPackage(scratch_.file("pkg" + std::to_string(n++)), &c.document);
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(package, &info), c.status);
        expectEmptyTexts(info);
        expectNumbersUntouched(info);
        KVBSign_releaseCertificateData(&info);
    }
}

TEST_F(DriverTest, DocumentThatCannotBeReadGivesThirtyOne) {
    struct Case {
        const char* name;
        void (*make)(const std::string& document);
        int status;
    };
    const Case cases[] = {
        // A pipe would block an open for reading until a writer comes: it must not be opened.
        {"named pipe", [](const std::string& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); }, 31},
        {"directory", [](const std::string& p) { ASSERT_EQ(mkdir(p.c_str(), 0700), 0); }, 31},
        {"link loop", [](const std::string& p) { ASSERT_EQ(symlink("signatures.xml", p.c_str()), 0); }, 31},
        {"dangling link", [](const std::string& p) { ASSERT_EQ(symlink("nowhere.xml", p.c_str()), 0); }, 30},
        // Sparse files of "<signatures>" and zeros. Just under 256 MiB the document is read
        // (and cut at the first zero byte: no "<Signature", 33); from 256 MiB on it is not. The
        // last would read as a 12-byte document if the size were truncated.
        {"256 MiB less one byte", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), (256LL << 20) - 1), 0); },
         33},
        {"256 MiB", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 256LL << 20), 0); }, 31},
        {"2 GiB", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 2147483648LL), 0); }, 31},
        {"4 GiB and 12 bytes", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 4294967308LL), 0); }, 31},
        // Read only inside the package: a link to a regular file elsewhere is not followed.
        {"link to a document outside the package",
         [](const std::string& p) {
             const std::string outside = p.substr(0, p.rfind("/pkg")) + "/outside.xml";
             kvtest::writeFile(outside, "<signatures><Signature/></signatures>");
             ASSERT_EQ(symlink(outside.c_str(), p.c_str()), 0);
         },
         31},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string package = writeDirectoryPackage(scratch_.file("pkg" + std::to_string(n++)), nullptr);
        const std::string document = package + "/META-INF/signatures.xml";
        kvtest::writeFile(package + "/META-INF/.keep", "");
        if (std::string(c.name).find("iB") != std::string::npos) kvtest::writeFile(document, "<signatures>");
        c.make(document);
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(package, &info), c.status);
        expectEmptyTexts(info);
        KVBSign_releaseCertificateData(&info);
        // The sparse file must not outlive the case in the scratch space.
        unlink(document.c_str());
    }
}

TEST_F(DriverTest, DirectoryWithTrailingSlashIsVerifiedInPlaceAndKept) {
    const std::string document = "<signatures><signature/></signatures>";
    const std::string package = writeDirectoryPackage(scratch_.file("pkg"), &document);
    EXPECT_EQ(verify(package + "/"), KVBSIGN_SIGNATURE_ELEMENT_NOT_FOUND);
    // A link to the directory is verified in place as well.
    ASSERT_EQ(symlink(package.c_str(), scratch_.file("link").c_str()), 0);
    EXPECT_EQ(verify(scratch_.file("link")), KVBSIGN_SIGNATURE_ELEMENT_NOT_FOUND);
    EXPECT_EQ(kvtest::readFile(package + "/META-INF/signatures.xml"), document);
    EXPECT_EQ(kvtest::readFile(package + "/mimetype"), "application/vnd.kvb");
}

// --- package files --------------------------------------------------------------------------

TEST_F(DriverTest, PackageFiles) {
    const std::string junk = kJunkSignature;
    const std::string noSignature = "<signatures></signatures>";
    zipDirectory(writeDirectoryPackage(scratch_.file("junk"), &junk), scratch_.file("junk.any"));
    zipDirectory(writeDirectoryPackage(scratch_.file("nosig"), &noSignature), scratch_.file("nosig.kvb"));
    zipDirectory(writeDirectoryPackage(scratch_.file("nodoc"), nullptr), scratch_.file("nodoc.kvb"));
    kvtest::writeFile(scratch_.file("text.kvb"), "this is not a zip archive");
    kvtest::writeFile(scratch_.file("empty.kvb"), "");
    ASSERT_EQ(mkfifo(scratch_.file("pipe.kvb").c_str(), 0600), 0);

    struct Case {
        const char* name;
        std::string path;
        int status;
    };
    const Case cases[] = {
        {"junk signature under any name", scratch_.file("junk.any"), 50},
        {"no Signature element", scratch_.file("nosig.kvb"), 33},
        {"no signature document", scratch_.file("nodoc.kvb"), 30},
        {"not a zip archive", scratch_.file("text.kvb"), 20},
        {"empty file", scratch_.file("empty.kvb"), 20},
        {"named pipe", scratch_.file("pipe.kvb"), 20},
        {"character device", "/dev/null", 20},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(c.path, &info), c.status);
        expectEmptyTexts(info);
        KVBSign_releaseCertificateData(&info);
    }
    EXPECT_TRUE(kvtest::readFile(scratch_.file("junk.any")).size() > 0);  // the caller's file stays
}

TEST_F(DriverTest, PackageThatCannotBeCopiedGivesTwenty) {
    const std::string junk = kJunkSignature;
    const std::string dir = writeDirectoryPackage(scratch_.file("big"), &junk);
    kvtest::writeFile(dir + "/filler.bin", std::string(256 * 1024, 'x'));
    const std::string zip = scratch_.file("big.kvb");
    // Stored, not compressed, so the archive is larger than the file size limit below.
    const kvtest::CliResult r = kvtest::runProgram("/usr/bin/zip", {"-q", "-0", "-r", zip, "."}, {}, 60, dir);
    ASSERT_EQ(r.exitCode, 0) << r.err;

    // Writing the copy fails once it passes the limit (with the signal ignored, as EFBIG).
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old), 0);
    rlimit small = saved;
    small.rlim_cur = 64 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    KCertificateInfo info = garbageRecord();
    const int status = verify(zip, &info);
    setrlimit(RLIMIT_FSIZE, &saved);
    sigaction(SIGXFSZ, &old, nullptr);

    EXPECT_EQ(status, KVBSIGN_UNZIP_FAILED);
    expectEmptyTexts(info);
    KVBSign_releaseCertificateData(&info);
}

// --- the guarded regions --------------------------------------------------------------------

std::vector<std::string> gHookCalls;
void recordHook(const char* where) { gHookCalls.push_back(where); }
void throwAtCryptoSetup(const char* where) {
    if (std::string(where) == "crypto-setup") throw std::runtime_error("injected set-up failure");
}
void throwAtVerify(const char* where) {
    if (std::string(where) == "verify") throw std::runtime_error("injected verification failure");
}
void throwBadAllocAtVerify(const char* where) {
    if (std::string(where) == "verify") throw std::bad_alloc();
}
void throwNonStandardAtCryptoSetup(const char* where) {
    if (std::string(where) == "crypto-setup") throw 7;
}

TEST_F(DriverTest, FaultsInsideTheRegions) {
    const std::string junk = kJunkSignature;
    const std::string dir = writeDirectoryPackage(scratch_.file("pkg"), &junk);
    const std::string zip = scratch_.file("pkg.kvb");
    zipDirectory(dir, zip);

    {
        gHookCalls.clear();
        ScopedFaultHook hook(recordHook);
        EXPECT_EQ(verify(zip), KVBSIGN_SIGNATURE_INVALID);
        EXPECT_EQ(gHookCalls, (std::vector<std::string>{"crypto-setup", "verify"}));
    }
    struct Case {
        const char* name;
        void (*hook)(const char*);
        int status;
    };
    const Case cases[] = {
        {"set-up raises", throwAtCryptoSetup, KVBSIGN_GENERAL_FAILURE},
        {"set-up raises a non-standard error", throwNonStandardAtCryptoSetup, KVBSIGN_GENERAL_FAILURE},
        {"checks raise", throwAtVerify, KVBSIGN_VERIFICATION_EXCEPTION},
        {"checks run out of memory", throwBadAllocAtVerify, KVBSIGN_VERIFICATION_EXCEPTION},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedFaultHook hook(c.hook);
        for (const std::string& path : {zip, dir}) {
            KCertificateInfo info = garbageRecord();
            EXPECT_EQ(verify(path, &info), c.status);
            expectEmptyTexts(info);
            KVBSign_releaseCertificateData(&info);
            expectNoNewTempEntries(before_);
        }
    }
    // Without the hook the same package verifies as before: nothing of the faults stayed.
    EXPECT_EQ(verify(zip), KVBSIGN_SIGNATURE_INVALID);
}

// Every allocation of a call, one at a time, fails: the call still returns a status, leaves
// valid (or null) texts, and removes its directories.
TEST_F(DriverTest, AllocationFailureAnywhereIsContained) {
    const std::string junk = kJunkSignature;
    const std::string noSignature = "<signatures></signatures>";
    const std::string dir = writeDirectoryPackage(scratch_.file("pkg"), &noSignature);
    const std::string zip = scratch_.file("pkg.kvb");
    zipDirectory(writeDirectoryPackage(scratch_.file("zipped"), &junk), zip);

    const std::set<int> allowed = {1, 3, 13, 20, 30, 31, 32, 33, 42, 50};
    struct Case {
        const char* name;
        std::string path;
        int finalStatus;
    };
    const Case cases[] = {{"directory", dir, 33}, {"package file", zip, 50}};
    std::set<std::string> known = before_;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (long failAt = 0;; ++failAt) {
            KCertificateInfo info = garbageRecord();
            gAllocations = 0;
            gFailAt = failAt;
            gArmed = true;
            const int status = KVBSign_verify(c.path.c_str(), nullptr, 0, &info, true);
            gArmed = false;
            const bool failed = gAllocations > failAt;
            SCOPED_TRACE("allocation " + std::to_string(failAt));
            for (const char* text : {info.commonName, info.distinguishedName, info.organizationalUnit}) {
                if (text) {
                    EXPECT_STREQ(text, "");
                }
            }
            KVBSign_releaseCertificateData(&info);
            for (const std::string& name : newTempEntries(known)) {
                ADD_FAILURE() << "left behind: /tmp/" << name;
                known.insert(name);
            }
            if (!failed) {
                EXPECT_EQ(status, c.finalStatus);
                break;
            }
            EXPECT_TRUE(allowed.count(status)) << "status " << status;
            ASSERT_LT(failAt, 100000);
        }
    }
    // The failures above are reported; the final comparison need not repeat them.
    before_ = known;
}

// --- the date test --------------------------------------------------------------------------

TEST(DateTest, OnlyAValidTimestampWithinTheValiditySkipsIt) {
    KCertificateInfo record{};
    record.validFrom = 1000;
    record.validTo = 2000;
    struct Case {
        int timestampStatus;
        time_t now;
        bool fails;
    };
    const Case cases[] = {
        {0, 1500, false}, {0, 1000, true},  {0, 2000, true},  {0, 999, true},  {0, 2001, true},
        {1, 5000, false}, {1, 1500, false}, {2, 5000, true},  {2, 1500, false}, {3, 5000, true},
        {3, 1999, false}, {4, 5000, true},  {4, 1001, false}, {4, 1000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("timestamp " + std::to_string(c.timestampStatus) + " now " + std::to_string(c.now));
        EXPECT_EQ(kvbsign::verify::signerDateTestFails(c.timestampStatus, record, c.now), c.fails);
    }
}

// --- whole verifications of signed packages ------------------------------------------------

class SignedPackageTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        roots_ = scratch_.file("roots.pem");
        kvtest::writePemBundle(roots_, {pki().root.cert.get()});
        rootsEnv_.reset(new kvtest::ScopedEnv("SSL_CERT_FILE", roots_.c_str()));
    }
    void TearDown() override {
        rootsEnv_.reset();
        DriverTest::TearDown();
    }

    static PackageBuilder signedBy(const kvtest::CertAndKey& signer) {
        PackageBuilder b;
        b.addFile("content/index.html", "<html></html>").addFile("a b.txt", "text");
        b.signer(signer.key.get())
            .keyInfoCerts({signer.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()});
        return b;
    }

    std::string build(const PackageBuilder& b, const std::string& name) { return b.build(scratch_.file(name)).dir; }

    std::string roots_;
    std::unique_ptr<kvtest::ScopedEnv> rootsEnv_;
};

TEST_F(SignedPackageTest, GoodPackageFillsTheRecordTwiceInOneProcess) {
    const SignedPackage package = signedBy(pki().leaf).build(scratch_.file("good"));
    const std::string zip = scratch_.file("good.kvb");
    package.zip(zip);
    for (const std::string& path : {package.dir, zip, package.dir}) {
        SCOPED_TRACE(path);
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(path, &info), KVBSIGN_SUCCESS);
        ASSERT_NE(info.commonName, nullptr);
        EXPECT_STREQ(info.distinguishedName, kvtest::subjectOneLine(pki().leaf.cert.get()).c_str());
        EXPECT_EQ(info.osTrusted, 1);
        EXPECT_EQ(info.revoked, -1);  // lookup skipped
        EXPECT_EQ(info.timestampStatus, KVBSIGN_TIMESTAMP_NONE);
        EXPECT_LT(info.validFrom, time(nullptr));
        EXPECT_GT(info.validTo, time(nullptr));
        KVBSign_releaseCertificateData(&info);
    }
    // A failure in between leaves nothing that spoils the next verification.
    EXPECT_EQ(verify(scratch_.file("missing")), KVBSIGN_INVALID_ARGUMENTS);
    EXPECT_EQ(verify(zip), KVBSIGN_SUCCESS);
}

TEST_F(SignedPackageTest, TamperedFileGivesFiftyWithEmptyTexts) {
    const SignedPackage package = signedBy(pki().leaf).build(scratch_.file("pkg"));
    kvtest::writeFile(package.dir + "/a b.txt", "changed");
    KCertificateInfo info = garbageRecord();
    EXPECT_EQ(verify(package.dir, &info), KVBSIGN_SIGNATURE_INVALID);
    expectEmptyTexts(info);
    expectNumbersUntouched(info);
    KVBSign_releaseCertificateData(&info);
}

TEST_F(SignedPackageTest, UserCertificatesDecideFiftyOne) {
    const std::string dir = build(signedBy(pki().leaf), "pkg");
    const std::string intermediate = scratch_.file("intermediate.der");
    const std::string unrelated = scratch_.file("unrelated.der");
    kvtest::writeDer(intermediate, pki().intermediate.cert.get());
    kvtest::writeDer(unrelated, pki().unrelatedRoot.cert.get());
    EXPECT_EQ(verify(dir, nullptr, {intermediate.c_str()}), KVBSIGN_SUCCESS);
    EXPECT_EQ(verify(dir, nullptr, {nullptr, intermediate.c_str()}), KVBSIGN_SUCCESS);
    KCertificateInfo info = garbageRecord();
    EXPECT_EQ(verify(dir, &info, {unrelated.c_str()}), KVBSIGN_VERIFIED_CHAIN_UNVERIFIED);
    EXPECT_EQ(info.osTrusted, 1);
    KVBSign_releaseCertificateData(&info);
}

std::atomic<int> gCallerHandlerRuns{0};
void callerHandler(int) { ++gCallerHandlerRuns; }
void terminateAt(const char* where) {
    if (std::strcmp(where, "verify") == 0) raise(SIGTERM);
}

// A caller with its own SIGTERM handler: a signal during the checks fails the call (a good
// package must not come back verified from a run cut short), removes what it made, and
// reaches the caller's handler once the call is over; the next call verifies as before.
TEST_F(SignedPackageTest, ASignalTheCallerHandlesFailsTheCall) {
    const SignedPackage package = signedBy(pki().leaf).build(scratch_.file("good"));
    const std::string zip = scratch_.file("good.kvb");
    package.zip(zip);
    struct sigaction own = {}, previous = {};
    own.sa_handler = callerHandler;
    ASSERT_EQ(sigaction(SIGTERM, &own, &previous), 0);
    for (const std::string& path : {package.dir, zip}) {
        SCOPED_TRACE(path);
        gCallerHandlerRuns = 0;
        {
            ScopedFaultHook hook(terminateAt);
            KCertificateInfo info = garbageRecord();
            EXPECT_EQ(verify(path, &info), KVBSIGN_GENERAL_FAILURE);
            expectEmptyTexts(info);
            KVBSign_releaseCertificateData(&info);
        }
        EXPECT_EQ(gCallerHandlerRuns, 1);
        expectNoNewTempEntries(before_);
        struct sigaction now = {};
        ASSERT_EQ(sigaction(SIGTERM, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, callerHandler);
        EXPECT_EQ(verify(path), KVBSIGN_SUCCESS);
    }
    sigaction(SIGTERM, &previous, nullptr);
}

// A signer that is no longer valid passes only with a timestamp that verified and lies within
// its validity; any other timestamp verdict leaves it to the current time.
TEST_F(SignedPackageTest, ExpiredSignerAndTimestampVerdicts) {
    const time_t now = time(nullptr);
    const kvtest::CertAndKey& expired = pki().expiredLeaf;
    const kvtest::TsaIdentity& tsa = kvtest::defaultTsa();

    struct Case {
        const char* name;
        int timestampStatus;  // -1: no timestamp
        int status;
    };
    const Case cases[] = {
        {"no timestamp", -1, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
        {"valid, signed within the validity", KVBSIGN_TIMESTAMP_VALID, KVBSIGN_SUCCESS},
        {"valid, signed after the validity", KVBSIGN_TIMESTAMP_OUTSIDE_VALIDITY, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
        {"unverifiable", KVBSIGN_TIMESTAMP_UNVERIFIABLE, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
        {"invalid", KVBSIGN_TIMESTAMP_INVALID, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SignedPackage package = signedBy(expired).build(scratch_.file("pkg" + std::to_string(n++)));
        switch (c.timestampStatus) {
            case KVBSIGN_TIMESTAMP_VALID:
                package.addTimestamp(kvtest::base64(
                    kvtest::grantedResponse(tsa, package.timestampMessageText, now - 10 * 86400)));
                break;
            case KVBSIGN_TIMESTAMP_OUTSIDE_VALIDITY:
                package.addTimestamp(kvtest::base64(kvtest::grantedResponse(tsa, package.timestampMessageText, now)));
                break;
            case KVBSIGN_TIMESTAMP_UNVERIFIABLE:
                package.addTimestamp(kvtest::base64("neither a response nor a token"));
                break;
            case KVBSIGN_TIMESTAMP_INVALID:
                package.addTimestamp(kvtest::base64(kvtest::rejectionResponse(tsa, package.timestampMessageText)));
                break;
            default:
                break;
        }
        KCertificateInfo info = garbageRecord();
        EXPECT_EQ(verify(package.dir, &info), c.status);
        EXPECT_EQ(info.timestampStatus, c.timestampStatus < 0 ? KVBSIGN_TIMESTAMP_NONE : c.timestampStatus);
        EXPECT_LT(info.validTo, now);
        KVBSign_releaseCertificateData(&info);
        // Without a record of the caller's the same checks run on a record of the call's own.
        EXPECT_EQ(verify(package.dir), c.status);
    }

    const std::string notYet = build(signedBy(pki().notYetValidLeaf), "notyet");
    EXPECT_EQ(verify(notYet), KVBSIGN_CERTIFICATE_NOT_VALID_NOW);
}

// A CRL that cannot be fetched gives 52 only when nothing else failed: an expired signer stays
// 24 (a machine without network must not turn a rejection into a verified result), with or
// without a record. The lookup runs and fails either way (revoked -1).
TEST_F(SignedPackageTest, ExpiryWinsOverUnreachableCrl) {
    // Nothing listens on this loopback address, so the download fails at once.
    kvtest::CertSpec spec = kvtest::leafSpec("CRL Leaf", "2001");
    spec.crlUrls = {"http://127.0.0.57/kvbsign-test-none.crl"};
    kvtest::CertSpec expiredSpec = spec;
    expiredSpec.serialHex = "2002";
    expiredSpec.notBefore = time(nullptr) - 30 * 86400;
    expiredSpec.notAfter = time(nullptr) - 2 * 86400;
    kvtest::CertAndKey current{kvtest::makeCert(spec, pki().leaf.key.get(), pki().intermediate.cert.get(),
                                                pki().intermediate.key.get()),
                               kvtest::shareKey(pki().leaf.key.get())};
    kvtest::CertAndKey expired{kvtest::makeCert(expiredSpec, pki().leaf.key.get(), pki().intermediate.cert.get(),
                                                pki().intermediate.key.get()),
                               kvtest::shareKey(pki().leaf.key.get())};
    const std::string currentDir = build(signedBy(current), "current");
    const std::string expiredDir = build(signedBy(expired), "expired");
    const std::string unrelated = scratch_.file("unrelated.der");
    kvtest::writeDer(unrelated, pki().unrelatedRoot.cert.get());
    const char* userCerts[] = {unrelated.c_str()};

    struct Case {
        const char* name;
        std::string dir;
        bool skip;
        bool withRecord;
        int status;
    };
    const Case cases[] = {
        {"current signer", currentDir, false, true, KVBSIGN_VERIFIED_REVOCATION_UNKNOWN},
        {"expired signer", expiredDir, false, true, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
        {"expired signer, no record", expiredDir, false, false, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
        {"lookup skipped", expiredDir, true, true, KVBSIGN_CERTIFICATE_NOT_VALID_NOW},
        {"lookup skipped, current signer", currentDir, true, true, KVBSIGN_VERIFIED_CHAIN_UNVERIFIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        KCertificateInfo info = garbageRecord();
        // The user chain check would fail (51), but it runs only when nothing else did.
        EXPECT_EQ(KVBSign_verify(c.dir.c_str(), userCerts, 1, c.withRecord ? &info : nullptr, c.skip), c.status);
        if (c.withRecord) {
            EXPECT_EQ(info.revoked, -1);
            KVBSign_releaseCertificateData(&info);
        }
    }
}

}  // namespace
