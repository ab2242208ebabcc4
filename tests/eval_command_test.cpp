// The `eval` subcommand: its curl command lines and messages (against a recording stand-in curl),
// and snippets run in a page open in headless Chromium.
#include "support/fake_curl.hpp"
#include "support/test_support.hpp"
#include "support/webapp_fixture.hpp"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

using namespace reelcut;
using namespace reelcut::testing;
namespace fs = std::filesystem;

namespace {

using Args = std::vector<std::string>;

CapturedOutput run_eval_with(const std::string& path, const Args& eval_args,
                             const EnvList& env = {}) {
    Args args = {"eval"};
    args.insert(args.end(), eval_args.begin(), eval_args.end());
    SpawnOptions options;
    options.set_env = env;
    options.set_env.emplace_back("PATH", path);
    return run_reelcut(args, options);
}

const std::string kNoUiHint =
    "Hint: is a tevo-reelcut web UI running on port {}? Run `tevo-reelcut "
    "voiceover --input ...` or `tevo-reelcut storyboard ...` first.";
const std::string kTimeoutHint =
    "Hint: is the UI page open in the Nimbrel webview? The snippet only runs when the UI's poll "
    "loop is alive.";

} // namespace

TEST(EvalCommand, CurlArgumentsAndPrintedResult) {
    FakeCurl curl;
    curl.reply(1, R"({"ok":true,"id":"job-7"})");
    curl.reply(2, "\n204");
    curl.reply(3, "{\"value\":{\"b\":[],\"a\":\"é\",\"n\":[1e+21,2.0]},\"ok\":true}\n200");
    const auto run = run_eval_with(curl.path(), {"return {a: \"é\", b: []}", "--port", "8797"});
    EXPECT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(
        run.out,
        "{\n  \"ok\": true,\n  \"value\": {\n    \"a\": \"é\",\n    \"b\": [],\n    \"n\": [\n"
        "      1e21,\n      2.0\n    ]\n  }\n}\n");
    const Args poll = {"-s",         "-w", "\n%{http_code}",
                       "--max-time", "30", "http://127.0.0.1:8797/eval/job-7/result"};
    EXPECT_EQ(
        curl.calls(),
        (std::vector<Args>{{"-s", "-X", "POST", "-H", "Content-Type: application/json",
                            "--data-binary", "@-", "--max-time", "5", "http://127.0.0.1:8797/eval"},
                           poll,
                           poll}));
    EXPECT_EQ(curl.stdin_of(1), R"({"code":"return {a: \"é\", b: []}"})");
}

