#ifndef KVBSIGN_SYSTEM_SHELL_H
#define KVBSIGN_SYSTEM_SHELL_H

// The command runner, for a step that has work of its own to do while the command runs (the
// extraction checks the archive's data beside the extractor). KVBSignLibInternal::
// getOutputFromSystemCall runs a command to its end through the same runner.

#include <sys/resource.h>
#include <sys/types.h>

#include <string>

#include "system/unique_fd.h"

namespace kvbsign {

// No limit on the size of the files the command writes.
constexpr rlim_t kNoFileSizeLimit = RLIM_INFINITY;

// Paths go into commands between double quotes without escaping; these characters keep
// their meaning there and would let a path change the command.
bool safeInDoubleQuotes(const std::string& text);

// One command run through the shell, from its start until it is reaped. The shell leads a
// session of its own (no terminal, see start), so it and everything it starts form the process
// group of its pid, which stays ours until the shell is reaped: the whole group can be killed
// without hitting anyone else.
class ShellChild {
public:
    ShellChild() = default;
    ShellChild(const ShellChild&) = delete;
    ShellChild& operator=(const ShellChild&) = delete;
    ~ShellChild() { stop(); }

    // Starts `command` with its error output joined to its output; the files it writes may
    // grow to `fileSizeLimit` bytes. False when nothing could be started, or the verification
    // is being interrupted.
    bool start(const std::string& command, rlim_t fileSizeLimit);
    // The command's output up to its end, then the reaped shell. An interrupt kills the command
    // instead; the output then ends in a failure marker, as it does when the output could not
    // be read whole or the shell did not exit.
    std::string finish();
    // Kills the command with everything it started, and reaps it.
    void stop() noexcept;

private:
    bool readAll(std::string& output);
    void killGroup() noexcept;
    bool reap(int& status) noexcept;
    void closeOutput() noexcept;

    pid_t pid_ = -1;
    UniqueFd readEnd_;
};


}  // namespace kvbsign

#endif
