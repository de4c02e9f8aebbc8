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

}  // namespace kvtest
