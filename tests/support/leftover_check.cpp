#include "leftover_check.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <boost/filesystem.hpp>

#include "cli_runner.h"
#include "private_tmp.h"

namespace kvtest {

namespace {

// When the entry was made: its birth time where the file system keeps one, else its last
// status change. False when the entry is gone.
bool madeAt(const std::string& path, struct timespec& when) {
    struct statx info {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &info) != 0) return false;
    const struct statx_timestamp& t = (info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_ctime;
    when.tv_sec = static_cast<time_t>(t.tv_sec);
    when.tv_nsec = static_cast<long>(t.tv_nsec);
    return true;
}

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

// Whether the hints leave the new entry `name` to the run.
bool mayBeTheRuns(const std::string& name, const LeftoverHints& hints) {
    namespace fs = boost::filesystem;
    const fs::path path = fs::path("/tmp") / name;
    if (hints.runEnded.tv_sec != 0) {
        struct timespec made {};
        if (!madeAt(path.string(), made) || later(made, hints.runEnded)) return false;
    }
    if (hints.workingFiles.empty()) return true;
    boost::system::error_code ec;
    if (fs::is_empty(path, ec)) return true;
    for (const std::string& file : hints.workingFiles)
        if (fs::exists(path / file, ec)) return true;
    return false;
}

}  // namespace

LeftoverHints runEndedAt(const struct timespec& runEnded) {
    LeftoverHints hints;
    hints.runEnded = runEnded;
    return hints;
}

LeftoverHints certificateStepHints() {
    LeftoverHints hints;
    hints.workingFiles = {"cert.p12", "tmppem.pem"};
    return hints;
}

std::set<std::string> newTempEntries(const std::set<std::string>& known, const LeftoverHints& hints) {
    const bool shared = !usePrivateTmp();
    auto suspects = [&] {
        std::set<std::string> found;
        for (const std::string& name : kvbsignTempEntries())
            if (!known.count(name) && (!shared || mayBeTheRuns(name, hints))) found.insert(name);
        return found;
    };
    std::set<std::string> left = suspects();
    if (!shared) return left;
    static std::atomic<int> budgetMs{20000};
    // An entry that other tests made goes within the wait; one that appears meanwhile is not
    // the run's, so only the first suspects that are still there count.
    for (int waitedMs = 0; !left.empty() && waitedMs < 3000 && budgetMs > 0; waitedMs += 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        budgetMs -= 100;
        const std::set<std::string> now = suspects();
        for (auto it = left.begin(); it != left.end();) it = now.count(*it) ? std::next(it) : left.erase(it);
    }
    return left;
}

struct timespec wallClockNow() {
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

}  // namespace kvtest
