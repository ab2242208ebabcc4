// What a misbehaving client can cost a page server: oversized requests, idle, stalled and
// trickling connections, abandoned long polls, more connections than the server takes, memory
// and allocation failure, each against the real server with other clients still being answered.
#include "storyboard/manifest.hpp"
#include "subprocess.hpp"
#include "support/raw_http.hpp"
#include "support/webapp_fixture.hpp"

#include <atomic>
#include <fstream>
#include <future>
#include <gtest/gtest.h>
#include <map>
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
                                    "%{http_code}", "--max-time", "120"};
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
    EXPECT_TRUE(announced.wait_closed(10s)); // not left open for the idle minute
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
    // Accepted after the flood, so it finds every slot taken: refused and closed, not left waiting
    // for a slot (none frees here) or for the idle minute.
    RawClient late(server->port());
    ASSERT_TRUE(late.send("GET /console HTTP/1.1\r\n" + host_line(server->port()) + "\r\n"));
    EXPECT_EQ(late.read_reply().status, 503);
    EXPECT_TRUE(late.wait_closed(10s));
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

// A number from the server's /proc/PID/status line `key` ("Threads", "VmHWM" in kB); -1 when
// there is none.
long proc_status(pid_t pid, const std::string& key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(key + ":")) {
            return std::atol(line.c_str() + key.size() + 1);
        }
    }
    return -1;
}

std::unique_ptr<WebappFixture> storyboard_on_empty_manifest(const TempDir& dir) {
    const auto manifest = dir.path() / "story.json";
    EXPECT_TRUE(save_manifest(new_manifest("Hostile clients"), manifest));
    UsualDescriptorLimit usual; // the server must raise its own
    return testing::storyboard_server(manifest.string());
}

// 1,024 long polls of every kind take every slot and are then given up: their threads and slots
// are free again before the console's polls would have ended on their own, 60 s after they were
// sent however long they asked to wait.
TEST(WebappLimits, AbandonedLongPollsFreeTheirThreadsAndSlots) {
    TempDir dir;
    auto server = storyboard_on_empty_manifest(dir);
    ASSERT_TRUE(server->ready()) << server->err();
    allow_many_descriptors();
    const long threads_before = proc_status(server->pid(), "Threads");
    const std::vector<std::string> polls = {"/console?since=18446744073709551615&wait=86400000",
                                            "/eval/pending", "/eval/abandoned/result"};
    const auto first_sent = std::chrono::steady_clock::now();
    std::vector<std::unique_ptr<RawClient>> flood;
    for (int i = 0; i < 1024; ++i) {
        flood.push_back(std::make_unique<RawClient>(server->port()));
        ASSERT_TRUE(flood.back()->send("GET " + polls[i % polls.size()] + " HTTP/1.1\r\n" +
                                       host_line(server->port()) + "\r\n"))
            << i;
    }
    EXPECT_TRUE(
        testing::eventually([&] { return curl_status({server->url("/state")}) == 503; }, 30s))
        << "the polls should hold every slot";
    for (std::size_t i = 0; i < flood.size(); ++i) {
        if (i % 2 == 0) {
            flood[i]->close();
        } else {
            flood[i]->reset();
        }
    }
    // Counted from the first poll sent, so that a flood slow to start on a loaded machine leaves
    // the check as sharp: freed before the console's polls could have ended on their own.
    const auto before_polls_end = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            first_sent + 55s - std::chrono::steady_clock::now());
    };
    EXPECT_TRUE(testing::eventually([&] { return server->request("GET", "/state").status == 200; },
                                    before_polls_end()));
    EXPECT_TRUE(testing::eventually(
        [&] { return proc_status(server->pid(), "Threads") <= threads_before + 2; },
        before_polls_end()))
        << proc_status(server->pid(), "Threads") << " threads, " << threads_before << " before";
    EXPECT_EQ(server->request("POST", "/console", R"({"after":"the flood"})").status, 200);
}

