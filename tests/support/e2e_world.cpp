#include "e2e_world.h"

#include <stdexcept>

#include <openssl/asn1.h>

#include "crl_fixtures.h"
#include "tsa.h"

namespace kvtest {
namespace e2e {

const char* const kRevokedUnknownText =
    "Unknown - Signer's CRL could not be retrieved or CRL check was skipped. Offline?";
const char* const kTimestampNone = "None";
const char* const kTimestampWithin = "Valid and within certificate validity dates at time of signing";
const char* const kTimestampOutside = "Valid timestamp, but outside certificate validity dates";
const char* const kTimestampUnverifiable = "Unverifiable";
const char* const kTimestampInvalid = "Invalid timestamp";

namespace {

const time_t kDay = 24 * 60 * 60;

Signer shared(const CertAndKey& from, const std::string& cn, const std::string& ou, const std::string& dn) {
    Signer s;
    s.id.cert = dupCert(from.cert.get());
    s.id.key = shareKey(from.key.get());
    s.cn = cn;
    s.ou = ou;
    s.dn = dn;
    return s;
}

// An end-entity signer "C=GB, O=KVB Test Signers, CN=cn" issued by the test intermediate.
// Validity 0/0: the standard one around now.
Signer issued(const std::string& cn, const std::string& serialHex, const std::vector<std::string>& crlUrls,
              time_t notBefore = 0, time_t notAfter = 0) {
    CertSpec spec = leafSpec(cn, serialHex);
    spec.crlUrls = crlUrls;
    spec.notBefore = notBefore;
    spec.notAfter = notAfter;
    Signer s;
    // The signer's key is irrelevant to what these suites check; sharing one saves key making.
    s.id.key = shareKey(pki().leaf.key.get());
    s.id.cert = makeCert(spec, s.id.key.get(), pki().intermediate.cert.get(), pki().intermediate.key.get());
    s.cn = cn;
    s.ou = "";
    s.dn = "/C=GB/O=KVB Test Signers/CN=" + cn;
    return s;
}

// The date of an ASN.1 time cut to the hour, in a zone utcOffsetHours east of UTC.
std::string zoneDate(const ASN1_TIME* t, int utcOffsetHours) {
    struct tm parts {};
    if (ASN1_TIME_to_tm(t, &parts) != 1) throw std::runtime_error("certificate date does not parse");
    parts.tm_min = 0;
    parts.tm_sec = 0;
    const time_t shifted = timegm(&parts) + static_cast<time_t>(utcOffsetHours) * 3600;
    struct tm local {};
    gmtime_r(&shifted, &local);
    char buffer[20] = "";
    strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    return buffer;
}

}  // namespace

World::World(const std::vector<std::string>& serverAddresses, const std::string& deadAddress) {
    if (serverAddresses.empty()) throw std::invalid_argument("no server address");
    for (const std::string& address : serverAddresses) {
        server_.reset(new LoopbackHttpServer(address));
        if (server_->started()) break;
    }
    // The certificates name whichever address the server got (the last one tried when none).
    const std::string serverAddress = server_->address();
    const time_t now = time(nullptr);
    const std::string cleanUrl = "http://" + serverAddress + "/clean.crl";
    const std::string revokedUrl = "http://" + serverAddress + "/revoked.crl";
    const std::string deadUrl = "http://" + deadAddress + "/signer.crl";

    plain = shared(pki().leaf, "KVB Test Leaf", "Unit A Unit B",
                   "/C=GB/O=KVB Test Signers/OU=Unit A/OU=Unit B/CN=KVB Test Leaf");
    expired = shared(pki().expiredLeaf, "KVB Test Expired Leaf", "", "/C=GB/O=KVB Test Signers/CN=KVB Test Expired Leaf");
    notYetValid =
        shared(pki().notYetValidLeaf, "KVB Test Future Leaf", "", "/C=GB/O=KVB Test Signers/CN=KVB Test Future Leaf");
    crlClean = issued("KVB E2E Clean", "9A01", {cleanUrl});
    crlRevoked = issued("KVB E2E Revoked", "9A02", {revokedUrl});
    crlDead = issued("KVB E2E Offline", "9A03", {deadUrl});
    expiredCrlDead = issued("KVB E2E Expired Offline", "9A04", {deadUrl}, now - 60 * kDay, now - 2 * kDay);
    cacheListed = issued("KVB E2E Cached", "9A05", {});

    trustedBundle = path("roots/trusted.pem");
    untrustedBundle = path("roots/untrusted.pem");
    missingBundle = path("roots/missing.pem");
    writePemBundle(trustedBundle, {pki().root.cert.get()});
    writePemBundle(untrustedBundle, {pki().unrelatedRoot.cert.get()});

    noCache = path("crl/no-cache.db");
    revokedCache = path("crl/revoked-cache.db");
    writeFile(revokedCache, makeCrlDer({{"9A05", now - kDay}}, &pki().intermediate));

    // Current lists of the signers' issuer: only such a list speaks for them.
    if (server_->started()) {
        server_->on("/clean.crl", HttpReply::ok(makeCrlDer({{"9AFF", now - kDay}}, &pki().intermediate)));
        server_->on("/revoked.crl", HttpReply::ok(makeCrlDer({{"9A02", now - kDay}}, &pki().intermediate)));
    }
}

std::vector<std::string> addressRange(const std::string& prefix, int first, int last) {
    std::vector<std::string> addresses;
    for (int n = first; n <= last; ++n) addresses.push_back(prefix + std::to_string(n));
    return addresses;
}

std::string World::serverProblem() const {
    return "cannot serve HTTP on " + server_->address() + ":80 (" + server_->startError() +
           "); binding port 80 needs root or CAP_NET_BIND_SERVICE";
}

PackageBuilder World::builder(const Signer& signer) const {
    PackageBuilder b;
    b.signer(signer.id.key.get())
        .keyInfoCerts({signer.id.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
        .addFile("index.html", "<html><body>e2e</body></html>\n")
        .addFile("scripts/main.js", "console.log('e2e');\n")
        .addFile("data/blob.bin", std::string("\x00\x01\x02\xff", 4));
    return b;
}

SignedPackage World::build(const Signer& signer, const std::string& name) const {
    return builder(signer).build(path(name));
}

std::string World::timestamp(const SignedPackage& package, time_t genTime, bool oneByteOff) {
    std::string message = package.timestampMessageText;
    if (oneByteOff) message[message.size() / 2] ^= 0x01;
    return base64(grantedResponse(defaultTsa(), message, genTime));
}

EnvList World::env(Roots roots, const std::string& cache) const {
    const std::string& bundle =
        roots == Roots::Trusted ? trustedBundle : roots == Roots::Untrusted ? untrustedBundle : missingBundle;
    return {{"TZ", "UTC"}, {"SSL_CERT_FILE", bundle}, {"KVBSIGN_CRL_CACHE", cache.empty() ? noCache : cache}};
}

std::string expectedReport(const Signer& signer, const std::string& trusted, const std::string& revoked,
                           const std::string& timestamp, bool validNow, int utcOffsetHours) {
    const std::string from = zoneDate(X509_get0_notBefore(signer.id.cert.get()), utcOffsetHours);
    const std::string to = zoneDate(X509_get0_notAfter(signer.id.cert.get()), utcOffsetHours);
    std::string r = "*********** Certificate Information ***********\n";
    r += "CN: " + signer.cn + "\n";
    r += "OU: " + signer.ou + "\n";
    r += "DN: " + signer.dn + "\n";
    r += "OS Trusted: " + trusted + "\n";
    r += "Revoked: " + revoked + "\n";
    r += "Timestamp: " + timestamp + "\n";
    if (validNow)
        r += "Signing Certificate: Valid (from " + from + " until " + to + ")\n";
    else
        r += "Signing Certificate: Expired/Outwith validity period (" + from + " to " + to + ")\n";
    r += std::string(47, '*') + "\n";
    return r;
}

}  // namespace e2e
}  // namespace kvtest
