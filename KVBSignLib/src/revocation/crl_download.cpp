// One CRL over HTTP/1.0: plain TCP to the "http" service of the URL's host, one request per
// connection, the body kept in a temporary file and handed to the DER list parser.
//
// A CRL server is outside our control, so nothing it does may hold the verification: name
// resolution and connection, every read or write, and the whole download (the list's reading
// included) are bounded in time, never past what the revocation check has left, and the
// response headers and body are bounded in size. Hitting a bound fails the fetch exactly like
// a network error does. The URL comes from a certificate: one that could change the request's
// lines is never requested.

#include "revocation/crl_download_limits.h"
#include "revocation/crl_reading.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <istream>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>
#include <boost/system/system_error.hpp>

#include "KVBSignLibInternal.h"
#include "system/interrupt.h"
#include "system/temp_dir.h"
#include "system/unique_fd.h"

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kDefaultConnectMs = 10 * 1000;
constexpr int kDefaultIdleMs = 30 * 1000;
constexpr int kDefaultTotalMs = 60 * 1000;
constexpr std::size_t kMaxHeaderBytes = 64 * 1024;  // status line and header lines together
constexpr std::int64_t kDefaultMaxBodyBytes = std::int64_t(256) * 1024 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// The longest a wait goes without looking at the interrupt flag.
constexpr Millis kInterruptLook(100);

int gConnectMs = kDefaultConnectMs;
int gIdleMs = kDefaultIdleMs;
int gTotalMs = kDefaultTotalMs;
std::int64_t gMaxBodyBytes = kDefaultMaxBodyBytes;

// A byte below 0x21 (the controls and the blank) or DEL would end the request line or the
// Host line early and start a header or a request of the URL's own.
bool requestable(const std::string& url) {
    for (const char c : url) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte == 0x7f) return false;
    }
    return true;
}

[[noreturn]] void throwTimeout(const char* what) {
    throw boost::system::system_error(asio::error::timed_out, what);
}

// getaddrinfo cannot be cancelled, so it runs on a thread of its own; when the bound passes
// first, that thread is left to finish alone and its late answer is dropped.
tcp::resolver::results_type resolveBounded(const std::string& host, Clock::time_point deadline) {
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        tcp::resolver::results_type results;
        boost::system::error_code error;
    };
    auto state = std::make_shared<State>();
    {
        // The thread inherits the mask: the signals that interrupt a verification go to the
        // thread that runs it.
        const kvbsign::interrupt::SignalsBlocked blocked;
        std::thread([state, host] {
            tcp::resolver::results_type results;
            boost::system::error_code error;
            try {
                asio::io_context io;
                tcp::resolver resolver(io);
                results = resolver.resolve(host, "http", tcp::resolver::address_configured, error);
            } catch (const std::exception&) {
                error = asio::error::no_memory;
            }
            std::lock_guard<std::mutex> lock(state->mutex);
            state->results = results;
            state->error = error;
            state->finished = true;
            state->done.notify_all();
        }).detach();
    }

    std::unique_lock<std::mutex> lock(state->mutex);
    // A signal wakes no condition variable: the flag is looked at between slices.
    while (!state->finished) {
        kvbsign::interrupt::throwIfInterrupted();
        const Clock::time_point now = Clock::now();
        if (now >= deadline) throwTimeout("CRL download: name resolution took too long");
        state->done.wait_until(lock, std::min(deadline, now + kInterruptLook));
    }
    if (state->error) throw boost::system::system_error(state->error, "resolve");
    return state->results;
}

// One connection; every operation runs asynchronously against a deadline. A missed deadline
// closes the socket and throws; the aborted handler is then never run (the io_context is
// destroyed with the connection), so it may refer to the caller's locals.
class Connection {
public:
    explicit Connection(Clock::time_point totalDeadline) : socket_(io_), totalDeadline_(totalDeadline) {}

    void connect(const std::string& host) {
        const Clock::time_point deadline = std::min(Clock::now() + Millis(gConnectMs), totalDeadline_);
        tcp::resolver::results_type endpoints = resolveBounded(host, deadline);
        bool done = false;
        boost::system::error_code error;
        asio::async_connect(socket_, endpoints, [&](const boost::system::error_code& e, const tcp::endpoint&) {
            error = e;
            done = true;
        });
        run(done, deadline, "CRL download: connection took too long");
        if (error) throw boost::system::system_error(error, "connect");
    }

    void writeAll(const std::string& bytes) {
        bool done = false;
        boost::system::error_code error;
        asio::async_write(socket_, asio::buffer(bytes), [&](const boost::system::error_code& e, std::size_t) {
            error = e;
            done = true;
        });
        run(done, idleDeadline(), "CRL download: sending the request took too long");
        if (error) throw boost::system::system_error(error, "write");
    }

    // Some bytes into `buffer`; 0 with `error` set at the end of the stream or on an error.
    std::size_t readSome(asio::mutable_buffer buffer, boost::system::error_code& error) {
        bool done = false;
        std::size_t count = 0;
        socket_.async_read_some(buffer, [&](const boost::system::error_code& e, std::size_t n) {
            error = e;
            count = n;
            done = true;
        });
        run(done, idleDeadline(), "CRL download: the server stopped sending or took too long");
        return count;
    }

private:
    Clock::time_point idleDeadline() const { return std::min(Clock::now() + Millis(gIdleMs), totalDeadline_); }

