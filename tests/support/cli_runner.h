#ifndef KVBSIGN_TEST_CLI_RUNNER_H
#define KVBSIGN_TEST_CLI_RUNNER_H

#include <sys/types.h>

#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kvtest {

struct CliResult {
    int exitCode = -1;     // exit status, or 128 + signal number
    int signal = 0;        // the signal that ended the process, 0 when it exited
    std::string out;       // standard output
    std::string err;       // standard error
    bool timedOut = false; // killed after the time limit
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

// A program started in a process group of its own, standard input from /dev/null, its output
// collected by wait(). For tests that act on the process while it runs. The destructor kills
// the group and reaps the program if wait() was not called.
class StartedProgram {
public:
    StartedProgram(const std::string& program, const std::vector<std::string>& args, const EnvList& env = {},
                   const std::string& cwd = "");
    ~StartedProgram();
    StartedProgram(const StartedProgram&) = delete;
    StartedProgram& operator=(const StartedProgram&) = delete;
    pid_t pid() const { return pid_; }
    // Collects the output until the program ends; after timeoutSeconds kills its group.
    CliResult wait(int timeoutSeconds);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

// Runs a program with the given arguments (argv[0] is the program path), standard input
// from /dev/null, and the extra environment entries added to (or, with an empty value
// and a name starting with '-', removed from) the current environment. Waits at most
// timeoutSeconds, then kills the process group.
CliResult runProgram(const std::string& program, const std::vector<std::string>& args, const EnvList& env = {},
                     int timeoutSeconds = 60, const std::string& cwd = "");

// Starts the built KVBSignCmd.
std::unique_ptr<StartedProgram> startCli(const std::vector<std::string>& args, const EnvList& env = {},
                                         const std::string& cwd = "");

// Runs the built KVBSignCmd.
CliResult runCli(const std::vector<std::string>& args, const EnvList& env = {}, int timeoutSeconds = 60,
                 const std::string& cwd = "");

// The names of the /tmp/kvbsign* entries that exist now (directories bound back into a private
// /tmp, see private_tmp.h, left out).
std::set<std::string> kvbsignTempEntries();

// A scratch directory for one test (/tmp/kvbtest-XXXXXX), removed with everything below it.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& relative) const { return path_ + "/" + relative; }

private:
    std::string path_;
};

// Sets one environment variable for a scope (a null value unsets it) and restores it
// afterwards. The time zone is re-read on both ends, so "TZ" takes effect at once.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

// Small file helpers for tests; they throw std::runtime_error on failure.
void writeFile(const std::string& path, const std::string& bytes); // makes parent directories
std::string readFile(const std::string& path);

}  // namespace kvtest

#endif
