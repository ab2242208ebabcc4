// The page console log over real HTTP: numbering, compact JSON, the 500-entry window, long polls
// and clearing.
#include "support/webapp_fixture.hpp"

#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::lines_of;
using testing::WebappFixture;

class WebappConsole : public ::testing::Test {
  protected:
    WebappFixture server{{"--no-open"}};
    void SetUp() override { ASSERT_TRUE(server.ready()) << server.err(); }

    void post(const std::string& body) {
        const auto reply = server.request("POST", "/console", body);
        ASSERT_EQ(reply.status, 200) << body << " " << reply.error;
        ASSERT_EQ(reply.body, R"({"ok":true})");
        ASSERT_EQ(reply.header("Content-Type"), "application/json");
    }
    std::string get(const std::string& query = "") {
        const auto reply = server.request("GET", "/console" + query);
        EXPECT_EQ(reply.status, 200) << reply.error;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
        return reply.body;
    }
};

TEST_F(WebappConsole, StoresAnyValueAsCompactSortedJsonAndEchoesIt) {
    post(R"({ "b": 1, "a": {"d": [1, 2.5, "x\"y"], "c": null} })");
    for (const char* value : {"5", "-2.5e-7", R"("text")", "[3, 1e21]", "true", "null"}) {
        post(value);
    }
    EXPECT_EQ(get(), R"({"ok":true,"seq":7,"messages":[{"a":{"c":null,"d":[1,2.5,"x\"y"]},"b":1},)"
                     R"(5,-2.5e-7,"text",[3,1e21],true,null]})");
    EXPECT_EQ(lines_of(server.out()).at(2),
              R"([ui-console] {"a":{"c":null,"d":[1,2.5,"x\"y"]},"b":1})");
    EXPECT_EQ(get("?since=6"), R"({"ok":true,"seq":7,"messages":[null]})");
    EXPECT_EQ(get("?since=abc"), get("?since=0"));
    EXPECT_EQ(get("?since=7&x=1&since=5&wait=zz"), R"({"ok":true,"seq":7,"messages":[true,null]})");
}

TEST_F(WebappConsole, QueryRules) {
    for (int i = 1; i <= 3; ++i) {
        post(std::to_string(i));
    }
    struct Case {
        std::string query;
        std::string messages; // the answer's list; seq is always 3
    };
    const Case cases[] = {
        {"", "1,2,3"},
        {"?since=2", "3"},
        {"?since=+2", "3"}, // a leading "+" is part of a decimal number
        {"?since=++2", "1,2,3"},
        {"?since=+", "1,2,3"},
        {"?since=", "1,2,3"},
        {"?since=-1", "1,2,3"},
        {"?since=2x", "1,2,3"},
        {"?since=%32", "1,2,3"}, // not percent-decoded
        {"?since=18446744073709551615", ""},
        {"?since=18446744073709551616", "1,2,3"}, // overflow is not a number
        {"?since=3&since=1", "2,3"},              // the later piece wins
        {"?since=3&since=abc", "1,2,3"},
        {"?Since=3", "1,2,3"},
        {"?xsince=3", "1,2,3"},
        {"?since=1&&x&wait=", "2,3"},
        {"?since=3&wait=abc", ""}, // no wait: answered at once
        {"?since=3&wait=-5", ""},
        {"?since=3&wait=0", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(get(c.query), R"({"ok":true,"seq":3,"messages":[)" + c.messages + "]}")
            << c.query;
    }
}

TEST_F(WebappConsole, RejectsWhatIsNotJsonWithAValidJsonAnswer) {
    const std::string deep = std::string(200, '[') + std::string(200, ']');
    for (const std::string& body : std::vector<std::string>{
             "not json", "{\"a\":", "\"unterminated \\\" quote", "[1] [2]", deep}) {
        const auto reply = server.request("POST", "/console", body);
        EXPECT_EQ(reply.status, 400) << body;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
        const json answer = json::parse(reply.body, nullptr, false);
        ASSERT_TRUE(answer.is_object()) << reply.body;
        EXPECT_EQ(answer["ok"], false);
        const std::string error = answer.value("error", "");
        EXPECT_TRUE(error.starts_with("invalid json: ") && error.size() > 14) << error;
    }
    EXPECT_EQ(get(), R"({"ok":true,"seq":0,"messages":[]})");
    EXPECT_EQ(server.out().find("[ui-console]"), std::string::npos);
    EXPECT_EQ(server.err(), "");
}

TEST_F(WebappConsole, BodyThatIsNotUtf8IsDroppedAndReported) {
    const auto reply = server.request("POST", "/console", "\"\xff\xfe\"");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "");
    EXPECT_TRUE(testing::eventually([&] {
        return server.err() ==
               "webapp error on POST /console: stream did not contain valid UTF-8\n";
    })) << server.err();
    EXPECT_EQ(get(), R"({"ok":true,"seq":0,"messages":[]})");
}

