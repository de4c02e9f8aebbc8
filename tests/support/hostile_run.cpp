#include "hostile_run.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <set>

#include <boost/filesystem.hpp>

#include "leftover_check.h"
#include "test_pki.h"

namespace kvtest {
namespace hostile {

namespace {

namespace fs = boost::filesystem;

bool isSuccess(int status) { return status == 0 || status == 51 || status == 52; }

std::unique_ptr<Suite>& suiteSlot() {
    static std::unique_ptr<Suite> s;
    return s;
}

}  // namespace

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string repeat(const std::string& piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

Canaries::Canaries(const std::string& dir) : dir_(dir) {
    writeFile(dir_ + "/canary.txt", "canary: must stay as it is\n");
    writeFile(dir_ + "/sub/keep.txt", "keep\n");
    for (const char* p : {"/canary.txt", "/sub/keep.txt", "/sub", ""}) {
        const timespec old[2] = {{978307200, 0}, {978307200, 0}};
        utimensat(AT_FDCWD, (dir_ + p).c_str(), old, AT_SYMLINK_NOFOLLOW);
    }
    before_ = snapshot();
}

std::map<std::string, std::string> Canaries::snapshot() const {
    std::map<std::string, std::string> entries;
    auto stamp = [&](const std::string& path, const std::string& key) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) return;
        std::string s = std::to_string(st.st_mode) + " " + std::to_string(st.st_size) + " " +
                        std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
        if (S_ISREG(st.st_mode)) s += " " + readFile(path);
        entries[key] = s;
    };
    stamp(dir_, ".");
    boost::system::error_code ec;
    for (fs::recursive_directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec))
        stamp(it->path().string(), it->path().string().substr(dir_.size()));
    return entries;
}

std::string Canaries::changes() const {
    const auto now = snapshot();
    std::string out;
    for (const auto& e : before_) {
        auto it = now.find(e.first);
        if (it == now.end())
            out += "removed " + e.first + "; ";
        else if (it->second != e.second)
            out += "changed " + e.first + "; ";
    }
    for (const auto& e : now)
        if (!before_.count(e.first)) out += "added " + e.first + "; ";
    return out;
}

PackageBuilder basePackage() {
    PackageBuilder b;
    b.addFile("index.html", "<html><body>hello</body></html>\n").addFile("lib/app.js", "console.log('app');\n");
    return b;
}

SignedPackage buildDir(Workspace& w, const PackageBuilder& b) { return b.build(w.pkgDir()); }

Suite::Suite() {
    writePemBundle(roots, {pki().root.cert.get(), pki().v1Root.cert.get()});
    writeFile(emptyRoots, "");
}

EnvList Suite::env(const std::string& rootsFile) const {
    return {{"SSL_CERT_FILE", rootsFile.empty() ? roots : rootsFile},
            {"KVBSIGN_CRL_CACHE", dir.file("no-crl-cache.db")},
            {"TZ", "UTC0"}};
}

Suite& suite() {
    if (!suiteSlot()) suiteSlot().reset(new Suite);
    return *suiteSlot();
}

void HostileTest::TearDownTestSuite() { suiteSlot().reset(); }

Observed runChecked(Workspace& w, const std::vector<std::string>& args, const std::string& rootsFile,
                    int timeoutSeconds, const EnvList& moreEnv) {
    const std::set<std::string> before = kvbsignTempEntries();
    const Clock::time_point start = Clock::now();
    Observed o;
    EnvList env = suite().env(rootsFile);
    env.insert(env.end(), moreEnv.begin(), moreEnv.end());
    o.result = runCli(args, env, timeoutSeconds, w.scratch.path());
    o.seconds = secondsSince(start);
    EXPECT_FALSE(o.result.timedOut) << "no end within " << timeoutSeconds << " s";
    EXPECT_LT(o.result.exitCode, 128) << "ended by signal " << o.result.exitCode - 128;
    for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
    EXPECT_EQ(w.canaries.changes(), "") << "a file outside the package was touched";
    return o;
}

void printRow(const char* table, const Row& row, const Observed& o) {
    std::printf("[ row      ] %-8s %-72s want %2d got %3d %6.2f s\n", table, row.name, row.status, o.result.exitCode,
                o.seconds);
}

void expectReadersAgreeIfExtracted(const std::string& path, const ExtractionWatch& watch) {
    if (watch.extracted()) {
        EXPECT_EQ(readerDifferences(path), "");
    }
}

void runHostile(const char* table, const std::vector<Row>& rows) {
    int successes = 0;
    int wrong = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace w;
        const std::string path = row.make(w);
        const ExtractionWatch watch;
        const Observed o =
            runChecked(w, {"-verify", path, "-certInfo", "-skipOnlineRevocationChecks"}, "", 30, watch.env());
        printRow(table, row, o);
        expectReadersAgreeIfExtracted(path, watch);
        EXPECT_FALSE(isSuccess(o.result.exitCode)) << o.result.out << o.result.err;
        EXPECT_EQ(o.result.exitCode, row.status) << o.result.err;
        EXPECT_EQ(o.result.out, "") << "no report after a failure";
        successes += isSuccess(o.result.exitCode) ? 1 : 0;
        wrong += o.result.exitCode != row.status ? 1 : 0;
    }
    EXPECT_EQ(successes, 0) << "hostile packages that passed";
    EXPECT_EQ(wrong, 0) << "rows with another status than expected";
}

}  // namespace hostile
}  // namespace kvtest
