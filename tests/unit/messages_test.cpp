// Status messages, usage text, certificate report and option parsing of the front end.

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "KVBSignCmd.h"
#include "expected_texts.h"

namespace {

enum Where { kOut, kErr };

struct Row {
    int status;
    Where where;
    const char* text;
    size_t length;  // counted independently of the text, to catch a slip in either
};

// Every status whose text does not depend on the operation, written out by hand.
const Row kRows[] = {
    {1, kErr, "Error - General failure occured. Process failed. ", 49},
    {2, kErr, "Error - No arguments provided. Process failed.", 46},
    {3, kErr, "Error - Arguments are invalid. Process failed. ", 47},
    {10, kErr, "Error - Could not create pointer to file. Process failed.", 57},
    {11, kErr, "Error - Could not locate file. Process failed.", 46},
    {12, kErr, "Error - Could not read file. Process failed.", 44},
    {13, kErr, "Error - Could not create temporary directory for unzipping. Verification failed. ", 81},
    {14, kErr, "Error - Symbolic links points to an invalid location. ", 54},
    {15, kErr, "Error - One of the symbolic links points to an absolute path. ", 62},
    {20, kErr, "Error - Failed to unzip KVB. Verification failed.", 49},
    {21, kErr, "Error - Failed to zip directory into output file. KVB not created. Does the KVB already exist?", 94},
    {24, kErr, "Error - Certificate is expired or not yet valid. Please check certificate validity.", 83},
    {25, kErr, "Error - Could not locate certificate file. Signing failed.", 58},
    {28, kErr, "Error - Key is not in RSA format. Signing failed. ", 50},
    {29, kErr,
     "Unable to build a valid certificate chain. Please make sure that all certificates are included in the "
     "certificate file.",
     119},
    {30, kErr, "Error - Cannot locate /META-INF/signatures.xml. No signature detected.", 70},
    {31, kErr, "Error - Failed to parse signatures.xml. Check for valid XML format. ", 68},
    {32, kErr, "Error - Invalid Signature element encountered. ", 47},
    {33, kErr, "Error - Cannot locate <Signature> element in signatures.xml", 59},
    {34, kErr, "Error - Could not write signature.xml in directory ", 51},
    {35, kErr,
     "Error - the timestamp returned from the chosen TSA could not be verified, so the KVB created is likely to be "
     "rejected by other tools. Please recreate your KVB with a different trusted TSA.",
     188},
    {36, kErr,
     "Error - cannot contact the chosen TSA. Please make sure the URL is valid and that you are connected to the "
     "internet.",
     116},
    {41, kErr, "Error - Signing exception raised. Signing failed. ", 50},
    {42, kErr, "Error - Verification Exception raised. Verifying failed", 55},
    {43, kErr, "Error - Cryptographic Exception raised. Process failed", 54},
    {44, kErr, "Error - Network Exception raised. Process failed ", 49},
    {50, kErr, "Error - Failed to verify signature. Signature might have been tampered with.", 76},
    {51, kOut,
     "Signature and file references verified successfully, but certificate chain could not be verified and/or "
     "certificates passed in were not found",
     141},
    {52, kOut,
     "Signature and file references verified successfully, but certificate revocation status could not be verified "
     "as remote CRL could not be reached.",
     144},
    {61, kOut, "Error - key could not be generated. P12 generation failed", 57},
    {62, kOut, "Error - certificate request could not be generated. P12 generation failed", 73},
    {63, kOut, "Error - serial number could not be generated. P12 generation failed", 67},
    {64, kOut, "Error - certificate properties could not be set. P12 generation failed", 70},
    {65, kOut, "Error - certificate request could not be signed. P12 generation failed", 70},
    {66, kOut, "Error - certificate could not be created. P12 generation failed", 63},
};

const char* const kVerify26 =
    "Error - Could not read one or more certificate files. Please check that all certificate file(s) are valid.";
const char* const kOther26 =
    "Error - Could not read certificate file. Please check that any certificate file(s) are valid and that any "
    "supplied passwords are correct.";
const char* const kVerify27 =
    "Error - Could not parse one or more certificates. Please check that all certificates are valid.";
const char* const kOther27 =
    "Error - Failed to parse certificate. Please check that your certificate file(s) are valid, stored in an "
    "accepted file format (e.g. PKCS12 'p12'), and that you have entered the correct password.";

struct Output {
    std::string out;
    std::string err;
};

Output message(int status, const std::string& operation) {
    std::ostringstream out, err;
    printMessage(status, operation, out, err);
    return {out.str(), err.str()};
}

// What the table says `status` must print after `operation`.
Output expected(int status, const std::string& operation) {
    if (status == 0) {
        if (operation == "sign") return {"Signed successfully\n", ""};
        if (operation == "verify") return {"Signature verified successfully\n", ""};
        if (operation == "selfSignedCert") return {"Self-signed certificate generated successfully\n", ""};
        return {"", ""};
    }
    if (status == 26) return {"", std::string(operation == "verify" ? kVerify26 : kOther26) + "\n"};
    if (status == 27) return {"", std::string(operation == "verify" ? kVerify27 : kOther27) + "\n"};
    for (const Row& row : kRows) {
        if (row.status != status) continue;
        const std::string line = std::string(row.text) + "\n";
        return row.where == kOut ? Output{line, ""} : Output{"", line};
    }
    return {"", "Unknown error raised. Process failed \n Error Code: " + std::to_string(status) + "\n"};
}

TEST(StatusMessages, HandWrittenTextsHaveTheirCountedLengths) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.status);
        EXPECT_EQ(std::string(row.text).size(), row.length);
    }
    EXPECT_EQ(std::string(kVerify26).size(), 106u);
    EXPECT_EQ(std::string(kOther26).size(), 137u);
    EXPECT_EQ(std::string(kVerify27).size(), 95u);
    EXPECT_EQ(std::string(kOther27).size(), 193u);
}

