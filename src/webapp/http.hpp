// The loopback HTTP layer: our own request and response types over Boost.Beast, which stays
// inside the layer's own files (http_internal.hpp). A listening thread accepts connections; each
// connection has a thread that parses requests and queues them for `HttpServer::next_request`. The
// connection waits until its request has been answered (or dropped) before it reads the next one
// (keep-alive).
//
// What one client can cost is bounded: headers above 64 KiB are answered 431 and bodies above
// 64 MiB 413 (a body is never read past that); a connection whose peer sends or takes nothing
// for 60 s is closed (waiting for an answer, as long polls do, is not counted); a request whose
// head (or body, while it is read) has not arrived 60 s after its first byte is closed, with 408
// when its head is unfinished; and at most 1,024 connections are served at once, further ones
// being answered 503 and closed. A body framed by a Transfer-Encoding other than one "chunked"
// is answered 501 or 400 before it is read (transfer_coding.hpp), a malformed chunk 400; either
// closes the connection.
#pragma once

#include "result.hpp"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace reelcut::http {

struct Header {
    std::string name;
    std::string value;
};

// A body read from an open file: `length` bytes from `offset`, streamed, never loaded whole.
struct FileBody {
    int fd = -1; // owned by the response; closed when it is sent or destroyed
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

class Response {
  public:
    Response(std::uint16_t status, std::string body);
    Response(std::uint16_t status, FileBody file);
    Response(Response&&) noexcept;
    Response& operator=(Response&&) noexcept;
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response();

    // Adds a header (Content-Length and Date are the layer's own and must not be added).
    Response& with_header(std::string name, std::string value);

    std::uint16_t status() const { return status_; }
    const std::vector<Header>& headers() const { return headers_; }
    const std::string& text_body() const { return text_; }
    const std::optional<FileBody>& file_body() const { return file_; }
    // Gives up ownership of the file descriptor (the writer closes it).
    std::optional<FileBody> release_file();

  private:
    std::uint16_t status_;
    std::vector<Header> headers_;
    std::string text_;
    std::optional<FileBody> file_;
};

struct PendingRequest; // the connection's side of one request; defined in http_internal.hpp

// One received request. Move-only; answered at most once. A request destroyed without an answer
// is answered 500 with an empty body.
class Request {
  public:
    explicit Request(std::shared_ptr<PendingRequest> pending);
    Request(Request&&) noexcept;
    Request& operator=(Request&&) noexcept;
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    ~Request();

    // The method as received ("GET", or a non-standard method's own text).
    const std::string& method() const;
    // The request target as received: path and query, not decoded.
    const std::string& url() const;
    const std::vector<Header>& headers() const;
    // The first header of that name (compared without regard to ASCII case).
    std::optional<std::string> header(std::string_view name) const;

    // Whether the client has closed its end of the connection (or reset it) while the request
    // waits for its answer; such a client cannot receive the answer.
    bool client_gone() const;

    // Reads the whole body (Content-Length or chunked), first sending "100 Continue" when the
    // client asked for it. Fails with the transport's error text when the client goes away or
    // the request's deadline passes; when the body passes 64 MiB or its chunks are malformed,
    // which the layer then answers 413 or 400 itself; and when memory runs out.
    Result<std::string> read_body();

    // Sends the answer. Fails with the transport's error text when it cannot be written (the
    // client went away); never raises SIGPIPE.
    Status respond(Response response);

  private:
    std::shared_ptr<PendingRequest> pending_;
};

class HttpServer {
  public:
    // Binds and listens on "host:port" (e.g. "127.0.0.1:8797"). The error is the system's text,
    // such as "Address already in use (os error 98)".
    static Result<std::unique_ptr<HttpServer>> bind(const std::string& address);
    ~HttpServer(); // stops listening; connections still busy finish on their own threads

    std::uint16_t port() const;

    // The next request, waiting at most `timeout`: nothing on time-out, an error text when the
    // layer reports one.
    Result<std::optional<Request>> next_request(std::chrono::milliseconds timeout);

    struct State; // shared with the connection threads; outlives the server while they run

  private:
    explicit HttpServer(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace reelcut::http
