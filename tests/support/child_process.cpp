#include "child_process.h"

#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace kvtest {

int runInChild(const std::function<int()>& body, int timeoutSeconds) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        int code = 125;
        try {
            code = body();
        } catch (...) {
            code = 124;
        }
        std::fflush(nullptr);
        _exit(code);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool becomeNobody() {
    const passwd* user = getpwnam("nobody");
    if (user == nullptr) return false;
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    return setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 &&
           geteuid() == uid;
}

bool mountSmallTmp(int megabytes) {
    if (unshare(CLONE_NEWNS) != 0) return false;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    const std::string options = "mode=1777,size=" + std::to_string(megabytes) + "m";
    return mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
}

bool canDropPrivileges() { return geteuid() == 0 && getpwnam("nobody") != nullptr; }

namespace {

// The state letter and start time of the process under `pid`; false when there is none.
bool readProcessStat(pid_t pid, char& state, unsigned long long& startTime) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!in || !std::getline(in, text)) return false;
    // The name in parentheses may hold blanks and parentheses itself: the fields start after
    // the last ")".
    const std::size_t close = text.rfind(')');
    if (close == std::string::npos) return false;
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    // Field 3 is the state, field 22 the start time.
    for (int number = 3; number <= 22 && fields >> field; ++number) {
        if (number == 3) state = field.empty() ? '?' : field[0];
        if (number == 22) {
            startTime = std::stoull(field);
            return true;
        }
    }
    return false;
}

}  // namespace

ProcessId lookAtProcess(pid_t pid) {
    ProcessId process;
    process.pid = pid;
    char state = 0;
    if (!readProcessStat(pid, state, process.startTime)) process.startTime = 0;
    return process;
}

bool processEnds(const ProcessId& process, int timeoutSeconds) {
    if (process.pid <= 0 || process.startTime == 0) return true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    for (;;) {
        char state = 0;
        unsigned long long startTime = 0;
        if (!readProcessStat(process.pid, state, startTime) || startTime != process.startTime || state == 'Z' ||
            state == 'X')
            return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace kvtest
