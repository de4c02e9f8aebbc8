// Command runner, package extraction, temporary directories, file copy and command-line paths.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/filesystem.hpp>

#include "KVBSignLibInternal.h"
#include "child_process.h"
#include "cli_runner.h"
#include "reader_agreement.h"
#include "system/file_copy.h"
#include "system/shell_testing.h"
#include "zip_writer.h"

namespace fs = boost::filesystem;
using K = KVBSignLibInternal;

namespace {

// "/tmp/kvbsign" followed by 16 letters or digits.
bool looksLikeTempDirectory(const std::string& path) {
    const std::string prefix = "/tmp/kvbsign";
    if (path.size() != prefix.size() + 16 || path.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < path.size(); ++i) {
        const char c = path[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

std::string marker(int code) {
    return "-kvbreturncode:" + std::to_string(code) + "\n";
}

bool haveTool(const char* name) {
    return K::extractReturnCode(K::getOutputFromSystemCall(std::string("command -v ") + name + " >/dev/null")) == 0;
}

// Builds a zip with the system zip tool from files already in `dir`.
void zipIn(const std::string& dir, const std::vector<std::string>& args) {
    std::vector<std::string> all = {"zip", "-q", "-r"};
    all.insert(all.end(), args.begin(), args.end());
    const kvtest::CliResult r = kvtest::runProgram("/usr/bin/env", all, {}, 60, dir);
    if (r.exitCode != 0) throw std::runtime_error("zip failed: " + r.err);
}

// A temporary directory of the library, removed when the test ends.
class LibTempDir {
public:
    LibTempDir() : path_(K::createTempDirectory(1, 0)) {
        if (path_.empty()) throw std::runtime_error("no temporary directory");
    }
    ~LibTempDir() { K::removeTempDirectory(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Swaps the shell for the lifetime of the object.
class ShellOverride {
public:
    explicit ShellOverride(const std::string& path) { kvbsignSetShellForTesting(path.c_str()); }
    ~ShellOverride() { kvbsignSetShellForTesting(nullptr); }
};

// A shell that records the command text it is given, then runs it with /bin/sh.
class RecordingShell {
public:
    explicit RecordingShell(const kvtest::ScratchDir& scratch)
        : script_(scratch.file("recording-sh")), log_(scratch.file("command.txt")),
          limitLog_(scratch.file("file-size-limit.txt")) {
        // Records the command and the file size limit it runs under, which it must lift to
        // write its records at all.
        kvtest::writeFile(script_, "#!/bin/sh\nlimit=$(grep '^Max file size' /proc/self/limits)\n"
                                   "ulimit -S -f unlimited\nprintf '%s' \"$2\" > \"" + log_ + "\"\n"
                                   "echo \"$limit\" > \"" + limitLog_ + "\"\nexec /bin/sh \"$@\"\n");
        chmod(script_.c_str(), 0700);
        override_.reset(new ShellOverride(script_));
    }
    bool ran() const { return fs::exists(log_); }
    std::string command() const { return kvtest::readFile(log_); }
    std::string fileSizeLimit() const { return kvtest::readFile(limitLog_); }

private:
    std::string script_;
    std::string log_;
    std::string limitLog_;
    std::unique_ptr<ShellOverride> override_;
};

// --- the runner ---

TEST(CommandRunner, OutputAndExitStatusThroughTheMarker) {
    struct Case {
        const char* name;
        std::string command;
        std::string wantOutput;  // empty: only the code is checked
        int wantCode;
    };
    const Case cases[] = {
        {"silent failure", "(exit 3)", marker(3), 3},
        {"success", "true", marker(0), 0},
        {"marker text in the command's own output", "echo -kvbreturncode:7; (exit 2)",
         "-kvbreturncode:7\n" + marker(2), 2},
        {"marker follows output without a line end", "printf 'no newline'", "no newline" + marker(0), 0},
        {"error output joined in order", "{ echo out; echo err >&2; (exit 4); }", "out\nerr\n" + marker(4), 4},
        {"signal death is a failure", "sh -c 'kill -9 $$'", "", 137},
        // Then no marker comes: the runner's own failure marker stands last.
        {"the shell itself killed is a failure", "echo -kvbreturncode:0; kill -9 $$", "", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = K::getOutputFromSystemCall(c.command);
        if (!c.wantOutput.empty()) {
            EXPECT_EQ(out, c.wantOutput);
        }
        EXPECT_EQ(K::extractReturnCode(out), c.wantCode);
    }
    const std::string missing = K::getOutputFromSystemCall("kvb-no-such-command-here");
    EXPECT_EQ(K::extractReturnCode(missing), 127);
    EXPECT_NE(missing.find("not found"), std::string::npos) << missing;
}

// The front end ignores SIGXFSZ (its own writes past a file size limit must fail, not end it)
// and a caller may ignore SIGPIPE; ignored signals survive exec, so the runner gives every
// tool the defaults back.
TEST(CommandRunner, SignalsTheCallerIgnoresAreDefaultInTheTool) {
    struct sigaction ignore = {}, oldXfsz = {}, oldPipe = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &oldXfsz), 0);
    ASSERT_EQ(sigaction(SIGPIPE, &ignore, &oldPipe), 0);
    const std::string out = K::getOutputFromSystemCall("grep '^SigIgn:' /proc/$$/status");
    sigaction(SIGXFSZ, &oldXfsz, nullptr);
    sigaction(SIGPIPE, &oldPipe, nullptr);
    ASSERT_EQ(K::extractReturnCode(out), 0) << out;
    const unsigned long long ignored = std::stoull(out.substr(out.find(':') + 1), nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGXFSZ - 1)), 0u) << out;
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << out;
}

TEST(CommandRunner, LargeBinaryOutputComesBackWholeAndInOrder) {
    kvtest::ScratchDir scratch;
    std::string content;
    for (size_t i = 0; i < 100 * 1024 + 77; ++i) content += static_cast<char>((i * 7 + i / 256) & 0xFF);
    kvtest::writeFile(scratch.file("big.bin"), content);
    const std::string out = K::getOutputFromSystemCall("cat \"" + scratch.file("big.bin") + "\"");
    ASSERT_EQ(out.size(), content.size() + marker(0).size());
    EXPECT_TRUE(out.compare(0, content.size(), content) == 0);
    EXPECT_EQ(out.substr(content.size()), marker(0));
}

TEST(CommandRunner, ReadsTheLastMarker) {
    struct Case {
        const char* name;
        std::string output;
        int want;
    };
    const Case cases[] = {
        {"empty output", "", 0},
        {"no marker", "some text\n", 0},
        {"plain", marker(5), 5},
        {"last of several", "x-kvbreturncode:1\ny" + marker(42), 42},
        {"negative", marker(-1), -1},
        {"marker without digits", "-kvbreturncode:", 0},
        {"out of range must not wrap to success", "-kvbreturncode:4294967296\n", INT_MAX},
        {"bytes after a NUL are not read", std::string("-kvbreturncode:\0" "9\n", 18), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::extractReturnCode(c.output), c.want);
    }
}

TEST(CommandRunner, SendsTheExactCommandTextToTheShell) {
    kvtest::ScratchDir scratch;
    RecordingShell shell(scratch);
    EXPECT_EQ(K::getOutputFromSystemCall("echo hi"), "hi\n" + marker(0));
    EXPECT_EQ(shell.command(), "echo hi 2>&1 ; echo \"-kvbreturncode:$?\"");
}

TEST(CommandRunner, ShellThatCannotStartIsAFailure) {
    kvtest::ScratchDir scratch;
    fs::create_directories(scratch.file("victim"));
    {
        ShellOverride broken(scratch.file("no-such-shell"));
        EXPECT_EQ(K::getOutputFromSystemCall("true"), marker(127));
        // The clean-up step reads the code: it must not believe the directory is gone.
        EXPECT_NE(K::extractReturnCode(K::getOutputFromSystemCall("rm -rf " + scratch.file("victim"))), 0);
    }
    EXPECT_TRUE(fs::is_directory(scratch.file("victim")));
}

TEST(CommandRunner, NoDescriptorsLeftIsAFailure) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 3;  // standard streams only: the pipe cannot be made
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const std::string out = K::getOutputFromSystemCall("true");
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_NE(K::extractReturnCode(out), 0) << out;
}

// Parses "ls -l" lines of a /proc/<pid>/fd listing into descriptor -> target.
std::map<std::string, std::string> parseFdListing(const std::string& listing) {
    std::map<std::string, std::string> fds;
    std::istringstream in(listing);
    std::string line;
    while (std::getline(in, line)) {
        const size_t arrow = line.find(" -> ");
        if (arrow == std::string::npos) continue;
        const size_t nameStart = line.rfind(' ', arrow - 1);
        if (nameStart == std::string::npos) continue;
        fds[line.substr(nameStart + 1, arrow - nameStart - 1)] = line.substr(arrow + 4);
    }
    return fds;
}

TEST(CommandRunner, ChildGetsEmptyInputAndNoPipeEndsOfOurs) {
    const std::string out = K::getOutputFromSystemCall("ls -l /proc/$$/fd");
    ASSERT_EQ(K::extractReturnCode(out), 0) << out;
    const auto fds = parseFdListing(out);
    ASSERT_TRUE(fds.count("0") && fds.count("1")) << out;
    EXPECT_EQ(fds.at("0"), "/dev/null");
    const std::string pipe = fds.at("1");
    ASSERT_EQ(pipe.compare(0, 5, "pipe:"), 0) << out;
    // Only standard output and the joined error output may refer to the runner's pipe; its
    // read end in particular must not have leaked into the shell.
    for (const auto& fd : fds) {
        if (fd.second == pipe) {
            EXPECT_TRUE(fd.first == "1" || fd.first == "2") << out;
        }
    }
}

// --- tools that could wait for input ---

struct TerminalRun {
    bool finished = false;  // false: still running at the deadline, killed
    std::string report;
};

// Runs `body` in a child process whose controlling terminal and standard streams are a
// fresh pseudo-terminal nobody types into, and returns what it reports, waiting at most
// `timeoutSeconds`.
TerminalRun runWithIdleTerminal(const std::function<std::string()>& body, int timeoutSeconds = 20) {
    TerminalRun run;
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
    const std::string slaveName = ptsname(master);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        const int slave = open(slaveName.c_str(), O_RDWR);
        if (slave < 0 || ioctl(slave, TIOCSCTTY, 0) != 0) _exit(3);
        dup2(slave, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        std::string text;
        // The premise of the test: the terminal really is there to be read from.
        const int tty = open("/dev/tty", O_RDONLY);
        if (tty < 0 || !isatty(0)) {
            text = "no controlling terminal in the test child";
        } else {
            close(tty);
            text = body();
        }
        const char* p = text.data();
        size_t left = text.size();
        while (left > 0) {
            const ssize_t w = write(report[1], p, left);
            if (w <= 0) break;
            p += w;
            left -= static_cast<size_t>(w);
        }
        _exit(0);
    }
    close(report[1]);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    char buf[4096];
    bool masterOpen = true;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                 std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfds[2] = {{report[0], POLLIN, 0}, {masterOpen ? master : -1, POLLIN, 0}};
        if (poll(pfds, 2, static_cast<int>(left.count())) < 0) continue;
        // Whatever reaches the terminal is drained, so that the child never blocks writing.
        if (pfds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            if (read(master, buf, sizeof buf) <= 0) masterOpen = false;
        }
        if (pfds[0].revents & (POLLIN | POLLHUP)) {
            const ssize_t r = read(report[0], buf, sizeof buf);
            if (r <= 0) {
                run.finished = true;
                break;
            }
            run.report.append(buf, static_cast<size_t>(r));
        }
    }
    if (!run.finished) kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    close(report[0]);
    close(master);
    return run;
}

TEST(CommandRunner, CommandsCannotReadTheCallersTerminal) {
    struct Case {
        const char* name;
        std::string command;
        std::string wantOutput;  // empty: only the code is checked
        bool wantFailure;
    };
    const Case cases[] = {
        {"standard input is empty", "read x; echo got:$x", "got:\n" + marker(0), false},
        {"read fails at once", "read x", marker(1), true},
        {"cat of standard input ends", "cat", marker(0), false},
        {"no controlling terminal to open", "cat /dev/tty", "", true},
        {"not a terminal", "tty", "", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TerminalRun run = runWithIdleTerminal([&] { return K::getOutputFromSystemCall(c.command); });
        ASSERT_TRUE(run.finished) << "the command waited for terminal input";
        if (!c.wantOutput.empty()) {
            EXPECT_EQ(run.report, c.wantOutput);
        }
        EXPECT_EQ(K::extractReturnCode(run.report) != 0, c.wantFailure) << run.report;
    }
}

// --- unzip ---

class Unzip : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveTool("zip") || !haveTool("unzip")) GTEST_SKIP() << "zip and unzip are needed";
        kvtest::writeFile(scratch.file("src/mimetype"), "application/x-test");
        kvtest::writeFile(scratch.file("src/dir/file.txt"), "hello");
        zipIn(scratch.file("src"), {scratch.file("pkg.zip"), "mimetype", "dir"});
    }
    kvtest::ScratchDir scratch;
};

