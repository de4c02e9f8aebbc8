#include "private_tmp.h"

#include <sched.h>
#include <sys/mount.h>

#include <chrono>
#include <thread>

#include "cli_runner.h"

namespace kvtest {

namespace {

bool makePrivateTmp() {
    if (unshare(CLONE_NEWNS) != 0) return false;
    // Mounts must stop propagating to the namespace this one was copied from before anything is
    // mounted; otherwise the new /tmp would cover the machine's /tmp for everyone.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
    return mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") == 0;
}

}  // namespace

bool usePrivateTmp() {
    // Once per process: a second mount would hide what the tests made in the first.
    static const bool result = makePrivateTmp();
    return result;
}

std::set<std::string> newTempEntries(const std::set<std::string>& known) {
    const bool privateTmp = usePrivateTmp();
    std::set<std::string> extra;
    for (int attempt = 0; attempt < (privateTmp ? 1 : 30); ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        extra.clear();
        for (const std::string& name : kvbsignTempEntries())
            if (!known.count(name)) extra.insert(name);
        if (extra.empty()) break;
    }
    return extra;
}

}  // namespace kvtest
