#ifndef KVBSIGN_TEST_HTTP_SERVER_H
#define KVBSIGN_TEST_HTTP_SERVER_H

// A tiny HTTP server on a loopback address for tests: one listening thread, one thread per
// connection, replies scripted per request path, requests counted per path. Everything it
// waits for is bounded, and stop() (or the destructor) ends every thread within a fraction of
// a second, whatever the client does.
//
// The CRL client knows no ports, so the default port is 80. Give each test its own
// 127.77.x.y address so that tests running in parallel do not collide.

#include <atomic>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvtest {

// What the server does after it has read a request.
struct HttpReply {
    enum class Mode {
        Send,           // send `bytes` (in `writes` pieces), then close cleanly
        ResetAfter,     // send the first `resetAfter` bytes of `bytes`, then reset the connection
        Silent,         // accept, read the request, never answer (until the client goes or stop())
        Drip,           // send `bytes` one byte every `dripMs`, over and over when `endless`
        EndlessBody,    // a 200 status and headers, then body bytes without end
        EndlessHeaders, // a 200 status line, then header lines without end
    };
    Mode mode = Mode::Send;
    std::string bytes;
    std::vector<std::size_t> splitAt;  // Send: also flush (and pause briefly) after these offsets
    std::size_t resetAfter = 0;
    int dripMs = 0;
    bool endless = false;

    // "VERSION 200 OK", Content-Type and Content-Length headers, the empty line, and the body in a
    // separate write after a short pause.
    static HttpReply ok(const std::string& body, const std::string& version = "HTTP/1.0");
    // The same, status line, headers and body in one write.
    static HttpReply okInOneWrite(const std::string& body);
    // Any status with an optional extra header block (each line ending in "\r\n") and a short body.
    static HttpReply status(int code, const std::string& reason, const std::string& headers = "");
    // Exactly these bytes, then a clean close.
    static HttpReply raw(const std::string& bytes);
    // A 200 status, headers and half of `body`, then a reset.
    static HttpReply resetMidBody(const std::string& body);
    static HttpReply neverAnswer();
    static HttpReply drip(const std::string& bytes, int msPerByte, bool endless);
    static HttpReply endlessBody();
    static HttpReply endlessHeaders();
};

// The status line and headers of a list served without a length, up to the empty line: what
// a scripted body follows.
const std::string& crlReplyHead();

class LoopbackHttpServer {
public:
    // Binds and listens on address:port and starts serving; see started().
    explicit LoopbackHttpServer(const std::string& address, int port = 80);
    ~LoopbackHttpServer();
    LoopbackHttpServer(const LoopbackHttpServer&) = delete;
    LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

    bool started() const { return listenFd_ >= 0; }
    const std::string& startError() const { return error_; }
    const std::string& address() const { return address_; }

    // The reply for requests whose path (the text between "GET " and " HTTP/1.0") is `path`.
    // Other paths get a 404.
    void on(const std::string& path, const HttpReply& reply);

    // "http://" + address + path.
    std::string url(const std::string& path) const { return "http://" + address_ + path; }

    int requestCount(const std::string& path) const;
    int totalRequests() const;
    // The request heads as received (up to and including the empty line), in arrival order.
    std::vector<std::string> requests() const;
    // Connections accepted (also those that never sent a full request).
    int connections() const { return connections_.load(); }

    // Stops accepting and ends every connection; waits (boundedly) for the threads.
    void stop();

private:
    void acceptLoop();
    void serve(int fd);
    bool sendAll(int fd, const char* data, std::size_t size);
    bool pause(int ms);  // false when stopping

    std::string address_;
    std::string error_;
    int listenFd_ = -1;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::map<std::string, HttpReply> replies_;
    std::map<std::string, int> counts_;
    std::vector<std::string> requests_;
    std::vector<std::thread> workers_;
};

}  // namespace kvtest

// In a test body: skip the test when the server could not bind (port 80 needs privileges).
#define KVTEST_REQUIRE_SERVER(server)                                                                 \
    do {                                                                                              \
        if (!(server).started())                                                                      \
            GTEST_SKIP() << "cannot serve HTTP on " << (server).address() << ":80 ("                  \
                         << (server).startError() << "); binding port 80 needs root or "              \
                         << "CAP_NET_BIND_SERVICE";                                                   \
    } while (0)

#endif