TEST_F(WebappConsole, KeepsTheLatest500) {
    for (int i = 1; i <= 501; ++i) {
        post(std::to_string(i));
    }
    const json answer = json::parse(get("?since=0"));
    EXPECT_EQ(answer["seq"], 501);
    ASSERT_EQ(answer["messages"].size(), 500u);
    EXPECT_EQ(answer["messages"].front(), 2);
    EXPECT_EQ(answer["messages"].back(), 501);
}

TEST_F(WebappConsole, LongPollAnswersWithTheNextMessage) {
    post(R"("first")");
    auto waiting = std::async(std::launch::async, [&] {
        return server.request("GET", "/console?since=1&wait=25000").body;
    });
    // Let the poll start waiting before the message is posted; either order must give it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    post(R"({"level":"log","message":"second"})");
    EXPECT_EQ(waiting.get(),
              R"({"ok":true,"seq":2,"messages":[{"level":"log","message":"second"}]})");

    // A wait given as "+N" is a wait like any other.
    auto signed_wait = std::async(std::launch::async, [&] {
        return server.request("GET", "/console?wait=+25000&since=2").body;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    post("3");
    EXPECT_EQ(signed_wait.get(), R"({"ok":true,"seq":3,"messages":[3]})");

    // Nothing above seq: the wait runs out with an empty list and the current seq.
    EXPECT_EQ(get("?since=9&wait=200"), R"({"ok":true,"seq":3,"messages":[]})");
}

TEST_F(WebappConsole, EveryWaitingReaderIsWoken) {
    std::vector<std::future<std::string>> readers;
    for (int i = 0; i < 20; ++i) {
        readers.push_back(std::async(
            std::launch::async, [&] { return server.request("GET", "/console?wait=25000").body; }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    post("\"all\"");
    for (auto& reader : readers) {
        EXPECT_EQ(reader.get(), R"({"ok":true,"seq":1,"messages":["all"]})");
    }
}

TEST_F(WebappConsole, ClearKeepsTheNumbering) {
    post("1");
    post("2");
    const auto cleared = server.request("DELETE", "/console", "ignored");
    EXPECT_EQ(cleared.status, 200);
    EXPECT_EQ(cleared.body, R"({"ok":true})");
    EXPECT_EQ(get(), R"({"ok":true,"seq":2,"messages":[]})");
    post("3");
    EXPECT_EQ(get(), R"({"ok":true,"seq":3,"messages":[3]})");
}

// A message of up to 1 MiB is kept as sent; a larger one as a string of its start and a marker,
// still 1 MiB at most, so the answer of GET stays valid JSON.
TEST_F(WebappConsole, MessagesAbove1MiBAreCutWithAMarker) {
    constexpr std::size_t kMiB = 1 << 20;
    const std::string exact = json(std::string(kMiB - 2, 'a')).dump();
    post(exact);
    const std::string over = json(std::string(kMiB - 10, '"')).dump();
    post(over);
    const json messages = json::parse(get())["messages"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].dump(), exact);
    const std::string cut = messages[1].get<std::string>();
    EXPECT_LE(messages[1].dump().size(), kMiB);
    EXPECT_GT(messages[1].dump().size(), kMiB - 64);
    EXPECT_TRUE(cut.starts_with("\"\\\"\\\"")) << cut.substr(0, 20);
    EXPECT_TRUE(cut.ends_with("\\\"\u2026 [cut: " + std::to_string(over.size()) + " bytes]"))
        << cut.substr(cut.size() - 40);
}

} // namespace
} // namespace reelcut