// Takes a minute: the whole-request deadline is the real one. 1,023 connections trickle a byte
// every 2 s into heads (and a few into bodies) that never end; one honest long poll asks to wait
// a day. Each trickling connection ends a minute after its first byte, the poll is answered after
// the longest wait the console grants, and a normal client is served as soon as slots free.
TEST(WebappLimits, TricklingRequestsEndAMinuteAfterTheirFirstByte) {
    TempDir dir;
    auto server = storyboard_on_empty_manifest(dir);
    ASSERT_TRUE(server->ready()) << server->err();
    allow_many_descriptors();
    const std::string host = host_line(server->port());
    const auto seq = nlohmann::json::parse(server->request("GET", "/console").body)["seq"];
    const auto poll_start = std::chrono::steady_clock::now();
    auto long_poll = std::async(std::launch::async, [&] {
        auto reply = testing::http_request(
            server->port(), "GET", "/console?since=" + seq.dump() + "&wait=86400000", "", {}, 90s);
        return std::pair(reply, std::chrono::steady_clock::now() - poll_start);
    });
    ASSERT_TRUE(testing::eventually([&] {
        return proc_status(server->pid(), "Threads") >= 4; // listener, connection, request
    }));

    // Opening them all can take seconds on a loaded machine: each one's time counts from its own
    // first byte.
    std::vector<std::unique_ptr<RawClient>> flood;
    std::vector<std::chrono::steady_clock::time_point> first_byte;
    for (int i = 0; i < 1023; ++i) {
        flood.push_back(std::make_unique<RawClient>(server->port()));
        const std::string start =
            i % 40 == 0 ? "POST /console HTTP/1.1\r\n" + host + "Content-Length: 100000\r\n\r\n["
                        : "GET /state HTTP/1.1\r\n" + host + "X-Slow: ";
        first_byte.push_back(std::chrono::steady_clock::now());
        ASSERT_TRUE(flood.back()->send(start)) << i;
    }
    const auto attack = std::chrono::steady_clock::now();
    auto since_attack = [&] { return std::chrono::steady_clock::now() - attack; };

    std::atomic<bool> stop{false};
    auto normal = std::async(std::launch::async, [&] {
        std::optional<std::chrono::steady_clock::duration> first_served;
        while (!stop && !first_served && since_attack() < 90s) {
            if (curl_status({"--max-time", "5", server->url("/state")}) == 200) {
                first_served = since_attack();
            } else {
                std::this_thread::sleep_for(500ms);
            }
        }
        return first_served;
    });

    // How long each connection lived after its first byte, as seen here.
    std::vector<std::optional<std::chrono::steady_clock::duration>> lived(flood.size());
    std::chrono::steady_clock::duration last_closed{}; // since the attack
    std::size_t open = flood.size();
    while (open > 0 && since_attack() < 80s) {
        const auto round = std::chrono::steady_clock::now();
        for (std::size_t i = 0; i < flood.size(); ++i) {
            if (lived[i]) {
                continue;
            }
            if (flood[i]->wait_closed(0ms) || !flood[i]->send("a")) {
                lived[i] = std::chrono::steady_clock::now() - first_byte[i];
                last_closed = since_attack();
                --open;
            }
        }
        std::this_thread::sleep_until(round + 2s);
    }
    const auto first_served = normal.get();
    stop = true;

    // The upper bounds only tell a minute from never: a close is seen here up to a round after it
    // happened, and a round over a thousand connections stretches on a loaded machine.
    EXPECT_EQ(open, 0u) << "trickling connections still open after 80 s";
    for (const auto& at : lived) {
        if (at) {
            EXPECT_GE(*at, 59s);
            EXPECT_LE(*at, 70s);
        }
    }
    ASSERT_TRUE(first_served) << "the normal client was never served";
    EXPECT_LE(*first_served, last_closed + 5s) << "not served soon after the slots freed";

    const auto [reply, waited] = long_poll.get();
    EXPECT_EQ(reply.status, 200) << reply.error;
    EXPECT_EQ(nlohmann::json::parse(reply.body)["messages"], nlohmann::json::array());
    EXPECT_GE(waited, 59s);
    EXPECT_LE(waited, 70s);
}

