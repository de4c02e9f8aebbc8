// Hostile archives against the built KVBSignCmd: names that climb out, link entries, prepended
// bytes, encryption, unknown methods, central names that differ from the local ones, an
// archive that grows to hundreds of megabytes; and the questions the extractor would ask on a
// terminal, which must never be waited for.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "cli_runner.h"
#include "expected_texts.h"
#include "hostile_run.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "zip_writer.h"

extern char** environ;

namespace {

using kvtest::CliResult;
using kvtest::newTempEntries;
using kvtest::SignedPackage;
using kvtest::zipFileEntry;
using kvtest::zipLinkEntry;
using kvtest::zipZerosEntry;
using kvtest::ZipEntrySpec;
using kvtest::ZipSpec;
using kvtest::hostile::basePackage;
using kvtest::hostile::Clock;
using kvtest::hostile::HostileTest;
using kvtest::hostile::kEvil;
using kvtest::hostile::kMegabyte;
using kvtest::hostile::Row;
using kvtest::hostile::runHostile;
using kvtest::hostile::secondsSince;
using kvtest::hostile::suite;
using kvtest::hostile::Workspace;

// The zip entries of the valid base package, built beside the package.
std::vector<ZipEntrySpec> baseEntries(Workspace& w) {
    const SignedPackage p = basePackage().build(w.scratch.file("src"));
    return kvtest::zipEntriesOf(p.dir);
}

std::string writeZip(Workspace& w, const std::vector<ZipEntrySpec>& entries,
                     const std::function<void(ZipSpec&)>& patch = nullptr) {
    ZipSpec spec;
    spec.entries = entries;
    if (patch) patch(spec);
    kvtest::writeZipSpec(w.pkgZip(), spec);
    return w.pkgZip();
}

std::vector<ZipEntrySpec> plus(std::vector<ZipEntrySpec> entries, const std::vector<ZipEntrySpec>& more) {
    entries.insert(entries.end(), more.begin(), more.end());
    return entries;
}

// ---------------------------------------------------------------------------------------------
// Hostile archives

std::vector<Row> hostileArchives() {
    return {
        {"zip: duplicate entry name with other content",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("index.html", kEvil)})); }, 20},
        // Names that climb out are refused before extraction: the extractor would strip the
        // climbing part, but another one would write outside its target.
        {"zip: entry climbing out with ../",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry(w.climbing(w.canary()), kEvil)})); },
         20},
        {"zip: signed entry renamed to climb out",
         [](Workspace& w) {
             std::vector<ZipEntrySpec> entries = baseEntries(w);
             for (ZipEntrySpec& e : entries)
                 if (e.name == "index.html") e.name = "../index.html";
             return writeZip(w, entries);
         },
         20},
        {"zip: entry with a climbing element in the middle",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("lib/../../x.js", kEvil)})); }, 20},
        {"zip: entry with an absolute path",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry(w.canary(), kEvil)})); }, 20},
        // Link entries are resolved over the archive's names before extraction: a target
        // outside the package, missing, or holding the link is refused there.
        {"zip: link entry to an absolute directory outside",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/out", w.outside())})); }, 20},
        {"zip: link entry climbing outside",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/out", w.climbing(w.outside()))}));
         },
         20},
        {"zip: link entry to the canary file",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/canary.txt", w.canary())})); },
         20},
        {"zip: file written through an absolute link entry",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("drop", w.outside()),
                                                      zipFileEntry("drop/canary.txt", kEvil)}));
         },
         20},
        {"zip: file written through a climbing link entry",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("drop", w.climbing(w.outside())),
                                                      zipFileEntry("drop/canary.txt", kEvil)}));
         },
         20},
        {"zip: file entry over a link entry to the canary",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w),
                                     {zipLinkEntry("lib/c.txt", w.canary()), zipFileEntry("lib/c.txt", kEvil)}));
         },
         20},
        {"zip: link entry to a missing absolute path",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/gone.js", w.scratch.file("no/such/file"))}));
         },
         20},
        {"zip: link entry to a missing file inside",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/zz-gone.js", "no-such.js")}));
         },
         20},
        {"zip: link loop",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipLinkEntry("loop/a", "b"), zipLinkEntry("loop/b", "a")}));
         },
         20},
        {"zip: link to its own directory",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/self", ".")})); }, 20},
        {"zip: link to the package root from below",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipLinkEntry("lib/up", "..")})); }, 20},
        {"zip: bytes prepended to the archive",
         [](Workspace& w) {
             const std::string zip = writeZip(w, baseEntries(w));
             kvtest::writeFile(zip, "#!/bin/sh\nexec rm -rf \"$HOME\"\n" + kvtest::readFile(zip));
             return zip;
         },
         20},
        {"zip: encrypted entry",
         [](Workspace& w) {
             const SignedPackage p = basePackage().build(w.scratch.file("src"));
             p.zip(w.pkgZip());
             const CliResult r =
                 kvtest::runProgram("/usr/bin/zip", {"-q", "-P", "secret", w.pkgZip(), "lib/app.js"}, {}, 60, p.dir);
             if (r.exitCode != 0) throw std::runtime_error("zip -P failed: " + r.err);
             return w.pkgZip();
         },
         20},
        {"zip: unsupported compression method",
         [](Workspace& w) {
             return writeZip(w, baseEntries(w), [](ZipSpec& spec) {
                 ZipEntrySpec& e = kvtest::findEntry(spec, "lib/app.js");
                 e.localMethod = 99;
                 e.centralMethod = 99;
             });
         },
         20},
        {"zip: central directory names differ from the local headers",
         [](Workspace& w) {
             return writeZip(w, baseEntries(w),
                             [](ZipSpec& spec) { kvtest::findEntry(spec, "lib/app.js").centralName = "lib/evi.js"; });
         },
         20},
        {"zip: extra unlisted file in a subdirectory",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("lib/extra.js", kEvil)})); }, 50},
        {"zip: payload below __MACOSXa/",
         [](Workspace& w) { return writeZip(w, plus(baseEntries(w), {zipFileEntry("__MACOSXa/evil.js", kEvil)})); },
         50},
        {"zip: several hundred megabytes once extracted",
         [](Workspace& w) {
             return writeZip(w, plus(baseEntries(w), {zipZerosEntry("media/blob.bin", 300 * kMegabyte)}));
         },
         50},
    };
}

