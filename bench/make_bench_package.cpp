// Writes a signed extension root directory for the benchmark, signed RSA-SHA1 with the given
// key. Standalone (OpenSSL only), so the benchmark does not depend on the test fixtures or on
// the library's own rewriting rules.
//
//   make_bench_package <dir> <count> <size> <key.pem> <cert.pem>...
//       "mimetype", <count> files of <size> pseudo-random bytes in directories of 1000, and
//       META-INF/signatures.xml in the compact canonical layout.
//
//   make_bench_package --hostile <kind> <bytes> <dir> <key.pem> <cert.pem>...
//       "mimetype", one file of 4 KB, and a signature document that carries about <bytes>
//       bytes of hostile text. The signature and the manifest digest cover the hostile text,
//       so a verifier has to run every rewriting and decoding step over it. Kinds:
//         entities   one extra Reference whose URI is a run of "&quot;" (does not verify: no
//                    such file)
//         escapes    the same with a run of "%22"
//         slashes    a run of "/>" inside an element, half in SignedInfo, half in the Manifest
//         blanks     a run of blanks after "> ", half in SignedInfo, half in the Manifest
//         linebreaks a run of CR LF between tags (the signature variant, whose canonical forms
//                    drop line breaks), half in SignedInfo, half in the Manifest
//         elements   "<a/> " repeated, half in SignedInfo, half in the Manifest
//       Two kinds put their cost into what the certificates and the timestamp carry, not into
//       text; their <bytes> only scales a count (per MiB: 50,000 and 4,000):
//         crlpoints  the signer is a self-signed certificate (made for the key given) whose one
//                    CRL distribution point URI repeats "http://a." 50,000 times a MiB
//         tokencerts a timestamp over the signature whose token carries 4,000 certificates a
//                    MiB (the first certificate given, over and over, after the authority's
//                    own: a self-signed one made for the key given)
//
// Every piece of the document is built as a pair (text as written, text after the canonical
// rewriting), so the signer never runs the rewriting itself.

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/ts.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace {

const std::string kNs = "http://www.w3.org/2000/09/xmldsig#";
const std::string kSha256 = "http://www.w3.org/2001/04/xmlenc#sha256";
const std::string kMimetype = "application/vnd.kvb";

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

// A piece of the document: the text written and the text that the canonical rewriting of the
// document makes of it.
struct Piece {
    std::string written;
    std::string canonical;

    void add(const std::string& both) { add(both, both); }
    void add(const std::string& w, const std::string& c) {
        written += w;
        canonical += c;
    }
};

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

using X509Ptr = std::unique_ptr<X509, decltype(&X509_free)>;
using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;

X509Ptr readCertificate(const std::string& pemPath) {
    std::FILE* f = std::fopen(pemPath.c_str(), "r");
    if (!f) fail("open " + pemPath);
    X509Ptr cert(PEM_read_X509(f, nullptr, nullptr, nullptr), X509_free);
    std::fclose(f);
    if (!cert) fail("no certificate in " + pemPath);
    return cert;
}

KeyPtr readKey(const std::string& keyPath) {
    std::FILE* f = std::fopen(keyPath.c_str(), "r");
    if (!f) fail("open " + keyPath);
    KeyPtr key(PEM_read_PrivateKey(f, nullptr, nullptr, nullptr), EVP_PKEY_free);
    std::fclose(f);
    if (!key) fail("no key in " + keyPath);
    return key;
}

std::string derOf(X509* cert) {
    unsigned char* der = nullptr;
    int len = i2d_X509(cert, &der);
    if (len <= 0) fail("encode a certificate");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(len));
    OPENSSL_free(der);
    return out;
}

std::string certificateText(const std::string& pemPath) { return b64(derOf(readCertificate(pemPath).get())); }

std::string sign(const std::string& keyPath, const std::string& text) {
    KeyPtr key = readKey(keyPath);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::string sig(static_cast<std::size_t>(EVP_PKEY_get_size(key.get())), '\0');
    std::size_t len = sig.size();
    bool ok = EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, key.get()) == 1 &&
              EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(&sig[0]), &len,
                             reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
    if (!ok) fail("signing failed");
    sig.resize(len);
    return sig;
}

void addExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!ext) fail("extension " + value.substr(0, 40));
    const bool added = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    if (!added) fail("add an extension");
}

