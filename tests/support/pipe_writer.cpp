#include "pipe_writer.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace kvtest {
namespace {

// Whether the process sleeps inside the open of a pipe: asleep (a woken process counts as
// running at once, before it gets to run), and in the kernel function of that wait or, where
// that name is not shown, in the open system call.
bool sleepsInPipeOpen(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    std::ifstream statFile(proc + "/stat");
    std::string stat;
    std::getline(statFile, stat);
    const std::string::size_type close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] != 'S') return false;
    std::ifstream wchan(proc + "/wchan");
    std::string function;
    if (wchan >> function && function == "fifo_open") return true;
    std::ifstream syscallFile(proc + "/syscall");
    long number = -1;
    if (!(syscallFile >> number)) return false;
#ifdef SYS_open
    if (number == SYS_open) return true;
#endif
    return number == SYS_openat;
}

}  // namespace

BlockedPipeWriter::BlockedPipeWriter(const std::string& pipePath) {
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        // Returns only when a reader opens the pipe.
        const int fd = open(pipePath.c_str(), O_WRONLY);
        _exit(fd >= 0 ? 0 : 1);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (sleepsInPipeOpen(pid_)) {
            blockedAtStart_ = true;
            break;
        }
        if (!alive()) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

BlockedPipeWriter::~BlockedPipeWriter() {
    if (pid_ > 0 && !exited_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool BlockedPipeWriter::alive() {
    if (exited_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0) return true;
    exited_ = true;
    return false;
}

bool BlockedPipeWriter::stillBlocked() { return alive() && sleepsInPipeOpen(pid_); }

}  // namespace kvtest
