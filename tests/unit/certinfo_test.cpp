// The document's certificates, the signer record (names, dates) and the trust decision
// against the system root store.

#include <cstdlib>
#include <ctime>
#include <exception>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "KVBSignLibInternal.h"
#include "cli_runner.h"
#include "leftover_check.h"
#include "system/shell_testing.h"
#include "system_check/system_check.h"
#include "test_pki.h"

namespace {

using kvtest::CertSpec;
using kvtest::pki;
using kvtest::X509Ptr;

std::string b64(X509* cert, bool lineBreaks = false) { return kvtest::base64(kvtest::toDer(cert), lineBreaks); }

std::string certElement(const std::string& text) { return "<X509Certificate>" + text + "</X509Certificate>"; }

// A document shaped like a signature document around the given KeyInfo certificate texts.
std::string document(const std::vector<std::string>& keyInfoTexts, const std::string& beforeKeyInfo = "") {
    std::string doc = "<signatures><Signature><SignedInfo></SignedInfo>" + beforeKeyInfo + "<KeyInfo><X509Data>";
    for (const std::string& t : keyInfoTexts) doc += certElement(t);
    return doc + "</X509Data></KeyInfo><Object></Object></Signature></signatures>";
}

std::string defaultDocument(const std::string& beforeKeyInfo = "") {
    auto& p = pki();
    return document({b64(p.leaf.cert.get(), true), b64(p.intermediate.cert.get()), b64(p.root.cert.get())},
                    beforeKeyInfo);
}

// A record as the driver hands it over: three empty texts, numbers set to markers.
struct Record {
    KCertificateInfo info{};
    Record() {
        info.distinguishedName = new char[1]();
        info.commonName = new char[1]();
        info.organizationalUnit = new char[1]();
        info.osTrusted = 55;
        info.revoked = 66;
        info.timestampStatus = 77;
        info.validFrom = 12345;
        info.validTo = 67890;
    }
    ~Record() { KVBSign_releaseCertificateData(&info); }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;
};

// --- the document's certificates ---

TEST(DocumentCertificates, ListsKeyInfoTextsAsWritten) {
    auto& p = pki();
    const std::string t1 = "\n  " + b64(p.leaf.cert.get(), true) + "\n  ";
    const std::string t2 = b64(p.intermediate.cert.get());
    const std::string t3 = "\r\n" + b64(p.root.cert.get(), true);
    const std::string decoy = "<Object>" + certElement(b64(p.unrelatedRoot.cert.get())) + "</Object>";
    const std::string doc = document({t1, t2, t3}, decoy);

    EXPECT_EQ(KVBSignLibInternal::getX509Certificates(doc), (std::vector<std::string>{t1, t2, t3}));
    for (const std::string& text : {t1, t2, t3}) {
        X509Ptr cert(KVBSignLibInternal::getX509FromXML(text));
        EXPECT_NE(cert, nullptr);
    }

    // Without KeyInfo the whole document is the window.
    const std::string bare = "<a>" + certElement("one") + "</a>" + certElement("two");
    EXPECT_EQ(KVBSignLibInternal::getX509Certificates(bare), (std::vector<std::string>{"one", "two"}));
    // An end tag without a start tag in its piece gives the whole piece.
    const std::string orphan = "<KeyInfo>stray</X509Certificate>" + certElement("ok") + "</KeyInfo>";
    EXPECT_EQ(KVBSignLibInternal::getX509Certificates(orphan), (std::vector<std::string>{"stray", "ok"}));
    EXPECT_TRUE(KVBSignLibInternal::getX509Certificates("<KeyInfo><X509Certificate>open</KeyInfo>").empty());
}

TEST(DocumentCertificates, DecodesOnlyWholeDerCertificates) {
    auto& p = pki();
    const std::string der = kvtest::toDer(p.root.cert.get());
    const std::string bad[] = {"", "!!!!", kvtest::base64("not a certificate"),
                               kvtest::base64(der.substr(0, der.size() - 10)), "<KeyInfo>stray"};
    for (const std::string& text : bad) {
        SCOPED_TRACE(text);
        EXPECT_EQ(X509Ptr(KVBSignLibInternal::getX509FromXML(text)), nullptr);
    }
    X509Ptr good(KVBSignLibInternal::getX509FromXML(kvtest::base64(der, true)));
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(kvtest::toDer(good.get()), der);
}

TEST(DocumentCertificates, SignerKeyComesFromTheFirstKeyInfoCertificate) {
    auto& p = pki();
    CertSpec ecSpec = kvtest::leafSpec("KVB EC Signer", "4001");
    kvtest::EvpPkeyPtr ecKey = kvtest::makeEcKey();
    X509Ptr ecCert = kvtest::makeCert(ecSpec, ecKey.get(), nullptr, nullptr);
    const std::string decoy = "<Object>" + certElement(b64(p.unrelatedRoot.cert.get())) + "</Object>";

    struct KeyCase {
        const char* name;
        std::string doc;
        X509* want;  // null: the empty key
    };
    const KeyCase cases[] = {
        {"chain in KeyInfo", defaultDocument(), p.leaf.cert.get()},
        {"a certificate before KeyInfo is not the signer", defaultDocument(decoy), p.leaf.cert.get()},
        {"no KeyInfo: the first certificate of the document", certElement(b64(p.root.cert.get(), true)),
         p.root.cert.get()},
        {"KeyInfo without certificate, one before it", decoy + "<KeyInfo><KeyName>k</KeyName></KeyInfo>", nullptr},
        {"signer key is not RSA", document({b64(ecCert.get()), b64(p.root.cert.get())}), nullptr},
        {"signer text does not decode", document({"%%%", b64(p.root.cert.get())}), nullptr},
        {"no certificate at all", "<signatures><Signature/></signatures>", nullptr},
    };
    for (const KeyCase& c : cases) {
        SCOPED_TRACE(c.name);
        kvbsign::EvpPkeyPtr key(KVBSignLibInternal::extractRSA(c.doc));
        ASSERT_NE(key, nullptr);
        if (c.want == nullptr) {
            EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), EVP_PKEY_NONE);
        } else {
            EXPECT_EQ(EVP_PKEY_get_base_id(key.get()), EVP_PKEY_RSA);
            EXPECT_EQ(EVP_PKEY_eq(key.get(), X509_get0_pubkey(c.want)), 1);
        }
    }
}

