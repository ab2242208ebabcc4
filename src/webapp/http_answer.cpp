// The answer writer: status line and headers, a text body or a file streamed with sendfile(2),
// and the closes that keep an answer readable when the client is still sending.
#include "webapp/http_internal.hpp"

#include <boost/asio/write.hpp>
#include <boost/beast/http/span_body.hpp>

#include <csignal>
#include <ctime>
#include <fmt/format.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

namespace reelcut::http {
namespace {

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

} // namespace

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

} // namespace reelcut::http