TEST_F(HostileTest, ArchivesNeverPass) { runHostile("archive", hostileArchives()); }

// ---------------------------------------------------------------------------------------------
// Prompts: a tool that asks a question on the terminal would wait for ever

struct TerminalRun {
    int exitCode = -1;
    bool timedOut = false;
    std::string screen;
};

// Runs a program as the session leader of a new pseudo-terminal, which becomes its controlling
// terminal and its standard input, output and error. Nothing is ever typed. Waits at most
// timeoutSeconds, then kills the program's process group.
TerminalRun runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                          const kvtest::EnvList& extraEnv, const std::string& cwd, int timeoutSeconds) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slaveName[256];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slaveName, sizeof slaveName) != 0) {
        if (master >= 0) close(master);
        throw std::runtime_error("no pseudo-terminal");
    }

    std::vector<std::string> argStore = {program};
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<std::string> envStore;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& kv : extraEnv)
            replaced = replaced || std::strncmp(*e, (kv.first + "=").c_str(), kv.first.size() + 1) == 0;
        if (!replaced) envStore.emplace_back(*e);
    }
    for (const auto& kv : extraEnv) envStore.push_back(kv.first + "=" + kv.second);
    std::vector<char*> argv, envp;
    for (auto& a : argStore) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    for (auto& e : envStore) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    // Everything the child needs is ready: between fork and exec it makes only
    // async-signal-safe calls.
    const pid_t pid = fork();
    if (pid < 0) {
        close(master);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        setsid();
        const int slave = open(slaveName, O_RDWR);
        if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(126);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        if (slave > 2) close(slave);
        if (chdir(cwd.c_str()) != 0) _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }

    TerminalRun run;
    int status = 0;
    bool exited = false;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
    while (!exited) {
        if (Clock::now() >= deadline) {
            run.timedOut = true;
            kill(-pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                run.screen.append(buf, static_cast<std::size_t>(n));
            else if (n < 0 && errno == EIO)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // no writer left
        }
        exited = waitpid(pid, &status, WNOHANG) == pid;
    }
    // What the tool wrote just before it ended.
    for (;;) {
        pollfd p = {master, POLLIN, 0};
        char buf[4096];
        if (poll(&p, 1, 0) <= 0) break;
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break;
        run.screen.append(buf, static_cast<std::size_t>(n));
    }
    close(master);
    if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

TEST_F(HostileTest, ExtractionNeverWaitsForAnAnswerOnTheTerminal) {
    // The extractor would ask for a password, and whether to replace the first file.
    std::vector<Row> rows;
    for (const Row& row : hostileArchives()) {
        const std::string name = row.name;
        if (name == "zip: encrypted entry" || name == "zip: duplicate entry name with other content")
            rows.push_back(row);
    }
    ASSERT_EQ(rows.size(), 2u);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Workspace w;
        const std::string path = row.make(w);
        const std::set<std::string> before = kvtest::kvbsignTempEntries();
        const Clock::time_point start = Clock::now();
        const TerminalRun r = runOnTerminal(KVBSIGN_CMD_PATH, {"-verify", path, "-skipOnlineRevocationChecks"},
                                            suite().env(), w.scratch.path(), 20);
        std::printf("[ row      ] terminal %-72s want 20 got %3d %6.2f s\n", row.name, r.exitCode, secondsSince(start));
        EXPECT_FALSE(r.timedOut) << "still waiting after 20 s; the terminal shows: " << r.screen;
        EXPECT_EQ(r.exitCode, 20) << r.screen;
        EXPECT_NE(r.screen.find(kvtest::withoutLineEnd(kvtest::kMsg20)), std::string::npos) << r.screen;
        EXPECT_EQ(r.screen.find("password"), std::string::npos) << r.screen;
        EXPECT_EQ(r.screen.find("replace"), std::string::npos) << r.screen;
        for (const std::string& name : newTempEntries(before)) ADD_FAILURE() << "left behind: /tmp/" << name;
        EXPECT_EQ(w.canaries.changes(), "");

        // The control: the extractor itself, on the same kind of terminal, asks and waits.
        const TerminalRun asked =
            runOnTerminal("/usr/bin/unzip", {"-q", path, "-d", w.scratch.file("control")}, {}, w.scratch.path(), 3);
        EXPECT_TRUE(asked.timedOut) << asked.screen;
        EXPECT_TRUE(asked.screen.find("password") != std::string::npos ||
                    asked.screen.find("replace") != std::string::npos)
            << asked.screen;
    }
}

}  // namespace
