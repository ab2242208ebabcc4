// A tiny page server for the tests: the shared server with a test app whose only own route is
// GET "/hello". Its page forwards console output and offers a small `window.__appCtx`, like the
// real pages do.
//
//   webapp-fixture-server --port P [--no-open] [--subcommand NAME] [--title TEXT]
//                         [--tab-name NAME] [--icon NAME] [--panel-id ID] [--page HTML]
//                         [--eval-poll-ms MS]
#include "terminal.hpp"
#include "webapp/eval.hpp"
#include "webapp/server.hpp"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr const char* kPage = R"(<!doctype html>
<html><head><meta charset="utf-8"><title>fixture</title></head>
<body>fixture
<script>
(() => {
  window.__appCtx = { name: "fixture", answer: 42 };
  for (const level of ["log", "warn", "error"]) {
    const local = console[level].bind(console);
    console[level] = (...args) => {
      local(...args);
      const message = args
        .map((a) => (typeof a === "string" ? a : JSON.stringify(a)))
        .join(" ");
      fetch("console", {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify({ level, message, ts: Date.now() }),
      }).catch(() => {});
    };
  }
  console.log("fixture page loaded");
})();
</script>
<!-- EVAL_CLIENT -->
</body></html>
)";

constexpr const char* kIcon =
    R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16"><rect width="16" height="16" fill="#00b8b0"/></svg>)";

class FixtureApp : public reelcut::WebApp {
  public:
    explicit FixtureApp(std::string page) : page_(std::move(page)) {}
    std::string html() const override { return page_; }
    std::string favicon() const override { return kIcon; }
    reelcut::RouteOutcome handle(reelcut::http::Request request, const std::string& method,
                                 const std::string& path) override {
        if (method == "GET" && path == "/hello") {
            return reelcut::Handled{request.respond(reelcut::text_response(200, "hello"))};
        }
        return reelcut::Declined{std::move(request)};
    }

  private:
    std::string page_;
};

int usage(const std::string& why) {
    std::fprintf(stderr, "webapp-fixture-server: %s\n", why.c_str());
    return 2;
}

template <class Number> bool parse_number(const std::string& text, Number& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    reelcut::ServerConfig config{
        "Fixture", "mdi:test-tube", "storyboard", "Fixture", std::nullopt, 0, false};
    std::string page = kPage;
    bool have_port = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--no-open") {
            config.no_open = true;
            continue;
        }
        if (i + 1 >= argc) {
            return usage("missing value after " + arg);
        }
        const std::string value = argv[++i];
        if (arg == "--port") {
            if (!parse_number(value, config.port)) {
                return usage("bad port " + value);
            }
            have_port = true;
        } else if (arg == "--subcommand") {
            config.subcommand = value;
        } else if (arg == "--title") {
            config.title = value;
        } else if (arg == "--tab-name") {
            config.tab_name = value;
        } else if (arg == "--icon") {
            config.icon = value;
        } else if (arg == "--panel-id") {
            config.panel_id = value;
        } else if (arg == "--page") {
            page = value;
        } else if (arg == "--eval-poll-ms") {
            long long ms = 0;
            if (!parse_number(value, ms) || ms < 0) {
                return usage("bad poll limit " + value);
            }
            reelcut::set_eval_poll_limit(std::chrono::milliseconds(ms));
        } else {
            return usage("unknown option " + arg);
        }
    }
    if (!have_port) {
        return usage("--port is required");
    }
    auto served = reelcut::serve(config, std::make_shared<FixtureApp>(std::move(page)));
    if (!served) {
        reelcut::print_error(served.error());
        return 1;
    }
    return 0;
}
