#include "webapp/http.hpp"

#include "webapp/transfer_coding.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/http/span_body.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <deque>
#include <exception>
#include <fcntl.h>
#include <fmt/format.h>
#include <limits>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <new>
#include <poll.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <variant>

namespace reelcut::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

namespace {

// Browsers send large cookies now and then; anything past this is not a header we want.
constexpr std::uint32_t header_limit = 64 * 1024;
// Far above any page's upload; a larger body is refused before it is read.
constexpr std::uint64_t body_limit = 64ull * 1024 * 1024;
// A client that neither sends nor takes a byte for this long is gone or stalling on purpose; its
// connection ends so it cannot hold a thread and a connection slot forever. Waiting for a long
// poll's answer is not counted: nothing is read or written then.
constexpr std::chrono::milliseconds idle_limit = std::chrono::seconds(60);
// A request's head and body must have arrived this long after its first byte, however slowly
// they trickle: a byte now and then would otherwise hold the connection forever.
constexpr std::chrono::milliseconds request_limit = std::chrono::seconds(60);
// Every connection has a thread; past this many, new ones are refused instead.
constexpr std::size_t max_connections = 1024;
// Refused connections whose 503 is still being delivered; past this they are closed at once.
constexpr std::size_t max_refused_draining = 256;
// Per sendfile call; the kernel copies straight from the page cache to the socket.
constexpr std::size_t file_chunk = 256 * 1024;
// What a lingering close still reads from a client whose body we did not want.
constexpr std::size_t linger_bytes = 4 * 1024 * 1024;
constexpr int linger_ms = 2000;

bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

std::string error_text(const boost::system::error_code& ec) {
    if (ec == asio::error::eof || ec == bhttp::error::end_of_stream ||
        ec == bhttp::error::partial_message) {
        return "connection closed by the client";
    }
    if (ec.category() == boost::system::system_category()) {
        return os_error_text(ec.value());
    }
    return ec.message();
}

// The parser's verdict on bytes that are no HTTP message (as opposed to a transport failure or
// a message that simply ended early).
bool is_malformed_message(const boost::system::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

std::string http_date() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buf, n);
}

bool has_line_break(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// sendfile(2) has no MSG_NOSIGNAL: keep SIGPIPE blocked for the call and swallow one that it
// raised, so a vanished client is an error return even where the process does not ignore it.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigset_t pending;
        sigemptyset(&pending);
        ::sigpending(&pending);
        was_pending_ = sigismember(&pending, SIGPIPE) == 1;
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &block, &old_) == 0;
    }
    ~SigpipeBlock() {
        if (!blocked_) {
            return;
        }
        if (!was_pending_) {
            sigset_t pending;
            sigemptyset(&pending);
            ::sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                sigset_t pipe_only;
                sigemptyset(&pipe_only);
                sigaddset(&pipe_only, SIGPIPE);
                const timespec zero{0, 0};
                while (::sigtimedwait(&pipe_only, nullptr, &zero) == -1 && errno == EINTR) {
                }
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t old_{};
    bool was_pending_ = false;
    bool blocked_ = false;
};

void close_fd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

using Clock = std::chrono::steady_clock;

// Milliseconds from now until `deadline`, for poll(2); 0 once it has passed.
int ms_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

// Waits until `fd` is ready for `events`, at the latest until `deadline`; false with `ec` set
// otherwise.
bool wait_ready(int fd, short events, Clock::time_point deadline, boost::system::error_code& ec) {
    for (;;) {
        const int left = ms_until(deadline);
        if (left == 0) {
            ec = asio::error::timed_out;
            return false;
        }
        pollfd pfd{fd, events, 0};
        const int r = ::poll(&pfd, 1, left);
        if (r > 0) {
            return true; // readiness, a hang-up or an error: the next call tells which
        }
        if (r < 0 && errno != EINTR) {
            ec.assign(errno, boost::system::system_category());
            return false;
        }
    }
}

// The wait for a peer that may be stalling: bounded by `idle_limit`.
bool wait_for_peer(int fd, short events, boost::system::error_code& ec) {
    return wait_ready(fd, events, Clock::now() + idle_limit, ec);
}

// The connection's socket for Beast's synchronous reads and writes, which would otherwise wait
// without end: the socket is non-blocking, and each wait for the peer is bounded by `idle_limit`,
// reads also by the deadline of the request being received.
class TimedStream {
  public:
    TimedStream(tcp::socket& socket, Clock::time_point read_deadline)
        : socket_(socket), read_deadline_(read_deadline) {}

    using executor_type = tcp::socket::executor_type;
    executor_type get_executor() { return socket_.get_executor(); }

    template <class Buffers>
    std::size_t read_some(const Buffers& buffers, boost::system::error_code& ec) {
        return when_ready(POLLIN, read_deadline_, ec,
                          [&](auto& e) { return socket_.read_some(buffers, e); });
    }
    template <class Buffers> std::size_t read_some(const Buffers& buffers) {
        return or_throw([&](auto& e) { return read_some(buffers, e); });
    }
    template <class Buffers>
    std::size_t write_some(const Buffers& buffers, boost::system::error_code& ec) {
        return when_ready(POLLOUT, Clock::time_point::max(), ec,
                          [&](auto& e) { return socket_.write_some(buffers, e); });
    }
    template <class Buffers> std::size_t write_some(const Buffers& buffers) {
        return or_throw([&](auto& e) { return write_some(buffers, e); });
    }

  private:
    // Runs the transfer, waiting for readiness whenever the socket has nothing to give or take.
    template <class Transfer>
    std::size_t when_ready(short events, Clock::time_point deadline, boost::system::error_code& ec,
                           Transfer transfer) {
        for (;;) {
            const std::size_t n = transfer(ec);
            if (ec != asio::error::would_block && ec != asio::error::try_again) {
                return n;
            }
            const auto idle_end = Clock::now() + idle_limit;
            if (!wait_ready(socket_.native_handle(), events, std::min(idle_end, deadline), ec)) {
                return 0;
            }
        }
    }
    template <class Transfer> static std::size_t or_throw(Transfer transfer) {
        boost::system::error_code ec;
        const std::size_t n = transfer(ec);
        if (ec) {
            throw boost::system::system_error(ec);
        }
        return n;
    }

    tcp::socket& socket_;
    Clock::time_point read_deadline_;
};

} // namespace

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
// Shared state

