// The shared page server in a child process (the fixture server), over real HTTP on loopback:
// start-up and shutdown lines, registry file, webview tab, and the shared dispatch table.
#include "support/clip_of.hpp"
#include "support/webapp_fixture.hpp"
#include "webapp/eval.hpp"

#include <arpa/inet.h>
#include <future>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/socket.h>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::lines_of;
using testing::read_file;
using testing::TempDir;
using testing::WebappFixture;

using namespace std::chrono_literals;

std::string url_line(std::uint16_t port) {
    return "webapp URL: http://127.0.0.1:" + std::to_string(port) + "/?v=";
}

void expect_url_line(const std::string& line, std::uint16_t port) {
    EXPECT_TRUE(line.starts_with(url_line(port))) << line;
    EXPECT_TRUE(std::regex_match(line.substr(url_line(port).size()), std::regex("[0-9]{10}")))
        << line;
}

std::vector<json> parsed_calls(const WebappFixture& server) {
    std::vector<json> out;
    for (const auto& line : server.tevo_cli_calls()) {
        out.push_back(json::parse(line));
    }
    return out;
}

testing::FixtureSettings with_env(testing::EnvList env) {
    testing::FixtureSettings settings;
    settings.env = std::move(env);
    return settings;
}

testing::FixtureSettings with_path(std::string path) {
    testing::FixtureSettings settings;
    settings.path = std::move(path);
    return settings;
}

bool instances_dir_empty(const WebappFixture& server) {
    const auto dir = server.home() / ".tevo/tevo-reelcut/instances";
    return !std::filesystem::exists(dir) || std::filesystem::is_empty(dir);
}

TEST(WebappServe, OpensTabRegistersAndCleansUpAtShutdown) {
    WebappFixture server({"--tab-name", "Review \"demo\"", "--title", "Demo", "--subcommand",
                          "storyboard", "--icon", "mdi:film"});
    ASSERT_TRUE(server.ready()) << server.err();
    const auto out = lines_of(server.out());
    ASSERT_EQ(out.size(), 2u) << server.out();
    expect_url_line(out[0], server.port());
    EXPECT_EQ(out[1], "webapp tab 'Review \"demo\"' open on port " + std::to_string(server.port()));

    const json registered = json::parse(read_file(server.registry_file()));
    EXPECT_EQ(registered["pid"], server.pid());
    EXPECT_EQ(registered["port"], server.port());
    EXPECT_EQ(registered["subcommand"], "storyboard");
    EXPECT_EQ(registered["title"], "Demo");

    const std::string url = out[0].substr(std::string("webapp URL: ").size());
    const std::vector<json> opened{
        {"nimbrel", "workspace", "remove-tab", "--name", "Review \"demo\""},
        {"nimbrel", "workspace", "get"},
        {"nimbrel", "workspace", "add-tab", "--panel-id", "pane-2", "--panel-type",
         "tevo/a1b2c3d4-0031-4000-a000-000000000031", "--display-name", "Review \"demo\"",
         "--display-icon", "mdi:film", "--initial-state", json{{"url", url}}.dump()},
    };
    EXPECT_EQ(parsed_calls(server), opened);

    const auto reply = server.request("GET", "/shutdown");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "OK");
    EXPECT_EQ(reply.header("Content-Type"), "text/plain");
    const auto status = server.wait_exit(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->success()) << server.err();
    EXPECT_EQ(lines_of(server.out()).back(), "webapp shut down");
    EXPECT_FALSE(std::filesystem::exists(server.registry_file()));
    auto closed = opened;
    closed.push_back({"nimbrel", "workspace", "remove-tab", "--name", "Review \"demo\""});
    EXPECT_EQ(parsed_calls(server), closed);
    EXPECT_EQ(server.err(), "");
}

TEST(WebappServe, HeadlessStillRemovesTheTabAtShutdownAndPostShutsDownToo) {
    WebappFixture server({"--no-open", "--tab-name", "Voiceover"});
    ASSERT_TRUE(server.ready()) << server.err();
    const auto out = lines_of(server.out());
    ASSERT_EQ(out.size(), 2u) << server.out();
    expect_url_line(out[0], server.port());
    EXPECT_EQ(out[1],
              "webapp running headless on port " + std::to_string(server.port()) + " (--no-open)");
    EXPECT_TRUE(server.tevo_cli_calls().empty());
    EXPECT_TRUE(std::filesystem::exists(server.registry_file()));

    EXPECT_EQ(server.request("POST", "/shutdown").body, "OK");
    ASSERT_TRUE(server.wait_exit(10s));
    EXPECT_EQ(lines_of(server.out()).back(), "webapp shut down");
    EXPECT_FALSE(std::filesystem::exists(server.registry_file()));
    EXPECT_EQ(parsed_calls(server),
              (std::vector<json>{{"nimbrel", "workspace", "remove-tab", "--name", "Voiceover"}}));
}