// --- the signer record ---

X509Ptr certWithSubject(const std::vector<std::pair<std::string, std::string>>& subject) {
    CertSpec spec;
    spec.subject = subject;
    return kvtest::makeCert(spec, pki().leaf.key.get(), nullptr, nullptr);
}

// One entry of a subject; joined: it belongs to the name part of the entry before it.
struct Entry {
    std::string key;
    std::string value;
    bool joined = false;
};

// A certificate whose subject is exactly the given entries. The name goes through its DER
// form on the way in, which orders the members of a multi-valued part (shorter first).
X509Ptr certWithEntries(const std::vector<Entry>& entries) {
    X509Ptr cert = certWithSubject({{"CN", "placeholder"}});
    X509_NAME* name = X509_NAME_new();
    for (const Entry& e : entries) {
        EXPECT_EQ(X509_NAME_add_entry_by_txt(name, e.key.c_str(), MBSTRING_ASC,
                                             reinterpret_cast<const unsigned char*>(e.value.c_str()), -1, -1,
                                             e.joined ? -1 : 0),
                  1)
            << e.key << "=" << e.value;
    }
    EXPECT_EQ(X509_set_subject_name(cert.get(), name), 1);
    X509_NAME_free(name);
    return cert;
}

struct Names {
    std::string dn;
    std::string cn;
    std::string ou;
};

Names namesOf(X509* cert) {
    Record r;
    KVBSignLibInternal::readCertificateInfo(cert, &r.info);
    return {r.info.distinguishedName, r.info.commonName, r.info.organizationalUnit};
}