struct Connection;

struct HttpServer::State {
    asio::io_context ioc; // sockets need one; all I/O here is synchronous
    tcp::acceptor acceptor{ioc};
    int wake_fd = -1; // eventfd that tells the listening thread to stop
    tcp protocol = tcp::v4();
    std::uint16_t port = 0;
    std::thread listener;

    std::mutex mutex;
    std::condition_variable ready;
    // A request waiting to be taken, or an error for `next_request` to report.
    std::deque<std::variant<std::shared_ptr<PendingRequest>, std::string>> queue;
    bool stopped = false;
    std::set<Connection*> connections; // alive connection threads, for shutdown

    ~State() { close_fd(wake_fd); }
};

using State = HttpServer::State;

struct Connection {
    std::shared_ptr<State> state; // declared first: the socket needs `ioc` while it is destroyed
    tcp::socket socket;
    beast::flat_buffer buffer;
    bool idle = false;   // waiting for the next request's header; guarded by state->mutex
    bool broken = false; // a transfer failed half-way; the connection cannot carry another request
    // When the request being received must have arrived whole (`request_limit` after its first
    // byte); touched only by the thread that reads.
    Clock::time_point read_deadline = Clock::time_point::max();

    Connection(std::shared_ptr<State> s, int fd) : state(std::move(s)), socket(state->ioc) {
        boost::system::error_code ec;
        socket.assign(state->protocol, fd, ec);
        if (ec) {
            ::close(fd);
            return;
        }
        socket.non_blocking(true, ec); // waits go through `TimedStream`
    }

    TimedStream stream() { return TimedStream(socket, read_deadline); }
};

enum class Outcome { waiting, answered, dropped };

struct PendingRequest {
    std::shared_ptr<Connection> conn;
    std::unique_ptr<bhttp::request_parser<bhttp::string_body>> parser;
    std::string method;
    std::string url;
    std::vector<Header> headers;
    unsigned version = 11;
    bool head = false;
    bool keep_alive = true;
    bool expect_continue = false;
    bool body_taken = false;

    std::mutex mutex;
    std::condition_variable settled;
    Outcome outcome = Outcome::waiting; // guarded by mutex
    bool keep_connection = false;       // decided by the answer; read after the outcome is set

    void settle(Outcome o, bool keep) {
        {
            std::lock_guard lock(mutex);
            outcome = o;
            keep_connection = keep;
        }
        settled.notify_one();
    }
};

