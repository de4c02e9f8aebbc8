#include "http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kvtest {
namespace {

constexpr int kPollMs = 20;                // how often every wait looks at the stop flag
constexpr int kRequestDeadlineMs = 10000;  // a client that never finishes its request
constexpr std::size_t kMaxRequest = 64 * 1024;

std::string okHead(const std::string& version, std::size_t length) {
    return version + " 200 OK\r\nContent-Type: application/pkix-crl\r\nContent-Length: " + std::to_string(length) +
           "\r\n\r\n";
}

// The path of a request head: between "GET " and " HTTP/1.0\r\nHost: " (the path may hold any
// byte, blanks and line ends included, when the client sends a raw URL tail).
std::string requestPath(const std::string& head) {
    if (head.compare(0, 4, "GET ") != 0) return std::string();
    std::size_t end = head.find(" HTTP/1.0\r\nHost: ", 4);
    if (end == std::string::npos) end = head.find(' ', 4);
    if (end == std::string::npos) return std::string();
    return head.substr(4, end - 4);
}

}  // namespace

const std::string& crlReplyHead() {
    static const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/pkix-crl\r\n\r\n";
    return head;
}

HttpReply HttpReply::ok(const std::string& body, const std::string& version) {
    HttpReply r;
    r.bytes = okHead(version, body.size());
    r.splitAt.push_back(r.bytes.size());
    r.bytes += body;
    return r;
}

HttpReply HttpReply::okInOneWrite(const std::string& body) {
    HttpReply r;
    r.bytes = okHead("HTTP/1.0", body.size()) + body;
    return r;
}

HttpReply HttpReply::status(int code, const std::string& reason, const std::string& headers) {
    const std::string body = "<html><body>" + reason + "</body></html>";
    HttpReply r;
    r.bytes = "HTTP/1.0 " + std::to_string(code) + " " + reason + "\r\nContent-Type: text/html\r\n" + headers +
              "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return r;
}

HttpReply HttpReply::raw(const std::string& bytes) {
    HttpReply r;
    r.bytes = bytes;
    return r;
}

HttpReply HttpReply::resetMidBody(const std::string& body) {
    HttpReply r;
    r.mode = Mode::ResetAfter;
    r.bytes = okHead("HTTP/1.0", body.size());
    r.resetAfter = r.bytes.size() + body.size() / 2;
    r.bytes += body;
    return r;
}

HttpReply HttpReply::neverAnswer() {
    HttpReply r;
    r.mode = Mode::Silent;
    return r;
}

HttpReply HttpReply::drip(const std::string& bytes, int msPerByte, bool endless) {
    HttpReply r;
    r.mode = Mode::Drip;
    r.bytes = bytes;
    r.dripMs = msPerByte;
    r.endless = endless;
    return r;
}

HttpReply HttpReply::endlessBody() {
    HttpReply r;
    r.mode = Mode::EndlessBody;
    return r;
}

HttpReply HttpReply::endlessHeaders() {
    HttpReply r;
    r.mode = Mode::EndlessHeaders;
    return r;
}

LoopbackHttpServer::LoopbackHttpServer(const std::string& address, int port) : address_(address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127) {
        error_ = "not a loopback IPv4 address";
        close(fd);
        return;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd, 16) != 0) {
        error_ = std::string("bind/listen: ") + std::strerror(errno);
        close(fd);
        return;
    }
    listenFd_ = fd;
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

LoopbackHttpServer::~LoopbackHttpServer() { stop(); }

void LoopbackHttpServer::on(const std::string& path, const HttpReply& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_[path] = reply;
}

int LoopbackHttpServer::requestCount(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counts_.find(path);
    return it == counts_.end() ? 0 : it->second;
}

int LoopbackHttpServer::totalRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(requests_.size());
}

