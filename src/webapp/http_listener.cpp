// The listener: the accepting thread with its connection limit and the refused connections'
// 503, and one thread per connection that reads requests and queues them for the server.
#include "webapp/http_internal.hpp"

#include "webapp/transfer_coding.hpp"

#include <exception>
#include <fmt/format.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace reelcut::http {
namespace {

// 501 or 400 for a body whose framing the layer does not take (see transfer_coding.hpp), else 0.
unsigned framing_refusal(const bhttp::request<bhttp::string_body>& msg) {
    std::vector<std::string_view> codings;
    for (const auto& field : msg) {
        if (field.name() == bhttp::field::transfer_encoding) {
            codings.emplace_back(field.value().data(), field.value().size());
        }
    }
    const bool has_length = msg.find(bhttp::field::content_length) != msg.end();
    switch (judge_transfer_encoding(codings, has_length, msg.version() < 11)) {
    case BodyFraming::not_implemented:
        return 501;
    case BodyFraming::malformed:
        return 400;
    case BodyFraming::as_announced:
    case BodyFraming::chunked:
        break;
    }
    return 0;
}

void serve_connection(const std::shared_ptr<Connection>& conn) {
    State& state = *conn->state;
    for (;;) {
        {
            std::lock_guard lock(state.mutex);
            if (state.stopped) {
                break;
            }
            conn->idle = true;
        }
        auto parser = std::make_unique<bhttp::request_parser<bhttp::string_body>>();
        parser->header_limit(header_limit);
        // A Content-Length above it fails the header; a chunked body fails once it passes it.
        parser->body_limit(body_limit);
        boost::system::error_code ec;
        // Between requests the idle limit applies; from the next request's first byte on, its
        // whole deadline.
        conn->read_deadline = Clock::time_point::max();
        if (conn->buffer.size() == 0) {
            (void)wait_for_peer(conn->socket.native_handle(), POLLIN, ec);
        }
        bool timed_out = false;
        if (!ec) {
            conn->read_deadline = Clock::now() + request_limit;
            TimedStream stream = conn->stream();
            bhttp::read_header(stream, conn->buffer, *parser, ec);
            timed_out = ec == asio::error::timed_out;
        }
        bool stopped;
        {
            std::lock_guard lock(state.mutex);
            conn->idle = false;
            stopped = state.stopped;
        }
        if (timed_out && !stopped && conn->buffer.size() > 0) {
            answer_and_close(*conn, 408); // a head begun and never finished
            return;
        }
        if (ec == bhttp::error::header_limit) {
            answer_and_close(*conn, 431);
            return;
        }
        if (ec == bhttp::error::body_limit) {
            answer_and_close(*conn, 413);
            return;
        }
        if (ec && is_malformed_message(ec)) {
            answer_and_close(*conn, 400);
            return;
        }
        if (ec || stopped) {
            break;
        }
        if (const unsigned refused = framing_refusal(parser->get())) {
            answer_and_close(*conn, refused);
            return;
        }

        auto p = std::make_shared<PendingRequest>();
        p->conn = conn;
        const auto& msg = parser->get();
        p->method = std::string(msg.method_string());
        p->url = std::string(msg.target());
        p->version = msg.version();
        p->head = msg.method() == bhttp::verb::head;
        p->keep_alive = msg.keep_alive();
        for (const auto& field : msg) {
            p->headers.push_back(
                Header{std::string(field.name_string()), std::string(field.value())});
        }
        if (auto it = msg.find(bhttp::field::expect); it != msg.end()) {
            p->expect_continue =
                msg.version() >= 11 &&
                iequals(std::string_view(it->value().data(), it->value().size()), "100-continue");
        }
        p->parser = std::move(parser);

        {
            std::lock_guard lock(state.mutex);
            if (state.stopped) {
                p->outcome = Outcome::dropped;
            } else {
                state.queue.emplace_back(p);
            }
        }
        state.ready.notify_one();

        Outcome outcome;
        bool keep;
        {
            std::unique_lock lock(p->mutex);
            p->settled.wait(lock, [&] { return p->outcome != Outcome::waiting; });
            outcome = p->outcome;
            keep = p->keep_connection;
        }
        if (outcome == Outcome::dropped) {
            WriteResult w = write_answer(*p, Response(500, std::string()));
            keep = w.keep;
        }
        if (!keep) {
            if (conn->broken) {
                boost::system::error_code ignored;
                conn->socket.close(ignored);
            } else {
                lingering_close(conn->socket);
            }
            return;
        }
    }
    boost::system::error_code ignored;
    conn->socket.close(ignored);
}

void connection_thread(std::shared_ptr<Connection> conn) {
    State& state = *conn->state;
    try {
        serve_connection(conn);
    } catch (const std::exception&) {
        // Out of memory or similar inside the parser: this connection ends, the server goes on.
    }
    std::lock_guard lock(state.mutex);
    state.connections.erase(conn.get());
}

void push_error(State& state, std::string text) {
    {
        std::lock_guard lock(state.mutex);
        state.queue.emplace_back(std::move(text));
    }
    state.ready.notify_one();
}

// A refused connection's "503" without a thread: written at once (it fits any socket buffer).
void send_refusal(int fd) {
    const std::string answer = "HTTP/1.1 503 Service Unavailable\r\nDate: " + http_date() +
                               "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    (void)::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    ::shutdown(fd, SHUT_WR);
}

// Refused connections whose client may still be sending: the listening thread reads and drops
// what comes for a moment before closing, so that the 503 is not lost to a reset.
class RefusedConnections {
  public:
    RefusedConnections() = default;
    RefusedConnections(const RefusedConnections&) = delete;
    RefusedConnections& operator=(const RefusedConnections&) = delete;
    ~RefusedConnections() {
        for (const Draining& d : draining_) {
            ::close(d.fd);
        }
    }