// Every value from -1 to 67 after every operation: text byte for byte, stream and line end.
TEST(StatusMessages, EveryValueWritesItsLineToItsStream) {
    for (const std::string operation : {"verify", "sign", "selfSignedCert", "Verify", ""}) {
        for (int status = -1; status <= 67; ++status) {
            SCOPED_TRACE("status " + std::to_string(status) + " operation '" + operation + "'");
            const Output got = message(status, operation);
            const Output want = expected(status, operation);
            EXPECT_EQ(got.out, want.out);
            EXPECT_EQ(got.err, want.err);
        }
    }
}

TEST(StatusMessages, ValuesOutsideTheEnumerationGiveTheTwoLineUnknownText) {
    struct Case {
        int status;
        const char* err;
    };
    const Case cases[] = {
        {4, "Unknown error raised. Process failed \n Error Code: 4\n"},
        {67, "Unknown error raised. Process failed \n Error Code: 67\n"},
        {-1, "Unknown error raised. Process failed \n Error Code: -1\n"},
        {-2147483647 - 1, "Unknown error raised. Process failed \n Error Code: -2147483648\n"},
        {2147483647, "Unknown error raised. Process failed \n Error Code: 2147483647\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const Output got = message(c.status, "verify");
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err, c.err);
    }
}

TEST(StatusMessages, PlainOverloadWritesToTheProcessStreams) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    printMessage(0, "verify");
    printMessage(3, "verify");
    printMessage(52, "verify");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(out,
              "Signature verified successfully\n"
              "Signature and file references verified successfully, but certificate revocation status could not be "
              "verified as remote CRL could not be reached.\n");
    EXPECT_EQ(err, "Error - Arguments are invalid. Process failed. \n");
}

using kvtest::kUsage;

TEST(Usage, TextIsExactAndEndsWithThreeLineEnds) {
    std::ostringstream err;
    printHelp(err);
    EXPECT_EQ(err.str(), kUsage);
    EXPECT_EQ(std::string("    KVBSignCmd -verify <kvb>|<extensionRootDirectory> [options]").size(), 63u);

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    printHelp();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), kUsage);
}