TEST(WebappServe, ShutdownAnswersTheLongPollsStillRunning) {
    WebappFixture server({"--no-open"});
    ASSERT_TRUE(server.ready()) << server.err();
    // Both would hold their request threads for 25 s and more.
    auto eval_poll =
        std::async(std::launch::async, [&] { return server.request("GET", "/eval/pending"); });
    auto console_poll = std::async(std::launch::async,
                                   [&] { return server.request("GET", "/console?wait=60000"); });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(server.request("GET", "/shutdown").body, "OK");
    const auto status = server.wait_exit(10s);
    ASSERT_TRUE(status) << "serve waited for the running requests";
    EXPECT_TRUE(status->success()) << server.err();
    EXPECT_EQ(lines_of(server.out()).back(), "webapp shut down");
    EXPECT_FALSE(std::filesystem::exists(server.registry_file()));
    EXPECT_EQ(eval_poll.get().status, 204);
    const testing::HttpReply console = console_poll.get();
    EXPECT_EQ(console.status, 200);
    EXPECT_EQ(json::parse(console.body)["messages"], json::array());
}

// Port 0 asks the system for a free port: the URL and the registry give the one it bound.
TEST(WebappServe, PortZeroReportsAndRegistersThePortBound) {
    TempDir dir;
    const std::string manifest = testing::one_clip_manifest(dir.path(), "Any port");
    ASSERT_FALSE(manifest.empty());
    const std::vector<std::vector<std::string>> commands = {
        {"storyboard", manifest}, {"voiceover", "--input", dir / "a-fast.webm"}, {"app", manifest}};
    for (const auto& command : commands) {
        SCOPED_TRACE(command[0]);
        TempDir home;
        std::vector<std::string> args = command;
        args.insert(args.end(), {"--port", "0", "--no-open"});
        testing::ChildProcess server(
            REELCUT_BIN, args, {{"HOME", home.path().string()}, {"PATH", testing::tools_path()}},
            {}, home.path() / "server");
        const std::regex url("webapp URL: http://127\\.0\\.0\\.1:([0-9]+)/\\?v=");
        std::smatch found;
        std::string out;
        ASSERT_TRUE(testing::eventually([&] {
            out = server.out();
            return std::regex_search(out, found, url);
        })) << server.err();
        const auto port = static_cast<std::uint16_t>(std::stoi(found[1]));
        EXPECT_NE(port, 0);
        EXPECT_EQ(testing::http_request(port, "GET", "/favicon.svg").status, 200);
        const auto registry =
            home.path() / ".tevo/tevo-reelcut/instances" / (std::to_string(server.pid()) + ".json");
        EXPECT_EQ(json::parse(read_file(registry))["port"], port);
        EXPECT_EQ(testing::http_request(port, "GET", "/shutdown").status, 200);
        EXPECT_TRUE(server.wait_exit(30s).has_value());
    }
}

TEST(WebappServe, CacheBusterJoinsAProxyUrlWithItsQuery) {
    struct Case {
        std::string proxy;
        std::string expected_prefix; // {port} replaced
    };
    for (const Case& c :
         {Case{"https://ws.example/proxy/{{port}}/", "https://ws.example/proxy/P/?v="},
          Case{"https://ws.example/p/{{port}}/?tkn=a", "https://ws.example/p/P/?tkn=a&v="}}) {
        WebappFixture server({"--no-open"}, with_env({{"VSCODE_PROXY_URI", c.proxy}}));
        ASSERT_TRUE(server.ready()) << server.err();
        std::string expected = c.expected_prefix;
        expected.replace(expected.find('P'), 1, std::to_string(server.port()));
        const std::string line = lines_of(server.out()).at(0);
        EXPECT_TRUE(line.starts_with("webapp URL: " + expected)) << line;
    }
}

TEST(WebappServe, TabFailureRemovesTheRegistryFileAndEndsWithItsMessage) {
    struct Case {
        testing::FixtureSettings settings;
        std::string error;
    };
    TempDir empty_path;
    Case cases[] = {
        {with_env({{"TEVO_CLI_FAIL", "nimbrel workspace add-tab"}}),
         "ERROR: failed to add webview tab: tevo-cli: injected failure\n\n"},
        {with_path(empty_path.path().string()),
         "ERROR: tevo-cli spawn failed: No such file or directory (os error 2)\n"},
    };
    for (auto& c : cases) {
        WebappFixture server({}, c.settings);
        EXPECT_FALSE(server.ready());
        const auto status = server.wait_exit(10s);
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 1);
        EXPECT_EQ(server.err(), c.error);
        expect_url_line(lines_of(server.out()).at(0), server.port());
        EXPECT_EQ(lines_of(server.out()).size(), 1u);
        EXPECT_TRUE(instances_dir_empty(server));
    }
}

