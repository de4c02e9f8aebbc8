// The installed tool: `cmake --install` into a prefix outside the build tree gives a binary,
// its library and the CRL cache listing tool that work with the build tree out of reach.

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "child_process.h"
#include "cli_runner.h"
#include "crl_fixtures.h"
#include "package_builder.h"
#include "private_tmp.h"
#include "reader_agreement.h"
#include "test_pki.h"

namespace {

// Before any thread or scratch directory exists.
const bool kPrivateTmp = kvtest::usePrivateTmp();

namespace fs = boost::filesystem;
using kvtest::pki;

std::string realPath(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

// The installed library must find the installed listing tool: a cache that lists the signer
// shows "Revoked: true" only when the tool ran. The build tree, which holds a tool at the path
// the build knows, is covered by an empty file system first.
TEST(Install, InstalledToolWorksWithTheBuildTreeOutOfReach) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private mount over the build tree";
    kvtest::ScratchDir scratch;
    const std::string buildDir = realPath(KVBSIGN_BUILD_DIR);
    ASSERT_FALSE(buildDir.empty());
    const std::string prefix = realPath(scratch.path()) + "/prefix";
    ASSERT_NE(prefix.compare(0, buildDir.size() + 1, buildDir + "/"), 0) << "the prefix must lie outside the build tree";

    const kvtest::CliResult installed =
        kvtest::runProgram(KVBSIGN_CMAKE_COMMAND, {"--install", buildDir, "--prefix", prefix}, {}, 120);
    ASSERT_EQ(installed.exitCode, 0) << installed.out << installed.err;
    const std::string binary = prefix + "/" KVBSIGN_INSTALL_BINDIR "/KVBSignCmd";
    for (const std::string& file : {binary, prefix + "/" KVBSIGN_INSTALL_LIBDIR "/libKVBSignLib.so",
                                    prefix + "/" KVBSIGN_INSTALL_LIBEXECDIR "/kvbsign-crltool"})
        EXPECT_TRUE(fs::is_regular_file(file)) << file;

    // A signer that no list point names; only the cache can revoke it.
    kvtest::CertAndKey signer;
    signer.key = kvtest::shareKey(pki().leaf.key.get());
    signer.cert = kvtest::makeCert(kvtest::leafSpec("KVB Installed Signer", "7B21"), signer.key.get(),
                                   pki().intermediate.cert.get(), pki().intermediate.key.get());
    kvtest::PackageBuilder b;
    b.signer(signer.key.get())
        .keyInfoCerts({signer.cert.get(), pki().intermediate.cert.get(), pki().root.cert.get()})
        .addFile("a.txt", "alpha");
    const std::string pkg = scratch.file("signed.kvb");
    b.build(scratch.file("signed")).zip(pkg);
    kvtest::writeFile(scratch.file("cache.db"), kvtest::makeCrlDer({{"7B21", time(nullptr) - 86400}}));
    kvtest::writePemBundle(scratch.file("roots.pem"), {pki().root.cert.get()});
    kvtest::writeFile(scratch.file("elsewhere/.keep"), "");
    const kvtest::EnvList env = {{"SSL_CERT_FILE", scratch.file("roots.pem")},
                                 {"KVBSIGN_CRL_CACHE", scratch.file("cache.db")}};

    const int status = kvtest::runInChild(
        [&]() -> int {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                mount("tmpfs", buildDir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=1m,mode=0755") != 0)
                return 90;
            if (access(KVBSIGN_CRL_TOOL_PATH, F_OK) == 0) return 91;  // the build tree is still there
            const kvtest::CliResult r =
                kvtest::runProgram(binary, {"-verify", pkg, "-certInfo"}, env, 120, scratch.file("elsewhere"));
            kvtest::writeFile(scratch.file("run.out"), r.out);
            kvtest::writeFile(scratch.file("run.err"), r.err);
            return r.exitCode;
        },
        180);
    ASSERT_NE(status, 90) << "no private mount over the build tree";
    ASSERT_NE(status, 91) << "the build tree stayed in reach";
    const std::string out = kvtest::readFile(scratch.file("run.out"));
    EXPECT_EQ(status, 0) << out << kvtest::readFile(scratch.file("run.err"));
    EXPECT_EQ(kvtest::differencesIfAccepted(pkg, status), "");
    EXPECT_NE(out.find("\nOS Trusted: true\nRevoked: true\n"), std::string::npos) << out;
    EXPECT_EQ(kvtest::readFile(scratch.file("run.err")), "");

    fs::remove_all(prefix);
    EXPECT_FALSE(fs::exists(prefix));
}

}  // namespace
