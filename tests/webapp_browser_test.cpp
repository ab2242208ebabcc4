// The eval-client script and the page's console forwarding in real headless Chromium, against the
// fixture server.
#include "support/webapp_fixture.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::BrowserPage;
using testing::WebappFixture;

// One server and one open page for the whole suite; Chromium takes a while to start.
class WebappBrowser : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new WebappFixture({"--no-open", "--eval-poll-ms", "2000"});
        if (server->ready()) {
            page = new BrowserPage(server->url("/?v=1"));
        }
    }
    static void TearDownTestSuite() {
        delete page;
        delete server;
        page = nullptr;
        server = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server->ready()) << server->err();
        ASSERT_TRUE(page && page->ready())
            << "the page did not open (run scripts/setup for Chromium and playwright-core): "
            << (page ? page->log() : "");
    }

    static json evaluate(const std::string& code) { return testing::eval_outcome(*server, code); }

    static WebappFixture* server;
    static BrowserPage* page;
};
WebappFixture* WebappBrowser::server = nullptr;
BrowserPage* WebappBrowser::page = nullptr;

TEST_F(WebappBrowser, ConsoleOutputOfThePageReachesTheConsoleLog) {
    const json loaded = json::parse(server->request("GET", "/console?since=0&wait=20000").body);
    ASSERT_FALSE(loaded["messages"].empty()) << page->log();
    const json first = loaded["messages"][0];
    EXPECT_EQ(first["level"], "log");
    EXPECT_EQ(first["message"], "fixture page loaded");
    EXPECT_TRUE(first["ts"].is_number_integer());

    const std::uint64_t seq = loaded["seq"];
    EXPECT_EQ(evaluate("console.warn('careful', {n: 1}, [2]); return 0;"),
              (json{{"ok", true}, {"value", 0}}));
    const json warned = json::parse(
        server->request("GET", "/console?since=" + std::to_string(seq) + "&wait=20000").body);
    ASSERT_EQ(warned["messages"].size(), 1u);
    EXPECT_EQ(warned["messages"][0]["level"], "warn");
    EXPECT_EQ(warned["messages"][0]["message"], R"(careful {"n":1} [2])");
}

TEST_F(WebappBrowser, SnippetsRunAsAsyncFunctionsOfTheAppContext) {
    struct Case {
        const char* code;
        json outcome;
    };
    const Case cases[] = {
        {"return 1+1", {{"ok", true}, {"value", 2}}},
        {"const x = 1;", {{"ok", true}, {"value", nullptr}}},
        {"return undefined", {{"ok", true}, {"value", nullptr}}},
        {"await new Promise(r => setTimeout(r, 50)); return [ctx.name, ctx.answer]",
         {{"ok", true}, {"value", {"fixture", 42}}}},
        {"return {b: 'é\"\\n', a: null}",
         {{"ok", true}, {"value", {{"a", nullptr}, {"b", "é\"\n"}}}}},
        {"throw 'plain'", {{"ok", false}, {"error", "plain"}, {"stack", nullptr}}},
        {"throw new Error('')", {{"ok", false}, {"error", "Error"}}},
        // Values that String() refuses still come back as a failure.
        {"throw Object.create(null)",
         {{"ok", false}, {"error", "[object Object]"}, {"stack", nullptr}}},
        {"throw {toString() { throw 1; }}",
         {{"ok", false}, {"error", "[object Object]"}, {"stack", nullptr}}},
    };
    for (const Case& c : cases) {
        json outcome = evaluate(c.code);
        if (!c.outcome.contains("stack") && outcome.is_object()) {
            outcome.erase("stack");
        }
        EXPECT_EQ(outcome, c.outcome) << c.code << "\n" << page->log();
    }
}

TEST_F(WebappBrowser, ThrownErrorsComeBackWithMessageAndStack) {
    const json boom = evaluate("throw new Error('boom')");
    EXPECT_EQ(boom["ok"], false);
    EXPECT_EQ(boom["error"], "boom");
    ASSERT_TRUE(boom["stack"].is_string()) << boom;
    EXPECT_NE(boom["stack"].get<std::string>().find("boom"), std::string::npos);

    const json syntax = evaluate("return {");
    EXPECT_EQ(syntax["ok"], false);
    EXPECT_FALSE(syntax["error"].get<std::string>().empty()) << syntax;
    EXPECT_NE(syntax["stack"].get<std::string>().find("SyntaxError"), std::string::npos) << syntax;

    // A failed snippet does not stop the client.
    EXPECT_EQ(evaluate("return 'still polling'"), (json{{"ok", true}, {"value", "still polling"}}));
}

TEST_F(WebappBrowser, AValueThatCannotBeSerialisedPostsNothingAndTheClientGoesOn) {
    const auto submitted =
        server->request("POST", "/eval", json{{"code", "const o = {}; o.o = o; return o;"}}.dump());
    const std::string id = json::parse(submitted.body)["id"];
    // The next job is answered, so the cyclic one has been run and dropped by then.
    EXPECT_EQ(evaluate("return 7"), (json{{"ok", true}, {"value", 7}}));
    EXPECT_EQ(server->request("GET", "/eval/" + id + "/result").status, 204);
}

} // namespace
} // namespace reelcut
