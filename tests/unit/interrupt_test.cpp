// Interruption of a verification: what the signal handler records, the dispositions it leaves,
// the signal raised again at the end, and the waits that end on it (a command and what it
// started, a stalled download). Each case runs in a forked child, which the raised signal ends.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "KVBSignLibInternal.h"
#include "child_process.h"
#include "cli_runner.h"
#include "http_server.h"
#include "revocation/crl_download_limits.h"
#include "system/interrupt.h"

namespace {

namespace interrupt = kvbsign::interrupt;
using K = KVBSignLibInternal;

const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Codes a child returns for the first check that failed inside the scope.
constexpr int kNotRecorded = 2;
constexpr int kWrongSignal = 3;
constexpr int kNoWake = 4;
constexpr int kDied = 5;
constexpr int kNotKilled = 6;
constexpr int kMadeDirectory = 7;
constexpr int kOwnHandler = 8;
constexpr int kKept = 9;
constexpr int kNoServer = 10;

// In a child: `during` inside a scope, then the scope's end. The child's status: 0 when the end
// came back, 128 + the signal that ended the child, or the code `during` gave.
int inScope(const std::function<int()>& during) {
    return kvtest::runInChild([&] {
        interrupt::Scope scope;
        const int code = during();
        if (code != 0) _exit(code);
        scope.end();
        return 0;
    });
}

bool wakeReadable() {
    pollfd wake = {interrupt::wakeDescriptor(), POLLIN, 0};
    return wake.fd >= 0 && poll(&wake, 1, 0) == 1 && (wake.revents & POLLIN) != 0;
}

TEST(Interrupt, EachSignalIsRecordedThenRaisedAgainAtTheEnd) {
    for (const int signal : kSignals) {
        SCOPED_TRACE(strsignal(signal));
        EXPECT_EQ(inScope([signal] {
                      if (interrupt::interrupted() || wakeReadable()) return kNotRecorded;
                      raise(signal);
                      if (!interrupt::interrupted()) return kNotRecorded;
                      if (interrupt::signalNumber() != signal) return kWrongSignal;
                      return wakeReadable() ? 0 : kNoWake;
                  }),
                  128 + signal);
    }
}

// A second Ctrl-C while the tree is removed neither ends the removal nor changes the signal.
TEST(Interrupt, OnlyTheFirstSignalCounts) {
    EXPECT_EQ(inScope([] {
                  raise(SIGTERM);
                  raise(SIGINT);
                  raise(SIGHUP);
                  return interrupt::signalNumber() == SIGTERM ? 0 : kWrongSignal;
              }),
              128 + SIGTERM);
}

std::atomic<int> gOwnHandlerRuns{0};
void ownHandler(int) { ++gOwnHandlerRuns; }

// A caller's own handler gets the signal at the end, and then the call returns; a signal the
// process ignores (a run under nohup) does not interrupt it.
TEST(Interrupt, DispositionsFoundAreKept) {
    const int status = kvtest::runInChild([] {
        struct sigaction own = {};
        own.sa_handler = ownHandler;
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        if (sigaction(SIGTERM, &own, nullptr) != 0 || sigaction(SIGHUP, &ignore, nullptr) != 0) return 100;
        bool interrupted = false;
        {
            interrupt::Scope scope;
            raise(SIGHUP);
            if (interrupt::interrupted()) return kNotRecorded;
            raise(SIGTERM);
            if (!interrupt::interrupted() || gOwnHandlerRuns != 0) return kOwnHandler;
            interrupted = scope.end();
        }
        if (!interrupted || gOwnHandlerRuns != 1 || interrupt::interrupted()) return kOwnHandler;
        struct sigaction now;
        if (sigaction(SIGTERM, nullptr, &now) != 0 || now.sa_handler != ownHandler) return kKept;
        if (sigaction(SIGHUP, nullptr, &now) != 0 || now.sa_handler != SIG_IGN) return kKept;
        return 0;
    });
    EXPECT_EQ(status, 0);
}

// The signal comes from the command itself while it waits on what it started: the runner
// ends the whole group, reaps the shell and reports a failure; nothing new is made afterwards.
TEST(Interrupt, ACommandAndWhatItStartedAreKilled) {
    kvtest::ScratchDir scratch;
    const std::string record = scratch.file("sleeper");
    EXPECT_EQ(inScope([&] {
                  const std::string out = K::getOutputFromSystemCall(
                      "sleep 600 & echo \"$! $(cut -d' ' -f22 /proc/$!/stat)\" > \"" + record +
                      "\"; kill -TERM $PPID; wait");
                  if (K::extractReturnCode(out) == 0) return kDied;
                  std::istringstream in(kvtest::readFile(record));
                  kvtest::ProcessId sleeper;
                  in >> sleeper.pid >> sleeper.startTime;
                  if (sleeper.pid <= 0 || !kvtest::processEnds(sleeper, 20)) return kNotKilled;
                  if (!K::createTempDirectory(1, 0).empty()) return kMadeDirectory;
                  // Nothing more is started either.
                  return K::extractReturnCode(K::getOutputFromSystemCall("true")) != 0 ? 0 : kDied;
              }),
              128 + SIGTERM);
}

// The server takes the request and never answers; the download's own bounds lie far beyond
// the bound of the child, so only the signal can end the wait in time.
TEST(Interrupt, AStalledDownloadEndsOnTheSignal) {
    const int status = inScope([] {
                  kvtest::LoopbackHttpServer server("127.77.31.3");
                  if (!server.started()) return kNoServer;
                  server.on("/stalled.crl", kvtest::HttpReply::neverAnswer());
                  kvbsignSetCrlTimeoutsForTesting(600000, 600000, 600000);
                  std::thread signaller([&server] {
                      while (server.connections() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                      kill(getpid(), SIGINT);
                  });
                  RevocationMap map;
                  const bool fetched = K::downloadAndParseCRL(server.url("/stalled.crl"), map);
                  signaller.join();
                  return fetched ? kDied : 0;
              });
    if (status == kNoServer) GTEST_SKIP() << "cannot serve HTTP on port 80 here";
    EXPECT_EQ(status, 128 + SIGINT);
}

}  // namespace