// Many requests at once, each on its own connection that ends with a reset (no TIME_WAIT left
// behind): how many got each status.
std::map<int, int> statuses_of(std::uint16_t port, int count,
                               const std::function<std::string(int)>& request) {
    std::mutex mutex;
    std::map<int, int> statuses;
    std::vector<std::thread> senders;
    constexpr int kSenders = 4;
    for (int t = 0; t < kSenders; ++t) {
        senders.emplace_back([&, t] {
            for (int i = t; i < count; i += kSenders) {
                RawClient client(port);
                const int status = client.send(request(i)) ? client.read_reply().status : 0;
                client.reset();
                std::lock_guard lock(mutex);
                ++statuses[status];
            }
        });
    }
    for (auto& sender : senders) {
        sender.join();
    }
    return statuses;
}

std::string post_bytes(std::uint16_t port, const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\n" + host_line(port) +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string error_of(const testing::HttpReply& reply) {
    const auto parsed = nlohmann::json::parse(reply.body, nullptr, false);
    return parsed.is_object() ? parsed.value("error", "") : "";
}

// The abuse that once took the server past 800 MB, and then some: the server's peak resident
// memory stays under 200 MB, every refusal names its bound, and what was held before is intact.
TEST(WebappLimits, MemoryStaysBoundedThroughAbuse) {
    WebappFixture server({"--no-open", "--eval-poll-ms", "300"});
    ASSERT_TRUE(server.ready()) << server.err();
    const std::uint16_t port = server.port();
    auto job = [](std::size_t size) {
        return nlohmann::json{{"code", std::string(size, 'x')}}.dump();
    };

    // Jobs far too large to parse within the budget.
    const std::string too_large = job(60 * kMiB);
    for (int i = 0; i < 8; ++i) {
        const auto reply = server.request("POST", "/eval", too_large);
        EXPECT_EQ(reply.status, 413);
        EXPECT_TRUE(error_of(reply).starts_with("JSON body too large to parse")) << reply.body;
    }
    // Jobs of 12 MiB until the channel's 64 MiB are taken.
    std::vector<std::string> big_ids;
    const std::string large_job = job(12 * kMiB);
    for (int i = 0; i < 5; ++i) {
        const auto reply = server.request("POST", "/eval", large_job);
        ASSERT_EQ(reply.status, 200) << reply.body;
        big_ids.push_back(nlohmann::json::parse(reply.body)["id"]);
    }
    const auto full = server.request("POST", "/eval", large_job);
    EXPECT_EQ(full.status, 429);
    EXPECT_TRUE(error_of(full).starts_with("the eval jobs and results already hold")) << full.body;
    EXPECT_TRUE(still_serving(server));

    // The page takes one; a 63 MiB result of small numbers would cost a tree of about 1 GB.
    const auto taken = server.request("GET", "/eval/pending");
    ASSERT_EQ(nlohmann::json::parse(taken.body)["id"], big_ids[0]);
    std::string numbers = "[0";
    while (numbers.size() < 63 * kMiB) {
        numbers += ",0";
    }
    numbers += ']';
    const std::string result_path = "/eval/" + big_ids[0] + "/result";
    EXPECT_EQ(server.request("POST", result_path, numbers).status, 413);
    EXPECT_EQ(server.request("POST", result_path, R"({"ok":true,"value":"kept"})").status, 200);
    // One 63 MiB console message, and more messages above 1 MiB than the console keeps.
    const auto huge =
        server.request("POST", "/console", nlohmann::json(std::string(63 * kMiB, 'c')).dump());
    EXPECT_EQ(huge.status, 413);
    const std::string large =
        nlohmann::json{{"level", "log"}, {"message", std::string(kMiB + kMiB / 2, 'm')}}.dump();
    for (int i = 0; i < 24; ++i) {
        ASSERT_EQ(server.request("POST", "/console", large).status, 200);
    }
    const auto console = nlohmann::json::parse(server.request("GET", "/console").body);
    EXPECT_EQ(console["seq"], 24);
    const auto& messages = console["messages"];
    EXPECT_GE(messages.size(), 8u);
    EXPECT_LE(messages.size(), 16u);
    for (const auto& message : messages) {
        ASSERT_TRUE(message.is_string());
        EXPECT_LE(message.dump().size(), kMiB);
        EXPECT_TRUE(message.get<std::string>().starts_with(R"({"level":"log","message":"mmm)"));
        EXPECT_TRUE(message.get<std::string>().ends_with(
            "\u2026 [cut: " + std::to_string(large.size()) + " bytes]"));
    }

    // Small jobs past the queue's 1,000, and results for ids never submitted (the server once
    // kept every one of them).
    constexpr int kFlood = 3000;
    const std::string small_job = job(1024);
    const auto jobs =
        statuses_of(port, kFlood, [&](int) { return post_bytes(port, "/eval", small_job); });
    EXPECT_EQ(jobs.at(200), 1000 - 4);
    EXPECT_EQ(jobs.at(429), kFlood - (1000 - 4));
    const std::string small_result =
        nlohmann::json{{"ok", true}, {"value", std::string(1024, 'r')}}.dump();
    const auto results = statuses_of(port, kFlood, [&](int i) {
        return post_bytes(port, "/eval/never-" + std::to_string(i) + "/result", small_result);
    });
    EXPECT_EQ(results.at(404), kFlood);
    EXPECT_TRUE(still_serving(server));

    const long peak_kb = proc_status(server.pid(), "VmHWM");
    EXPECT_GT(peak_kb, 0);
#if !defined(__SANITIZE_ADDRESS__) // its allocator keeps freed memory in quarantine
    EXPECT_LT(peak_kb, 200 * 1000) << "peak resident memory " << peak_kb << " kB";
#endif

    // Nothing held was lost: the result, and the big jobs first in the queue.
    EXPECT_EQ(server.request("GET", result_path).body, R"({"ok":true,"value":"kept"})");
    for (std::size_t i = 1; i < big_ids.size(); ++i) {
        const auto next = nlohmann::json::parse(server.request("GET", "/eval/pending").body);
        EXPECT_EQ(next["id"], big_ids[i]);
        EXPECT_EQ(next["code"].get_ref<const std::string&>().size(), 12 * kMiB);
    }
}

// Under an address-space limit, concurrent bodies that each fit the parse budget run the server
// out of memory: those requests are refused, the process goes on, and its registry file stays.
TEST(WebappLimits, AllocationFailureEndsOnlyTheRequest) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's shadow memory needs more address space than the limit";
#endif
    testing::FixtureSettings settings;
    settings.program = "/usr/bin/prlimit";
    settings.leading_args = {"--as=" + std::to_string(600 * kMiB), REELCUT_FIXTURE_SERVER};
    WebappFixture server({"--no-open"}, settings);
    ASSERT_TRUE(server.ready()) << server.err();
    const auto registered = testing::read_file(server.registry_file());

    // Small numbers: about 40 MiB of tree for 2.5 MiB of text, within the parse budget, and
    // 63 MiB bodies beside them.
    std::string numbers = "[0";
    while (numbers.size() < 5 * kMiB / 2) {
        numbers += ",0";
    }
    numbers += ']';
    std::string over = numbers;
    while (over.size() < 63 * kMiB) {
        over.insert(over.size() - 1, ",0");
    }
    std::map<int, int> statuses;
    for (int round = 0; round < 3; ++round) {
        for (const auto& [status, count] : statuses_of(server.port(), 24, [&](int i) {
                 return post_bytes(server.port(), "/console", i % 6 == 0 ? over : numbers);
             })) {
            statuses[status] += count;
        }
        ASSERT_FALSE(server.wait_exit(0ms)) << server.err();
    }
    for (const auto& [status, count] : statuses) {
        EXPECT_TRUE(status == 200 || status == 413 || status == 500 || status == 503 || status == 0)
            << count << " answered " << status;
    }
    EXPECT_GT(statuses[500], 0) << "the limit was never reached";
    EXPECT_TRUE(testing::eventually([&] { return still_serving(server); }));
    EXPECT_EQ(testing::read_file(server.registry_file()), registered);
    EXPECT_TRUE(nlohmann::json::parse(registered, nullptr, false).is_object());
    EXPECT_EQ(server.err().find("terminate"), std::string::npos) << server.err();
}

} // namespace
} // namespace reelcut