TEST_F(Unzip, ExtractsARealPackage) {
    LibTempDir dest;
    ASSERT_TRUE(K::unzip(scratch.file("pkg.zip"), dest.path()));
    EXPECT_EQ(kvtest::readFile(dest.path() + "/mimetype"), "application/x-test");
    EXPECT_EQ(kvtest::readFile(dest.path() + "/dir/file.txt"), "hello");
}

TEST_F(Unzip, CommandText) {
    LibTempDir dest;
    RecordingShell shell(scratch);
    ASSERT_TRUE(K::unzip(fs::path(scratch.file("pkg.zip")), dest.path()));
    EXPECT_EQ(shell.command(), "unzip -q \"" + scratch.file("pkg.zip") + "\" -d \"" + dest.path() +
                                   "\" 2>&1 ; echo \"-kvbreturncode:$?\"");
    // No file may grow past the largest declared size, that of "application/x-test".
    EXPECT_NE(shell.fileSizeLimit().find(" 18 "), std::string::npos) << shell.fileSizeLimit();
}

TEST_F(Unzip, RefusesWithoutRunningAnything) {
    LibTempDir dest;
    kvtest::writeFile(scratch.file("a\"b.zip"), kvtest::readFile(scratch.file("pkg.zip")));
    kvtest::writeFile(scratch.file("a$b.zip"), kvtest::readFile(scratch.file("pkg.zip")));
    struct Case {
        const char* name;
        std::string package;
        std::string destination;
    };
    const Case cases[] = {
        {"missing package", scratch.file("missing.zip"), dest.path()},
        {"empty destination", scratch.file("pkg.zip"), ""},
        {"quote in package path", scratch.file("a\"b.zip"), dest.path()},
        {"dollar in package path", scratch.file("a$b.zip"), dest.path()},
        {"backquote in destination", scratch.file("pkg.zip"), dest.path() + "/`x`"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingShell shell(scratch);
        EXPECT_FALSE(K::unzip(c.package, c.destination));
        EXPECT_FALSE(shell.ran());
    }
    EXPECT_TRUE(fs::is_empty(dest.path()));
}

TEST_F(Unzip, ToolFailureIsFalse) {
    LibTempDir dest;
    kvtest::writeFile(scratch.file("garbage.zip"), "this is not a zip archive");
    EXPECT_FALSE(K::unzip(scratch.file("garbage.zip"), dest.path()));
    // A shell that cannot start must not pass for a successful extraction.
    {
        ShellOverride broken(scratch.file("no-such-shell"));
        EXPECT_FALSE(K::unzip(scratch.file("pkg.zip"), dest.path()));
    }
    EXPECT_TRUE(fs::is_empty(dest.path()));
}

TEST_F(Unzip, PackagesThatWouldPromptFailInsteadOfWaiting) {
    // An encrypted entry makes the tool ask for a password; a repeated name makes it ask
    // whether to replace the first copy.
    zipIn(scratch.file("src"), {"-P", "secret", scratch.file("encrypted.zip"), "mimetype"});
    const std::vector<const char*> packages = {"encrypted.zip", "duplicate.zip"};
    kvtest::ZipSpec duplicate;
    duplicate.entries.resize(2);
    duplicate.entries[0].name = duplicate.entries[1].name = "a.txt";
    duplicate.entries[0].data = "one";
    duplicate.entries[1].data = "two";
    kvtest::writeZipSpec(scratch.file("duplicate.zip"), duplicate);
    for (const char* name : packages) {
        SCOPED_TRACE(name);
        LibTempDir dest;
        const std::string package = scratch.file(name);
        const TerminalRun run =
            runWithIdleTerminal([&] { return std::string(K::unzip(package, dest.path()) ? "true" : "false"); });
        ASSERT_TRUE(run.finished) << "unzip waited for an answer";
        EXPECT_EQ(run.report, "false");
    }
}

// The entries' data is decoded while the extractor runs: a failed decoding ends the extractor
// with what it started (this one would wait for ever) and leaves nothing in the destination.
TEST_F(Unzip, FailedDataCheckEndsTheExtractorAndEmptiesTheDestination) {
    kvtest::ZipSpec spec;
    spec.entries = {kvtest::zipFileEntry("a.txt", "alpha"), kvtest::zipFileEntry("b.txt", "bravo")};
    spec.entries[1].localCrc = spec.entries[1].centralCrc = kvtest::crc32Of("bravo") ^ 1u;
    kvtest::writeZipSpec(scratch.file("bad-crc.zip"), spec);
    const kvtest::ExtractionWatch watch(kvtest::ExtractionWatch::Extractor::blocking);
    LibTempDir dest;
    const int status = kvtest::runInChild([&] {
        const kvtest::ScopedEnv path("PATH", watch.env().at(0).second);
        return K::unzip(scratch.file("bad-crc.zip"), dest.path()) ? 1 : 0;
    });
    EXPECT_EQ(status, 0) << "1: extracted, -1: waited for the extractor";
    EXPECT_TRUE(fs::is_empty(dest.path()));
    EXPECT_TRUE(kvtest::processEnds(watch.extractor(), 20)) << "the extractor still runs";
}

// --- packing ---

TEST(AddToZip, BuildsAPackageAndRefusesASecondMimetype) {
    if (!haveTool("zip") || !haveTool("unzip")) GTEST_SKIP() << "zip and unzip are needed";
    kvtest::ScratchDir scratch;
    kvtest::writeFile(scratch.file("work/mimetype"), "application/x-test");
    kvtest::writeFile(scratch.file("work/content/a.txt"), "a");
    fs::create_directories(scratch.file("out"));
    fs::create_directory_symlink(scratch.file("out"), scratch.file("outlink"));
    const std::string package = scratch.file("outlink/pkg.kvb");

    ASSERT_TRUE(addToZip(scratch.file("work"), package, "mimetype"));
    EXPECT_TRUE(fs::is_regular_file(scratch.file("out/pkg.kvb")));
    EXPECT_FALSE(addToZip(scratch.file("work"), package, "mimetype"));
    ASSERT_TRUE(addToZip(scratch.file("work"), package, "content"));
    EXPECT_FALSE(addToZip(scratch.file("work"), package, "no-such-item"));

    LibTempDir dest;
    ASSERT_TRUE(K::unzip(scratch.file("out/pkg.kvb"), dest.path()));
    EXPECT_EQ(kvtest::readFile(dest.path() + "/mimetype"), "application/x-test");
    EXPECT_EQ(kvtest::readFile(dest.path() + "/content/a.txt"), "a");

    // Nowhere to write the package, or nowhere to take the item from.
    EXPECT_FALSE(addToZip(scratch.file("work"), scratch.file("missing/pkg.kvb"), "mimetype"));
    EXPECT_FALSE(addToZip(scratch.file("missing"), scratch.file("out/other.kvb"), "mimetype"));
    EXPECT_FALSE(fs::exists(scratch.file("out/other.kvb")));
}

// --- temporary directories ---

TEST(TempDirectory, FreshPrivateDirectoriesThatAreRemovedWhole) {
    const mode_t savedMask = umask(022);
    std::string a = K::createTempDirectory(0, 0);
    std::string b = K::tmpDir();
    umask(savedMask);
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_NE(a, b);
    for (const std::string* p : {&a, &b}) {
        SCOPED_TRACE(*p);
        EXPECT_TRUE(looksLikeTempDirectory(*p)) << *p;
        struct stat st {};
        ASSERT_EQ(lstat(p->c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 07777, 0700u);
    }

    // Links inside are removed, not followed.
    kvtest::ScratchDir outside;
    kvtest::writeFile(outside.file("keep.txt"), "keep");
    kvtest::writeFile(a + "/sub/deeper/file", "x");
    fs::create_directory_symlink(outside.path(), a + "/sub/link");
    K::removeTempDirectory(a);
    K::removeTempDirectory(b);
    EXPECT_FALSE(fs::exists(a));
    EXPECT_FALSE(fs::exists(b));
    EXPECT_EQ(kvtest::readFile(outside.file("keep.txt")), "keep");
}

TEST(TempDirectory, RemovingWhatIsNotThereIsSilent) {
    kvtest::ScratchDir scratch;
    std::string missing = scratch.file("never-made");
    std::string empty;
    EXPECT_NO_THROW(K::removeTempDirectory(missing));
    EXPECT_NO_THROW(K::removeTempDirectory(empty));
    kvtest::writeFile(scratch.file("single"), "x");
    std::string single = scratch.file("single");
    K::removeTempDirectory(single);
    EXPECT_FALSE(fs::exists(single));
}

// --- file copy ---

std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for (fs::directory_iterator it("/proc/self/fd"), end; it != end; ++it) ++count;
    return count;
}

TEST(FileCopy, FailedCopyRemovesTheTargetAndClosesBothFiles) {
    kvtest::ScratchDir scratch;
    const std::string from = scratch.file("big");
    const std::string to = scratch.file("copy");
    kvtest::writeFile(from, std::string(256 * 1024, 'x'));
    // In a child whose file size limit stops the copy; with the signal ignored the write fails
    // with EFBIG.
    const int result = kvtest::runInChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit;
        if (getrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        limit.rlim_cur = 64 * 1024;
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        const std::size_t before = openDescriptorCount();
        boost::system::error_code ec;
        kvbsign::copyRegularFile(from, to, ec);
        if (ec.value() != EFBIG) return 1;
        if (fs::exists(to)) return 2;
        return openDescriptorCount() == before ? 0 : 3;
    });
    EXPECT_EQ(result, 0) << "1: not EFBIG, 2: the target stayed, 3: a descriptor stayed open, 10: no limit";
}

