// kvbsign-fixture: writes a demo package and the certificates needed to verify it, or the
// seed corpora of the fuzz targets.
//
//   kvbsign-fixture demo <outdir>
//
// writes <outdir>/roots.pem (the test root), <outdir>/intermediate.der and <outdir>/demo.kvb
// (signed by the test leaf, chain leaf/intermediate/root in KeyInfo), one line per file.
// Then: SSL_CERT_FILE=<outdir>/roots.pem KVBSignCmd -verify <outdir>/demo.kvb -certInfo
//
//   kvbsign-fixture seeds <outdir>
//
// writes one directory per fuzz target below <outdir> (text, manifest, validate, crl_listing,
// der_crl, timestamp, chain, archive), each holding inputs in the form its target reads, and prints
// one line per directory with its number of files.

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>

#include <boost/filesystem.hpp>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include "../../fuzz/fuzz_fixture.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "package_builder.h"
#include "test_pki.h"
#include "tsa.h"
#include "zip_writer.h"

namespace fs = boost::filesystem;

namespace {

int usage() {
    std::cerr << "usage: kvbsign-fixture demo <outdir>\n"
                 "       kvbsign-fixture seeds <outdir>\n";
    return 2;
}

int demo(const std::string& outdir) {
    fs::create_directories(outdir);
    kvtest::TestPki& p = kvtest::pki();

    const std::string roots = outdir + "/roots.pem";
    kvtest::writePemBundle(roots, {p.root.cert.get()});
    std::cout << roots << "\n";

    const std::string der = outdir + "/intermediate.der";
    kvtest::writeDer(der, p.intermediate.cert.get());
    std::cout << der << "\n";

    // Staged next to the output, so nothing is left elsewhere; removed on every path.
    const fs::path stage = fs::path(outdir) / ".kvbsign-fixture-demo";
    struct Cleanup {
        fs::path dir;
        ~Cleanup() {
            boost::system::error_code ec;
            fs::remove_all(dir, ec);
        }
    } cleanup{stage};
    fs::remove_all(stage);

    kvtest::PackageBuilder builder;
    builder.addFile("README.txt", "A demo extension.\n")
        .addFile("content/index.html", "<html><body>demo</body></html>\n")
        .addFile("content/read me.txt", "A name with a blank.\n");
    kvtest::SignedPackage pkg = builder.build(stage.string());

    const std::string kvb = outdir + "/demo.kvb";
    pkg.zip(kvb);
    std::cout << kvb << "\n";
    return 0;
}


// ----- seeds -----

namespace fx = kvfuzz::fixture;

struct Stage {  // a directory next to the output, removed on every path
    fs::path dir;
    explicit Stage(fs::path d) : dir(std::move(d)) { fs::remove_all(dir); }
    ~Stage() {
        boost::system::error_code ec;
        fs::remove_all(dir, ec);
    }
};

class Corpus {
public:
    explicit Corpus(const fs::path& root) : root_(root) {}
    void add(const std::string& target, const std::string& name, const std::string& bytes) {
        const fs::path dir = root_ / target;
        fs::create_directories(dir);
        std::ofstream f((dir / name).string(), std::ios::binary | std::ios::trunc);
        f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!f) throw std::runtime_error("cannot write " + (dir / name).string());
        ++counts_[target];
    }
    void report() const {
        for (const auto& c : counts_) std::cout << (root_ / c.first).string() << " " << c.second << "\n";
    }

private:
    fs::path root_;
    std::map<std::string, int> counts_;
};

// The builder of the fixed package that the manifest and signature targets walk.
kvtest::PackageBuilder fuzzPackage() {
    kvtest::PackageBuilder b;
    b.mimetype(fx::kMimetype);
    for (const fx::PackageFile& f : fx::kPackageFiles) b.addFile(f.path, f.bytes);
    b.addSymlink(fx::kSymlinkPath, fx::kSymlinkTarget, true, fx::kSymlinkBytes);
    return b;
}

