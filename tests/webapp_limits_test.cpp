// What a misbehaving client can cost a page server: oversized requests, idle and stalled
// connections, and more connections than the server takes, each against the real server with
// other clients still being answered.
#include "subprocess.hpp"
#include "support/raw_http.hpp"
#include "support/webapp_fixture.hpp"

#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/resource.h>
#include <thread>

namespace reelcut {
namespace {

using namespace std::chrono_literals;
using testing::RawClient;
using testing::TempDir;
using testing::WebappFixture;

constexpr std::uint64_t kMiB = 1024 * 1024;

std::string host_line(std::uint16_t port) {
    return "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
}

// The status curl reports for one request, or 0 when it got none.
int curl_status(const std::vector<std::string>& args) {
    std::vector<std::string> all = {"-s",           "-o",         "/dev/null", "-w",
                                    "%{http_code}", "--max-time", "30"};
    all.insert(all.end(), args.begin(), args.end());
    auto run = run_captured("curl", all);
    return run ? std::atoi(run->out.c_str()) : 0;
}

bool still_serving(const WebappFixture& server) {
    return server.request("GET", "/console").status == 200;
}

TEST(WebappLimits, OversizedRequestsAreRefusedWithoutBeingRead) {
    WebappFixture server({"--no-open"});
    ASSERT_TRUE(server.ready()) << server.err();
    const std::string url = server.url("/console");
    TempDir dir;
    // Sparse: the size costs no disk.
    auto make_body = [&](const std::string& name, std::uint64_t size) {
        const auto path = dir.path() / name;
        std::ofstream{path}.close();
        std::filesystem::resize_file(path, size);
        return "@" + path.string();
    };
    const std::string over = make_body("over", 64 * kMiB + 1);
    const std::string limit = make_body("limit", 64 * kMiB);

    struct Case {
        const char* name;
        std::vector<std::string> args;
        int status;
    };
    const std::vector<Case> cases = {
        {"announced above the limit, waiting for 100-continue", {"--data-binary", over, url}, 413},
        {"announced above the limit, sent at once",
         {"--data-binary", over, "-H", "Expect:", url},
         413},
        // Exactly the limit is read; zeros are no JSON.
        {"exactly the limit", {"--data-binary", limit, url}, 400},
        {"header above 64 KiB", {"-H", "X-Big: " + std::string(65 * 1024, 'a'), url}, 431},
        {"header below 64 KiB", {"-H", "X-Big: " + std::string(60 * 1024, 'a'), url}, 200},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(curl_status(c.args), c.status) << c.name;
        EXPECT_TRUE(still_serving(server)) << c.name;
    }

    // A length of 10 GiB is refused on its header alone: nothing of the body is ever sent.
    RawClient announced(server.port());
    ASSERT_TRUE(announced.send("POST /console HTTP/1.1\r\n" + host_line(server.port()) +
                               "Content-Length: 10737418240\r\n\r\n"));
    EXPECT_EQ(announced.read_reply().status, 413);
    EXPECT_TRUE(announced.wait_closed(5s));
}

TEST(WebappLimits, ChunkedBodyIsCutOffAtTheLimit) {
    WebappFixture server({"--no-open"});
    ASSERT_TRUE(server.ready()) << server.err();
    RawClient client(server.port());
    ASSERT_TRUE(client.send("POST /console HTTP/1.1\r\n" + host_line(server.port()) +
                            "Transfer-Encoding: chunked\r\n\r\n"));
    // The answer is read while the body is still being sent, as a real client does.
    auto reply = std::async(std::launch::async, [&] { return client.read_reply(); });
    const std::string chunk = "100000\r\n" + std::string(kMiB, ' ') + "\r\n";
    std::uint64_t sent = 0;
    while (sent < 200 * kMiB && reply.wait_for(0s) != std::future_status::ready &&
           client.send(chunk)) {
        sent += kMiB;
    }
    EXPECT_EQ(reply.get().status, 413);
    EXPECT_GE(sent, 64 * kMiB);
    EXPECT_LT(sent, 100 * kMiB) << "the server kept reading past the limit";
    EXPECT_TRUE(still_serving(server));
    EXPECT_TRUE(testing::eventually([&] {
        return server.err().find(
                   "webapp error on POST /console: request body larger than 64 MiB") !=
               std::string::npos;
    })) << server.err();
}

// Takes a minute: the idle limit is the real one.
TEST(WebappLimits, IdleConnectionsAreClosedAfterAMinuteButLongPollsAreNot) {
    WebappFixture server({"--no-open"});
    ASSERT_TRUE(server.ready()) << server.err();
    const std::string host = host_line(server.port());

    RawClient silent(server.port()); // connects and never sends
    RawClient kept(server.port());   // one request, then nothing on the kept-alive connection
    ASSERT_TRUE(kept.send("GET /favicon.svg HTTP/1.1\r\n" + host + "\r\n"));
    ASSERT_EQ(kept.read_reply().status, 200);
    RawClient partial(server.port()); // a header that never ends
    ASSERT_TRUE(partial.send("GET / HTTP/1.1\r\n" + host + "X-Slow: "));
    const auto seq = nlohmann::json::parse(server.request("GET", "/console").body)["seq"];
    auto long_poll = std::async(std::launch::async, [&] {
        return testing::http_request(server.port(), "GET",
                                     "/console?since=" + seq.dump() + "&wait=61500", "", {}, 70s);
    });

    // Others are served all along.
    auto closing = std::async(std::launch::async, [&] { return silent.wait_closed(70s); });
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(still_serving(server));
        std::this_thread::sleep_for(10s);
    }
    const auto silent_closed = closing.get();
    const auto kept_closed = kept.wait_closed(10s);
    const auto partial_closed = partial.wait_closed(10s);
    for (const auto& closed : {silent_closed, kept_closed, partial_closed}) {
        EXPECT_TRUE(closed.has_value());
    }
    ASSERT_TRUE(silent_closed);
    EXPECT_GE(*silent_closed, 59s);
    EXPECT_LE(*silent_closed, 63s);