// The texts are the one-line form as written: a "/" or "+" inside a value stays escaped with
// its backslash (a backslash itself is not escaped), and only the "+" that joins the members
// of a multi-valued name part becomes "/". The CN and OU lines take each entry's value whole,
// cut where the entry ends, so no value can add an entry or hide one.
TEST(SignerRecord, NameWalkCollectsCommonNamesAndUnits) {
    struct NameCase {
        const char* name;
        std::vector<Entry> subject;
        std::string dn;
        std::string cn;
        std::string ou;
    };
    const NameCase cases[] = {
        {"two units and a name",
         {{"C", "GB"}, {"O", "Org"}, {"OU", "Unit A"}, {"OU", "Unit B"}, {"CN", "Name"}},
         "/C=GB/O=Org/OU=Unit A/OU=Unit B/CN=Name",
         "Name",
         "Unit A Unit B"},
        {"two common names", {{"CN", "First"}, {"O", "Org"}, {"CN", "Second"}}, "/CN=First/O=Org/CN=Second",
         "First Second", ""},
        {"values that spell entries add none and hide none",
         {{"C", "GB"}, {"O", "Org/CN=Evil"}, {"OU", "Unit+X"}, {"CN", "Name/OU=Injected"}},
         "/C=GB/O=Org\\/CN=Evil/OU=Unit\\+X/CN=Name\\/OU=Injected", "Name\\/OU=Injected", "Unit\\+X"},
        {"a slash in a value stays in it, escaped", {{"CN", "left/right"}, {"OU", "u"}}, "/CN=left\\/right/OU=u",
         "left\\/right", "u"},
        {"text after an escaped slash is part of the value", {{"O", "Org/CN=Inner"}, {"CN", "Outer"}},
         "/O=Org\\/CN=Inner/CN=Outer", "Outer", ""},
        {"a doubled slash in a value is two escaped slashes", {{"CN", "a//b"}, {"OU", "x"}}, "/CN=a\\/\\/b/OU=x",
         "a\\/\\/b", "x"},
        {"a value ending in a slash before the next entry", {{"OU", "u/"}, {"CN", "Name"}}, "/OU=u\\//CN=Name",
         "Name", "u\\/"},
        {"values ending in a slash, one after another", {{"OU", "x/"}, {"OU", "y/"}, {"CN", "z"}},
         "/OU=x\\//OU=y\\//CN=z", "z", "x\\/ y\\/"},
        {"other punctuation is kept, a plus stays escaped", {{"CN", "a+b=c,d\\e"}}, "/CN=a\\+b=c,d\\e",
         "a\\+b=c,d\\e", ""},
        {"a value ending in a backslash before the next entry", {{"O", "Org\\"}, {"CN", "Name"}},
         "/O=Org\\/CN=Name", "Name", ""},
        {"a unit ending in a backslash before a name", {{"OU", "Unit\\"}, {"CN", "Name"}, {"OU", "Last\\"}},
         "/OU=Unit\\/CN=Name/OU=Last\\", "Name", "Unit\\ Last\\"},
        {"entries of a multi-valued part are entries too", {{"O", "Org"}, {"CN", "Multi"}, {"OU", "Part", true}},
         "/O=Org/OU=Part/CN=Multi", "Multi", "Part"},
        {"a member ending in a backslash before the join", {{"O", "Org"}, {"OU", "U\\"}, {"CN", "Name", true}},
         "/O=Org/OU=U\\/CN=Name", "Name", "U\\"},
        {"an escaped plus is no join", {{"O", "Org"}, {"OU", "U+CN=Name"}}, "/O=Org/OU=U\\+CN=Name", "",
         "U\\+CN=Name"},
        {"no name and no unit", {{"C", "GB"}, {"O", "Only"}}, "/C=GB/O=Only", "", ""},
        {"name ends in a slash", {{"OU", "u"}, {"CN", "end/"}}, "/OU=u/CN=end\\/", "end\\/", "u"},
    };
    for (const NameCase& c : cases) {
        SCOPED_TRACE(c.name);
        X509Ptr cert = certWithEntries(c.subject);
        EXPECT_EQ(kvtest::subjectOneLine(cert.get()).size(), c.dn.size());  // nothing added or dropped
        const Names got = namesOf(cert.get());
        EXPECT_EQ(got.dn, c.dn);
        EXPECT_EQ(got.cn, c.cn);
        EXPECT_EQ(got.ou, c.ou);
    }
}

