// The timestamp as the tool reports it: it stands in for the date test only when it proves that
// the signer was valid at signing time.
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "cli_runner.h"
#include "expected_texts.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"
#include "tsa.h"

namespace {

using kvtest::kMsg0;
using kvtest::kMsg24;
using kvtest::pki;

const time_t kDay = 24 * 60 * 60;
const char kValidLine[] = "Timestamp: Valid and within certificate validity dates at time of signing\n";
const char kInvalidLine[] = "Timestamp: Invalid timestamp\n";
const char kNoneLine[] = "Timestamp: None\n";

// Signers issued by the test intermediate: one expired now but valid 30 days ago, one valid now.
const kvtest::CertAndKey& expiredSigner() {
    static const kvtest::CertAndKey s = [] {
        kvtest::CertAndKey c;
        const time_t now = time(nullptr);
        kvtest::CertSpec spec = kvtest::leafSpec("KVB Expired Signer", "6001");
        spec.notBefore = now - 60 * kDay;
        spec.notAfter = now - kDay;
        c.key = kvtest::makeRsaKey(2048, 65537, 3);
        c.cert = kvtest::makeCert(spec, c.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
        return c;
    }();
    return s;
}

enum class Token { None, Valid, OneByteOff };

class TimestampCliTest : public ::testing::Test {
protected:
    void SetUp() override { kvtest::writePemBundle(scratch.file("roots.pem"), {pki().root.cert.get()}); }

    // A package signed by `signer` with a timestamp of the given kind at now - 30 days.
    std::string package(const kvtest::CertAndKey& signer, Token token, const std::string& name) {
        kvtest::PackageBuilder b;
        b.signer(signer.key.get())
            .keyInfoCerts({signer.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
            .addFile("a.txt", "alpha")
            .addFile("sub/b.txt", "beta");
        kvtest::SignedPackage p = b.build(scratch.file(name));
        if (token != Token::None) {
            std::string message = p.timestampMessageText;
            if (token == Token::OneByteOff) message[message.size() / 2] ^= 0x01;
            const time_t genTime = time(nullptr) - 30 * kDay;
            p.addTimestamp(kvtest::base64(kvtest::grantedResponse(kvtest::defaultTsa(), message, genTime)));
        }
        return p.dir;
    }

    kvtest::CliResult verify(const std::string& dir) {
        const kvtest::CliResult r = kvtest::runCli({"-verify", dir, "-certInfo", "-skipOnlineRevocationChecks"},
                                                   {{"SSL_CERT_FILE", scratch.file("roots.pem")}});
        EXPECT_EQ(kvtest::differencesIfAccepted(dir, r.exitCode), "");
        return r;
    }

    kvtest::ScratchDir scratch;
};

TEST_F(TimestampCliTest, TimestampDecidesTheDateTestOnlyWhenValid) {
    struct Case {
        const char* name;
        const kvtest::CertAndKey& signer;
        Token token;
        int wantExit;
        const char* wantTimestampLine;  // null: no report
    };
    const Case kCases[] = {
        {"expired signer, valid timestamp", expiredSigner(), Token::Valid, 0, kValidLine},
        {"expired signer, no timestamp", expiredSigner(), Token::None, 24, nullptr},
        {"expired signer, invalid timestamp", expiredSigner(), Token::OneByteOff, 24, nullptr},
        {"signer valid now, invalid timestamp", pki().leaf, Token::OneByteOff, 0, kInvalidLine},
        {"signer valid now, no timestamp", pki().leaf, Token::None, 0, kNoneLine},
    };
    const auto before = kvtest::kvbsignTempEntries();
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const kvtest::CliResult r = verify(package(c.signer, c.token, "pkg" + std::to_string(n++)));
        ASSERT_FALSE(r.timedOut);
        EXPECT_EQ(r.exitCode, c.wantExit) << r.out << r.err;
        if (c.wantTimestampLine != nullptr) {
            EXPECT_NE(r.out.find(c.wantTimestampLine), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(kMsg0), std::string::npos) << r.out;
            EXPECT_EQ(r.err, "");
            // The report still shows the signer's present state.
            const bool expired = &c.signer == &expiredSigner();
            EXPECT_EQ(r.out.find("Signing Certificate: Expired/Outwith validity period (") != std::string::npos,
                      expired)
                << r.out;
        } else {
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, kMsg24);
        }
    }
    EXPECT_EQ(kvtest::kvbsignTempEntries(), before);
}

}  // namespace