// A self-signed certificate for the key, valid from a day ago for two days, with the
// extensions given (nid, value in the configuration syntax).
X509Ptr selfSigned(EVP_PKEY* key, const std::string& commonName,
                   const std::vector<std::pair<int, std::string>>& extensions) {
    X509Ptr cert(X509_new(), X509_free);
    if (!cert || X509_set_version(cert.get(), 2) != 1) fail("new certificate");
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 0x4b5642);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 2 * 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key);
    for (const auto& e : extensions) addExtension(cert.get(), e.first, e.second);
    if (X509_sign(cert.get(), key, EVP_sha256()) <= 0) fail("sign a certificate");
    return cert;
}

// An RFC 3161 response over `message` from a self-signed authority of the key, its token
// carrying the authority's certificate and `extraCount` copies of `extra`.
std::string timestampResponse(EVP_PKEY* key, X509* extra, std::size_t extraCount, const std::string& message) {
    X509Ptr authority = selfSigned(key, "KVB Bench TSA", {{NID_ext_key_usage, "critical,timeStamping"}});
    unsigned char imprint[20];
    SHA1(reinterpret_cast<const unsigned char*>(message.data()), message.size(), imprint);

    std::unique_ptr<TS_REQ, decltype(&TS_REQ_free)> request(TS_REQ_new(), TS_REQ_free);
    std::unique_ptr<TS_MSG_IMPRINT, decltype(&TS_MSG_IMPRINT_free)> msg(TS_MSG_IMPRINT_new(), TS_MSG_IMPRINT_free);
    std::unique_ptr<X509_ALGOR, decltype(&X509_ALGOR_free)> algorithm(X509_ALGOR_new(), X509_ALGOR_free);
    if (!request || !msg || !algorithm ||
        X509_ALGOR_set0(algorithm.get(), OBJ_nid2obj(NID_sha1), V_ASN1_NULL, nullptr) != 1 ||
        TS_MSG_IMPRINT_set_algo(msg.get(), algorithm.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(msg.get(), imprint, sizeof imprint) != 1 || TS_REQ_set_version(request.get(), 1) != 1 ||
        TS_REQ_set_msg_imprint(request.get(), msg.get()) != 1 || TS_REQ_set_cert_req(request.get(), 1) != 1)
        fail("timestamp request");
    unsigned char* requestDer = nullptr;
    const int requestLength = i2d_TS_REQ(request.get(), &requestDer);
    if (requestLength <= 0) fail("encode the timestamp request");
    std::unique_ptr<BIO, decltype(&BIO_free)> in(BIO_new_mem_buf(requestDer, requestLength), BIO_free);

    std::unique_ptr<STACK_OF(X509), void (*)(STACK_OF(X509)*)> copies(
        sk_X509_new_null(), [](STACK_OF(X509)* s) { sk_X509_pop_free(s, X509_free); });
    for (std::size_t i = 0; copies && i < extraCount; ++i) {
        if (X509_up_ref(extra) != 1 || sk_X509_push(copies.get(), extra) <= 0) fail("certificate copies");
    }
    std::unique_ptr<TS_RESP_CTX, decltype(&TS_RESP_CTX_free)> ctx(TS_RESP_CTX_new(), TS_RESP_CTX_free);
    std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> policy(OBJ_txt2obj("1.3.6.1.4.1.4146.1.2", 1),
                                                                     ASN1_OBJECT_free);
    if (!in || !copies || !ctx || !policy || TS_RESP_CTX_set_signer_cert(ctx.get(), authority.get()) != 1 ||
        TS_RESP_CTX_set_signer_key(ctx.get(), key) != 1 || TS_RESP_CTX_set_certs(ctx.get(), copies.get()) != 1 ||
        TS_RESP_CTX_set_def_policy(ctx.get(), policy.get()) != 1 || TS_RESP_CTX_add_md(ctx.get(), EVP_sha1()) != 1)
        fail("timestamp authority");
    std::unique_ptr<TS_RESP, decltype(&TS_RESP_free)> response(TS_RESP_create_response(ctx.get(), in.get()),
                                                                TS_RESP_free);
    OPENSSL_free(requestDer);
    if (!response) fail("timestamp response");
    unsigned char* der = nullptr;
    const int length = i2d_TS_RESP(response.get(), &der);
    if (length <= 0) fail("encode the timestamp response");
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return out;
}

std::string repeat(const std::string& unit, std::size_t count) {
    std::string out;
    out.reserve(unit.size() * count);
    for (std::size_t i = 0; i < count; ++i) out += unit;
    return out;
}

struct Document {
    bool variant = false;      // SignatureMethod in the collapsed form that marks the variant
    Piece signedInfoExtra;     // after the manifest Reference inside SignedInfo
    Piece manifest;            // the content of the Manifest element
    std::vector<std::string> keyInfo;  // base64 certificates for KeyInfo; empty: those of the paths given
    // Given: a timestamp Object after the manifest Object, around the base64 response this
    // makes from the text the authority stamps (the signature value as the document holds it).
    std::function<std::string(const std::string& stamped)> timestamp;
};

// Writes <dir>/META-INF/signatures.xml for the document, signed with the key; the certificates
// go into KeyInfo in the order given.
void writeSignedDocument(const std::string& dir, const Document& d, const std::string& keyPath,
                         const std::vector<std::string>& certPaths) {
    const std::string manifestDigest =
        b64(sha256("<Manifest xmlns=\"" + kNs + "\" Id=\"PackageContents\">" + d.manifest.canonical + "</Manifest>"));

    Piece signedInfo;
    signedInfo.add("<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\">"
                   "</CanonicalizationMethod>");
    if (d.variant) {
        const std::string head = "<SignatureMethod Algorithm=\"http://www.w3.org/TR/xmldsig-core#rsa-sha1\"";
        signedInfo.add(head + "/>", head + "></SignatureMethod>");
    } else {
        signedInfo.add("<SignatureMethod Algorithm=\"" + kNs + "rsa-sha1\"></SignatureMethod>");
    }
    signedInfo.add(reference("#PackageContents", manifestDigest, " Type=\"" + kNs + "Manifest\""));
    signedInfo.add(d.signedInfoExtra.written, d.signedInfoExtra.canonical);

    const std::string signature =
        b64(sign(keyPath, "<SignedInfo xmlns=\"" + kNs + "\">" + signedInfo.canonical + "</SignedInfo>"));

    std::string certs;
    if (d.keyInfo.empty()) {
        for (const std::string& p : certPaths) certs += "<X509Certificate>" + certificateText(p) + "</X509Certificate>";
    } else {
        for (const std::string& text : d.keyInfo) certs += "<X509Certificate>" + text + "</X509Certificate>";
    }
    std::string timestamp;
    if (d.timestamp) {
        timestamp = "<Object><xades:QualifyingProperties xmlns:xades=\"http://uri.etsi.org/01903/v1.3.2#\" "
                    "Target=\"#PackageSignature\"><xades:UnsignedProperties><xades:UnsignedSignatureProperties>"
                    "<xades:SignatureTimeStamp><xades:EncapsulatedTimeStamp>" +
                    d.timestamp("<SignatureValue xmlns=\"" + kNs + "\" Id=\"PackageSignatureValue\">" + signature +
                                "</SignatureValue>") +
                    "</xades:EncapsulatedTimeStamp></xades:SignatureTimeStamp></xades:UnsignedSignatureProperties>"
                    "</xades:UnsignedProperties></xades:QualifyingProperties></Object>";
    }

    std::ofstream doc(dir + "/META-INF/signatures.xml", std::ios::binary);
    doc << "<signatures><Signature xmlns=\"" << kNs << "\" Id=\"PackageSignature\"><SignedInfo>" << signedInfo.written
        << "</SignedInfo><SignatureValue Id=\"PackageSignatureValue\">" << signature
        << "</SignatureValue><KeyInfo><X509Data>" << certs
        << "</X509Data></KeyInfo><Object><Manifest Id=\"PackageContents\">" << d.manifest.written
        << "</Manifest></Object>" << timestamp << "</Signature></signatures>";
    if (!doc.flush()) fail("write signatures.xml");
}

// Makes the root directory with its mimetype file; returns the mimetype's Reference.
std::string startPackage(const std::string& dir) {
    makeDir(dir);
    makeDir(dir + "/META-INF");
    makeDir(dir + "/data");
    std::ofstream(dir + "/mimetype", std::ios::binary) << kMimetype;
    return reference("mimetype", b64(sha256(kMimetype)));
}

// The kinds whose cost lies in what a certificate or the timestamp carries; `bytes` scales
// their count.
bool addHostileCarrier(Document& d, const std::string& kind, std::size_t bytes, const std::string& keyPath,
                       const std::vector<std::string>& certPaths) {
    const std::size_t mebibytes = std::max<std::size_t>(1, bytes >> 20);
    if (kind == "crlpoints") {
        const std::string uri = "URI:" + repeat("http://a.", 50000 * mebibytes);
        KeyPtr key = readKey(keyPath);
        d.keyInfo = {b64(derOf(selfSigned(key.get(), "KVB Bench Points", {{NID_crl_distribution_points, uri}}).get()))};
        return true;
    }
    if (kind == "tokencerts") {
        if (certPaths.empty()) fail("tokencerts needs a certificate");
        const std::string keyFile = keyPath;
        const std::string certFile = certPaths.front();
        const std::size_t count = 4000 * mebibytes;
        d.timestamp = [keyFile, certFile, count](const std::string& stamped) {
            KeyPtr key = readKey(keyFile);
            X509Ptr extra = readCertificate(certFile);
            return b64(timestampResponse(key.get(), extra.get(), count - 1, stamped));
        };
        return true;
    }
    return false;
}

// The hostile text of one kind, about `bytes` long, split between SignedInfo and Manifest
// where the kind says so.
void addHostileText(Document& d, const std::string& kind, std::size_t bytes) {
    // A Reference whose URI is the run; its digest is that of the empty file.
    auto uriRun = [&](const std::string& unit) {
        d.manifest.add(reference(repeat(unit, bytes / unit.size()), b64(sha256(""))));
    };
    // Places the run in an element of its own, half of it in each signed element.
    auto split = [&](const std::string& unit, auto&& pieceOf) {
        const std::size_t count = bytes / unit.size();
        d.signedInfoExtra = pieceOf(count / 2);
        const Piece m = pieceOf(count - count / 2);
        d.manifest.add(m.written, m.canonical);
    };
    if (kind == "entities") {
        uriRun("&quot;");
    } else if (kind == "escapes") {
        uriRun("%22");
    } else if (kind == "slashes") {
        // The first "/>" closes <x>; each further one only becomes ">", since no "<" precedes it.
        split("/>", [](std::size_t n) {
            Piece p;
            if (n == 0) return p;
            p.add("<x>" + repeat("/>", n) + "</x>", "<x>></x>" + repeat(">", n - 1) + "</x>");
            return p;
        });
    } else if (kind == "blanks") {
        // Everything between "> " and the next "<" is deleted.
        split(" ", [](std::size_t n) {
            Piece p;
            p.add("<x>" + repeat(" ", n) + "</x>", "<x></x>");
            return p;
        });
    } else if (kind == "linebreaks") {
        // The variant's canonical forms drop every CR and LF.
        d.variant = true;
        split("\r\n", [](std::size_t n) {
            Piece p;
            p.add("<x>" + repeat("\r\n", n) + "</x>", "<x></x>");
            return p;
        });
    } else if (kind == "elements") {
        // Each blank lies between "> " and a "<", so it is deleted; then <a/> opens and closes.
        split("<a/> ", [](std::size_t n) {
            Piece p;
            p.add(repeat("<a/> ", n), repeat("<a></a>", n));
            return p;
        });
    } else {
        fail("unknown kind " + kind);
    }
}

int usage() {
    std::cerr << "usage: make_bench_package <dir> <count> <size> <key.pem> <cert.pem>...\n"
                 "       make_bench_package --hostile entities|escapes|slashes|blanks|linebreaks|elements|crlpoints|"
                 "tokencerts <bytes> <dir> <key.pem> <cert.pem>...\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        Document d;
        std::string dir, keyPath;
        std::vector<std::string> certPaths;
        if (argc >= 7 && std::strcmp(argv[1], "--hostile") == 0) {
            const std::string kind = argv[2];
            const std::size_t bytes = std::strtoull(argv[3], nullptr, 10);
            dir = argv[4];
            keyPath = argv[5];
            certPaths.assign(argv + 6, argv + argc);
            d.manifest.add(startPackage(dir));
            const std::string name = "data/f000000.bin";
            const std::string fileRef = reference(name, writeFile(dir + "/" + name, 4096, 1));
            if (!addHostileCarrier(d, kind, bytes, keyPath, certPaths)) addHostileText(d, kind, bytes);
            // After the hostile text, so that runs between tags always meet a "<".
            d.manifest.add(fileRef);
        } else if (argc >= 6 && argv[1][0] != '-') {
            dir = argv[1];
            const long count = std::atol(argv[2]);
            const std::uint64_t size = std::strtoull(argv[3], nullptr, 10);
            keyPath = argv[4];
            certPaths.assign(argv + 5, argv + argc);
            d.manifest.add(startPackage(dir));
            for (long i = 0; i < count; ++i) {
                char sub[32], name[64];
                std::snprintf(sub, sizeof sub, "data/d%04ld", i / 1000);
                std::snprintf(name, sizeof name, "%s/f%06ld.bin", sub, i);
                if (i % 1000 == 0) makeDir(dir + "/" + sub);
                d.manifest.add(reference(name, writeFile(dir + "/" + name, size, static_cast<std::uint64_t>(i) + 1)));
            }
        } else {
            return usage();
        }
        writeSignedDocument(dir, d, keyPath, certPaths);
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "make_bench_package: " << e.what() << "\n";
        return 1;
    }
}
