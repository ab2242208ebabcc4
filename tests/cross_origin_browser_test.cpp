// Who may use a page server, seen from real headless Chromium and a real nginx: pages of other
// local origins, a host name rebound to 127.0.0.1, and the workspace's path proxy in front of
// the storyboard page.
#include "storyboard/manifest.hpp"
#include "support/clip_of.hpp"
#include "support/media_fixture.hpp"
#include "support/nginx_fixture.hpp"
#include "support/webapp_fixture.hpp"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using testing::eventually;
using testing::NginxServer;
using testing::TempDir;
using testing::WebappFixture;

const std::string kTitle = "Guarded board";
// Leaves a mark in the page's title and in the server's console log if it ever runs.
const std::string kAttack = R"(document.title = "pwned"; console.log("attack ran"))";
const std::string kCardCount = "return document.querySelectorAll('.step-card').length";

// One Chromium (tests/browser/browser_session.mjs) holding several pages at once.
class BrowserSession {
  public:
    explicit BrowserSession(const std::vector<std::string>& chromium_args) {
        std::vector<std::string> args{REELCUT_BROWSER_DIR "/browser_session.mjs"};
        args.insert(args.end(), chromium_args.begin(), chromium_args.end());
        process_.emplace("/usr/bin/node", args, testing::EnvList{}, std::vector<std::string>{},
                         dir_.path() / "browser");
        if (!process_->started()) {
            return;
        }
        (void)eventually(
            [&] {
                const std::string out = process_->out();
                const auto at = out.find("control ");
                if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
                    port_ = static_cast<std::uint16_t>(std::stoi(out.substr(at + 8)));
                }
                return port_ != 0 || process_->wait_exit(std::chrono::milliseconds(0));
            },
            std::chrono::seconds(60));
    }
    ~BrowserSession() {
        if (process_ && process_->started() && !process_->wait_exit(std::chrono::milliseconds(0))) {
            ::kill(process_->pid(), SIGTERM); // the harness closes its browser itself
            if (!process_->wait_exit(std::chrono::seconds(10))) {
                process_->signal(SIGKILL);
                (void)process_->wait_exit(std::chrono::seconds(5));
            }
        }
    }
    BrowserSession(const BrowserSession&) = delete;
    BrowserSession& operator=(const BrowserSession&) = delete;

    bool ready() const { return port_ != 0; }
    std::string log() const { return process_ ? process_->out() + process_->err() : ""; }

    // {page, status, headers, url}, or with "error" when the page did not load.
    json open(const std::string& url) const { return command("open", {{"url", url}}); }
    void close(const json& opened) const {
        (void)command("close", {{"page", opened.value("page", json())}});
    }
    // The value of an async function body run in the page, or {"error": ...}.
    json evaluate(const json& opened, const std::string& code) const {
        const json answer =
            command("evaluate", {{"page", opened.value("page", json())}, {"code", code}});
        return answer.contains("value") ? answer["value"] : answer;
    }
    std::string page_log(const json& opened) const {
        return command("log", {{"page", opened.value("page", json())}})
            .value("lines", json::array())
            .dump(1);
    }

  private:
    json command(const std::string& name, const json& args) const {
        const auto reply =
            testing::http_request(port_, "POST", "/" + name, args.dump(),
                                  {{"Content-Type", "application/json"}}, std::chrono::seconds(90));
        if (reply.status != 200) {
            return {{"error", "browser session: " + reply.error + " " + log()}};
        }
        return json::parse(reply.body, nullptr, false);
    }

    TempDir dir_;
    std::uint16_t port_ = 0;
    std::optional<ChildProcess> process_;
};

std::string percent_encoded(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += {'%', hex[c >> 4], hex[c & 15]};
        }
    }
    return out;
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// What `tevo-reelcut eval CODE --port P` printed, parsed.
json cli_eval(const WebappFixture& server, const std::string& code) {
    const auto r = testing::run_reelcut({"eval", code, "--port", std::to_string(server.port())});
    return json::parse(r.out, nullptr, false).is_discarded()
               ? json{{"exit", r.status.code}, {"out", r.out}, {"err", r.err}}
               : json::parse(r.out);
}

bool console_has(const WebappFixture& server, const std::string& text) {
    return server.request("GET", "/console").body.find(text) != std::string::npos;
}

// The page address the server announced on its standard output.
std::string announced_url(const WebappFixture& server) {
    const std::string out = server.out();
    const std::string tag = "webapp URL: ";
    const auto at = out.find(tag);
    return at == std::string::npos
               ? ""
               : out.substr(at + tag.size(), out.find('\n', at) - at - tag.size());
}

