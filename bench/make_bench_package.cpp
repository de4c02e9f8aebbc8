// Writes a signed extension root directory for the benchmark: "mimetype", <count> files of
// <size> pseudo-random bytes in directories of 1000, and META-INF/signatures.xml in the compact
// canonical layout, signed RSA-SHA1 with the given key. Standalone (OpenSSL only), so the
// benchmark does not depend on the test fixtures.
//
//   make_bench_package <dir> <count> <size> <key.pem> <cert.pem>...

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

namespace {

const std::string kNs = "http://www.w3.org/2000/09/xmldsig#";
const std::string kSha256 = "http://www.w3.org/2001/04/xmlenc#sha256";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

std::string b64(const unsigned char* p, std::size_t n) {
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int len = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), p, static_cast<int>(n));
    out.resize(static_cast<std::size_t>(len));
    return out;
}

std::string b64(const std::string& s) { return b64(reinterpret_cast<const unsigned char*>(s.data()), s.size()); }

void makeDir(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) fail("mkdir " + path);
}

// Writes `size` bytes from a seeded generator and returns their SHA-256 in base64.
std::string writeFile(const std::string& path, std::uint64_t size, std::uint64_t seed) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) fail("open " + path);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr);
    std::vector<std::uint64_t> buf(1 << 17);  // 1 MiB
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ULL + 1;
    while (size > 0) {
        for (auto& w : buf) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            w = x;
        }
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, buf.size() * 8));
        if (std::fwrite(buf.data(), 1, n, f) != n) fail("write " + path);
        EVP_DigestUpdate(ctx.get(), buf.data(), n);
        size -= n;
    }
    if (std::fclose(f) != 0) fail("close " + path);
    unsigned char md[32];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    return b64(md, 32);
}

std::string sha256(const std::string& s) {
    unsigned char md[32];
    unsigned int len = 0;
    EVP_Digest(s.data(), s.size(), md, &len, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<char*>(md), 32);
}

std::string reference(const std::string& uri, const std::string& digest, const std::string& type = "") {
    return "<Reference URI=\"" + uri + "\"" + type + "><DigestMethod Algorithm=\"" + kSha256 +
           "\"></DigestMethod><DigestValue>" + digest + "</DigestValue></Reference>";
}

std::string certificateText(const std::string& pemPath) {
    std::FILE* f = std::fopen(pemPath.c_str(), "r");
    if (!f) fail("open " + pemPath);
    X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!cert) fail("no certificate in " + pemPath);
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    X509_free(cert);
    if (len <= 0) fail("encode " + pemPath);
    std::string text = b64(der, static_cast<std::size_t>(len));
    OPENSSL_free(der);
    return text;
}

std::string sign(const std::string& keyPath, const std::string& text) {
    std::FILE* f = std::fopen(keyPath.c_str(), "r");
    if (!f) fail("open " + keyPath);
    EVP_PKEY* key = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
    std::fclose(f);
    if (!key) fail("no key in " + keyPath);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::string sig(static_cast<std::size_t>(EVP_PKEY_get_size(key)), '\0');
    std::size_t len = sig.size();
    bool ok = EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key) == 1 &&
              EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len,
                             reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
    EVP_PKEY_free(key);
    if (!ok) fail("signing failed");
    sig.resize(len);
    return sig;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::cerr << "usage: make_bench_package <dir> <count> <size> <key.pem> <cert.pem>...\n";
        return 2;
    }
    try {
        const std::string dir = argv[1];
        const long count = std::atol(argv[2]);
        const std::uint64_t size = std::strtoull(argv[3], nullptr, 10);
        makeDir(dir);
        makeDir(dir + "/META-INF");
        makeDir(dir + "/data");

        std::string refs;
        {
            const std::string mimetype = "application/vnd.kvb";
            std::ofstream(dir + "/mimetype", std::ios::binary) << mimetype;
            refs += reference("mimetype", b64(sha256(mimetype)));
        }
        for (long i = 0; i < count; ++i) {
            char sub[32], name[64];
            std::snprintf(sub, sizeof sub, "data/d%04ld", i / 1000);
            std::snprintf(name, sizeof name, "%s/f%06ld.bin", sub, i);
            if (i % 1000 == 0) makeDir(dir + "/" + sub);
            refs += reference(name, writeFile(dir + "/" + name, size, static_cast<std::uint64_t>(i) + 1));
        }

        const std::string manifestDigest =
            b64(sha256("<Manifest xmlns=\"" + kNs + "\" Id=\"PackageContents\">" + refs + "</Manifest>"));
        const std::string signedInner =
            "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\">"
            "</CanonicalizationMethod><SignatureMethod Algorithm=\"" + kNs + "rsa-sha1\"></SignatureMethod>" +
            reference("#PackageContents", manifestDigest, " Type=\"" + kNs + "Manifest\"");
        const std::string signature = b64(sign(argv[4], "<SignedInfo xmlns=\"" + kNs + "\">" + signedInner + "</SignedInfo>"));

        std::string certs;
        for (int i = 5; i < argc; ++i) certs += "<X509Certificate>" + certificateText(argv[i]) + "</X509Certificate>";

        std::ofstream doc(dir + "/META-INF/signatures.xml", std::ios::binary);
        doc << "<signatures><Signature xmlns=\"" << kNs << "\" Id=\"PackageSignature\"><SignedInfo>" << signedInner
            << "</SignedInfo><SignatureValue Id=\"PackageSignatureValue\">" << signature
            << "</SignatureValue><KeyInfo><X509Data>" << certs << "</X509Data></KeyInfo><Object><Manifest Id=\"PackageContents\">"
            << refs << "</Manifest></Object></Signature></signatures>";
        if (!doc.flush()) fail("write signatures.xml");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "make_bench_package: " << e.what() << "\n";
        return 1;
    }
}