// A certificate whose single O value spells the test leaf's units and name: it has no CN or
// OU entry, so its CN and OU lines are empty, and its DN keeps the escaped slashes.
TEST(SignerRecord, SpelledEntriesDoNotPassForTheGenuineSigner) {
    const Names genuine = namesOf(pki().leaf.cert.get());
    X509Ptr forgedCert = certWithEntries({{"C", "GB"}, {"O", "KVB Test Signers/OU=Unit A/OU=Unit B/CN=KVB Test Leaf"}});
    const Names forged = namesOf(forgedCert.get());

    EXPECT_EQ(genuine.dn, "/C=GB/O=KVB Test Signers/OU=Unit A/OU=Unit B/CN=KVB Test Leaf");
    EXPECT_EQ(genuine.cn, "KVB Test Leaf");
    EXPECT_EQ(genuine.ou, "Unit A Unit B");
    EXPECT_EQ(forged.dn, "/C=GB/O=KVB Test Signers\\/OU=Unit A\\/OU=Unit B\\/CN=KVB Test Leaf");
    EXPECT_EQ(forged.cn, "");
    EXPECT_EQ(forged.ou, "");
    EXPECT_NE(forged.cn, genuine.cn);
    EXPECT_NE(forged.ou, genuine.ou);
    EXPECT_NE(forged.dn, genuine.dn);
}

// A one-line form cut at its 4096-byte buffer ends before the entry that did not fit; the
// joins before the cut are still found.
TEST(SignerRecord, LongNameCutAtTheBuffer) {
    const std::string big(3000, 'v');
    // Values of this type have no length limit.
    X509Ptr cert = certWithEntries({{"O", "Org"},
                                    {"OU", "U\\"},
                                    {"CN", "Name", true},
                                    {"1.2.3.4", big},
                                    {"1.2.3.4", big},
                                    {"CN", "Late"}});
    const Names got = namesOf(cert.get());
    EXPECT_EQ(got.dn, "/O=Org/OU=U\\/CN=Name/1.2.3.4=" + big);
    EXPECT_EQ(got.cn, "Name");
    EXPECT_EQ(got.ou, "U\\");
}

TEST(SignerRecord, DatesToTheHourAndTextsReplaced) {
    kvtest::ScopedEnv tz("TZ", "UTC");
    CertSpec spec;
    spec.subject = {{"CN", "Dated"}};
    spec.notBefore = 1388579696;  // 2014-01-01 12:34:56 UTC (UTCTime)
    spec.notAfter = 2569227630;   // 2051-06-01 10:20:30 UTC (GeneralizedTime)
    X509Ptr cert = kvtest::makeCert(spec, pki().leaf.key.get(), nullptr, nullptr);

    Record r;
    KVBSignLibInternal::readCertificateInfo(cert.get(), &r.info);
    EXPECT_EQ(r.info.validFrom, 1388577600);  // 2014-01-01 12:00:00
    EXPECT_EQ(r.info.validTo, 2569226400);    // 2051-06-01 10:00:00
    EXPECT_STREQ(r.info.commonName, "Dated");

    // A second reading releases the first texts (the leak checker of the sanitizer build sees it).
    KVBSignLibInternal::readCertificateInfo(pki().leaf.cert.get(), &r.info);
    EXPECT_STREQ(r.info.commonName, "KVB Test Leaf");
    EXPECT_STREQ(r.info.organizationalUnit, "Unit A Unit B");

    // Missing texts are simply filled.
    KCertificateInfo bare{};
    KVBSignLibInternal::readCertificateInfo(cert.get(), &bare);
    EXPECT_STREQ(bare.distinguishedName, "/CN=Dated");
    EXPECT_STREQ(bare.organizationalUnit, "");
    KVBSign_releaseCertificateData(&bare);
}