    void run(bool& done, Clock::time_point deadline, const char* onTimeout) {
        // Each run_for returns once the one pending operation has completed, or after a slice
        // short enough for the interrupt flag to be seen in time.
        bool interrupted = false;
        while (!done) {
            interrupted = kvbsign::interrupt::interrupted();
            const Clock::time_point now = Clock::now();
            if (interrupted || now >= deadline) break;
            io_.restart();
            io_.run_for(std::min<Clock::duration>(deadline - now, kInterruptLook));
        }
        if (!done) {
            boost::system::error_code ignored;
            socket_.close(ignored);
            if (interrupted) throw kvbsign::interrupt::Interrupted();
            throwTimeout(onTimeout);
        }
    }

    asio::io_context io_;
    tcp::socket socket_;
    Clock::time_point totalDeadline_;
};

// The header phase of the response: reads from the connection into `buffer` until the
// unread part of it holds `delimiter`. Like a read_until, an end of stream or an error before
// the delimiter throws. `received` counts every byte read so far; past the header bound the
// response is refused.
void readUntil(Connection& connection, asio::streambuf& buffer, const std::string& delimiter,
               std::size_t& received) {
    std::size_t searchFrom = 0;
    for (;;) {
        const char* data = static_cast<const char*>(buffer.data().data());
        const std::string_view unread(data, buffer.size());
        if (unread.find(delimiter, searchFrom) != std::string_view::npos) return;
        // A delimiter split across two reads starts at most delimiter.size() - 1 bytes back.
        searchFrom = unread.size() >= delimiter.size() ? unread.size() - delimiter.size() + 1 : 0;

        if (received >= kMaxHeaderBytes) throw std::length_error("CRL download: response header block too large");
        const std::size_t room = std::min(kReadChunk, kMaxHeaderBytes - received);
        boost::system::error_code error;
        const std::size_t n = connection.readSome(buffer.prepare(room), error);
        buffer.commit(n);
        received += n;
        if (n == 0 && error) throw boost::system::system_error(error, "read_until");
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const unsigned char x = static_cast<unsigned char>(a[i]);
        const unsigned char y = static_cast<unsigned char>(b[i]);
        if ((x >= 'A' && x <= 'Z' ? x + 32 : x) != (y >= 'A' && y <= 'Z' ? y + 32 : y)) return false;
    }
    return true;
}

// What the header lines say about the body's length. A body in a transfer coding (chunked)
// is not the list's bytes, and a length given twice or in a form that readers parse apart
// leaves the body's end open to dispute: such responses are refused.
struct BodyFraming {
    bool hasLength = false;
    std::uint64_t length = 0;
    std::string problem;

    // One header line, its line end's "\r" still on it. False when the response is refused.
    bool read(std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return true;  // not a header: nothing to take from it
        const std::string_view name = line.substr(0, colon);
        std::string_view value = line.substr(colon + 1);
        if (equalsIgnoringCase(name, "Transfer-Encoding")) {
            problem = "the body has a transfer coding";
            return false;
        }
        if (!equalsIgnoringCase(name, "Content-Length")) return true;
        if (hasLength) {
            problem = "Content-Length given twice";
            return false;
        }
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (value.empty()) {
            problem = "Content-Length without a value";
            return false;
        }
        std::uint64_t parsed = 0;
        for (const char c : value) {
            if (c < '0' || c > '9' || parsed > (UINT64_MAX - 9) / 10) {
                problem = "Content-Length that is not a number";
                return false;
            }
            parsed = parsed * 10 + static_cast<std::uint64_t>(c - '0');
        }
        hasLength = true;
        length = parsed;
        return true;
    }
};

// The body file: every write and the close are checked, so that a body cut short by a full
// file system or a file size limit is never read as the list (the front end ignores SIGXFSZ,
// so such a write fails instead of ending the process).
class BodyFile {
public:
    explicit BodyFile(const std::string& path)
        : fd_(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)) {
        if (fd_.get() < 0) fail("open");
    }
    BodyFile(const BodyFile&) = delete;
    BodyFile& operator=(const BodyFile&) = delete;

    void write(const char* bytes, std::size_t count) {
        // Every pass writes at least one byte or throws.
        while (count > 0) {
            const ssize_t n = ::write(fd_.get(), bytes, count);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) fail("write");
            bytes += n;
            count -= static_cast<std::size_t>(n);
        }
    }
    void close() {
        if (::close(fd_.release()) != 0) fail("close");
    }

private:
    [[noreturn]] static void fail(const char* what) {
        throw std::runtime_error(std::string("CRL download: the body could not be stored (") + what + ": " +
                                 std::strerror(errno) + ")");
    }
    kvbsign::UniqueFd fd_;
};

}  // namespace

