// Running system tools.

#include "system/shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include <boost/filesystem/operations.hpp>

#include "KVBSignLibInternal.h"
#include "system/interrupt.h"
#include "system/shell_testing.h"

namespace fs = boost::filesystem;

extern char** environ;

namespace {

const char kReturnCodeMarker[] = "-kvbreturncode:";

// Joins the command's error output to its output and reports its exit status after it.
const char kRunnerSuffix[] = " 2>&1 ; echo \"-kvbreturncode:$?\"";
static_assert(sizeof(kRunnerSuffix) - 1 == 32, "runner suffix length");

// What the runner returns when it could not start the shell or read all of its output.
// Callers treat a missing marker as success, so these must carry a failure code.
const char kRunnerFailedOutput[] = "-kvbreturncode:-1\n";
const char kExecFailedOutput[] = "-kvbreturncode:127\n";

std::string& shellPath() {
    static std::string path = "/bin/sh";
    return path;
}

using kvbsign::UniqueFd;

// Keeps our descriptors off 0, 1 and 2, so that the child's dup2 calls cannot clobber one
// of them when the process runs with a standard stream closed.
UniqueFd aboveStandardStreams(int fd) {
    UniqueFd owned(fd);
    if (fd < 0 || fd > 2) return owned;
    return UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 3));  // the low one closes as `owned` goes
}

bool isZipToolOption(const char* variable) {
    for (const char* name : {"UNZIP=", "UNZIPOPT=", "ZIPINFO=", "ZIPINFOOPT=", "ZIP=", "ZIPOPT="}) {
        if (std::strncmp(variable, name, std::strlen(name)) == 0) return true;
    }
    return false;
}

// How often a wait looks at the interrupt flag when it has no pipe to wake it.
constexpr int kFlagLookMs = 100;

}  // namespace

void kvbsignSetShellForTesting(const char* path) {
    shellPath() = path != nullptr ? path : "/bin/sh";
}