// --- trust ---

class TrustTest : public ::testing::Test {
protected:
    kvtest::ScratchDir dir_;

    std::string bundle(const std::string& name, const std::vector<X509*>& certs) {
        kvtest::writePemBundle(dir_.file(name), certs);
        return dir_.file(name);
    }

    int trust(const std::string& storePath, const std::string& doc) {
        kvtest::ScopedEnv env("SSL_CERT_FILE", storePath);
        Record r;
        KVBSignLibInternal::checkIfOSTrusted(doc, &r.info);
        return r.info.osTrusted;
    }
};

TEST_F(TrustTest, ChainMustReachARootOfTheStore) {
    auto& p = pki();
    const auto tempBefore = kvtest::kvbsignTempEntries();
    kvtest::writeFile(dir_.file("garbage.pem"), "junk\n" + kvtest::toPem(p.unrelatedRoot.cert.get()) + "junk\n" +
                                                    kvtest::toPem(p.root.cert.get()) + "junk");
    kvtest::writeFile(dir_.file("empty.pem"), "");
    const std::string good = defaultDocument();
    const std::string noIntermediate = document({b64(p.leaf.cert.get()), b64(p.root.cert.get())});
    const std::string selfSigned = document({b64(p.unrelatedRoot.cert.get())});

    struct TrustCase {
        const char* name;
        std::string store;
        std::string doc;
        int want;
    };
    const TrustCase cases[] = {
        {"root in the store", bundle("root.pem", {p.root.cert.get()}), good, 1},
        {"intermediate in the store", bundle("mid.pem", {p.intermediate.cert.get()}), good, 1},
        {"root among garbage", dir_.file("garbage.pem"), good, 1},
        {"only an unrelated root", bundle("other.pem", {p.unrelatedRoot.cert.get()}), good, 0},
        {"chain does not build", dir_.file("root.pem"), noIntermediate, 0},
        {"self-signed signer in the store", dir_.file("other.pem"), selfSigned, 1},
        {"self-signed signer not in the store", dir_.file("root.pem"), selfSigned, 0},
        {"empty store trusts nothing", dir_.file("empty.pem"), good, 0},
        {"store cannot be opened", dir_.file("missing.pem"), good, -1},
    };
    for (const TrustCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(trust(c.store, c.doc), c.want);
    }
    EXPECT_TRUE(kvtest::newTempEntries(tempBefore, kvtest::certificateStepHints()).empty());
}

// Stands in for the platform's own check: keeps what the file it is handed holds.
std::string gCheckedPem;
void keepCheckedPem(const std::string& pemFile) {
    try {
        gCheckedPem = kvtest::readFile(pemFile);
    } catch (const std::exception& e) {
        gCheckedPem = std::string("unreadable: ") + e.what();
    }
}

struct ChainCheckOverride {
    explicit ChainCheckOverride(void (*check)(const std::string&)) {
        kvbsign::system_check::setChainCheckForTesting(check);
    }
    ~ChainCheckOverride() { kvbsign::system_check::setChainCheckForTesting(nullptr); }
};

// The chain handed to the platform's own check is the KeyInfo texts, verbatim, in PEM blocks.
TEST_F(TrustTest, PemFileForThePlatformCheck) {
    auto& p = pki();
    ChainCheckOverride check(&keepCheckedPem);
    gCheckedPem.clear();

    const std::string t1 = b64(p.leaf.cert.get(), true);  // ends without a line break
    const std::string t2 = "\n" + b64(p.intermediate.cert.get(), true) + "\n";
    const std::string t3 = b64(p.root.cert.get());
    EXPECT_EQ(trust(bundle("root.pem", {p.root.cert.get()}), document({t1, t2, t3})), 1);

    const std::string want = "-----BEGIN CERTIFICATE-----\n" + t1 + "-----END CERTIFICATE-----\n" +
                             "-----BEGIN CERTIFICATE-----\n" + t2 + "-----END CERTIFICATE-----\n" +
                             "-----BEGIN CERTIFICATE-----\n" + t3 + "-----END CERTIFICATE-----\n";
    EXPECT_EQ(gCheckedPem, want);
}