// Signed documents of the fixed package in every layout, with and without the variant and a
// timestamp: the seeds of the document targets.
void documentSeeds(Corpus& corpus, const fs::path& stageRoot) {
    struct Form {
        const char* name;
        kvtest::Layout layout;
        bool variant;
        bool lineBreaks;
    };
    const Form forms[] = {
        {"compact", kvtest::Layout::Compact, false, false},
        {"indented-lf", kvtest::Layout::IndentedLF, false, false},
        {"indented-crlf", kvtest::Layout::IndentedCRLF, false, false},
        {"wrapped-lf", kvtest::Layout::IndentedLF, false, true},
        {"variant-compact", kvtest::Layout::Compact, true, false},
        {"variant-indented-lf", kvtest::Layout::IndentedLF, true, false},
    };
    Stage stage(stageRoot / "documents");
    int n = 0;
    for (const Form& form : forms) {
        kvtest::PackageBuilder b = fuzzPackage();
        b.layout(form.layout).variant(form.variant).certLineBreaks(form.lineBreaks).signatureLineBreaks(form.lineBreaks);
        kvtest::SignedPackage pkg = b.build((stage.dir / std::to_string(n++)).string());
        const std::string plain = pkg.xml;
        const std::string token =
            kvtest::grantedResponse(kvtest::defaultTsa(), pkg.timestampMessageText, time(nullptr));
        pkg.addTimestamp(kvtest::base64(token, form.lineBreaks));
        for (const char* target : {"text", "manifest", "validate"}) {
            corpus.add(target, std::string(form.name) + ".xml", plain);
            corpus.add(target, std::string(form.name) + "-timestamp.xml", pkg.xml);
        }
    }
}

void textSeeds(Corpus& corpus) {
    const std::pair<const char*, const char*> texts[] = {
        {"range.txt", "a<x>b</x>c</x><x>"},
        {"entities.txt", "&amp;&lt;& #62;&39;&quot;&#34;%2541a%2Fb%zz%"},
        {"attribute.txt", "<Reference URI=\"a%20b.txt\"/><DigestValue>x</DigestValue></Reference>"},
        {"collapsed.txt", "<a><b x=\"1\"/>  <c/>\r\n</a>"},
        {"base64.txt", "TWFu\r\nTWE=\nTQ==  !!"},
    };
    for (const auto& t : texts) corpus.add("text", t.first, t.second);
}

// A listing as the CRL cache tool prints it, or "" when the tool cannot run.
std::string toolListing(const std::string& cacheFile) {
    const std::string command =
        "KVBSIGN_CRL_CACHE='" + cacheFile + "' '" KVBSIGN_CRL_TOOL_PATH "' y k=/nonexistent v 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return "";
    std::string out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    const int status = pclose(pipe);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "";
}