TEST(WebappServe, TakenPortFailsBeforeAnythingElseHappens) {
    const int holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    ASSERT_EQ(::getsockname(holder, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::uint16_t port = ntohs(addr.sin_port);

    testing::FixtureSettings on_port;
    on_port.port = port;
    WebappFixture server({}, on_port);
    const auto status = server.wait_exit(10s);
    ::close(holder);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1);
    EXPECT_EQ(server.err(), "ERROR: bind 127.0.0.1:" + std::to_string(port) +
                                ": Address already in use (os error 98)\n");
    EXPECT_EQ(server.out(), "");
    EXPECT_FALSE(std::filesystem::exists(server.home() / ".tevo"));
    EXPECT_TRUE(server.tevo_cli_calls().empty());
}

TEST(WebappServe, UnwritableRegistryOnlyWarns) {
    testing::FixtureSettings no_home;
    no_home.unset_env = {"HOME"};
    WebappFixture server({"--no-open"}, no_home);
    ASSERT_TRUE(server.ready()) << server.err();
    EXPECT_EQ(server.err(), "warning: could not register instance: HOME not set\n");
    EXPECT_EQ(server.request("GET", "/hello").body, "hello");
}

// One headless server for the dispatch cases; its eval long polls are cut to 200 ms.
class WebappRoutes : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new WebappFixture({"--no-open", "--eval-poll-ms", "200"});
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server->ready()) << server->err(); }
    static WebappFixture* server;
};
WebappFixture* WebappRoutes::server = nullptr;

TEST_F(WebappRoutes, OnlyMethodAndExactPathDecide) {
    struct Case {
        const char* method;
        const char* target;
        int status;
        std::string body;
    };
    const std::string script(eval_client_script());
    const Case cases[] = {
        {"GET", "/hello", 200, "hello"},
        {"GET", "/hello?x=1", 200, "hello"},
        {"GET", "/nope", 404, "not found"},
        {"HEAD", "/", 404, ""},
        {"PUT", "/shutdown", 404, "not found"},
        {"DELETE", "/shutdown", 404, "not found"},
        {"POST", "/eval/pending", 404, "not found"},
        {"DELETE", "/eval/abc/result", 404, "not found"},
        {"PUT", "/eval/abc/result", 404, "not found"},
        {"GET", "/eval/result", 404, "not found"},
        {"POST", "/eval/result", 404, "not found"},
        {"GET", "/Console", 404, "not found"},
        {"GET", "/console/", 404, "not found"},
        {"PUT", "/console", 404, "not found"},
        {"GET", "/eval", 404, "not found"},
        {"POST", "/favicon.svg", 404, "not found"},
        {"OPTIONS", "/", 404, "not found"},
        {"GET", "/%63onsole", 404, "not found"},
        {"GET", "/index.html/", 404, "not found"},
        {"BREW", "/hello", 404, "not found"},
    };
    for (const Case& c : cases) {
        const auto reply = server->request(c.method, c.target);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target << " " << reply.error;
        EXPECT_EQ(reply.body, c.body) << c.method << " " << c.target;
        if (c.status == 404) {
            EXPECT_EQ(reply.header("Content-Type"), "text/plain") << c.method << " " << c.target;
        }
    }
    // Nothing above stopped the server.
    EXPECT_EQ(server->request("GET", "/hello").body, "hello");
    EXPECT_EQ(server->err(), "");
}

TEST_F(WebappRoutes, PageAndIcon) {
    for (const char* target : {"/", "/index.html", "/index.html?x=1", "/?v=123"}) {
        const auto page = server->request("GET", target);
        EXPECT_EQ(page.status, 200) << target;
        EXPECT_EQ(page.header("Content-Type"), "text/html; charset=utf-8");
        EXPECT_EQ(page.header("Cache-Control"), "no-store, must-revalidate");
        EXPECT_NE(page.body.find(std::string(eval_client_script())), std::string::npos);
        EXPECT_EQ(page.body.find("<!-- EVAL_CLIENT -->"), std::string::npos);
    }
    const auto svg = server->request("GET", "/favicon.svg");
    const auto ico = server->request("GET", "/favicon.ico");
    EXPECT_EQ(svg.status, 200);
    EXPECT_TRUE(svg.body.starts_with("<svg")) << svg.body;
    EXPECT_EQ(ico.body, svg.body);
    for (const auto* icon : {&svg, &ico}) {
        EXPECT_EQ(icon->header("Content-Type"), "image/svg+xml");
        EXPECT_EQ(icon->header("Cache-Control"), "no-cache");
    }
}

