#include "system_check/system_check.h"

namespace kvbsign {
namespace system_check {
namespace {

void (*replacement)(const std::string&) = nullptr;

}  // namespace

void checkChainFile(const std::string& pemFile) {
    if (replacement != nullptr) {
        replacement(pemFile);
        return;
    }
    // This platform has no command that checks a chain against the system's trust settings.
    // Nothing is started: a program of that name found on the search path would be someone
    // else's, run with the chain's file.
}

void setChainCheckForTesting(void (*check)(const std::string& pemFile)) { replacement = check; }

}  // namespace system_check
}  // namespace kvbsign
