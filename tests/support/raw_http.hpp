// Connection-level tools for testing the HTTP layer: an in-process server that hands every request
// to a handler on a thread of its own (as the page server does), and a client on a raw socket
// that sends bytes exactly as given and reads answers one at a time.
#pragma once

#include "webapp/http.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace reelcut::testing {

using Handler = std::function<void(http::Request)>;

// Binds 127.0.0.1 on an ephemeral port and runs an accept loop until destroyed.
class LayerServer {
  public:
    explicit LayerServer(Handler handler)
        : handler_(std::make_shared<Handler>(std::move(handler))) {
        auto bound = http::HttpServer::bind("127.0.0.1:0");
        if (!bound) {
            throw std::runtime_error("bind: " + bound.error());
        }
        server_ = std::move(*bound);
        port_ = server_->port();
        loop_ = std::thread([this] { run(); });
    }
    ~LayerServer() { stop(); }
    LayerServer(const LayerServer&) = delete;
    LayerServer& operator=(const LayerServer&) = delete;

    std::uint16_t port() const { return port_; }

    // Ends the accept loop and destroys the HTTP server; handlers still running go on.
    void stop() {
        if (loop_.joinable()) {
            stopping_ = true;
            loop_.join();
        }
        server_.reset();
    }

  private:
    void run() {
        while (!stopping_) {
            auto next = server_->next_request(std::chrono::milliseconds(20));
            if (!next || !*next) {
                continue;
            }
            std::thread([handler = handler_, request = std::move(**next)]() mutable {
                (*handler)(std::move(request));
            }).detach();
        }
    }

    std::shared_ptr<Handler> handler_;
    std::unique_ptr<http::HttpServer> server_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread loop_;
};

struct RawReply {
    int status = 0; // 0: the connection ended before a complete answer
    std::string reason;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::optional<std::string> header(const std::string& name) const {
        for (const auto& [n, v] : headers) {
            if (strcasecmp(n.c_str(), name.c_str()) == 0) {
                return v;
            }
        }
        return std::nullopt;
    }
};

// A client connection that the test drives byte by byte. Reads wait at most two minutes, so a
// fault shows as a failed expectation instead of a hung test; a loaded machine under the
// sanitizers can take half a minute to start a large answer.
class RawClient {
  public:
    explicit RawClient(std::uint16_t port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawClient() { close(); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connected() const { return connected_; }

    bool send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    // Reads one answer (interim 1xx answers included) framed by its Content-Length.
    RawReply read_reply() {
        RawReply reply;
        std::size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) {
                return reply;
            }
        }
        const std::string head = buffer_.substr(0, end);
        buffer_.erase(0, end + 4);
        std::size_t line_end = head.find("\r\n");
        const std::string status_line = head.substr(0, line_end);
        if (status_line.size() < 12) {
            return reply;
        }
        std::size_t pos = line_end == std::string::npos ? head.size() : line_end + 2;
        while (pos < head.size()) {
            std::size_t next = head.find("\r\n", pos);
            if (next == std::string::npos) {
                next = head.size();
            }
            const std::string line = head.substr(pos, next - pos);
            const std::size_t colon = line.find(':');
            std::string value = line.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') {
                value.erase(0, 1);
            }
            reply.headers.emplace_back(line.substr(0, colon), value);
            pos = next + 2;
        }
        const int status = std::stoi(status_line.substr(9, 3));
        reply.reason = status_line.size() > 13 ? status_line.substr(13) : "";
        std::size_t length = 0;
        if (auto cl = reply.header("Content-Length")) {
            length = std::stoull(*cl);
        }
        if (status >= 200 && !head_only_) {
            while (buffer_.size() < length) {
                if (!fill()) {
                    return reply;
                }
            }
            reply.body = buffer_.substr(0, length);
            buffer_.erase(0, length);
        }
        reply.status = status;
        return reply;
    }

    // The next answer belongs to a HEAD request: its Content-Length announces no body.
    RawReply read_head_reply() {
        head_only_ = true;
        RawReply reply = read_reply();
        head_only_ = false;
        return reply;
    }

    // True when the server has closed the connection (after any unread answer bytes).
    bool closed_by_server() {
        while (fill()) {
        }
        return eof_;
    }

    // Waits up to `limit` for the server to close the connection, dropping what it sends first;
    // how long it took, or nothing when it was still open. A zero limit only looks.
    std::optional<std::chrono::milliseconds> wait_closed(std::chrono::milliseconds limit) {
        const auto start = std::chrono::steady_clock::now();
        for (;;) {
            const auto left = limit - std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start);
            pollfd pfd{fd_, POLLIN, 0};
            if (::poll(&pfd, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0))) <= 0) {
                return std::nullopt;
            }
            char buf[65536];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno == ECONNRESET)) {
                return std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - start);
            }
        }
    }

    // Reads up to `n` raw bytes of whatever comes.
    std::string read_some(std::size_t n) {
        while (buffer_.size() < n && fill()) {
        }
        std::string out = buffer_.substr(0, std::min(n, buffer_.size()));
        buffer_.erase(0, out.size());
        return out;
    }

    // Closes with a reset instead of an orderly end, as a client does that gives up abruptly.
    void reset() {
        linger lg{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close();
    }

    void close() {
        if (fd_ >= 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }

  private:
    bool fill() {
        pollfd pfd{fd_, POLLIN, 0};
        const int r = ::poll(&pfd, 1, 120'000);
        if (r <= 0) {
            return false;
        }
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = n == 0 || errno == ECONNRESET;
            return false;
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    bool head_only_ = false;
    std::string buffer_;
};

// A value that one thread sets and another waits for (at most two minutes, as a read).
template <class T> class Slot {
  public:
    void set(T value) {
        {
            std::lock_guard lock(mutex_);
            value_ = std::move(value);
        }
        cv_.notify_all();
    }
    void reset() {
        std::lock_guard lock(mutex_);
        value_.reset();
    }
    std::optional<T> wait() {
        std::unique_lock lock(mutex_);
        cv_.wait_for(lock, std::chrono::minutes(2), [&] { return value_.has_value(); });
        return value_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::optional<T> value_;
};

} // namespace reelcut::testing