TEST(WebappServe, EveryPlaceholderIsReplacedAndAPageWithoutOneIsServedUnchanged) {
    const std::string script(eval_client_script());
    struct Case {
        std::string page;
        std::string served;
    };
    for (const Case& c : {
             Case{"<p>a<!-- EVAL_CLIENT -->b<!-- EVAL_CLIENT --></p>",
                  "<p>a" + script + "b" + script + "</p>"},
             Case{"<p>plain <!-- EVAL_CLIENT --</p>", "<p>plain <!-- EVAL_CLIENT --</p>"},
         }) {
        WebappFixture server({"--no-open", "--page", c.page});
        ASSERT_TRUE(server.ready()) << server.err();
        EXPECT_EQ(server.request("GET", "/").body, c.served);
    }
}

// The guard sits in front of every route: a refused request changes nothing, is answered 403 with
// the reason as JSON and leaves one line on standard error.
TEST(WebappServe, RefusedRequestsChangeNothingAndAreLoggedOnce) {
    WebappFixture server({"--no-open", "--eval-poll-ms", "300"});
    ASSERT_TRUE(server.ready()) << server.err();
    const std::string port = std::to_string(server.port());
    struct Case {
        std::string method;
        std::string target;
        testing::EnvList headers;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"GET",
         "/shutdown",
         {{"Host", "rebind.test:" + port}},
         "forbidden: Host \"rebind.test:" + port + "\" does not name this server"},
        {"POST",
         "/eval",
         {{"Origin", "http://127.0.0.1:9"}, {"Content-Type", "text/plain"}},
         "forbidden: Origin \"http://127.0.0.1:9\" is not this server's page"},
        {"GET",
         "/shutdown?x=1",
         {{"Sec-Fetch-Site", "same-site"}, {"Sec-Fetch-Mode", "no-cors"}},
         "forbidden: request from another site"},
        {"DELETE", "/console", {{"Sec-Fetch-Site", "cross-site"}}, "forbidden: cross-site request"},
    };
    ASSERT_EQ(server.request("POST", "/console", R"({"level":"log","args":["kept"]})").status, 200);
    for (const Case& c : cases) {
        const auto reply = server.request(c.method, c.target, R"({"code":"return 1"})", c.headers);
        EXPECT_EQ(reply.status, 403) << c.target;
        EXPECT_EQ(reply.header("Content-Type"), "application/json");
        EXPECT_EQ(json::parse(reply.body), (json{{"ok", false}, {"error", c.reason}}));
    }
    // Still serving; no job was queued and the console was not cleared.
    EXPECT_EQ(server.request("GET", "/eval/pending").status, 204);
    EXPECT_NE(server.request("GET", "/console").body.find("kept"), std::string::npos);
    EXPECT_FALSE(server.wait_exit(0ms));

    std::vector<std::string> rejected;
    for (const auto& line : lines_of(server.err())) {
        if (line.starts_with("webapp rejected ")) {
            rejected.push_back(line);
        }
    }
    ASSERT_EQ(rejected.size(), cases.size()) << server.err();
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const std::string path = cases[i].target.substr(0, cases[i].target.find('?'));
        EXPECT_EQ(rejected[i],
                  "webapp rejected " + cases[i].method + " " + path + ": " + cases[i].reason);
    }
}

TEST(WebappServe, PagesReachedThroughTheWorkspaceProxyAreServed) {
    WebappFixture server({"--no-open"}, with_env({{"VSCODE_PROXY_URI",
                                                   "https://code.example.com/proxy/{{port}}/"}}));
    ASSERT_TRUE(server.ready()) << server.err();
    const std::string own = "127.0.0.1:" + std::to_string(server.port());
    for (const testing::EnvList& headers : std::vector<testing::EnvList>{
             {{"Host", "code.example.com"}, {"Origin", "https://code.example.com"}},
             {{"Host", own}, {"Origin", "https://code.example.com"}},
             {{"Host", own}, {"Origin", "http://" + own}, {"Sec-Fetch-Site", "same-origin"}},
         }) {
        EXPECT_EQ(
            server.request("POST", "/console", R"({"level":"log","args":["x"]})", headers).status,
            200)
            << headers[0].second << " " << headers[1].second;
    }
    EXPECT_EQ(server.request("GET", "/", "", {{"Host", "elsewhere.example.com"}}).status, 403);
}

} // namespace
} // namespace reelcut
