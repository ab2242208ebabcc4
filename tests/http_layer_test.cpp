// The HTTP layer on real loopback sockets: framing, keep-alive, interim answers, dropped requests,
// hostile input and clients that vanish, with many requests held open at once.
#include "support/raw_http.hpp"
#include "support/test_support.hpp"
#include "webapp/http.hpp"

#include <condition_variable>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

using namespace reelcut;
using namespace reelcut::testing;

namespace {

// What the test handler shares with the test; held by reference count because handler threads
// may outlive a failed test.
struct Backend {
    std::mutex mutex;
    std::condition_variable changed;
    int held = 0;
    bool released = false;
    std::string file_path;
    Slot<std::string> body_error;
    Slot<std::string> respond_outcome;

    bool wait_held(int n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return held >= n; });
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    }
};

void answer(http::Request& request, std::uint16_t status, std::string body) {
    (void)request.respond(http::Response(status, std::move(body)));
}

// Routes of the test app, by URL:
//   /echo     the body back, as bytes
//   /drop     no answer at all
//   /throw    no answer, the request destroyed while an exception unwinds
//   /nothing  204
//   /nobody   404 without reading the body
//   /hold     waits until the test releases it (a long poll)
//   /file     the test's file as a streamed body
//   /text     a text body of 256 MiB
//   anything  200 with the URL, or with method|url|x-probe when that header is present
void handle(const std::shared_ptr<Backend>& b, http::Request request) {
    const std::string url = request.url();
    if (url == "/echo") {
        Result<std::string> body = request.read_body();
        if (!body) {
            b->body_error.set(body.error());
            return;
        }
        http::Response response(200, std::move(*body));
        response.with_header("Content-Type", "application/octet-stream");
        (void)request.respond(std::move(response));
    } else if (url == "/drop") {
        return;
    } else if (url == "/throw") {
        try {
            http::Request owned = std::move(request);
            throw std::runtime_error("handler failed");
        } catch (const std::runtime_error&) {
        }
    } else if (url == "/nothing") {
        answer(request, 204, "");
    } else if (url == "/nobody") {
        answer(request, 404, "not found");
    } else if (url == "/hold") {
        {
            std::unique_lock lock(b->mutex);
            ++b->held;
            b->changed.notify_all();
            b->changed.wait(lock, [&] { return b->released; });
        }
        answer(request, 200, "held");
    } else if (url == "/file") {
        const int fd = ::open(b->file_path.c_str(), O_RDONLY | O_CLOEXEC);
        const auto size = static_cast<std::uint64_t>(::lseek(fd, 0, SEEK_END));
        Status sent = request.respond(http::Response(200, http::FileBody{fd, 0, size}));
        b->respond_outcome.set(sent ? "sent" : sent.error());
    } else if (url == "/text") {
        Status sent = request.respond(http::Response(200, std::string(256 << 20, 't')));
        b->respond_outcome.set(sent ? "sent" : sent.error());
    } else if (auto probe = request.header("x-PROBE")) {
        answer(request, 200, request.method() + "|" + url + "|" + *probe);
    } else {
        answer(request, 200, url);
    }
}

struct HttpLayer : ::testing::Test {
    std::shared_ptr<Backend> backend = std::make_shared<Backend>();
    std::unique_ptr<LayerServer> server;

    void SetUp() override {
        server = std::make_unique<LayerServer>(
            [b = backend](http::Request request) { handle(b, std::move(request)); });
    }
    void TearDown() override {
        backend->release();
        server.reset();
    }
    std::uint16_t port() const { return server->port(); }
};

std::string get(const std::string& target, const std::string& extra = "") {
    return "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + extra + "\r\n";
}

std::string post(const std::string& target, const std::string& body,
                 const std::string& extra = "") {
    return "POST " + target +
           " HTTP/1.1\r\nHost: t\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extra + "\r\n" + body;
}

void expect_small_request_served(std::uint16_t port) {
    RawClient client(port);
    ASSERT_TRUE(client.send(get("/still-alive")));
    const RawReply reply = client.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "/still-alive");
}