// This platform has no command for its own check: no shell starts, and a program named like
// that command first on the search path never runs with the chain's file.
TEST_F(TrustTest, PlatformCheckStartsNoProgram) {
    auto& p = pki();
    const std::string ran = dir_.file("ran");
    kvtest::writeFile(dir_.file("bin/security"), "#!/bin/sh\necho \"security $*\" >> '" + ran + "'\n");
    kvtest::writeFile(dir_.file("shell"), "#!/bin/sh\necho shell >> '" + ran + "'\nexec /bin/sh \"$@\"\n");
    ASSERT_EQ(chmod(dir_.file("bin/security").c_str(), 0755), 0);
    ASSERT_EQ(chmod(dir_.file("shell").c_str(), 0755), 0);
    const char* oldPath = getenv("PATH");
    kvtest::ScopedEnv path("PATH", dir_.file("bin") + ":" + (oldPath ? oldPath : "/usr/bin:/bin"));
    struct ShellOverride {
        explicit ShellOverride(const std::string& shell) { kvbsignSetShellForTesting(shell.c_str()); }
        ~ShellOverride() { kvbsignSetShellForTesting(nullptr); }
    } shell(dir_.file("shell"));

    EXPECT_EQ(trust(bundle("root.pem", {p.root.cert.get()}), defaultDocument()), 1);
    EXPECT_FALSE(boost::filesystem::exists(ran)) << kvtest::readFile(ran);
}

TEST_F(TrustTest, CertificateInformationDescribesTheKeyInfoSigner) {
    auto& p = pki();
    kvtest::ScopedEnv env("SSL_CERT_FILE", bundle("root.pem", {p.root.cert.get()}));
    const std::string decoy = "<Object>" + certElement(b64(p.unrelatedRoot.cert.get())) + "</Object>";

    Record r;
    bool allFetched = true;
    long signingTime = 0;
    KVBSignLibInternal::getCertificateInformation(defaultDocument(decoy), &r.info, &allFetched, signingTime, true);
    EXPECT_STREQ(r.info.distinguishedName, kvtest::subjectOneLine(p.leaf.cert.get()).c_str());
    EXPECT_STREQ(r.info.commonName, "KVB Test Leaf");
    EXPECT_STREQ(r.info.organizationalUnit, "Unit A Unit B");
    EXPECT_EQ(r.info.validTo - r.info.validFrom, 395 * 86400L);  // 30 days before to 365 days after
    EXPECT_EQ(r.info.osTrusted, 1);
    EXPECT_EQ(r.info.revoked, -1);
    EXPECT_EQ(r.info.timestampStatus, 77);
    EXPECT_TRUE(allFetched);
}

TEST_F(TrustTest, UndecodableSignerLeavesTheRecordAlone) {
    auto& p = pki();
    kvtest::ScopedEnv env("SSL_CERT_FILE", bundle("root.pem", {p.root.cert.get()}));
    const std::string docs[] = {
        document({"@@@", b64(p.intermediate.cert.get()), b64(p.root.cert.get())}),
        "<signatures><Signature><KeyInfo><KeyName>none</KeyName></KeyInfo></Signature></signatures>",
    };
    for (const std::string& doc : docs) {
        SCOPED_TRACE(doc.substr(0, 80));
        Record r;
        bool allFetched = true;
        long signingTime = 0;
        KVBSignLibInternal::getCertificateInformation(doc, &r.info, &allFetched, signingTime, true);
        EXPECT_STREQ(r.info.distinguishedName, "");
        EXPECT_STREQ(r.info.commonName, "");
        EXPECT_STREQ(r.info.organizationalUnit, "");
        EXPECT_EQ(r.info.validFrom, 12345);
        EXPECT_EQ(r.info.validTo, 67890);
        EXPECT_EQ(r.info.osTrusted, 0);
        EXPECT_EQ(r.info.revoked, -1);
    }
}

}  // namespace
