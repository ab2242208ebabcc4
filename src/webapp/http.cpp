#include "webapp/http.hpp"

#include "webapp/http_internal.hpp"

#include <boost/asio/write.hpp>

#include <charconv>
#include <exception>
#include <fmt/format.h>
#include <new>
#include <sys/eventfd.h>
#include <sys/socket.h>

namespace reelcut::http {

// ---------------------------------------------------------------------------------------------
// Response

Response::Response(std::uint16_t status, std::string body)
    : status_(status), text_(std::move(body)) {}

Response::Response(std::uint16_t status, FileBody file) : status_(status), file_(file) {}

Response::Response(Response&& other) noexcept
    : status_(other.status_), headers_(std::move(other.headers_)), text_(std::move(other.text_)),
      file_(std::exchange(other.file_, std::nullopt)) {}

Response& Response::operator=(Response&& other) noexcept {
    if (this != &other) {
        if (file_) {
            close_fd(file_->fd);
        }
        status_ = other.status_;
        headers_ = std::move(other.headers_);
        text_ = std::move(other.text_);
        file_ = std::exchange(other.file_, std::nullopt);
    }
    return *this;
}

Response::~Response() {
    if (file_) {
        close_fd(file_->fd);
    }
}

Response& Response::with_header(std::string name, std::string value) {
    headers_.push_back(Header{std::move(name), std::move(value)});
    return *this;
}

std::optional<FileBody> Response::release_file() {
    return std::exchange(file_, std::nullopt);
}

// ---------------------------------------------------------------------------------------------
// Request

Request::Request(std::shared_ptr<PendingRequest> pending) : pending_(std::move(pending)) {}

Request::Request(Request&& other) noexcept = default;

Request& Request::operator=(Request&& other) noexcept {
    if (this != &other) {
        Request dropped(std::move(*this));
        pending_ = std::move(other.pending_);
    }
    return *this;
}

Request::~Request() {
    if (!pending_) {
        return;
    }
    bool waiting;
    {
        std::lock_guard lock(pending_->mutex);
        waiting = pending_->outcome == Outcome::waiting;
    }
    if (waiting) {
        pending_->settle(Outcome::dropped, false); // the connection thread answers 500
    }
}

namespace {
// Never destroyed: a request thread may still read them while the process exits.
const std::string& empty_text() {
    static const auto* text = new std::string;
    return *text;
}
const std::vector<Header>& no_headers() {
    static const auto* headers = new std::vector<Header>;
    return *headers;
}
} // namespace

const std::string& Request::method() const {
    return pending_ ? pending_->method : empty_text();
}

const std::string& Request::url() const {
    return pending_ ? pending_->url : empty_text();
}

const std::vector<Header>& Request::headers() const {
    return pending_ ? pending_->headers : no_headers();
}

bool Request::client_gone() const {
    if (!pending_) {
        return true;
    }
    // The connection is not read while its request is being answered, so a peer that closed
    // shows only as a hang-up on the socket.
    pollfd pfd{pending_->conn->socket.native_handle(), POLLRDHUP, 0};
    return ::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::optional<std::string> Request::header(std::string_view name) const {
    for (const Header& h : headers()) {
        if (iequals(h.name, name)) {
            return h.value;
        }
    }
    return std::nullopt;
}

Result<std::string> Request::read_body() {
    if (!pending_) {
        return fail("request already answered");
    }
    PendingRequest& p = *pending_;
    {
        std::lock_guard lock(p.mutex);
        if (p.outcome != Outcome::waiting) {
            return fail("request already answered");
        }
    }
    if (p.body_taken) {
        return fail("request body already read");
    }
    p.body_taken = true;
    Connection& c = *p.conn;
    if (c.broken) {
        return fail("connection closed by the client");
    }
    try {
        if (!p.parser->is_done()) {
            boost::system::error_code ec;
            TimedStream stream = c.stream();
            if (p.expect_continue) {
                static constexpr std::string_view interim = "HTTP/1.1 100 Continue\r\n\r\n";
                asio::write(stream, asio::buffer(interim.data(), interim.size()), ec);
                if (ec) {
                    c.broken = true;
                    return fail(error_text(ec));
                }
            }
            bhttp::read(stream, c.buffer, *p.parser, ec);
            if (ec == bhttp::error::body_limit) {
                // The layer answers for the handler: the rest of the body is never read.
                (void)respond(Response(413, std::string()));
                return fail(fmt::format("request body larger than {} MiB", body_limit >> 20));
            }
            if (ec && is_malformed_message(ec)) {
                // A bad chunk size and the like: the client's fault. The answer ends the
                // connection, since the body's framing is lost.
                (void)respond(Response(400, std::string()));
                return fail(fmt::format("malformed request body: {}", ec.message()));
            }
            if (ec) {
                c.broken = true;
                return fail(error_text(ec));
            }
        }
        return std::move(p.parser->get().body());
    } catch (const std::bad_alloc&) {
        c.broken = true;
        return fail("out of memory while reading the request body");
    } catch (const std::exception& e) {
        c.broken = true;
        return fail(e.what());
    }
}

Status Request::respond(Response response) {
    if (!pending_) {
        return fail("request already answered");
    }
    PendingRequest& p = *pending_;
    {
        std::lock_guard lock(p.mutex);
        if (p.outcome != Outcome::waiting) {
            return fail("request already answered");
        }
    }
    WriteResult w;
    try {
        w = write_answer(p, std::move(response));
    } catch (const std::exception& e) {
        p.conn->broken = true;
        w = {false, fail(e.what())};
    }
    if (!w.status && !p.conn->broken) {
        // Refused before anything was written: the connection answers 500 for it.
        p.settle(Outcome::dropped, false);
        return w.status;
    }
    p.settle(Outcome::answered, w.keep);
    return w.status;
}

// ---------------------------------------------------------------------------------------------
// HttpServer

HttpServer::HttpServer(std::shared_ptr<State> state) : state_(std::move(state)) {}

Result<std::unique_ptr<HttpServer>> HttpServer::bind(const std::string& address) {
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) {
        return fail(fmt::format("invalid socket address: {}", address));
    }
    std::string host = address.substr(0, colon);
    const std::string port_text = address.substr(colon + 1);
    unsigned port = 0;
    const auto [end, perr] =
        std::from_chars(port_text.data(), port_text.data() + port_text.size(), port);
    if (perr != std::errc() || end != port_text.data() + port_text.size() || port > 65535 ||
        port_text.empty()) {
        return fail(fmt::format("invalid port number: {}", port_text));
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }

    raise_descriptor_limit();
    try {
        auto state = std::make_shared<State>();
        boost::system::error_code ec;
        // Numeric addresses only: the server binds loopback, and name lookup would need the
        // system's resolver libraries at run time, which a static executable cannot load.
        const auto ip = asio::ip::make_address(host, ec);
        if (ec) {
            return fail(fmt::format("invalid IP address: {}", host));
        }
        const tcp::endpoint endpoint(ip, static_cast<std::uint16_t>(port));

        const int family = endpoint.protocol().family();
        const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return fail(os_error_text(errno));
        }
        state->protocol = endpoint.protocol();
        state->acceptor.assign(endpoint.protocol(), fd, ec);
        if (ec) {
            ::close(fd);
            return fail(error_text(ec));
        }
        state->acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
        state->acceptor.bind(endpoint, ec);
        if (ec) {
            return fail(error_text(ec));
        }
        state->acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            return fail(error_text(ec));
        }
        state->port = state->acceptor.local_endpoint(ec).port();
        if (ec) {
            return fail(error_text(ec));
        }
        state->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (state->wake_fd < 0) {
            return fail(os_error_text(errno));
        }
        state->listener = std::thread(listen_loop, state);
        return std::unique_ptr<HttpServer>(new HttpServer(std::move(state)));
    } catch (const std::exception& e) {
        return fail(e.what());
    }
}