namespace {

// Writes one answer on the request's connection; returns whether the connection may carry the
// next request, and the error text when the answer could not be written.
struct WriteResult {
    bool keep = false;
    Status status;
};

WriteResult write_answer(PendingRequest& p, Response response) {
    Connection& c = *p.conn;
    bool keep = p.keep_alive && p.parser->is_done() && !c.broken;
    {
        std::lock_guard lock(c.state->mutex);
        keep = keep && !c.state->stopped;
    }
    const std::uint16_t status = response.status();
    if (status < 100 || status > 999) {
        return {false, fail(fmt::format("invalid status {}", status))};
    }
    std::optional<FileBody> file = response.release_file();
    // 1xx and 204 answers have no body, so they carry no Content-Length either.
    const bool bodiless = status < 200 || status == 204;
    const std::uint64_t length = bodiless ? 0 : file ? file->length : response.text_body().size();

    bhttp::response<bhttp::empty_body> head;
    head.version(p.version);
    head.result(status);
    for (const Header& h : response.headers()) {
        if (iequals(h.name, "Content-Length") || iequals(h.name, "Transfer-Encoding") ||
            iequals(h.name, "Date") || has_line_break(h.name) || has_line_break(h.value)) {
            continue;
        }
        if (iequals(h.name, "Connection")) {
            if (iequals(h.value, "close")) {
                keep = false;
            }
            continue;
        }
        head.insert(h.name, h.value);
    }
    head.set(bhttp::field::date, http_date());
    if (!bodiless) {
        head.content_length(length);
    }
    head.keep_alive(keep);

    boost::system::error_code ec;
    TimedStream stream = c.stream();
    const bool with_body = !p.head && length > 0;
    if (!file || !with_body) {
        if (file) {
            close_fd(file->fd);
        }
        if (with_body) {
            // Header and text in one gathered write.
            using TextBody = bhttp::span_body<const char>;
            bhttp::response<TextBody> full{std::move(head)};
            const std::string& text = response.text_body();
            full.body() = TextBody::value_type(text.data(), text.size());
            bhttp::serializer<false, TextBody> sr{full};
            bhttp::write(stream, sr, ec);
        } else {
            bhttp::serializer<false, bhttp::empty_body> sr{head};
            bhttp::write_header(stream, sr, ec);
        }
        if (ec) {
            c.broken = true;
            return {false, fail(error_text(ec))};
        }
        return {keep, {}};
    }

    bhttp::serializer<false, bhttp::empty_body> sr{head};
    bhttp::write_header(stream, sr, ec);
    if (ec) {
        close_fd(file->fd);
        c.broken = true;
        return {false, fail(error_text(ec))};
    }
    const int sock = c.socket.native_handle();
    off_t offset = static_cast<off_t>(file->offset);
    std::uint64_t left = file->length;
    Status result;
    {
        SigpipeBlock guard;
        bool use_sendfile = true;
        std::vector<char> chunk;
        while (left > 0) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, file_chunk));
            ssize_t n;
            if (use_sendfile) {
                n = ::sendfile(sock, file->fd, &offset, want);
                if (n < 0 && (errno == EINVAL || errno == ENOSYS) && left == file->length) {
                    use_sendfile = false; // not a regular file: copy through memory instead
                    continue;
                }
            } else {
                chunk.resize(64 * 1024);
                n = ::pread(file->fd, chunk.data(), std::min(want, chunk.size()), offset);
                if (n > 0) {
                    asio::write(stream, asio::buffer(chunk.data(), static_cast<std::size_t>(n)),
                                ec);
                    if (ec) {
                        result = fail(error_text(ec));
                        break;
                    }
                    offset += n;
                }
            }
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN) {
                    if (!wait_for_peer(sock, POLLOUT, ec)) {
                        result = fail(error_text(ec));
                        break;
                    }
                    continue;
                }
                result = fail(os_error_text(errno));
                break;
            }
            if (n == 0) {
                result = fail("file ended before the length announced for it");
                break;
            }
            left -= static_cast<std::uint64_t>(n);
        }
    }
    close_fd(file->fd);
    if (!result) {
        c.broken = true;
        return {false, result};
    }
    return {keep, {}};
}

// Closes after an answer while the client may still be sending: stop writing, read and discard
// for a moment, then close. A plain close with unread data resets the connection, and the client
// can lose the answer it has not read yet.
void lingering_close(tcp::socket& socket) {
    const int fd = socket.native_handle();
    ::shutdown(fd, SHUT_WR);
    const auto deadline = Clock::now() + std::chrono::milliseconds(linger_ms);
    std::size_t total = 0;
    char buf[16 * 1024];
    boost::system::error_code ec;
    while (total < linger_bytes && wait_ready(fd, POLLIN, deadline, ec)) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        total += static_cast<std::size_t>(n);
    }
    socket.close(ec);
}

// A fixed answer for requests that never reach the queue (unparsable, header or body too large).
// Lingering keeps the answer readable.
void answer_and_close(Connection& c, unsigned status) {
    bhttp::response<bhttp::empty_body> res;
    res.version(11);
    res.result(status);
    res.set(bhttp::field::date, http_date());
    res.content_length(0);
    res.keep_alive(false);
    boost::system::error_code ec;
    TimedStream stream = c.stream();
    bhttp::write(stream, res, ec);
    lingering_close(c.socket);
}

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

} // namespace

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
const std::string empty_text;
const std::vector<Header> no_headers;
} // namespace

const std::string& Request::method() const {
    return pending_ ? pending_->method : empty_text;
}

const std::string& Request::url() const {
    return pending_ ? pending_->url : empty_text;
}

const std::vector<Header>& Request::headers() const {
    return pending_ ? pending_->headers : no_headers;
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