    const auto answered = long_poll.get();
    EXPECT_EQ(answered.status, 200) << answered.error;
    EXPECT_TRUE(still_serving(server));
}

// The descriptor limit most systems start processes with; the server must raise its own.
class UsualDescriptorLimit {
  public:
    UsualDescriptorLimit() {
        ::getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit usual = saved_;
        usual.rlim_cur = std::min<rlim_t>(1024, saved_.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &usual);
    }
    ~UsualDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

  private:
    rlimit saved_{};
};

void allow_many_descriptors() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(WebappLimits, ConnectionsPastTheLimitAreRefusedAndServiceResumes) {
    std::unique_ptr<WebappFixture> server;
    {
        UsualDescriptorLimit usual;
        server = std::make_unique<WebappFixture>(std::vector<std::string>{"--no-open"});
    }
    ASSERT_TRUE(server->ready()) << server->err();
    allow_many_descriptors();

    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 1024; ++i) {
        flood.push_back(std::make_unique<RawClient>(server->port()));
        ASSERT_TRUE(flood.back()->connected()) << i;
    }
    // Accepted after the flood, so it finds every slot taken: refused at once, not left waiting.
    const auto start = std::chrono::steady_clock::now();
    RawClient late(server->port());
    ASSERT_TRUE(late.send("GET /console HTTP/1.1\r\n" + host_line(server->port()) + "\r\n"));
    EXPECT_EQ(late.read_reply().status, 503);
    EXPECT_TRUE(late.wait_closed(5s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(curl_status({server->url("/console")}), 503);

    // The flood's connections still work.
    ASSERT_TRUE(flood[7]->send("GET /console HTTP/1.1\r\n" + host_line(server->port()) + "\r\n"));
    EXPECT_EQ(flood[7]->read_reply().status, 200);

    flood.resize(1000);
    EXPECT_TRUE(testing::eventually([&] { return still_serving(*server); }));
    flood.clear();
    EXPECT_TRUE(testing::eventually([&] { return still_serving(*server); }));
    EXPECT_EQ(server->err().find("accept error"), std::string::npos) << server->err();
}

} // namespace
} // namespace reelcut