HttpServer::~HttpServer() {
    State& state = *state_;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(state.wake_fd, &one, sizeof one);
    if (state.listener.joinable()) {
        state.listener.join();
    }
    boost::system::error_code ec;
    state.acceptor.close(ec);

    std::deque<std::variant<std::shared_ptr<PendingRequest>, std::string>> untaken;
    {
        std::lock_guard lock(state.mutex);
        state.stopped = true;
        untaken.swap(state.queue);
        // Idle keep-alive connections wake up from their read and end; busy ones end after
        // their answer.
        for (Connection* c : state.connections) {
            if (c->idle) {
                ::shutdown(c->socket.native_handle(), SHUT_RDWR);
            }
        }
    }
    for (auto& item : untaken) {
        if (auto* p = std::get_if<std::shared_ptr<PendingRequest>>(&item)) {
            (*p)->settle(Outcome::dropped, false);
        }
    }
}

std::uint16_t HttpServer::port() const {
    return state_->port;
}

Result<std::optional<Request>> HttpServer::next_request(std::chrono::milliseconds timeout) {
    State& state = *state_;
    std::unique_lock lock(state.mutex);
    if (!state.ready.wait_for(lock, timeout, [&] { return !state.queue.empty(); })) {
        return std::optional<Request>();
    }
    auto item = std::move(state.queue.front());
    state.queue.pop_front();
    lock.unlock();
    if (auto* text = std::get_if<std::string>(&item)) {
        return fail(std::move(*text));
    }
    return std::optional<Request>(
        Request(std::move(std::get<std::shared_ptr<PendingRequest>>(item))));
}

} // namespace reelcut::http
