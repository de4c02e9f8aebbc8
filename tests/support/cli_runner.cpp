#include "cli_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <boost/filesystem.hpp>

#include "private_tmp.h"

extern char** environ;

namespace kvtest {
namespace {

std::vector<std::string> buildEnvironment(const EnvList& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const auto& kv : extra) {
        bool remove = !kv.first.empty() && kv.first[0] == '-';
        std::string name = remove ? kv.first.substr(1) : kv.first;
        for (auto it = env.begin(); it != env.end();) {
            if (it->compare(0, name.size() + 1, name + "=") == 0)
                it = env.erase(it);
            else
                ++it;
        }
        if (!remove) env.push_back(name + "=" + kv.second);
    }
    return env;
}

}  // namespace

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                               const std::string& cwd) {
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        throw std::runtime_error("pipe failed");
    }

    std::vector<std::string> argStore;
    argStore.push_back(program);
    argStore.insert(argStore.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argStore) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envStore = buildEnvironment(env);
    std::vector<char*> envp;
    for (auto& e : envStore) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    pid_t pid = fork();
    if (pid < 0) {
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) dup2(devnull, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    // Both sides set the group, so that it exists before either goes on.
    setpgid(pid, pid);
    close(outPipe[1]);
    close(errPipe[1]);
    pid_ = pid;
    out_ = outPipe[0];
    err_ = errPipe[0];
}

StartedProgram::~StartedProgram() {
    if (pid_ > 0) {
        kill(-pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
    for (int fd : {out_, err_})
        if (fd >= 0) close(fd);
}

CliResult StartedProgram::wait(int timeoutSeconds) {
    CliResult result;
    if (pid_ <= 0) return result;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    int open = 2;
    char buf[65536];
    int status = 0;
    bool ended = false;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            kill(-pid_, SIGKILL);
            break;
        }
        int r = poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 50)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) break;
        if (r == 0) {
            // Once the program has ended and its output is read, a process it left behind
            // with the pipes open is not waited for.
            if (ended) break;
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0) close(f.fd);
    out_ = err_ = -1;
    while (!ended && waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
        result.exitCode = 128 + result.signal;
    }
    return result;
}

CliResult runProgram(const std::string& program, const std::vector<std::string>& args, const EnvList& env,
                     int timeoutSeconds, const std::string& cwd) {
    StartedProgram started(program, args, env, cwd);
    return started.wait(timeoutSeconds);
}

std::unique_ptr<StartedProgram> startCli(const std::vector<std::string>& args, const EnvList& env,
                                         const std::string& cwd) {
    return std::unique_ptr<StartedProgram>(new StartedProgram(KVBSIGN_CMD_PATH, args, env, cwd));
}

CliResult runCli(const std::vector<std::string>& args, const EnvList& env, int timeoutSeconds, const std::string& cwd) {
    return runProgram(KVBSIGN_CMD_PATH, args, env, timeoutSeconds, cwd);
}

std::set<std::string> kvbsignTempEntries() {
    std::set<std::string> names;
    boost::system::error_code ec;
    for (boost::filesystem::directory_iterator it("/tmp", ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        // A checkout below /tmp that the private /tmp shows again is nobody's leftover.
        if (name.compare(0, 7, "kvbsign") == 0 && !boundBackTmpEntries().count(name)) names.insert(name);
    }
    return names;
}

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/kvbtest-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    boost::system::error_code ec;
    // Tests may leave read-only directories behind; make them writable before removal.
    for (boost::filesystem::recursive_directory_iterator it(path_, ec), end; !ec && it != end; it.increment(ec)) {
        if (boost::filesystem::is_directory(it->symlink_status()))
            boost::filesystem::permissions(it->path(), boost::filesystem::owner_all | boost::filesystem::add_perms, ec);
    }
    boost::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = getenv(name)) {
        had_ = true;
        old_ = old;
    }
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
    tzset();
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        setenv(name_.c_str(), old_.c_str(), 1);
    else
        unsetenv(name_.c_str());
    tzset();
}

void writeFile(const std::string& path, const std::string& bytes) {
    boost::filesystem::path p(path);
    if (p.has_parent_path()) boost::filesystem::create_directories(p.parent_path());
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    if (!f) throw std::runtime_error("cannot write " + path);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace kvtest