// The report's dates are local calendar dates: pin the zone for each test.
class ReportTest : public testing::Test {
protected:
    void SetUp() override {
        const char* tz = getenv("TZ");
        hadTz_ = tz != nullptr;
        if (tz) savedTz_ = tz;
        useZone("UTC0");
    }
    void TearDown() override {
        if (hadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void useZone(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

    static time_t fixedNow;
    static time_t clock() { return fixedNow; }

    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> result;
        std::string::size_type start = 0, end;
        while ((end = text.find('\n', start)) != std::string::npos) {
            result.push_back(text.substr(start, end - start));
            start = end + 1;
        }
        EXPECT_EQ(start, text.size()) << "text must end with a line end";
        return result;
    }

    static KCertificateInfo record() {
        KCertificateInfo info{};
        info.commonName = const_cast<char*>("Name");
        info.organizationalUnit = const_cast<char*>("Unit A Unit B");
        info.distinguishedName = const_cast<char*>("/C=GB/O=Org/OU=Unit A/OU=Unit B/CN=Name");
        info.osTrusted = 1;
        info.revoked = 0;
        info.timestampStatus = 1;
        info.validFrom = 1704153600;  // 2024-01-02 00:00 UTC
        info.validTo = 1772582400;    // 2026-03-04 00:00 UTC
        return info;
    }

private:
    bool hadTz_ = false;
    std::string savedTz_;
};

time_t ReportTest::fixedNow = 0;

TEST_F(ReportTest, NineLinesInOrder) {
    fixedNow = 1735689600;  // 2025-01-01
    std::ostringstream out;
    printCertificateReport(record(), out, clock);
    EXPECT_EQ(out.str(),
              "*********** Certificate Information ***********\n"
              "CN: Name\n"
              "OU: Unit A Unit B\n"
              "DN: /C=GB/O=Org/OU=Unit A/OU=Unit B/CN=Name\n"
              "OS Trusted: true\n"
              "Revoked: false\n"
              "Timestamp: Valid and within certificate validity dates at time of signing\n"
              "Signing Certificate: Valid (from 2024-01-02 until 2026-03-04)\n"
              "***********************************************\n");
}

TEST_F(ReportTest, VerdictTexts) {
    struct Case {
        int osTrusted, revoked, timestampStatus;
        const char* trustLine;
        const char* revokedLine;
        const char* timestampLine;
    };
    const char* const unknownRevocation =
        "Revoked: Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?";
    const Case cases[] = {
        {1, 1, 0, "OS Trusted: true", "Revoked: true", "Timestamp: None"},
        {0, 0, 2, "OS Trusted: false", "Revoked: false",
         "Timestamp: Valid timestamp, but outside certificate validity dates"},
        {-1, -1, 3, "OS Trusted: unknown", unknownRevocation, "Timestamp: Unverifiable"},
        {2, 7, 4, "OS Trusted: unknown", unknownRevocation, "Timestamp: Invalid timestamp"},
        {1, 0, 5, "OS Trusted: true", "Revoked: false", "Timestamp: Unknown"},
        {1, 0, -1, "OS Trusted: true", "Revoked: false", "Timestamp: Unknown"},
    };
    fixedNow = 1735689600;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timestampLine);
        KCertificateInfo info = record();
        info.osTrusted = c.osTrusted;
        info.revoked = c.revoked;
        info.timestampStatus = c.timestampStatus;
        std::ostringstream out;
        printCertificateReport(info, out, clock);
        const std::vector<std::string> got = lines(out.str());
        ASSERT_EQ(got.size(), 9u);
        EXPECT_EQ(got[4], c.trustLine);
        EXPECT_EQ(got[5], c.revokedLine);
        EXPECT_EQ(got[6], c.timestampLine);
    }
}

TEST_F(ReportTest, ValidityBoundsAreExclusive) {
    const KCertificateInfo info = record();
    const std::string valid = "Signing Certificate: Valid (from 2024-01-02 until 2026-03-04)";
    const std::string expired = "Signing Certificate: Expired/Outwith validity period (2024-01-02 to 2026-03-04)";
    struct Case {
        const char* name;
        time_t now;
        std::string line;
    };
    const Case cases[] = {
        {"one second after the start", info.validFrom + 1, valid},
        {"one second before the end", info.validTo - 1, valid},
        {"at the start", info.validFrom, expired},
        {"at the end", info.validTo, expired},
        {"before the start", info.validFrom - 86400, expired},
        {"after the end", info.validTo + 86400, expired},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fixedNow = c.now;
        std::ostringstream out;
        printCertificateReport(info, out, clock);
        const std::vector<std::string> got = lines(out.str());
        ASSERT_EQ(got.size(), 9u);
        EXPECT_EQ(got[7], c.line);
    }
}