void kvbsignSetCrlTimeoutsForTesting(int connectMs, int idleMs, int totalMs) {
    gConnectMs = connectMs > 0 ? connectMs : kDefaultConnectMs;
    gIdleMs = idleMs > 0 ? idleMs : kDefaultIdleMs;
    gTotalMs = totalMs > 0 ? totalMs : kDefaultTotalMs;
}

void kvbsignSetCrlBodyLimitForTesting(std::int64_t bytes) {
    gMaxBodyBytes = bytes > 0 ? bytes : kDefaultMaxBodyBytes;
}

bool KVBSignLibInternal::downloadAndParseCRL(const std::string& url, RevocationMap& map) {
    return kvbsign::downloadCrl(url, nullptr, map, nullptr, Clock::time_point::max());
}

bool kvbsign::downloadCrl(const std::string& url, const CrlSubject* subject, RevocationMap& map,
                          const std::set<std::string>* wanted, Clock::time_point deadline) {
    if (kvbsign::interrupt::interrupted()) return false;
    if (!requestable(url)) {
        KVBSignLibInternal::debugError("CRL URL holds a control character or a blank: not requested");
        return false;
    }
    try {
        // The download's own bound, but never past the time its revocation check has left.
        const Clock::time_point totalDeadline = std::min(Clock::now() + Millis(gTotalMs), deadline);

        // Only the first 7 characters go when the URL holds "http://" anywhere; a port or
        // another scheme is not recognised and stays in the host part.
        std::string host = url;
        std::string path;
        if (url.find("http://") != std::string::npos) host.erase(0, 7);
        const std::size_t slash = host.find('/');
        if (slash != std::string::npos) {
            path = host.substr(slash);
            host.erase(slash);
        }
        // No host would mean this machine's own port 80, which no certificate can name a
        // list at.
        if (host.empty()) {
            KVBSignLibInternal::debugError("CRL URL names no host: not requested");
            return false;
        }

        Connection connection(totalDeadline);
        connection.connect(host);

        std::string request;
        request += "GET " + path + " HTTP/1.0\r\n";
        request += "Host: " + host + "\r\n";
        request += "Accept: */*\r\n";
        request += "Connection: close\r\n\r\n";
        connection.writeAll(request);

        asio::streambuf response;
        std::istream responseStream(&response);
        std::size_t received = 0;

        readUntil(connection, response, "\r\n", received);
        std::string version;
        unsigned int statusCode = 0;
        std::string statusMessage;
        responseStream >> version;
        responseStream >> statusCode;
        std::getline(responseStream, statusMessage);
        if (!responseStream || version.substr(0, 5) != "HTTP/" || statusCode != 200) return false;

        readUntil(connection, response, "\r\n\r\n", received);
        BodyFraming framing;
        std::string header;
        while (std::getline(responseStream, header) && header != "\r") {
            if (!framing.read(header)) {
                KVBSignLibInternal::debugError("CRL download: " + framing.problem);
                return false;
            }
        }
        if (framing.hasLength && framing.length > static_cast<std::uint64_t>(gMaxBodyBytes))
            throw std::length_error("CRL download: response body too large");

        // Removed on every way out of the call.
        const kvbsign::TempDirGuard directory(KVBSignLibInternal::createTempDirectory(0, 0));
        if (directory.path().empty()) return false;
        const std::string file = directory.path() + "/revoked.crl";

        boost::system::error_code end;
        std::uint64_t bodyBytes = 0;
        {
            BodyFile out(file);
            auto keep = [&](const char* bytes, std::size_t count) {
                bodyBytes += count;
                if (bodyBytes > static_cast<std::uint64_t>(gMaxBodyBytes))
                    throw std::length_error("CRL download: response body too large");
                if (framing.hasLength && bodyBytes > framing.length)
                    throw std::length_error("CRL download: response body longer than its Content-Length");
                out.write(bytes, count);
            };
            if (response.size() > 0) {
                keep(static_cast<const char*>(response.data().data()), response.size());
                response.consume(response.size());
            }
            // Written as it arrives: the body never sits in memory. Ends at the end of the
            // stream or an error; a read that makes no progress in time throws.
            std::unique_ptr<char[]> chunk(new char[kReadChunk]);
            for (;;) {
                const std::size_t n = connection.readSome(asio::buffer(chunk.get(), kReadChunk), end);
                if (n > 0) keep(chunk.get(), n);
                if (end) break;
            }
            out.close();
        }

        if (end != asio::error::eof) return false;
        // A server that closes early sends a clean end of stream too: only the announced
        // length tells a list cut short.
        if (framing.hasLength && bodyBytes != framing.length) {
            KVBSignLibInternal::debugError("CRL download: response body shorter than its Content-Length");
            return false;
        }
        // Only one list that can be read within the bounds (time included), and, for a
        // certificate, one that may speak for it, is fetched.
        FetchedList fetched;
        fetched.subject = subject;
        fetched.point = url;
        return readDerCrlFile(file, map, wanted, totalDeadline, &fetched) == CrlFileRead::Read;
    } catch (const std::exception& e) {
        KVBSignLibInternal::debugError(std::string("Exception while getting CRL list from internet") + e.what());
        return false;
    }
}