TEST(EvalCommand, FailuresEndWithTheirMessage) {
    struct Case {
        std::vector<std::string> replies; // the first one is the submit's standard output
        int submit_exit;
        Args extra;
        std::string out, error, hint;
    };
    const std::string port_hint = fmt::format(fmt::runtime(kNoUiHint), 8796);
    const std::string job = R"({"ok":true,"id":"j"})";
    for (const Case& c : std::vector<Case>{
             {{""}, 7, {}, "", "POST /eval failed: . " + port_hint, port_hint.substr(6)},
             {{"<html>oops</html>"}, 0, {}, "", "parse /eval response: ", ""},
             {{R"({"ok":false})"},
              0,
              {},
              "",
              R"(/eval response missing 'id' field: {"ok":false})",
              ""},
             {{R"({"id":5})"}, 0, {}, "", R"(/eval response missing 'id' field: {"id":5})", ""},
             {{job, "\n204"},
              0,
              {"--timeout", "0"},
              "",
              "timed out after 0s waiting for eval result. " + kTimeoutHint,
              kTimeoutHint.substr(6)},
             {{job, "gone\n404"}, 0, {}, "", "unexpected status 404 from /eval/j/result: gone", ""},
             {{job, ""}, 0, {}, "", "unexpected status 0 from /eval/j/result: ", ""},
             {{job, "{x\n200"}, 0, {}, "", "parse result JSON: ", ""},
             // Refused when read, so that printing it back cannot overflow the stack.
             {{job, std::string(200'000, '[') + std::string(200'000, ']') + "\n200"},
              0,
              {},
              "",
              "parse result JSON: parse error at line 1, column 129: nesting deeper than 128 "
              "levels",
              ""},
             {{job, "{\"ok\":\"yes\"}\n200"},
              0,
              {},
              "{\n  \"ok\": \"yes\"\n}\n",
              "eval returned ok:false",
              ""},
             {{job, "{\"ok\":false,\"error\":\"boom\",\"stack\":null}\n200"},
              0,
              {},
              "{\n  \"error\": \"boom\",\n  \"ok\": false,\n  \"stack\": null\n}\n",
              "boom",
              ""},
             {{job, "{\"ok\":false,\"error\":7}\n200"},
              0,
              {},
              "{\n  \"error\": 7,\n  \"ok\": false\n}\n",
              "eval returned ok:false",
              ""},
         }) {
        FakeCurl curl;
        curl.reply(1, c.replies[0], c.submit_exit);
        for (std::size_t i = 1; i < c.replies.size(); ++i) {
            curl.reply(static_cast<int>(i + 1), c.replies[i]);
        }
        Args args = {"1"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const auto run = run_eval_with(curl.path(), args);
        const std::string what = c.replies.back().substr(0, 80);
        EXPECT_EQ(run.status.code, 1) << what;
        EXPECT_EQ(run.out, c.out) << what;
        const auto lines = lines_of(run.err);
        ASSERT_EQ(lines.size(), c.hint.empty() ? 1u : 2u) << what << ": " << run.err;
        EXPECT_EQ(lines[0].substr(0, 7 + c.error.size()), "ERROR: " + c.error) << what;
        if (!c.hint.empty()) {
            EXPECT_EQ(lines[1], "Hint: " + c.hint) << what;
        }
    }

    // A result that cannot be written out is no success.
    {
        FakeCurl curl;
        curl.reply(1, job);
        curl.reply(2, "{\"ok\":true}\n200");
        SpawnOptions options;
        options.set_env = {{"PATH", curl.path()}};
        const auto full = run_captured(
            "sh", {"-c", "exec \"$0\" eval 1 >/dev/full", std::string(REELCUT_BIN)}, options);
        ASSERT_TRUE(full) << full.error();
        EXPECT_EQ(full->status.code, 1);
        EXPECT_EQ(full->err, "ERROR: write stdout: No space left on device (os error 28)\n");
    }

    // Without curl on PATH.
    TempDir empty;
    const auto run = run_eval_with(empty.path().string(), {"1"});
    EXPECT_EQ(run.status.code, 1);
    EXPECT_EQ(run.err, "ERROR: curl spawn failed: No such file or directory (os error 2). Hint: "
                       "curl is required for `tevo-reelcut eval`.\n"
                       "Hint: curl is required for `tevo-reelcut eval`.\n");
}

TEST(EvalCommand, NoServerOrNoPage) {
    const std::uint16_t idle = free_port();
    const auto refused = run_eval_with(tools_path(), {"1", "--port", std::to_string(idle)});
    EXPECT_EQ(refused.status.code, 1);
    const std::string hint = fmt::format(fmt::runtime(kNoUiHint), idle);
    EXPECT_EQ(refused.err, "ERROR: POST /eval failed: . " + hint + "\n" + hint + "\n");

    // A server without a page: the job waits in the queue, and the client gives up once an empty
    // answer comes after its timeout (the fixture's long polls last 300 ms).
    WebappFixture server({"--no-open", "--eval-poll-ms", "300"});
    ASSERT_TRUE(server.ready()) << server.err();
    for (const std::string timeout : {"0", "1"}) {
        const auto run = run_eval_with(
            tools_path(), {"1", "--port", std::to_string(server.port()), "--timeout", timeout});
        EXPECT_EQ(run.status.code, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(lines_of(run.err).at(0),
                  fmt::format("ERROR: timed out after {}s waiting for eval result. {}", timeout,
                              kTimeoutHint));
    }
    // A timeout past what the clock can hold waits without a deadline; the page's answer ends it.
    ChildProcess waiting(REELCUT_BIN,
                         {"eval", "return 3", "--port", std::to_string(server.port()), "--timeout",
                          "18446744073709551615"},
                         EnvList{{"PATH", tools_path()}}, {}, server.home() / "eval-max");
    // The jobs of the two runs above are still queued before this one.
    std::string id;
    ASSERT_TRUE(eventually([&] {
        const auto job = server.request("GET", "/eval/pending");
        if (job.status == 200 && nlohmann::json::parse(job.body)["code"] == "return 3") {
            id = nlohmann::json::parse(job.body)["id"];
        }
        return !id.empty();
    }));
    EXPECT_FALSE(waiting.wait_exit(std::chrono::milliseconds(700))); // past several empty polls
    ASSERT_EQ(server.request("POST", "/eval/" + id + "/result", R"({"ok":true,"value":3})").status,
              200);
    const auto ended = waiting.wait_exit(std::chrono::seconds(30));
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->code, 0) << waiting.err();
    EXPECT_EQ(waiting.out(), "{\n  \"ok\": true,\n  \"value\": 3\n}\n");
}

// Snippets run in the fixture page in headless Chromium, through `eval` and through `ctrl eval`.
TEST(EvalCommand, RunsSnippetsInAnOpenPage) {
    WebappFixture server({"--no-open", "--subcommand", "storyboard"});
    ASSERT_TRUE(server.ready()) << server.err();
    BrowserPage page(server.url("/"));
    ASSERT_TRUE(page.ready()) << page.log();
    const std::string port = std::to_string(server.port());
    struct Case {
        Args args;
        int status;
        std::string out;   // the whole output, or its start when `error` is set
        std::string error; // the ERROR line
    };
    // Over 128 KiB once escaped as JSON: too long for one command-line argument of curl.
    const std::string quotes(70'000, '"');
    for (const Case& c : std::vector<Case>{
             {{"eval", "return 1+1", "--port", port},
              0,
              "{\n  \"ok\": true,\n  \"value\": 2\n}\n",
              ""},
             {{"eval", "return await Promise.resolve(ctx.answer)", "--port", port},
              0,
              "{\n  \"ok\": true,\n  \"value\": 42\n}\n",
              ""},
             {{"eval", "document.title = 'x'", "--port", port},
              0,
              "{\n  \"ok\": true,\n  \"value\": null\n}\n",
              ""},
             {{"eval", "return '" + quotes + "'.length", "--port", port},
              0,
              "{\n  \"ok\": true,\n  \"value\": 70000\n}\n",
              ""},
             {{"eval", "throw new Error('boom')", "--port", port},
              1,
              "{\n  \"error\": \"boom\",\n  \"ok\": false,\n  \"stack\": \"Error: boom",
              "ERROR: boom"},
             {{"eval", "return )", "--port", port},
              1,
              "{\n  \"error\": \"Unexpected token ')'\",\n",
              "ERROR: Unexpected token ')'"},
             {{"ctrl", "latest", "eval", "return ctx.name"},
              0,
              "{\n  \"ok\": true,\n  \"value\": \"fixture\"\n}\n",
              ""},
             {{"ctrl", "storyboard", "eval", "throw 'plain'"},
              1,
              "{\n  \"error\": \"plain\",\n  \"ok\": false,\n  \"stack\": null\n}\n",
              "ERROR: plain"},
         }) {
        SpawnOptions options;
        options.set_env = {{"HOME", server.home().string()}};
        const auto run = run_reelcut(c.args, options);
        const std::string what =
            c.args[0] + " " + c.args[c.args[0] == "eval" ? 1 : 3].substr(0, 40);
        EXPECT_EQ(run.status.code, c.status) << what << ": " << run.err << page.log();
        if (c.error.empty()) {
            EXPECT_EQ(run.out, c.out) << what;
        } else {
            EXPECT_EQ(run.out.substr(0, c.out.size()), c.out) << what << ": " << run.out;
            const auto lines = lines_of(run.err);
            ASSERT_FALSE(lines.empty()) << what;
            EXPECT_EQ(lines.back().substr(0, c.error.size()), c.error) << what;
        }
    }
}
