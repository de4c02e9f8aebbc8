#include "fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <boost/filesystem.hpp>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include "fuzz_fixture.h"

namespace fs = boost::filesystem;

namespace kvfuzz {
namespace {

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "fuzz support: %s\n", what.c_str());
    std::abort();
}

std::string& removeAtExit() {
    static std::string dir;
    return dir;
}

std::string makeScratch() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/kvbfuzz-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr) die("cannot make a scratch directory from " + tmpl);
    removeAtExit() = tmpl;
    std::atexit([] {
        boost::system::error_code ec;
        fs::remove_all(removeAtExit(), ec);
    });
    return tmpl;
}

std::string makePackage() {
    namespace fx = fixture;
    const std::string root = scratchDir() + "/package";
    writeFile(root + "/mimetype", fx::kMimetype);
    for (const fx::PackageFile& f : fx::kPackageFiles) writeFile(root + "/" + f.path, f.bytes);
    writeFile(root + "/META-INF/signatures.xml", "<signatures/>");
    boost::system::error_code ec;
    fs::create_symlink(fx::kSymlinkTarget, fs::path(root) / fx::kSymlinkPath, ec);
    if (ec) die("cannot make the package's symbolic link: " + ec.message());
    return root;
}

}  // namespace

const std::string& scratchDir() {
    static const std::string dir = makeScratch();
    return dir;
}

void writeFile(const std::string& path, const std::string& bytes) {
    boost::system::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    f.close();
    if (!f) die("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void initCrypto() {
    static const bool done = OPENSSL_init_crypto(
        OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
    if (!done) die("OPENSSL_init_crypto failed");
}

const std::string& packageDir() {
    static const std::string dir = makePackage();
    return dir;
}

}  // namespace kvfuzz
