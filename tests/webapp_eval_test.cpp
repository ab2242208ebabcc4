// The eval channel over real HTTP, with a test client standing in for the page: submit, the
// pending long poll, the result handover, and their errors.
#include "support/raw_http.hpp"
#include "support/webapp_fixture.hpp"

#include <future>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::WebappFixture;

// The long polls are cut to 300 ms so that the 204 answers come quickly.
class WebappEval : public ::testing::Test {
  protected:
    WebappFixture server{{"--no-open", "--eval-poll-ms", "300"}};
    void SetUp() override { ASSERT_TRUE(server.ready()) << server.err(); }

    std::string submit(const std::string& code) {
        const auto reply = server.request("POST", "/eval", json{{"code", code}}.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
        const json answer = json::parse(reply.body);
        EXPECT_EQ(answer.size(), 2u);
        EXPECT_EQ(answer["ok"], true);
        return answer.value("id", "");
    }
};

TEST_F(WebappEval, JobTravelsFromSubmitToPageAndItsResultBackOnce) {
    const std::string id = submit("return 1+1");
    EXPECT_TRUE(std::regex_match(
        id, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}")))
        << id;

    const auto job = server.request("GET", "/eval/pending");
    EXPECT_EQ(job.status, 200);
    EXPECT_EQ(job.body, R"({"id":")" + id + R"(","code":"return 1+1"})");

    const auto stored =
        server.request("POST", "/eval/" + id + "/result", R"({"value": 2, "ok": true})");
    EXPECT_EQ(stored.status, 200);
    EXPECT_EQ(stored.body, R"({"ok":true})");

    const auto result = server.request("GET", "/eval/" + id + "/result");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.header("Content-Type"), "application/json");
    EXPECT_EQ(result.body, R"({"ok":true,"value":2})");

    const auto again = server.request("GET", "/eval/" + id + "/result");
    EXPECT_EQ(again.status, 204);
    EXPECT_EQ(again.body, "");
    const auto none = server.request("GET", "/eval/pending");
    EXPECT_EQ(none.status, 204);
    EXPECT_EQ(none.body, "");
}

TEST_F(WebappEval, WaitingPollsAreHandedWhatArrives) {
    auto pending = std::async(std::launch::async, [&] {
        // A page keeps polling until it gets a job.
        for (int i = 0; i < 100; ++i) {
            auto reply = server.request("GET", "/eval/pending");
            if (reply.status != 204) {
                return reply;
            }
        }
        return testing::HttpReply{};
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string id = submit("await 1; return \"\\u00e9\\n\"");
    const auto job = pending.get();
    EXPECT_EQ(job.status, 200);
    EXPECT_EQ(json::parse(job.body),
              (json{{"id", id}, {"code", "await 1; return \"\\u00e9\\n\""}}));

    auto result = std::async(std::launch::async, [&] {
        for (int i = 0; i < 100; ++i) {
            auto reply = server.request("GET", "/eval/" + id + "/result");
            if (reply.status != 204) {
                return reply;
            }
        }
        return testing::HttpReply{};
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.request("POST", "/eval/" + id + "/result",
                   R"({"stack":null,"ok":false,"error":"boom"})");
    EXPECT_EQ(result.get().body, R"({"error":"boom","ok":false,"stack":null})");
}

TEST_F(WebappEval, JobsAreHandedOutInOrder) {
    const std::string first = submit("1");
    const std::string second = submit("2");
    EXPECT_NE(first, second);
    EXPECT_EQ(json::parse(server.request("GET", "/eval/pending").body)["id"], first);
    EXPECT_EQ(json::parse(server.request("GET", "/eval/pending").body)["id"], second);
}

TEST_F(WebappEval, EachJobGoesToExactlyOnePoller) {
    std::vector<std::future<std::vector<std::string>>> pollers;
    for (int i = 0; i < 8; ++i) {
        pollers.push_back(std::async(std::launch::async, [&] {
            std::vector<std::string> ids;
            for (int polls = 0; polls < 4; ++polls) {
                const auto reply = server.request("GET", "/eval/pending");
                if (reply.status == 200) {
                    ids.push_back(json::parse(reply.body)["id"]);
                }
            }
            return ids;
        }));
    }
    std::multiset<std::string> submitted;
    for (int i = 0; i < 12; ++i) {
        submitted.insert(submit(std::to_string(i)));
    }
    std::multiset<std::string> handed;
    for (auto& poller : pollers) {
        for (auto& id : poller.get()) {
            handed.insert(id);
        }
    }
    // Whatever the pollers did not reach is still queued.
    while (true) {
        const auto reply = server.request("GET", "/eval/pending");
        if (reply.status != 200) {
            break;
        }
        handed.insert(json::parse(reply.body)["id"].get<std::string>());
    }
    EXPECT_EQ(handed, submitted);
}

TEST(WebappEvalPollers, AJobIsNotHandedToAPollerThatWentAway) {
    // Long polls as long as a page's, so the closed poller is still waiting when the job comes.
    WebappFixture server{{"--no-open", "--eval-poll-ms", "20000"}};
    ASSERT_TRUE(server.ready()) << server.err();
    for (const bool reset : {false, true}) {
        {
            testing::RawClient reloaded_page(server.port());
            ASSERT_TRUE(reloaded_page.send("GET /eval/pending HTTP/1.1\r\nHost: x\r\n\r\n"));
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (reset) {
                reloaded_page.reset();
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto submitted = server.request("POST", "/eval", R"({"code":"return 1"})");
        const std::string id = json::parse(submitted.body)["id"];
        // A job handed to the gone poller would leave this one waiting its whole 20 s.
        const auto job = testing::http_request(server.port(), "GET", "/eval/pending", "", {},
                                               std::chrono::seconds(10));
        EXPECT_EQ(job.status, 200) << job.error;
        EXPECT_EQ(job.body, R"({"id":")" + id + R"(","code":"return 1"})");
    }
}

TEST_F(WebappEval, SubmitErrors) {
    struct Case {
        std::string body;
        std::string error; // "invalid json: ..." checked as a prefix
    };
    for (const Case& c :
         {Case{R"({"code":5})", "missing 'code' field"},
          Case{R"(["return 1"])", "missing 'code' field"},
          Case{R"({"cod":"x"})", "missing 'code' field"},
          Case{R"("return 1")", "missing 'code' field"}, Case{R"({"code":)", "invalid json: "}}) {
        const auto reply = server.request("POST", "/eval", c.body);
        EXPECT_EQ(reply.status, 400) << c.body;
        const json answer = json::parse(reply.body);
        EXPECT_EQ(answer["ok"], false);
        if (c.error == "invalid json: ") {
            EXPECT_TRUE(answer["error"].get<std::string>().starts_with(c.error)) << reply.body;
        } else {
            EXPECT_EQ(reply.body, R"({"ok":false,"error":")" + c.error + R"("})");
        }
    }
    EXPECT_EQ(server.request("GET", "/eval/pending").status, 204);
}

TEST_F(WebappEval, BodyThatIsNotUtf8IsDroppedAndReported) {
    const std::string id = submit("return 1");
    ASSERT_EQ(server.request("GET", "/eval/pending").status, 200);
    const std::string result_path = "/eval/" + id + "/result";
    for (const std::string& target : {std::string("/eval"), result_path}) {
        const auto reply = server.request("POST", target, "{\"code\":\"\xff\"}");
        EXPECT_EQ(reply.status, 500) << target;
        EXPECT_EQ(reply.body, "") << target;
    }
    EXPECT_TRUE(testing::eventually([&] {
        return server.err() == "webapp error on POST /eval: stream did not contain valid UTF-8\n"
                               "webapp error on POST " +
                                   result_path + ": stream did not contain valid UTF-8\n";
    })) << server.err();
    EXPECT_EQ(server.request("GET", "/eval/pending").status, 204);
    EXPECT_EQ(server.request("GET", result_path).status, 204);
}

TEST_F(WebappEval, ResultsOnlyForSubmittedJobsAndTheLastPostedWins) {
    const std::string id = submit("return 2");
    const std::string path = "/eval/" + id + "/result";
    EXPECT_EQ(server.request("POST", path, "1").status, 200);
    EXPECT_EQ(server.request("POST", path, "[2]").status, 200);
    EXPECT_EQ(server.request("GET", path).body, "[2]");
    EXPECT_EQ(server.request("GET", path).status, 204);

    // Ids never handed out, and one whose result was collected, hold nothing: each post would
    // otherwise be kept until the server ends.
    for (const std::string& target :
         {std::string("/eval/made-up/result"), std::string("/eval//result"), path}) {
        const auto refused = server.request("POST", target, "\"unasked\"");
        EXPECT_EQ(refused.status, 404) << target;
        const std::string unknown = target.substr(6, target.size() - 6 - 7);
        EXPECT_EQ(json::parse(refused.body),
                  json({{"ok", false},
                        {"error", "no eval job is waiting for a result under the id " + unknown}}))
            << target;
    }
    EXPECT_EQ(server.request("GET", "/eval/made-up/result").status, 204);

    const std::string other = submit("return 3");
    const auto bad = server.request("POST", "/eval/" + other + "/result", "{");
    EXPECT_EQ(bad.status, 400);
    EXPECT_TRUE(json::parse(bad.body)["error"].get<std::string>().starts_with("invalid json: "));
    EXPECT_EQ(server.request("GET", "/eval/" + other + "/result").status, 204);
}

// Far above what pages and clients use; a refusal names its bound and loses nothing held.
TEST_F(WebappEval, QueueAndResultsAreBoundedWithoutLosingWhatTheyHold) {
    std::vector<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        ids.push_back(submit("return " + std::to_string(i)));
    }
    const auto queue_full = server.request("POST", "/eval", json{{"code", "return -1"}}.dump());
    EXPECT_EQ(queue_full.status, 429);
    EXPECT_EQ(
        json::parse(queue_full.body),
        json({{"ok", false}, {"error", "too many eval jobs waiting for the page (at most 1000)"}}));

    for (int i = 0; i < 1000; ++i) {
        const auto job = server.request("GET", "/eval/pending");
        ASSERT_EQ(json::parse(job.body)["id"], ids[i]) << i;
        ASSERT_EQ(server.request("POST", "/eval/" + ids[i] + "/result", std::to_string(i)).status,
                  200);
    }
    const std::string late = submit("return 1000");
    ASSERT_EQ(server.request("GET", "/eval/pending").status, 200);
    const auto results_full = server.request("POST", "/eval/" + late + "/result", "1000");
    EXPECT_EQ(results_full.status, 429);
    EXPECT_EQ(json::parse(results_full.body),
              json({{"ok", false},
                    {"error", "too many eval results waiting to be collected (at most 1000)"}}));
    // Replacing a held result takes no more room.
    EXPECT_EQ(server.request("POST", "/eval/" + ids[999] + "/result", "\"last\"").status, 200);

    EXPECT_EQ(server.request("GET", "/eval/" + ids[0] + "/result").body, "0");
    EXPECT_EQ(server.request("POST", "/eval/" + late + "/result", "1000").status, 200);
    EXPECT_EQ(server.request("GET", "/eval/" + late + "/result").body, "1000");
    EXPECT_EQ(server.request("GET", "/eval/" + ids[500] + "/result").body, "500");
    EXPECT_EQ(server.request("GET", "/eval/" + ids[999] + "/result").body, "\"last\"");
}

} // namespace
} // namespace reelcut
