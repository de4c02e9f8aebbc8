// Running system tools, temporary directories and command-line paths.

#include "KVBSignLibInternal.h"
#include "shell_testing.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>

namespace fs = boost::filesystem;

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

// Keeps our descriptors off 0, 1 and 2, so that the child's dup2 calls cannot clobber one
// of them when the process runs with a standard stream closed.
int aboveStandardStreams(int fd) {
    if (fd < 0 || fd > 2) return fd;
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    close(fd);
    return moved;
}

void closeIfOpen(int fd) {
    if (fd >= 0) close(fd);
}

// Paths go into commands between double quotes without escaping; these characters keep
// their meaning there and would let a path change the command.
bool safeInDoubleQuotes(const std::string& text) {
    return text.find_first_of("\"$`\\") == std::string::npos;
}

}  // namespace

void kvbsignSetShellForTesting(const char* path) {
    shellPath() = path != nullptr ? path : "/bin/sh";
}

std::string KVBSignLibInternal::getOutputFromSystemCall(const std::string& command) {
    const std::string fullText = command + kRunnerSuffix;
    const std::string shell = shellPath();
    // Everything the child needs is ready before fork: between fork and exec it may only
    // make async-signal-safe calls.
    const char* argv[] = {shell.c_str(), "-c", fullText.c_str(), nullptr};

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return kRunnerFailedOutput;
    const int readEnd = aboveStandardStreams(fds[0]);
    const int writeEnd = aboveStandardStreams(fds[1]);
    const int devNull = aboveStandardStreams(open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (readEnd < 0 || writeEnd < 0 || devNull < 0) {
        closeIfOpen(readEnd);
        closeIfOpen(writeEnd);
        closeIfOpen(devNull);
        return kRunnerFailedOutput;
    }

    const pid_t pid = fork();
    if (pid < 0) {
        close(readEnd);
        close(writeEnd);
        close(devNull);
        return kRunnerFailedOutput;
    }
    if (pid == 0) {
        // A new session has no controlling terminal, and standard input is empty: no tool
        // can stop and wait for an answer (a password, "replace?") that never comes.
        setsid();
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGPIPE, &dfl, nullptr);
        if (dup2(devNull, 0) >= 0 && dup2(writeEnd, 1) >= 0) execv(argv[0], const_cast<char* const*>(argv));
        ssize_t ignored = write(writeEnd, kExecFailedOutput, sizeof(kExecFailedOutput) - 1);
        (void)ignored;
        _exit(127);
    }
    close(writeEnd);
    close(devNull);

    std::ostringstream output;
    bool complete = false;
    FILE* stream = fdopen(readEnd, "r");
    if (stream == nullptr) {
        close(readEnd);  // the child sees a broken pipe and ends
    } else {
        char buffer[128];
        while (!feof(stream) && !ferror(stream)) {
            errno = 0;
            const size_t n = fread(buffer, 1, sizeof buffer, stream);
            if (n > 0) output.write(buffer, static_cast<std::streamsize>(n));
            // A signal is no reason to stop reading: the marker is still to come.
            if (ferror(stream) && errno == EINTR) clearerr(stream);
        }
        complete = feof(stream) != 0;
        fclose(stream);  // closed before the wait, so a child still writing cannot block it
    }
    // Only reaps the child: the exit status travels in the marker.
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    std::string text = output.str();
    if (!complete) text += kRunnerFailedOutput;
    return text;
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

namespace {

// True when no entry name of the archive is absolute or climbs with "..". The extraction
// tool strips such parts and extracts inside the target, so the files would verify, while
// another extractor given the same archive writes outside its target: such an archive is
// refused. A name holding a line end only adds lines to look at, never hides one.
bool entryNamesStayInside(const std::string& packageText) {
    const std::string output =
        KVBSignLibInternal::getOutputFromSystemCall("unzip -Z1 \"" + packageText + "\"");
    if (KVBSignLibInternal::extractReturnCode(output) != 0) return false;
    const std::string::size_type marker = output.rfind("-kvbreturncode:");
    const std::string listing = output.substr(0, marker);
    std::string::size_type start = 0;
    // Each pass consumes one line, so the scan ends.
    while (start < listing.size()) {
        std::string::size_type end = listing.find('\n', start);
        if (end == std::string::npos) end = listing.size();
        const std::string name = listing.substr(start, end - start);
        start = end + 1;
        if (!name.empty() && (name[0] == '/' || name[0] == '\\')) return false;
        std::string::size_type element = 0;
        while (element <= name.size()) {
            std::string::size_type next = name.find_first_of("/\\", element);
            if (next == std::string::npos) next = name.size();
            if (name.compare(element, next - element, "..") == 0) return false;
            element = next + 1;
        }
    }
    return true;
}

}  // namespace

bool KVBSignLibInternal::unzip(boost::filesystem::path package, std::string destination) {
    try {
        if (!fs::exists(package)) {
            debugError("Cannot unzip KVB. No such file");
            return false;
        }
        const std::string packageText = package.generic_string();
        // An empty destination would extract into the working directory.
        if (destination.empty() || !safeInDoubleQuotes(packageText) || !safeInDoubleQuotes(destination)) {
            debugError("Cannot unzip KVB");
            return false;
        }
        if (!entryNamesStayInside(packageText)) {
            debugError("Cannot unzip KVB. Entry names leave the package");
            return false;
        }
        const std::string command =
            "unzip " "-q " "\"" + packageText + "\"" " -d " "\"" + destination + "\"";
        return extractReturnCode(getOutputFromSystemCall(command)) == 0;
    } catch (const std::exception&) {
        debugError("Cannot unzip KVB");
        return false;
    }
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
        if (!safeInDoubleQuotes(workingDirectory) || !safeInDoubleQuotes(absolutePackage) ||
            !safeInDoubleQuotes(item)) {
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

std::string KVBSignLibInternal::createTempDirectory(int quiet, int) {
    char pathTemplate[] = "/tmp/kvbsignXXXXXXXXXXXXXXXX";
    if (mkdtemp(pathTemplate) == nullptr) return std::string();
    // The directory exists now; if handing its name back fails (memory exhaustion), nobody
    // could remove it later, so remove it here.
    try {
        std::string path(pathTemplate);
        if (quiet == 0) debugMessage("TEMP DIRECTORY: " + path);
        return path;
    } catch (...) {
        rmdir(pathTemplate);
        throw;
    }
}

std::string KVBSignLibInternal::tmpDir() {
    return createTempDirectory(1, 0);
}

void KVBSignLibInternal::removeTempDirectory(std::string& path) {
    try {
        fs::remove_all(path);  // removes links, never follows them
    } catch (const fs::filesystem_error& e) {
        debugError(std::string("Failed to remove temporary directory: ") + e.what());
    }
}

std::string KVBSignLibInternal::argumentPathToCanonical(const char* argument) {
    std::string text = argument != nullptr ? argument : "";
    if (!text.empty() && text[0] == '~') {
        const char* home = getenv("HOME");
        if (home == nullptr) throw std::runtime_error("cannot expand ~: HOME is not set");
        text = std::string(home) + text.substr(1);
    }
    if (!fs::path(text).has_root_directory()) text = fs::current_path().generic_string() + "/" + text;

    // Split into parent and last element by hand: a trailing "/" names the directory itself
    // (last element "."), which boost versions do not agree on.
    const size_t lastChar = text.find_last_not_of('/');
    if (lastChar == std::string::npos) return text;  // the root: it has no parent
    std::string parent;
    std::string element;
    if (lastChar + 1 < text.size()) {
        parent = text.substr(0, lastChar + 1);
        element = ".";
    } else {
        const size_t slash = text.rfind('/', lastChar);  // found: the text is absolute here
        element = text.substr(slash + 1);
        const size_t parentEnd = text.find_last_not_of('/', slash);
        parent = parentEnd == std::string::npos ? "/" : text.substr(0, parentEnd + 1);
    }
    if (!fs::exists(parent)) return text;
    std::string base = fs::canonical(parent, fs::current_path()).generic_string();
    if (base.empty() || base.back() != '/') base += '/';  // "/" + "x" must not give "//x"
    return base + fs::path(element).generic_string();
}

int KVBSignLibInternal::compareNoCase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    return strcasecmp(a, b);
}

std::string utf8ToPlatformChar(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string wideToString(const wchar_t* text) {
    std::string result;
    if (text == nullptr) return result;
    for (; *text != L'\0'; ++text) result += static_cast<char>(static_cast<unsigned long>(*text) & 0xFFu);
    return result;
}