namespace kvbsign {

bool safeInDoubleQuotes(const std::string& text) {
    return text.find_first_of("\"$`\\") == std::string::npos;
}

bool ShellChild::start(const std::string& command, rlim_t fileSizeLimit) {
    // Once interrupted, nothing new is started.
    if (kvbsign::interrupt::interrupted()) return false;
    const std::string fullText = command + kRunnerSuffix;
    const std::string shell = shellPath();
    // Everything the child needs is ready before fork: between fork and exec it may only
    // make async-signal-safe calls.
    const char* argv[] = {shell.c_str(), "-c", fullText.c_str(), nullptr};
    // The environment goes on, but for the variables in which the zip tools take options
    // from the user: they could make the extractor drop directories or rewrite line ends.
    std::vector<const char*> environment;
    for (char** variable = environ; variable != nullptr && *variable != nullptr; ++variable) {
        if (!isZipToolOption(*variable)) environment.push_back(*variable);
    }
    environment.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd readEnd = aboveStandardStreams(fds[0]);
    // Our copies of the write end and the child's input close as this call returns, so the
    // output ends once the child and what it started have closed theirs.
    const UniqueFd writeEnd = aboveStandardStreams(fds[1]);
    const UniqueFd devNull = aboveStandardStreams(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (readEnd.get() < 0 || writeEnd.get() < 0 || devNull.get() < 0) return false;

    pid_t pid;
    {
        // Until the child has put the defaults back, a signal must not run our handler there.
        const kvbsign::interrupt::SignalsBlocked blocked;
        pid = fork();
        if (pid == 0) {
            // A new session has no controlling terminal, and standard input is empty: no tool
            // can stop and wait for an answer (a password, "replace?") that never comes.
            setsid();
            kvbsign::interrupt::resetSignalsInChild();
            if (fileSizeLimit != kNoFileSizeLimit) {
                // A write past the limit ends the tool with SIGXFSZ, which must not leave a core
                // file behind in the working directory.
                struct rlimit core;
                struct rlimit files;
                if (getrlimit(RLIMIT_CORE, &core) != 0 || getrlimit(RLIMIT_FSIZE, &files) != 0) _exit(127);
                core.rlim_cur = 0;
                if (files.rlim_cur == RLIM_INFINITY || files.rlim_cur > fileSizeLimit) files.rlim_cur = fileSizeLimit;
                if (setrlimit(RLIMIT_CORE, &core) != 0 || setrlimit(RLIMIT_FSIZE, &files) != 0) _exit(127);
            }
            if (dup2(devNull.get(), 0) >= 0 && dup2(writeEnd.get(), 1) >= 0)
                execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(environment.data()));
            ssize_t ignored = write(writeEnd.get(), kExecFailedOutput, sizeof(kExecFailedOutput) - 1);
            (void)ignored;
            _exit(127);
        }
    }
    if (pid < 0) return false;
    pid_ = pid;
    readEnd_ = std::move(readEnd);
    return true;
}

// Reads until the end of the output; false when interrupted or the pipe fails.
bool ShellChild::readAll(std::string& output) {
    char buffer[4096];
    for (;;) {
        if (kvbsign::interrupt::interrupted()) return false;
        const int wake = kvbsign::interrupt::wakeDescriptor();
        pollfd fds[2] = {{readEnd_.get(), POLLIN, 0}, {wake, POLLIN, 0}};
        const int ready = poll(fds, wake >= 0 ? 2 : 1, wake >= 0 ? -1 : kFlagLookMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0 || (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
        const ssize_t n = read(readEnd_.get(), buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

void ShellChild::closeOutput() noexcept { readEnd_.reset(); }

void ShellChild::killGroup() noexcept {
    if (pid_ <= 0) return;
    // The pid names the shell and its group only while the shell is our child, running or not
    // yet reaped: a host that ignores SIGCHLD has it reaped as it ends, and the pid may then be
    // another process's.
    siginfo_t info;
    std::memset(&info, 0, sizeof info);
    if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0) return;
    // The shell first, so that it starts nothing more; then its group, which holds it from the
    // moment it made its session (before that it had started nothing).
    kill(pid_, SIGKILL);
    kill(-pid_, SIGKILL);
}

// True with the status once the shell is reaped; false when there was nothing to reap (a host
// that ignores SIGCHLD has it reaped by the kernel).
bool ShellChild::reap(int& status) noexcept {
    for (;;) {
        const pid_t reaped = waitpid(pid_, &status, 0);
        if (reaped == pid_ || errno != EINTR) {
            pid_ = -1;
            return reaped >= 0;
        }
        // A shell that closed its output early may still be running.
        if (kvbsign::interrupt::interrupted()) killGroup();
    }
}

std::string ShellChild::finish() {
    std::string output;
    const bool complete = readAll(output);
    closeOutput();  // closed before the wait, so a child still writing cannot block it
    if (!complete) killGroup();
    // The exit status travels in the marker; a shell that was killed never wrote one.
    int status = 0;
    const bool reaped = reap(status);
    if (!complete || (reaped && !WIFEXITED(status))) output += kRunnerFailedOutput;
    return output;
}

void ShellChild::stop() noexcept {
    closeOutput();
    if (pid_ <= 0) return;
    killGroup();
    int status = 0;
    reap(status);
}

}  // namespace kvbsign

std::string KVBSignLibInternal::getOutputFromSystemCall(const std::string& command) {
    kvbsign::ShellChild child;
    if (!child.start(command, kvbsign::kNoFileSizeLimit)) return kRunnerFailedOutput;
    return child.finish();
}

int KVBSignLibInternal::extractReturnCode(const std::string& output) {
    const size_t pos = output.rfind(kReturnCodeMarker);
    if (pos == std::string::npos) return 0;
    const long code = strtol(output.c_str() + pos + sizeof(kReturnCodeMarker) - 1, nullptr, 10);
    // Out-of-range text must not wrap round to 0, which every caller reads as success.
    if (code > INT_MAX) return INT_MAX;
    if (code < INT_MIN) return INT_MIN;
    return static_cast<int>(code);
}

bool addToZip(const std::string& workingDirectory, const std::string& packagePath, const std::string& item) {
    try {
        if (fs::exists(packagePath) && item == "mimetype") {
            KVBSignLibInternal::debugError("KVB already exists: " + packagePath);
            return false;
        }
        // The package need not exist yet, only the directory that will hold it.
        std::string absolutePackage;
        if (char* resolved = realpath(packagePath.c_str(), nullptr)) {
            absolutePackage = resolved;
            free(resolved);
        } else {
            const fs::path package(packagePath);
            const std::string name = package.filename().string();
            std::string directory = package.parent_path().string();
            if (directory.empty()) directory = ".";
            char* resolvedDir = realpath(directory.c_str(), nullptr);
            if (resolvedDir == nullptr || name.empty() || name == "." || name == "..") {
                free(resolvedDir);
                KVBSignLibInternal::debugError("Cannot resolve package path: " + packagePath);
                return false;
            }
            absolutePackage = resolvedDir;
            free(resolvedDir);
            if (absolutePackage.back() != '/') absolutePackage += '/';
            absolutePackage += name;
        }
        // With "cd ... ; zip", a failed cd would let zip pick the item up from wherever the
        // process happens to run.
        if (!fs::is_directory(workingDirectory)) {
            KVBSignLibInternal::debugError("No such working directory: " + workingDirectory);
            return false;
        }
        if (!kvbsign::safeInDoubleQuotes(workingDirectory) || !kvbsign::safeInDoubleQuotes(absolutePackage) ||
            !kvbsign::safeInDoubleQuotes(item)) {
            KVBSignLibInternal::debugError("Cannot quote path for zip");
            return false;
        }
        const std::string command = "cd \"" + workingDirectory + "\"" " ; zip -r -y " "-q " +
                                    "--compression-method deflate " "\"" + absolutePackage + "\"" " " "\"" + item +
                                    "\"" " --exclude .DS_Store Thumbs.db desktop.ini";
        return KVBSignLibInternal::extractReturnCode(KVBSignLibInternal::getOutputFromSystemCall(command)) == 0;
    } catch (const std::exception&) {
        KVBSignLibInternal::debugError("Cannot add to KVB: " + item);
        return false;
    }
}