TEST_F(HttpLayer, KeepAliveAnswersEachRequestInOrderOnOneConnection) {
    RawClient client(port());
    ASSERT_TRUE(client.send(get("/first")));
    RawReply reply = client.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "/first");
    EXPECT_EQ(reply.header("Content-Length"), "6");
    EXPECT_TRUE(reply.header("Date"));
    EXPECT_FALSE(reply.header("Connection"));

    ASSERT_TRUE(client.send(post("/echo", "one body")));
    EXPECT_EQ(client.read_reply().body, "one body");

    // No body, so no length either; the connection goes on.
    ASSERT_TRUE(client.send(get("/nothing")));
    reply = client.read_reply();
    EXPECT_EQ(reply.status, 204);
    EXPECT_FALSE(reply.header("Content-Length"));

    // Pipelined: both requests in one write; the second waits for the first's answer.
    ASSERT_TRUE(client.send(get("/second") + post("/echo", "third")));
    EXPECT_EQ(client.read_reply().body, "/second");
    EXPECT_EQ(client.read_reply().body, "third");

    // HTTP/1.0 without keep-alive: one answer, then the server closes.
    ASSERT_TRUE(client.send("GET /last HTTP/1.0\r\n\r\n"));
    reply = client.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "/last");
    EXPECT_TRUE(client.closed_by_server());
}

TEST_F(HttpLayer, RequestKeepsMethodTargetAndHeadersAsReceived) {
    RawClient client(port());
    ASSERT_TRUE(client.send("BREW /pot%20a?x=%41&y HTTP/1.1\r\nHost: t\r\nX-Probe: first\r\n"
                            "x-probe: second\r\n\r\n"));
    const RawReply reply = client.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "BREW|/pot%20a?x=%41&y|first");
}

TEST_F(HttpLayer, ChunkedBodyIsReassembled) {
    RawClient client(port());
    ASSERT_TRUE(client.send("POST /echo HTTP/1.1\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n"
                            "5\r\nhello\r\n"));
    ASSERT_TRUE(client.send("7;ext=1\r\n, world\r\n"));
    ASSERT_TRUE(client.send("0\r\n\r\n"));
    EXPECT_EQ(client.read_reply().body, "hello, world");
    ASSERT_TRUE(client.send(get("/after-chunked")));
    EXPECT_EQ(client.read_reply().body, "/after-chunked");
}

TEST_F(HttpLayer, ExpectContinueGetsInterimAnswerOnlyWhenTheBodyIsRead) {
    RawClient client(port());
    ASSERT_TRUE(client.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n"
                            "Expect: 100-continue\r\n\r\n"));
    RawReply interim = client.read_reply();
    EXPECT_EQ(interim.status, 100);
    ASSERT_TRUE(client.send("hello"));
    RawReply reply = client.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "hello");

    // Answered without its body: no interim answer, and the connection ends since the body was
    // never sent.
    RawClient declined(port());
    ASSERT_TRUE(declined.send("POST /nobody HTTP/1.1\r\nHost: t\r\nContent-Length: 5\r\n"
                              "Expect: 100-continue\r\n\r\n"));
    reply = declined.read_reply();
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.header("Connection"), "close");
    EXPECT_TRUE(declined.closed_by_server());
}

TEST_F(HttpLayer, UnreadBodyClosesTheConnectionWithoutLosingTheAnswer) {
    RawClient client(port());
    // The body is on its way but nobody reads it; the answer must still arrive intact.
    ASSERT_TRUE(client.send(post("/nobody", std::string(300000, 'x'))));
    const RawReply reply = client.read_reply();
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, "not found");
    EXPECT_TRUE(client.closed_by_server());
}

TEST_F(HttpLayer, DroppedRequestIsAnswered500WithEmptyBody) {
    for (const std::string target : {"/drop", "/throw"}) {
        SCOPED_TRACE(target);
        RawClient client(port());
        ASSERT_TRUE(client.send(get(target)));
        const RawReply reply = client.read_reply();
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(reply.header("Content-Length"), "0");
        EXPECT_EQ(reply.body, "");
        // The connection carries on.
        ASSERT_TRUE(client.send(get("/next")));
        EXPECT_EQ(client.read_reply().body, "/next");
    }
}

TEST_F(HttpLayer, HeadAnswerHasHeadersButNoBody) {
    RawClient client(port());
    ASSERT_TRUE(client.send("HEAD /abc HTTP/1.1\r\nHost: t\r\n\r\n"));
    const RawReply head = client.read_head_reply();
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.header("Content-Length"), "4");
    // Had any body bytes followed, they would be read as the start of this answer.
    ASSERT_TRUE(client.send(get("/next")));
    const RawReply next = client.read_reply();
    EXPECT_EQ(next.status, 200);
    EXPECT_EQ(next.body, "/next");
}

TEST_F(HttpLayer, BinaryBodiesPassAsBytes) {
    std::string bytes;
    for (int round = 0; round < 40; ++round) {
        for (int i = 0; i < 256; ++i) {
            bytes.push_back(static_cast<char>(i));
        }
    }
    bytes += "\xff\xfe\xc3\x28\xed\xa0\x80"; // invalid UTF-8 sequences
    RawClient client(port());
    ASSERT_TRUE(client.send(post("/echo", bytes)));
    const RawReply reply = client.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, bytes);
}

