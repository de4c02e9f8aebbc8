#include "private_tmp.h"

#include <sched.h>
#include <sys/mount.h>

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

}  // namespace kvtest