void crlSeeds(Corpus& corpus, const fs::path& stageRoot) {
    const time_t t = 1389000000;  // early January 2014
    const std::vector<std::vector<kvtest::RevokedSerial>> lists = {
        {},
        {{"0A1B", t}},
        {{"01", t}, {"7F", t + 3600}, {"00FF", t + 86400}},
        {{"1001", t}, {"1001", t + 7200}},
        {{"0102030405060708090A0B0C0D0E0F101112131415", t - 86400 * 365}},
    };
    Stage stage(stageRoot / "crls");
    fs::create_directories(stage.dir);
    std::string cache;
    int n = 0;
    for (const auto& entries : lists) {
        const std::string der = kvtest::makeCrlDer(entries);
        corpus.add("der_crl", "list-" + std::to_string(n) + ".der", der);
        cache += der;
        const fs::path one = stage.dir / ("one-" + std::to_string(n) + ".crl");
        std::ofstream(one.string(), std::ios::binary) << der;
        const std::string listing = toolListing(one.string());
        if (!listing.empty()) corpus.add("crl_listing", "tool-" + std::to_string(n) + ".txt", listing);
        ++n;
    }
    corpus.add("der_crl", "pem.crl", kvtest::crlDerToPem(kvtest::makeCrlDer({{"0A1B", t}})));
    // Lists of the fuzz root, current for its whole validity: the target's verifying read
    // takes them, and mutations of them reach the signature check.
    {
        kvbsign::BioPtr certBio(BIO_new_mem_buf(fx::kRootPem, -1));
        kvbsign::BioPtr keyBio(BIO_new_mem_buf(fx::kRootKeyPem, -1));
        if (!certBio || !keyBio) throw std::runtime_error("BIO_new_mem_buf");
        kvtest::CertAndKey root;
        root.cert.reset(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
        root.key.reset(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
        if (!root.cert || !root.key) throw std::runtime_error("the fuzz root does not load");
        kvtest::CrlOptions options;
        options.issuer = &root;
        options.thisUpdate = 946684800;   // 2000-01-01
        options.nextUpdate = 4070908800;  // 2099-01-01
        corpus.add("der_crl", "signed-empty.der", kvtest::makeCrlDer({}, options));
        corpus.add("der_crl", "signed.der", kvtest::makeCrlDer(lists[2], options));
        options.extensions = {{"issuingDistributionPoint", "critical,onlyCA:TRUE"}};
        corpus.add("der_crl", "signed-ca-only.der", kvtest::makeCrlDer(lists[1], options));
    }
    const fs::path all = stage.dir / "cache.crl";
    std::ofstream(all.string(), std::ios::binary) << cache;
    const std::string listing = toolListing(all.string());
    if (!listing.empty()) corpus.add("crl_listing", "tool-all.txt", listing);

    // Forms the tool does not print but the parser reads: uppercase serials, blanks between
    // the bytes, no counting lines, CR LF line ends.
    corpus.add("crl_listing", "uppercase.txt",
               "2 certificates found\nVersion : 2\nRevoked Cert 1:\n   Serial number    : 0A:1B:2C\n"
               "   Revocation time  : 10:15:00 Jan 05, 2014\nRevoked Cert 2:\n   Serial number : 0A 1B\n"
               "   Revocation time  : 23:59:59 Dec 31, 2049\nVersion : 2\n1 CRLs found\n");
    corpus.add("crl_listing", "no-counts.txt",
               "Version\r\nRevoked Cert 1:\r\nSerial number: ff\r\nRevocation time : 00 00 00 Feb 29, 2016\r\n");
}

void timestampSeeds(Corpus& corpus) {
    kvbsign::BioPtr certBio(BIO_new_mem_buf(fx::kRootPem, -1));
    kvbsign::BioPtr keyBio(BIO_new_mem_buf(fx::kRootKeyPem, -1));
    if (!certBio || !keyBio) throw std::runtime_error("BIO_new_mem_buf");
    kvtest::X509Ptr root(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
    kvtest::EvpPkeyPtr rootKey(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
    if (!root || !rootKey) throw std::runtime_error("the fuzz root does not load");
    const kvtest::TsaIdentity tsa = kvtest::makeTsa("KVB Fuzz TSA", root.get(), rootKey.get(), {root.get()});

    const std::string message = kvtest::timestampMessage(fx::kTimestampSignatureValue);
    const time_t now = time(nullptr);
    const std::string granted = kvtest::grantedResponse(tsa, message, now);
    const std::string bare = kvtest::bareToken(granted);
    auto flagged = [](unsigned char flags, const std::string& der) { return std::string(1, static_cast<char>(flags)) + der; };

    corpus.add("timestamp", "response.der", flagged(0, granted));
    corpus.add("timestamp", "response-variant-wrapped.der", flagged(fx::kVariant | fx::kWrapBase64, granted));
    corpus.add("timestamp", "response-user-root.der", flagged(fx::kRootAsUserCert, granted));
    corpus.add("timestamp", "response-before-signer.der",
               flagged(0, kvtest::grantedResponse(tsa, message, 915148800)));  // 1999-01-01
    corpus.add("timestamp", "response-other-message.der",
               flagged(0, kvtest::grantedResponse(tsa, message + " ", now)));
    corpus.add("timestamp", "response-untrusted-authority.der",
               flagged(0, kvtest::grantedResponse(kvtest::defaultTsa(), message, now)));
    corpus.add("timestamp", "rejection.der", flagged(0, kvtest::rejectionResponse(tsa, message)));
    corpus.add("timestamp", "token.der", flagged(0, bare));
    corpus.add("timestamp", "token-variant.der", flagged(fx::kVariant, bare));
}

// The chain target's input: each certificate as a two-byte big-endian length and its DER.
std::string chainInput(const std::vector<X509*>& certs) {
    std::string out;
    for (X509* c : certs) {
        const std::string der = kvtest::toDer(c);
        if (der.size() > 0xffff) throw std::runtime_error("certificate too large for the chain input");
        out += static_cast<char>(der.size() >> 8);
        out += static_cast<char>(der.size() & 0xff);
        out += der;
    }
    return out;
}

// archive: the fixed package zipped by the zip tool, plain and with zip64 fields, with an
// archive comment and with zero bytes after the end; and links that lead through other links
// and directories.
void archiveSeeds(Corpus& corpus, const fs::path& stageRoot) {
    Stage stage(stageRoot / "archive");
    const kvtest::SignedPackage pkg = fuzzPackage().build((stage.dir / "pkg").string());
    const std::string zip = (stage.dir / "pkg.kvb").string();
    pkg.zip(zip);
    corpus.add("archive", "plain.zip", kvtest::readFile(zip));
    const kvtest::CliResult r =
        kvtest::runProgram("/usr/bin/zip", {"-q", "-r", "-y", "-fz", (stage.dir / "zip64.kvb").string(), "."}, {}, 60,
                           pkg.dir);
    if (r.exitCode != 0) throw std::runtime_error("zip failed for the zip64 seed: " + r.err);
    corpus.add("archive", "zip64.zip", kvtest::readFile((stage.dir / "zip64.kvb").string()));
    std::string commented = kvtest::readFile(zip);
    const std::string comment = "a package comment";
    commented[commented.size() - 2] = static_cast<char>(comment.size());
    corpus.add("archive", "comment.zip", commented + comment);
    corpus.add("archive", "padded.zip", kvtest::readFile(zip) + std::string(512, '\0'));
    kvtest::ZipSpec links;
    links.entries = {kvtest::zipFileEntry("lib/app.js", "app();\n"), kvtest::zipLinkEntry("lib/main.js", "app.js"),
                     kvtest::zipLinkEntry("alias.js", "lib/main.js"), kvtest::zipLinkEntry("lib2", "lib"),
                     kvtest::zipLinkEntry("deep/up.js", "../lib2/../lib/app.js")};
    links.entries[2].method = 8;
    kvtest::writeZipSpec((stage.dir / "links.zip").string(), links);
    corpus.add("archive", "links.zip", kvtest::readFile((stage.dir / "links.zip").string()));
}

void chainSeeds(Corpus& corpus) {
    kvtest::TestPki& p = kvtest::pki();
    X509* leaf = p.leaf.cert.get();
    X509* mid = p.intermediate.cert.get();
    X509* root = p.root.cert.get();
    const std::pair<const char*, std::vector<X509*>> lists[] = {
        {"leaf-intermediate-root", {leaf, mid, root}},
        {"root-first", {root, leaf, mid}},
        {"root-alone", {root}},
        {"v1", {p.v1Leaf.cert.get(), p.v1Root.cert.get()}},
        {"end-entity-issuer", {p.eeIssued.cert.get(), leaf, mid, root}},
        {"two-roots", {p.unrelatedRoot.cert.get(), leaf, mid, root}},
        {"expired-leaf", {p.expiredLeaf.cert.get(), mid, root}},
    };
    for (const auto& l : lists) corpus.add("chain", std::string(l.first) + ".bin", chainInput(l.second));
}

int seeds(const std::string& outdir) {
    fs::create_directories(outdir);
    Corpus corpus{fs::path(outdir)};
    const fs::path stage = fs::path(outdir) / ".kvbsign-fixture-seeds";
    Stage cleanup(stage);
    documentSeeds(corpus, stage);
    textSeeds(corpus);
    crlSeeds(corpus, stage);
    timestampSeeds(corpus);
    chainSeeds(corpus);
    archiveSeeds(corpus, stage);
    corpus.report();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return usage();
    const std::string command = argv[1];
    if (command != "demo" && command != "seeds") return usage();
    try {
        return command == "demo" ? demo(argv[2]) : seeds(argv[2]);
    } catch (const std::exception& e) {
        std::cerr << "kvbsign-fixture: " << e.what() << "\n";
        return 1;
    }
}