TEST_F(ReportTest, EpochDatesFollowTheLocalZone) {
    KCertificateInfo info = record();
    info.validFrom = 0;
    info.validTo = 0;
    fixedNow = 1735689600;
    struct Case {
        const char* zone;
        const char* line;
    };
    const Case cases[] = {
        {"UTC0", "Signing Certificate: Expired/Outwith validity period (1970-01-01 to 1970-01-01)"},
        {"EAST-2", "Signing Certificate: Expired/Outwith validity period (1970-01-01 to 1970-01-01)"},
        {"WEST5", "Signing Certificate: Expired/Outwith validity period (1969-12-31 to 1969-12-31)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.zone);
        useZone(c.zone);
        std::ostringstream out;
        printCertificateReport(info, out, clock);
        const std::vector<std::string> got = lines(out.str());
        ASSERT_EQ(got.size(), 9u);
        EXPECT_EQ(got[7], c.line);
    }
}

TEST_F(ReportTest, EmptyAndMissingTextsPrintAsEmpty) {
    KCertificateInfo info = record();
    info.commonName = const_cast<char*>("");
    info.organizationalUnit = nullptr;
    info.distinguishedName = const_cast<char*>("");
    fixedNow = 1735689600;
    std::ostringstream out;
    printCertificateReport(info, out, clock);
    const std::vector<std::string> got = lines(out.str());
    ASSERT_EQ(got.size(), 9u);
    EXPECT_EQ(got[1], "CN: ");
    EXPECT_EQ(got[2], "OU: ");
    EXPECT_EQ(got[3], "DN: ");
}

CommandLine parse(std::vector<std::string> args) {
    args.insert(args.begin(), "KVBSignCmd");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return parseCommandLine(static_cast<int>(args.size()), argv.data());
}

TEST(CommandLineParsing, ExitCodesForMalformedLines) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        int exitCode;
        bool invalidOption;
        const char* option;
    };
    const Case cases[] = {
        {"nothing", {}, 2, false, ""},
        {"verify alone", {"-verify"}, 3, false, ""},
        {"other operation", {"-sign", "pkg"}, 3, false, ""},
        {"prefix of verify", {"-ver", "pkg"}, 3, false, ""},
        {"verify with equals", {"-verify=pkg"}, 3, false, ""},
        {"unknown option", {"-verify", "pkg", "x"}, 3, true, "x"},
        {"option with equals", {"-verify", "pkg", "-certInfo=1"}, 3, true, "-certInfo=1"},
        {"unknown after good ones", {"-verify", "pkg", "-certInfo", "-skipOnlineRevocationChecks", "-z"}, 3, true,
         "-z"},
        {"unknown ends a path list", {"-verify", "pkg", "-addCerts", "a", "-nope"}, 3, true, "-nope"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandLine line = parse(c.args);
        EXPECT_EQ(line.exitCode, c.exitCode);
        EXPECT_EQ(line.hasInvalidOption, c.invalidOption);
        EXPECT_EQ(line.invalidOption, c.option);
    }
}

TEST(CommandLineParsing, OptionsAndCertificatePaths) {
    using Paths = std::vector<std::string>;
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string package;
        bool skip, certInfo;
        Paths paths;
    };
    const Case cases[] = {
        {"package only", {"-verify", "pkg"}, "pkg", false, false, {}},
        {"any letter case", {"-VERIFY", "pkg", "-CERTINFO", "-SKIPONLINEREVOCATIONCHECKS"}, "pkg", true, true, {}},
        {"package that looks like an option", {"-verify", "-certInfo"}, "-certInfo", false, false, {}},
        {"two paths then an option", {"-verify", "pkg", "-addCerts", "a.der", "b.der", "-certInfo"}, "pkg", false,
         true, Paths{"a.der", "b.der"}},
        {"addCerts last", {"-verify", "pkg", "-certInfo", "-addCerts"}, "pkg", false, true, {}},
        {"two addCerts", {"-verify", "pkg", "-addCerts", "a.der", "-skipOnlineRevocationChecks", "-ADDCERTS", "b.der"},
         "pkg", true, false, Paths{"a.der", "b.der"}},
        {"empty argument is a path", {"-verify", "pkg", "-addCerts", "", "c.der"}, "pkg", false, false,
         Paths{"", "c.der"}},
        {"repeated options", {"-verify", "pkg", "-certInfo", "-certInfo"}, "pkg", false, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CommandLine line = parse(c.args);
        EXPECT_EQ(line.exitCode, 0);
        EXPECT_FALSE(line.hasInvalidOption);
        EXPECT_EQ(line.packagePath, c.package);
        EXPECT_EQ(line.skipOnlineRevocationChecks, c.skip);
        EXPECT_EQ(line.certInfo, c.certInfo);
        EXPECT_EQ(line.certificatePaths, c.paths);
    }
}

TEST(FrontEndHelpers, CopiesAndCaseInsensitiveCompare) {
    EXPECT_EQ(argToUtf8("a\xc3\xa9 b"), "a\xc3\xa9 b");
    EXPECT_EQ(charToString("x/y"), "x/y");
    EXPECT_EQ(argToUtf8(nullptr), "");
    EXPECT_EQ(compareNoCase("-CertInfo", "-certinfo"), 0);
    EXPECT_NE(compareNoCase("-certInfo", "-certInf"), 0);
    // Only ASCII letters fold: a byte above 0x7F matches only itself.
    EXPECT_NE(compareNoCase("\xc9", "\xe9"), 0);
}

}  // namespace