std::vector<std::string> LoopbackHttpServer::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void LoopbackHttpServer::stop() {
    if (listenFd_ < 0) return;
    stopping_ = true;
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        workers.swap(workers_);
    }
    // Every worker looks at the stop flag at least every kPollMs.
    for (std::thread& t : workers) t.join();
    close(listenFd_);
    listenFd_ = -1;
}

void LoopbackHttpServer::acceptLoop() {
    while (!stopping_) {
        pollfd p = {listenFd_, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard<std::mutex> lock(mutex_);
        workers_.emplace_back([this, fd] { serve(fd); });
    }
}

bool LoopbackHttpServer::pause(int ms) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        if (stopping_) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, kPollMs)));
    }
    return !stopping_;
}

// Non-blocking sends, each wait bounded; false when the client went away or we are stopping.
bool LoopbackHttpServer::sendAll(int fd, const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        if (stopping_) return false;
        ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            pollfd p = {fd, POLLOUT, 0};
            poll(&p, 1, kPollMs);
            continue;
        }
        return false;
    }
    return true;
}

void LoopbackHttpServer::serve(int fd) {
    // Read the request head, boundedly.
    std::string head;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRequestDeadlineMs);
    bool peerClosed = false;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequest && !stopping_ &&
           std::chrono::steady_clock::now() < deadline) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kPollMs) <= 0) continue;
        char buf[4096];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n > 0) {
            head.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            peerClosed = true;
            break;
        }
    }
    const std::size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos || stopping_) {
        close(fd);
        return;
    }
    head.erase(end + 4);
    const std::string path = requestPath(head);
    HttpReply reply = HttpReply::status(404, "Not Found");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head);
        ++counts_[path];
        auto it = replies_.find(path);
        if (it != replies_.end()) reply = it->second;
    }
    (void)peerClosed;

    switch (reply.mode) {
        case HttpReply::Mode::Send: {
            std::size_t from = 0;
            bool alive = true;
            for (std::size_t cut : reply.splitAt) {
                if (cut <= from || cut > reply.bytes.size()) continue;
                alive = sendAll(fd, reply.bytes.data() + from, cut - from) && pause(30);
                from = cut;
                if (!alive) break;
            }
            if (alive) sendAll(fd, reply.bytes.data() + from, reply.bytes.size() - from);
            shutdown(fd, SHUT_WR);
            break;
        }
        case HttpReply::Mode::ResetAfter: {
            if (sendAll(fd, reply.bytes.data(), std::min(reply.resetAfter, reply.bytes.size()))) pause(30);
            linger hard = {1, 0};  // close with a reset instead of an orderly end
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            break;
        }
        case HttpReply::Mode::Silent: {
            // Until the client gives up (end of stream or error) or the server stops.
            while (!stopping_) {
                pollfd p = {fd, POLLIN, 0};
                if (poll(&p, 1, kPollMs) <= 0) continue;
                char buf[512];
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) break;
            }
            break;
        }
        case HttpReply::Mode::Drip: {
            bool alive = !reply.bytes.empty();
            while (alive) {
                for (std::size_t i = 0; alive && i < reply.bytes.size(); ++i)
                    alive = sendAll(fd, reply.bytes.data() + i, 1) && pause(reply.dripMs);
                if (!reply.endless) break;
            }
            if (alive) shutdown(fd, SHUT_WR);
            break;
        }
        case HttpReply::Mode::EndlessBody: {
            const std::string& start = crlReplyHead();
            const std::string chunk(64 * 1024, 'A');
            if (sendAll(fd, start.data(), start.size())) {
                while (sendAll(fd, chunk.data(), chunk.size())) {
                }
            }
            break;
        }
        case HttpReply::Mode::EndlessHeaders: {
            const std::string start = "HTTP/1.0 200 OK\r\n";
            const std::string line = "X-Filler: " + std::string(1000, 'h') + "\r\n";
            if (sendAll(fd, start.data(), start.size())) {
                while (sendAll(fd, line.data(), line.size())) {
                }
            }
            break;
        }
    }
    close(fd);
}

}  // namespace kvtest
