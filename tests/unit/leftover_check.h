#ifndef KVBSIGN_TEST_LEFTOVER_CHECK_H
#define KVBSIGN_TEST_LEFTOVER_CHECK_H

// Checks that the certificate steps removed their temporary directories. With a private /tmp
// every new /tmp/kvbsign* entry is a leftover. With a shared one, other tests running at the
// same time keep directories of their own for a moment, so only new directories that are empty
// or hold this area's working files count, and only when they are still there after a wait.

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>

#include "cli_runner.h"

namespace kvtest {

inline std::vector<std::string> certificateStepLeftovers(const std::set<std::string>& before, bool privateTmp) {
    namespace fs = boost::filesystem;
    auto suspects = [&before, privateTmp] {
        std::vector<std::string> found;
        for (const std::string& name : kvbsignTempEntries()) {
            if (before.count(name)) continue;
            const fs::path dir = fs::path("/tmp") / name;
            boost::system::error_code ec;
            if (privateTmp || fs::is_empty(dir, ec) || fs::exists(dir / "cert.p12", ec) ||
                fs::exists(dir / "tmppem.pem", ec))
                found.push_back(name);
        }
        return found;
    };
    std::vector<std::string> left = suspects();
    for (int i = 0; i < 50 && !left.empty() && !privateTmp; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::vector<std::string> now = suspects();
        const std::set<std::string> nowSet(now.begin(), now.end());
        std::vector<std::string> still;
        for (const std::string& name : left)
            if (nowSet.count(name)) still.push_back(name);
        left = still;
    }
    return left;
}

}  // namespace kvtest

#endif