// A path proxy as the workspace has one: "/proxy/<port>/..." goes to 127.0.0.1:<port>/...,
// streaming both ways so that long polls and video ranges pass.
std::string proxy_block(bool keep_host) {
    return std::string(R"(
    location ~ ^/proxy/([0-9]+)(/.*)$ {
      proxy_pass http://127.0.0.1:$1$2$is_args$args;
      proxy_http_version 1.1;
      proxy_buffering off;
      proxy_request_buffering off;
      proxy_read_timeout 120s;
      proxy_send_timeout 120s;
)") + (keep_host ? "      proxy_set_header Host $http_host;\n" : "") +
           "    }";
}

// Two clips with real videos, one nginx (an attacker's static site and two proxies) and one
// browser, shared by the tests of a suite; each test starts its own storyboard server.
class CrossOrigin : public ::testing::Test {
  public:
    enum Block : std::size_t { kAttackerSite, kProxyKeepingHost, kProxyRewritingHost };

    static void SetUpTestSuite() {
        dir = new TempDir;
        const testing::ClipSpec spec{.seconds = 1, .width = 160, .height = 90};
        ASSERT_TRUE(testing::make_clip(*dir / "intro.webm", spec));
        ASSERT_TRUE(testing::make_clip(*dir / "export.webm", spec));
        Manifest m = new_manifest(kTitle);
        Clip intro = testing::clip_of("intro", "Open the project");
        intro.raw_path = *dir / "intro.webm";
        Clip exporting = testing::clip_of("export", "Export the gerbers");
        exporting.raw_path = *dir / "export.webm";
        m.clips = {intro, exporting};
        ASSERT_TRUE(save_manifest(m, *dir / "story.json"));

        nginx = new NginxServer({"root {{site}};", proxy_block(true), proxy_block(false)});
        if (nginx->ready()) {
            nginx->put("attacker.html", testing::read_file(REELCUT_BROWSER_DIR "/attacker.html"));
        }
        browser = new BrowserSession({"--host-resolver-rules=MAP rebind.test 127.0.0.1"});
    }
    static void TearDownTestSuite() {
        delete browser;
        delete nginx;
        delete dir;
        browser = nullptr;
        nginx = nullptr;
        dir = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(nginx && nginx->ready()) << (nginx ? nginx->problem() : "");
        ASSERT_TRUE(browser && browser->ready())
            << "no browser (run scripts/setup for Chromium and playwright-core): "
            << (browser ? browser->log() : "");
    }

    static std::unique_ptr<WebappFixture> server(testing::FixtureSettings settings = {}) {
        return testing::storyboard_server(*dir / "story.json", {}, std::move(settings));
    }

    // Opens the storyboard page at `url` and shows that it works there: it renders the cards, its
    // console lines reach the server, the command-line eval reaches it (through whatever path its
    // polls take) and its videos are served in ranges.
    static void expect_working_page(const WebappFixture& server, const std::string& url) {
        SCOPED_TRACE(url);
        const json page = browser->open(url);
        ASSERT_EQ(page.value("status", json()), 200) << page;
        const auto cards = [&] { return browser->evaluate(page, kCardCount); };
        EXPECT_TRUE(eventually([&] { return cards() == 2; })) << cards() << browser->page_log(page);

        const std::string hello = "hello from " + url;
        (void)browser->evaluate(page, "console.log(" + json(hello).dump() + ")");
        EXPECT_TRUE(eventually([&] { return console_has(server, hello); }))
            << server.request("GET", "/console").body;

        EXPECT_EQ(cli_eval(server, kCardCount), (json{{"ok", true}, {"value", 2}}));

        json range = browser->evaluate(page, R"(
            const res = await fetch("video/intro/raw", { headers: { Range: "bytes=0-99" } });
            return [res.status, res.headers.get("content-range"), (await res.arrayBuffer()).byteLength];)");
        ASSERT_TRUE(range.is_array()) << range;
        EXPECT_EQ(range[0], 206) << range;
        EXPECT_TRUE(range[1].is_string() && range[1].get<std::string>().starts_with("bytes 0-99/"))
            << range;
        EXPECT_EQ(range[2], 100);
        EXPECT_TRUE(eventually([&] {
            return browser->evaluate(
                       page, "const v = [...document.querySelectorAll('video')]; "
                             "return v.length === 2 && v.every(e => e.readyState >= 1)") == true;
        })) << browser->page_log(page);
        EXPECT_EQ(browser->page_log(page).find("pageerror"), std::string::npos)
            << browser->page_log(page);
        browser->close(page);
    }

    static TempDir* dir;
    static NginxServer* nginx;
    static BrowserSession* browser;
};
TempDir* CrossOrigin::dir = nullptr;
NginxServer* CrossOrigin::nginx = nullptr;
BrowserSession* CrossOrigin::browser = nullptr;

// The attacker's page is on another port of 127.0.0.1 (same site for the browser) or on
// localhost (another site).
class AttackerPage : public CrossOrigin, public ::testing::WithParamInterface<const char*> {};

TEST_P(AttackerPage, CanNeitherDriveNorStopNorReadTheServer) {
    auto board = server();
    ASSERT_TRUE(board->ready()) << board->err();
    const std::string url = "http://" + std::string(GetParam()) + ":" +
                            std::to_string(nginx->port(kAttackerSite)) +
                            "/attacker.html?port=" + std::to_string(board->port()) +
                            "&code=" + percent_encoded(kAttack);
    const json attacker = browser->open(url);
    ASSERT_EQ(attacker.value("status", json()), 200) << attacker << nginx->log();
    json seen = browser->evaluate(attacker, "return await window.attack");
    ASSERT_TRUE(seen.is_object()) << seen;

    // Nothing came back that the page could read.
    EXPECT_TRUE(seen["corsFetch"].contains("threw")) << seen;
    const json opaque = {{"type", "opaque"}, {"status", 0}, {"body", ""}};
    EXPECT_EQ(seen["noCorsFetch"], opaque);
    EXPECT_EQ(seen["evalFetch"], opaque);
    EXPECT_EQ(seen["evalFormReadable"], false);
    EXPECT_EQ(seen["shutdownImg"], "error");
    EXPECT_EQ(seen["shutdownImgWidth"], 0);
    browser->close(attacker);

    // The server got every attempt, refused it and is still there.
    EXPECT_EQ(board->request("GET", "/state").status, 200);
    const std::string err = board->err();
    for (const char* refused : {"webapp rejected GET /manifest: forbidden: ",    // two fetches
                                "webapp rejected POST /eval: forbidden: ",       // fetch and form
                                "webapp rejected GET /shutdown: forbidden: "}) { // img and iframe
        EXPECT_GE(occurrences(err, refused), 2u) << refused << " in\n" << err;
    }

    // Nothing was queued: the page opened now is handed the oldest job first, and that is ours.
    const json page = browser->open(board->url("/"));
    ASSERT_EQ(page.value("status", json()), 200) << page;
    ASSERT_TRUE(eventually([&] { return browser->evaluate(page, kCardCount) == 2; }));
    EXPECT_EQ(cli_eval(*board, "return document.title"), (json{{"ok", true}, {"value", kTitle}}));
    (void)browser->evaluate(page, "console.log('after the attack')");
    ASSERT_TRUE(eventually([&] { return console_has(*board, "after the attack"); }));
    EXPECT_FALSE(console_has(*board, "attack ran")) << board->request("GET", "/console").body;

    // The smuggled form body is a working job all the same: from a client that makes no claim
    // about where it comes from, it is queued and runs.
    const std::string form_body = json{{"code", kAttack}, {"pad", "="}}.dump() + "\r\n";
    EXPECT_EQ(board->request("POST", "/eval", form_body, {{"Content-Type", "text/plain"}}).status,
              200);
    EXPECT_TRUE(eventually([&] { return console_has(*board, "attack ran"); }));
    EXPECT_EQ(cli_eval(*board, "return document.title"), (json{{"ok", true}, {"value", "pwned"}}));
    browser->close(page);
}

INSTANTIATE_TEST_SUITE_P(FromAnotherOrigin, AttackerPage,
                         ::testing::Values("127.0.0.1", "localhost"), [](const auto& info) {
                             return std::string(info.param) == "localhost" ? "CrossSite"
                                                                           : "SameSite";
                         });

using HostNames = CrossOrigin;

TEST_F(HostNames, ANameReboundToLoopbackGetsOnlyTheRefusal) {
    auto board = server();
    ASSERT_TRUE(board->ready()) << board->err();
    const std::string port = std::to_string(board->port());
    const auto expect_refusal = [](const json& status, const json& body, const std::string& what) {
        EXPECT_EQ(status, 403) << what;
        const json parsed =
            body.is_string() ? json::parse(body.get<std::string>(), nullptr, false) : json();
        EXPECT_TRUE(parsed.is_object() && parsed["ok"] == false && parsed["error"].is_string() &&
                    parsed["error"].get<std::string>().starts_with("forbidden: "))
            << what << ": " << body;
    };

    for (const char* target : {"/", "/manifest"}) {
        const json page = browser->open("http://rebind.test:" + port + target);
        expect_refusal(page.value("status", json()),
                       browser->evaluate(page, "return document.body.innerText"), target);
        EXPECT_EQ(page.value("headers", json::object()).value("content-type", ""),
                  "application/json")
            << page;
        EXPECT_EQ(browser->evaluate(page, "return typeof window.__appCtx"), "undefined");
        browser->close(page);
    }
    // What scripts of the rebound origin could fetch, now that it is their own origin.
    const json page = browser->open("http://rebind.test:" + port + "/manifest");
    json fetched = browser->evaluate(page, R"(
        const out = {};
        for (const [method, path] of [["GET", "/manifest"], ["GET", "/state"], ["GET", "/console"],
                                      ["POST", "/eval"], ["POST", "/shutdown"]]) {
          const body = method === "POST" ? JSON.stringify({ code: "return 1" }) : undefined;
          const res = await fetch(path, { method, body });
          out[method + " " + path] = [res.status, await res.text()];
        }
        return out;)");
    ASSERT_TRUE(fetched.is_object()) << fetched;
    for (auto& [request, answer] : fetched.items()) {
        expect_refusal(answer[0], answer[1], request);
    }
    browser->close(page);

    EXPECT_EQ(board->request("GET", "/state").status, 200);
    const std::string err = board->err();
    for (const char* refused :
         {"webapp rejected GET /: forbidden: ", "webapp rejected GET /manifest: forbidden: ",
          "webapp rejected POST /eval: forbidden: ",
          "webapp rejected POST /shutdown: forbidden: "}) {
        EXPECT_NE(err.find(refused), std::string::npos) << refused << " in\n" << err;
    }

    // The same browser reaches the same server under its own names.
    for (const char* host : {"127.0.0.1", "localhost"}) {
        const json own = browser->open("http://" + std::string(host) + ":" + port + "/manifest");
        EXPECT_EQ(own.value("status", json()), 200) << host << own;
        const json manifest =
            browser->evaluate(own, "return JSON.parse(document.body.innerText).clips.length");
        EXPECT_EQ(manifest, 2) << host;
        browser->close(own);
    }
}

// The workspace's proxy passes the browser's Host on or puts the upstream's in its place, and
// VSCODE_PROXY_URI names the proxy or, relative, no host at all.
struct ProxyCase {
    const char* name;
    CrossOrigin::Block block;
    bool absolute; // VSCODE_PROXY_URI "http://127.0.0.1:N/proxy/{{port}}/", else "./proxy/..."
};

void PrintTo(const ProxyCase& c, std::ostream* out) {
    *out << c.name;
}

class PathProxy : public CrossOrigin, public ::testing::WithParamInterface<ProxyCase> {};

TEST_P(PathProxy, ThePageWorksThroughItAndDirectly) {
    const std::string proxy = "http://127.0.0.1:" + std::to_string(nginx->port(GetParam().block));
    const std::string address = (GetParam().absolute ? proxy : ".") + "/proxy/{{port}}/";
    testing::FixtureSettings settings;
    settings.env = {{"VSCODE_PROXY_URI", address}};
    auto board = server(settings);
    ASSERT_TRUE(board->ready()) << board->err();
    const std::string port = std::to_string(board->port());

    std::string page_address = address;
    page_address.replace(address.find("{{port}}"), 8, port);
    EXPECT_TRUE(announced_url(*board).starts_with(page_address + "?")) << board->out();
    expect_working_page(*board, proxy + "/proxy/" + port + "/");
    expect_working_page(*board, board->url("/"));
    EXPECT_EQ(board->err().find("webapp rejected"), std::string::npos)
        << board->err() << nginx->log();
}

INSTANTIATE_TEST_SUITE_P(
    , PathProxy,
    ::testing::Values(ProxyCase{"KeepingHost", CrossOrigin::kProxyKeepingHost, true},
                      ProxyCase{"RewritingHost", CrossOrigin::kProxyRewritingHost, true},
                      ProxyCase{"KeepingHostRelativeAddress", CrossOrigin::kProxyKeepingHost,
                                false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace reelcut