TEST_F(HttpLayer, CurlUploadWithItsOwnExpectContinueRoundTrips) {
    // curl asks for 100-continue by itself above 1 MiB and then waits for the interim answer.
    TempDir dir;
    std::string bytes;
    for (std::size_t i = 0; i < (3u << 20); ++i) {
        bytes.push_back(static_cast<char>((i * 131 + i / 7) % 256));
    }
    write_file(dir / "in.bin", bytes);
    const std::string url = "http://127.0.0.1:" + std::to_string(port()) + "/echo";
    auto run = run_captured("curl", {"-sS", "-v", "--data-binary", "@" + (dir / "in.bin"), "-o",
                                     dir / "out.bin", url, url});
    ASSERT_TRUE(run) << run.error();
    EXPECT_TRUE(run->status.success()) << run->err;
    EXPECT_NE(run->err.find("HTTP/1.1 100 Continue"), std::string::npos);
    EXPECT_NE(run->err.find("Re-using existing connection"), std::string::npos);
    EXPECT_EQ(read_file(dir / "out.bin"), bytes);
}

TEST_F(HttpLayer, MalformedInputIsRefusedAndTheServerGoesOn) {
    struct Case {
        const char* name;
        std::string bytes;
        int status;
    };
    const std::vector<Case> cases = {
        {"not HTTP", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03garbage\r\n\r\n", 400},
        {"bad header line", "GET / HTTP/1.1\r\nHost: t\r\nno colon here\r\n\r\n", 400},
        {"1 MB header",
         "GET / HTTP/1.1\r\nHost: t\r\nX-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n", 431},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(port());
        client.send(c.bytes); // the server may stop reading early; its answer still counts
        const RawReply reply = client.read_reply();
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("Connection"), "close");
        EXPECT_TRUE(client.closed_by_server());
        expect_small_request_served(port());
    }
}

// Bodies framed in any way but one Content-Length or one "chunked" could be read differently by
// another reader of the same bytes; each is refused, and whatever follows is never taken for a
// request of its own.
TEST_F(HttpLayer, BodyFramingOtherThanLengthOrOnceChunkedIsRefused) {
    const std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: t\r\n\r\n";
    const std::string head = "POST /echo HTTP/1.1\r\nHost: t\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        int status;
    };
    const std::vector<Case> cases = {
        {"chunked, then identity",
         head + "Transfer-Encoding: chunked, identity\r\n\r\n" + "5\r\nhello\r\n0\r\n\r\n" +
             smuggled,
         501},
        {"an unknown coding with a length",
         head + "Transfer-Encoding: xchunked\r\nContent-Length: 2\r\n\r\nab" + smuggled, 400},
        {"a length, then chunked",
         head + "Content-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\nab" + smuggled, 400},
        {"gzip, then chunked",
         head + "Transfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n" + smuggled, 501},
        {"identity alone", head + "Transfer-Encoding: identity\r\n\r\n" + smuggled, 501},
        {"chunked twice in one field",
         head + "Transfer-Encoding: chunked, chunked\r\n\r\n0\r\n\r\n" + smuggled, 400},
        {"chunked in two fields",
         head + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" +
             smuggled,
         400},
        {"chunked with a parameter",
         head + "Transfer-Encoding: chunked;q=1\r\n\r\n0\r\n\r\n" + smuggled, 501},
        {"chunked in HTTP/1.0",
         "POST /echo HTTP/1.0\r\nHost: t\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled,
         400},
        {"chunk size not hex", head + "Transfer-Encoding: chunked\r\n\r\nzz\r\n" + smuggled, 400},
        {"negative chunk size", head + "Transfer-Encoding: chunked\r\n\r\n-2\r\n" + smuggled, 400},
        {"chunk size past 64 bits",
         head + "Transfer-Encoding: chunked\r\n\r\n1ffffffffffffffff\r\n" + smuggled, 400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawClient client(port());
        client.send(c.bytes);
        const RawReply reply = client.read_reply();
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("Connection"), "close");
        EXPECT_EQ(client.read_reply().status, 0) << "a second answer, to the smuggled request";
        EXPECT_TRUE(client.closed_by_server());
        expect_small_request_served(port());
    }

    // "chunked" in any case and with white space around it is the one chunked coding.
    RawClient client(port());
    ASSERT_TRUE(client.send(head + "Transfer-Encoding:  Chunked \r\n\r\n2\r\nok\r\n0\r\n\r\n"));
    EXPECT_EQ(client.read_reply().body, "ok");
    ASSERT_TRUE(client.send(get("/after")));
    EXPECT_EQ(client.read_reply().body, "/after");
}