// --- command-line paths ---

class CanonicalPath : public ::testing::Test {
protected:
    void SetUp() override {
        savedCwd_ = fs::current_path();
        const char* home = getenv("HOME");
        hadHome_ = home != nullptr;
        if (hadHome_) savedHome_ = home;
        fs::create_directories(scratch.file("real/sub"));
        fs::create_directories(scratch.file("home"));
        fs::create_directory_symlink(scratch.file("real"), scratch.file("link"));
        root = fs::canonical(scratch.path()).generic_string();
    }
    void TearDown() override {
        fs::current_path(savedCwd_);
        if (hadHome_) {
            setenv("HOME", savedHome_.c_str(), 1);
        } else {
            unsetenv("HOME");
        }
    }
    kvtest::ScratchDir scratch;
    std::string root;  // the scratch directory with links resolved

private:
    fs::path savedCwd_;
    bool hadHome_ = false;
    std::string savedHome_;
};

TEST_F(CanonicalPath, ResolvesTheParentButNotTheLastElement) {
    fs::current_path(scratch.file("real/sub"));
    setenv("HOME", scratch.file("link").c_str(), 1);
    struct Case {
        const char* name;
        std::string argument;
        std::string want;
    };
    const Case cases[] = {
        {"home alone keeps its last element", "~", root + "/link"},
        {"file below home", "~/file.kvb", root + "/real/file.kvb"},
        {"tilde then a name joins without a separator", "~user", root + "/linkuser"},
        {"tilde only at the start", "a~/b", root + "/real/sub/a~/b"},
        {"bare name", "name.kvb", root + "/real/sub/name.kvb"},
        {"relative through dot-dot", "../../link/x", root + "/real/x"},
        {"trailing slash names the directory", scratch.file("link") + "/", root + "/real/."},
        {"several trailing slashes", "../sub//", root + "/real/sub/."},
        {"path through a linked directory", scratch.file("link/sub/f"), root + "/real/sub/f"},
        {"last element that is a link stays", scratch.file("link"), root + "/link"},
        {"dot-dot as last element stays", scratch.file("link/sub/.."), root + "/real/sub/.."},
        {"missing parent is left as built", "/kvb-no-such-dir/a/b", "/kvb-no-such-dir/a/b"},
        {"relative with missing parent", "nodir/x", root + "/real/sub/nodir/x"},
        {"root", "/", "/"},
        {"entry directly below the root", "/kvb-no-such-entry", "/kvb-no-such-entry"},
        {"empty text is the working directory", "", root + "/real/sub/."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(K::argumentPathToCanonical(c.argument.c_str()), c.want);
    }
}

TEST_F(CanonicalPath, TildeWithoutHomeIsAnError) {
    unsetenv("HOME");
    EXPECT_THROW(K::argumentPathToCanonical("~/x"), std::runtime_error);
    EXPECT_THROW(K::argumentPathToCanonical("~"), std::runtime_error);
    EXPECT_EQ(K::argumentPathToCanonical(scratch.file("link/x").c_str()), root + "/real/x");
}

// --- small text helpers ---

TEST(TextHelpers, CaseFoldingCopyAndNarrowing) {
    EXPECT_EQ(K::compareNoCase("AbC", "aBc"), 0);
    EXPECT_LT(K::compareNoCase("abc", "abd"), 0);
    EXPECT_GT(K::compareNoCase("b", "A"), 0);
    EXPECT_NE(K::compareNoCase("\xC4", "\xE4"), 0);  // only ASCII letters fold
    EXPECT_EQ(K::compareNoCase(nullptr, nullptr), 0);
    EXPECT_NE(K::compareNoCase(nullptr, "a"), 0);

    EXPECT_EQ(utf8ToPlatformChar("gr\xC3\xBC\xC3\x9F"), "gr\xC3\xBC\xC3\x9F");
    EXPECT_EQ(utf8ToPlatformChar(nullptr), "");

    const wchar_t wide[] = {L'a', static_cast<wchar_t>(0x1F600), static_cast<wchar_t>(0xE9), 0};
    EXPECT_EQ(wideToString(wide), std::string("a\x00\xE9", 3));
    EXPECT_EQ(wideToString(nullptr), "");
}

}  // namespace
