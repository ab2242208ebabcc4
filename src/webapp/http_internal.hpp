// Private to the HTTP layer's files: the limits, the shared state of a server and its
// connections, the socket wrapper that bounds every wait, and the entry points that the files
// call in one another. http.cpp holds the public types, http_transport.cpp the error and date
// texts, http_answer.cpp the answer writer, http_listener.cpp the accepting thread and the
// connection threads. Boost.Beast goes no further than these files.
#pragma once

#include "webapp/http.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <poll.h>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <variant>

namespace reelcut::http {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
using tcp = asio::ip::tcp;

// Browsers send large cookies now and then; anything past this is not a header we want.
inline constexpr std::uint32_t header_limit = 64 * 1024;
// Far above any page's upload; a larger body is refused before it is read.
inline constexpr std::uint64_t body_limit = 64ull * 1024 * 1024;
// A client that neither sends nor takes a byte for this long is gone or stalling on purpose; its
// connection ends so it cannot hold a thread and a connection slot forever. Waiting for a long
// poll's answer is not counted: nothing is read or written then.
inline constexpr std::chrono::milliseconds idle_limit = std::chrono::seconds(60);
// A request's head and body must have arrived this long after its first byte, however slowly
// they trickle: a byte now and then would otherwise hold the connection forever.
inline constexpr std::chrono::milliseconds request_limit = std::chrono::seconds(60);
// Every connection has a thread; past this many, new ones are refused instead.
inline constexpr std::size_t max_connections = 1024;
// Refused connections whose 503 is still being delivered; past this they are closed at once.
inline constexpr std::size_t max_refused_draining = 256;
// Per sendfile call; the kernel copies straight from the page cache to the socket.
inline constexpr std::size_t file_chunk = 256 * 1024;
// What a lingering close still reads from a client whose body we did not want.
inline constexpr std::size_t linger_bytes = 4 * 1024 * 1024;
inline constexpr int linger_ms = 2000;

inline bool iequals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

inline bool has_line_break(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// The transport's error as a message: "connection closed by the client" for an early end, the
// system's text for a system error.
std::string error_text(const boost::system::error_code& ec);

// The parser's verdict on bytes that are no HTTP message (as opposed to a transport failure or
// a message that simply ended early).
bool is_malformed_message(const boost::system::error_code& ec);

// The current time in the form of a Date header.
std::string http_date();

inline void close_fd(int fd) {
    if (fd >= 0) {
        ::close(fd);
    }
}

using Clock = std::chrono::steady_clock;

// The waits are inline: each read and write that finds the socket not ready goes through them.

// Milliseconds from now until `deadline`, for poll(2); 0 once it has passed.
inline int ms_until(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
}

// Waits until `fd` is ready for `events`, at the latest until `deadline`; false with `ec` set
// otherwise.
inline bool wait_ready(int fd, short events, Clock::time_point deadline,
                       boost::system::error_code& ec) {
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
inline bool wait_for_peer(int fd, short events, boost::system::error_code& ec) {
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

// ---------------------------------------------------------------------------------------------
// Answer writer (http_answer.cpp)

// Writes one answer on the request's connection; returns whether the connection may carry the
// next request, and the error text when the answer could not be written.
struct WriteResult {
    bool keep = false;
    Status status;
};
WriteResult write_answer(PendingRequest& p, Response response);

// Closes after an answer while the client may still be sending: stop writing, read and discard
// for a moment, then close. A plain close with unread data resets the connection, and the client
// can lose the answer it has not read yet.
void lingering_close(tcp::socket& socket);

// A fixed answer for requests that never reach the queue (unparsable, header or body too large).
// Lingering keeps the answer readable.
void answer_and_close(Connection& c, unsigned status);

// ---------------------------------------------------------------------------------------------
// Listener (http_listener.cpp)

// The accepting thread of a bound server, until its wake descriptor is signalled.
void listen_loop(std::shared_ptr<State> state);

// Each connection takes a descriptor, and the usual soft limit (1,024) is what the connection
// limit allows on its own; the hard limit is the system's real bound.
void raise_descriptor_limit();

} // namespace reelcut::http