TEST_F(HttpLayer, ClientGoneMidBodyFailsTheBodyRead) {
    {
        RawClient client(port());
        ASSERT_TRUE(client.send("POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 100000\r\n\r\n" +
                                std::string(1000, 'b')));
        client.close();
    }
    const std::optional<std::string> error = backend->body_error.wait();
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->empty());
    expect_small_request_served(port());
}

TEST_F(HttpLayer, ClientGoneMidDownloadFailsTheAnswerWithoutASignal) {
    TempDir dir;
    backend->file_path = dir / "big.bin";
    // Far more than the socket buffers hold, so the writer is still busy when the client leaves.
    const int fd = ::open(backend->file_path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_EQ(::ftruncate(fd, 256 << 20), 0);
    ::close(fd);
    // With the default disposition a SIGPIPE from the layer would end this test process.
    std::signal(SIGPIPE, SIG_DFL);
    for (const std::string target : {"/file", "/text"}) {
        SCOPED_TRACE(target);
        backend->respond_outcome.reset();
        {
            RawClient client(port());
            ASSERT_TRUE(client.send(get(target)));
            EXPECT_EQ(client.read_some(1000).size(), 1000u);
            client.reset();
        }
        const std::optional<std::string> outcome = backend->respond_outcome.wait();
        ASSERT_TRUE(outcome);
        EXPECT_NE(*outcome, "sent");
        EXPECT_FALSE(outcome->empty());
        expect_small_request_served(port());
    }
    std::signal(SIGPIPE, SIG_IGN);
}

TEST_F(HttpLayer, ManyHeldRequestsDoNotBlockSmallOnes) {
    constexpr int held = 200;
    std::vector<std::unique_ptr<RawClient>> polls;
    for (int i = 0; i < held; ++i) {
        polls.push_back(std::make_unique<RawClient>(port()));
        ASSERT_TRUE(polls.back()->send(get("/hold")));
    }
    ASSERT_TRUE(backend->wait_held(held));
    for (int i = 0; i < 20; ++i) {
        expect_small_request_served(port());
    }
    backend->release();
    for (auto& poll : polls) {
        const RawReply reply = poll->read_reply();
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.body, "held");
    }
}

TEST_F(HttpLayer, DestroyedServerStopsListeningButHeldRequestsStillAnswer) {
    RawClient idle(port());
    ASSERT_TRUE(idle.send(get("/once")));
    ASSERT_EQ(idle.read_reply().status, 200);
    RawClient poll(port());
    ASSERT_TRUE(poll.send(get("/hold")));
    ASSERT_TRUE(backend->wait_held(1));

    const std::uint16_t old_port = port();
    server->stop(); // returns although /hold is still being handled

    EXPECT_FALSE(RawClient(old_port).connected());
    EXPECT_TRUE(idle.closed_by_server());

    backend->release();
    const RawReply reply = poll.read_reply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "held");
    EXPECT_TRUE(poll.closed_by_server());
}

TEST(HttpBind, PortZeroPicksAPortAndATakenPortGivesTheSystemText) {
    auto first = http::HttpServer::bind("127.0.0.1:0");
    ASSERT_TRUE(first) << first.error();
    ASSERT_NE((*first)->port(), 0);
    auto second = http::HttpServer::bind("127.0.0.1:" + std::to_string((*first)->port()));
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), "Address already in use (os error 98)");

    // Addresses are numeric: no name lookup in a static executable.
    EXPECT_EQ(http::HttpServer::bind("localhost:0").error(), "invalid IP address: localhost");
    EXPECT_EQ(http::HttpServer::bind("127.0.0.1:65536").error(), "invalid port number: 65536");
}

TEST(HttpBind, RequestsWaitInTheQueueUntilTaken) {
    auto server = http::HttpServer::bind("127.0.0.1:0");
    ASSERT_TRUE(server) << server.error();
    auto none = (*server)->next_request(std::chrono::milliseconds(0));
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);

    RawClient client((*server)->port());
    ASSERT_TRUE(client.send(get("/early")));
    auto next = (*server)->next_request(std::chrono::seconds(30));
    ASSERT_TRUE(next && *next);
    EXPECT_EQ((*next)->method(), "GET");
    EXPECT_EQ((*next)->url(), "/early");
    ASSERT_TRUE((*next)->respond(http::Response(200, "taken")));
    EXPECT_EQ(client.read_reply().body, "taken");
    // A second answer to the same request is refused, not sent.
    EXPECT_FALSE((*next)->respond(http::Response(200, "again")));
}

} // namespace
