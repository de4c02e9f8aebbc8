// Interrupted verifications. SIGINT, SIGTERM and SIGHUP, sent to the tool or to its process
// group (as Ctrl-C and a closed terminal do), while it waits for its extractor or for a CRL
// server: the tool must end by that signal, as if it did not handle it, and leave behind no
// process (the extractor runs in a session of its own, out of the group's reach) and nothing
// in /tmp.
//
// The waits are made certain: a stand-in `unzip` first on the search path blocks on a named
// pipe, a loopback CRL server never answers or sends its list a byte at a time. Only the end
// state is asserted; every wait is bounded generously.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include "child_process.h"
#include "cli_runner.h"
#include "http_server.h"
#include "leftover_check.h"
#include "package_builder.h"
#include "reader_agreement.h"
#include "test_pki.h"

namespace {

namespace fs = boost::filesystem;
using kvtest::HttpReply;
using kvtest::LoopbackHttpServer;

const int kWaitSeconds = 60;

struct Signal {
    int number;
    const char* name;
};
const Signal kSignals[] = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};

// True once `ready` holds, polled until the bound.
bool waitFor(const std::function<bool()>& ready, int seconds = kWaitSeconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!ready()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// True when some /tmp/kvbsign* directory holds the file `name`.
bool runHoldsFile(const std::string& name) {
    for (const std::string& entry : kvtest::kvbsignTempEntries()) {
        boost::system::error_code ec;
        if (fs::exists(fs::path("/tmp") / entry / name, ec)) return true;
    }
    return false;
}

class InterruptCli : public ::testing::Test {
protected:
    // Orphans (the extractor and its shell, once the tool is gone) come to this process, which
    // reaps them, so that none lingers as a zombie.
    static void SetUpTestSuite() { prctl(PR_SET_CHILD_SUBREAPER, 1); }

    void SetUp() override { kvtest::writePemBundle(scratch.file("roots.pem"), {kvtest::pki().root.cert.get()}); }

    void TearDown() override {
        while (waitpid(-1, nullptr, WNOHANG) > 0) {
        }
    }

    // A zipped package whose signer names these CRL points.
    std::string package(const std::vector<std::string>& crlUrls) {
        signer.key = kvtest::makeRsaKey(2048, 65537, 5);
        kvtest::CertSpec spec = kvtest::leafSpec("KVB Interrupted Signer", "7B01");
        spec.crlUrls = crlUrls;
        signer.cert = kvtest::makeCert(spec, signer.key.get(), kvtest::pki().intermediate.cert.get(),
                                       kvtest::pki().intermediate.key.get());
        kvtest::PackageBuilder b;
        b.signer(signer.key.get())
            .keyInfoCerts({signer.cert.get(), kvtest::pki().intermediate.cert.get(), kvtest::pki().root.cert.get()})
            .addFile("index.html", "<html></html>\n")
            .addFile("lib/app.js", "console.log('app');\n");
        const std::string zip = scratch.file("pkg.kvb");
        b.build(scratch.file("src")).zip(zip);
        return zip;
    }

    kvtest::EnvList env(const kvtest::ExtractionWatch& watch) const {
        kvtest::EnvList list = {{"SSL_CERT_FILE", scratch.file("roots.pem")},
                                {"KVBSIGN_CRL_CACHE", scratch.file("no-cache.db")}};
        for (const auto& e : watch.env()) list.push_back(e);
        return list;
    }

    // Tells, for one run about to start, when the tool waits.
    using Waiting = std::function<std::function<bool()>(const kvtest::ExtractionWatch&)>;

    // Runs the tool once per signal and per target (the tool itself, its process group) over
    // `args`: once it waits, sends the signal, and checks the end state.
    void interruptEachWay(const std::vector<std::string>& args, kvtest::ExtractionWatch::Extractor extractor,
                          const Waiting& waiting) {
        for (const Signal& signal : kSignals) {
            for (const bool toGroup : {false, true}) {
                SCOPED_TRACE(std::string(signal.name) + (toGroup ? " to the process group" : " to the process"));
                const kvtest::ExtractionWatch watch(extractor);
                const std::set<std::string> before = kvtest::kvbsignTempEntries();
                const std::function<bool()> ready = waiting(watch);
                const std::unique_ptr<kvtest::StartedProgram> tool = kvtest::startCli(args, env(watch));
                ASSERT_TRUE(waitFor(ready)) << "the tool never got to the wait";
                // The run has made its directories: what follows shows they go again.
                EXPECT_FALSE(kvtest::newTempEntries(before).empty());
                const kvtest::ProcessId standIn = watch.extractor();

                ASSERT_EQ(kill(toGroup ? -tool->pid() : tool->pid(), signal.number), 0);
                const kvtest::CliResult r = tool->wait(kWaitSeconds);

                EXPECT_FALSE(r.timedOut);
                EXPECT_EQ(r.signal, signal.number) << "exit code " << r.exitCode << "\n" << r.out << r.err;
                EXPECT_TRUE(kvtest::processEnds(standIn, 20)) << "the extractor outlived the tool";
                for (const std::string& name : kvtest::newTempEntries(before))
                    ADD_FAILURE() << "left behind: /tmp/" << name;
                while (waitpid(-1, nullptr, WNOHANG) > 0) {
                }
            }
        }
    }

    kvtest::ScratchDir scratch;
    kvtest::CertAndKey signer;
};

// The stand-in has written into the extraction directory and waits; the tool waits for it.
TEST_F(InterruptCli, WhileTheExtractorRuns) {
    const std::string zip = package({});
    interruptEachWay({"-verify", zip, "-skipOnlineRevocationChecks"}, kvtest::ExtractionWatch::Extractor::blocking,
                     [](const kvtest::ExtractionWatch& watch) {
                         return [&watch] { return watch.extractor().pid != 0; };
                     });
}

// Connected, the request sent, no answer: the tool waits in its read.
TEST_F(InterruptCli, WhileACrlServerNeverAnswers) {
    LoopbackHttpServer server("127.77.31.1");
    KVTEST_REQUIRE_SERVER(server);
    server.on("/signer.crl", HttpReply::neverAnswer());
    const std::string zip = package({server.url("/signer.crl")});
    interruptEachWay({"-verify", zip, "-certInfo"}, kvtest::ExtractionWatch::Extractor::system,
                     [&server](const kvtest::ExtractionWatch&) {
                         const int before = server.connections();
                         return [&server, before] { return server.connections() > before; };
                     });
}

// The list arrives a byte at a time into the download's own directory, which must go too.
TEST_F(InterruptCli, WhileAListIsDownloaded) {
    LoopbackHttpServer server("127.77.31.2");
    KVTEST_REQUIRE_SERVER(server);
    const std::string body(100000, '\x30');
    server.on("/signer.crl",
              HttpReply::drip("HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, 2,
                              false));
    const std::string zip = package({server.url("/signer.crl")});
    interruptEachWay({"-verify", zip, "-certInfo"}, kvtest::ExtractionWatch::Extractor::system,
                     [](const kvtest::ExtractionWatch&) { return [] { return runHoldsFile("revoked.crl"); }; });
}

}  // namespace
