// kvbsign-fixture: writes a demo package and the certificates needed to verify it.
//
//   kvbsign-fixture demo <outdir>
//
// writes <outdir>/roots.pem (the test root), <outdir>/intermediate.der and <outdir>/demo.kvb
// (signed by the test leaf, chain leaf/intermediate/root in KeyInfo), one line per file.
// Then: SSL_CERT_FILE=<outdir>/roots.pem KVBSignCmd -verify <outdir>/demo.kvb -certInfo

#include <exception>
#include <iostream>
#include <string>

#include <boost/filesystem.hpp>

#include "package_builder.h"
#include "test_pki.h"

namespace fs = boost::filesystem;

namespace {

int usage() {
    std::cerr << "usage: kvbsign-fixture demo <outdir>\n";
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

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 || std::string(argv[1]) != "demo") return usage();
    try {
        return demo(argv[2]);
    } catch (const std::exception& e) {
        std::cerr << "kvbsign-fixture: " << e.what() << "\n";
        return 1;
    }
}