    void add(int fd) {
        send_refusal(fd);
        if (draining_.size() >= max_refused_draining) {
            ::close(fd);
            return;
        }
        draining_.push_back({fd, Clock::now() + std::chrono::milliseconds(linger_ms)});
    }

    // Appends the descriptors to poll; returns how long the poll may wait (-1: no limit).
    int prepare(std::vector<pollfd>& fds) const {
        if (draining_.empty()) {
            return -1;
        }
        auto first = draining_.front().until;
        for (const Draining& d : draining_) {
            fds.push_back({d.fd, POLLIN, 0});
            first = std::min(first, d.until);
        }
        return ms_until(first) + 1; // past the deadline, so that `service` finds it expired
    }

    // `polled` holds the results for the descriptors `prepare` added, in the same order.
    void service(const pollfd* polled) {
        const auto now = Clock::now();
        std::vector<Draining> kept;
        char buf[16 * 1024];
        for (std::size_t i = 0; i < draining_.size(); ++i) {
            const Draining& d = draining_[i];
            bool done = now >= d.until;
            if (!done && polled[i].revents != 0) {
                const ssize_t n = ::recv(d.fd, buf, sizeof buf, MSG_DONTWAIT);
                done = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
            }
            if (done) {
                ::close(d.fd);
            } else {
                kept.push_back(d);
            }
        }
        draining_.swap(kept);
    }

  private:
    struct Draining {
        int fd;
        Clock::time_point until;
    };
    std::vector<Draining> draining_;
};

} // namespace

void listen_loop(std::shared_ptr<State> state) {
    const int listen_fd = state->acceptor.native_handle();
    RefusedConnections refused;
    std::vector<pollfd> fds;
    for (;;) {
        fds.assign({{listen_fd, POLLIN, 0}, {state->wake_fd, POLLIN, 0}});
        const int timeout = refused.prepare(fds);
        const int r = ::poll(fds.data(), fds.size(), timeout);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            push_error(*state, fmt::format("poll: {}", os_error_text(errno)));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        refused.service(fds.data() + 2);
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            if (err == EINTR || err == EAGAIN || err == EWOULDBLOCK || err == ECONNABORTED ||
                err == EPROTO) {
                continue;
            }
            push_error(*state, fmt::format("accept: {}", os_error_text(err)));
            // Out of descriptors and the like: give the system a moment instead of spinning.
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            continue;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        bool full;
        {
            std::lock_guard lock(state->mutex);
            full = state->connections.size() >= max_connections;
        }
        if (full) {
            refused.add(fd);
            continue;
        }
        try {
            auto conn = std::make_shared<Connection>(state, fd);
            if (!conn->socket.is_open()) {
                continue;
            }
            {
                std::lock_guard lock(state->mutex);
                state->connections.insert(conn.get());
            }
            try {
                std::thread(connection_thread, conn).detach();
            } catch (const std::exception&) {
                {
                    std::lock_guard lock(state->mutex);
                    state->connections.erase(conn.get());
                }
                send_refusal(conn->socket.native_handle()); // no thread to serve it
            }
        } catch (const std::exception&) {
            ::close(fd);
        }
    }
}

// Each connection takes a descriptor, and the usual soft limit (1,024) is what the connection
// limit allows on its own; the hard limit is the system's real bound.
void raise_descriptor_limit() {
    constexpr rlim_t wanted = 4 * max_connections;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= wanted) {
        return;
    }
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
}

} // namespace reelcut::http
