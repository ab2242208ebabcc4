// The loopback server shared by every web page: the interface a page's server side implements,
// the settings of one run, the response helpers and the shared routes (page, icon, console log,
// eval channel, shutdown).
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"
#include "webapp/request_guard.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace reelcut {

struct ConsoleLog;
struct EvalChannel;

// The handler dealt with the request: answered it, or dropped it (the layer then answers 500).
// An error message is printed by the request thread.
struct Handled {
    Status result;
};

// Not one of the app's routes: the request comes back untouched for the next handler.
struct Declined {
    http::Request request;
};

using RouteOutcome = std::variant<Handled, Declined>;

// A page's server side. One value per server, called from many request threads at once.
class WebApp {
  public:
    virtual ~WebApp() = default;
    // The page; every "<!-- EVAL_CLIENT -->" in it is replaced by the eval-client script.
    virtual std::string html() const = 0;
    // The page's icon as SVG text.
    virtual std::string favicon() const = 0;
    // `path` is the URL up to its first "?", not decoded.
    virtual RouteOutcome handle(http::Request request, const std::string& method,
                                const std::string& path) = 0;
};

struct ServerConfig {
    std::string tab_name; // webview tab's display name, also the name it is removed by
    std::string icon;     // e.g. "mdi:microphone-variant"
    std::string subcommand;
    std::string title;
    std::optional<std::string> panel_id; // absent: a pane without an editor tab is chosen
    std::uint16_t port = 0;
    bool no_open = false; // stay headless
};

// A response with the single header "Content-Type" "text/plain".
http::Response text_response(std::uint16_t status, std::string body);
// A response with the single header "Content-Type" "application/json"; the body is built by the
// caller.
http::Response json_response(std::uint16_t status, std::string body);

// {"ok":false,"error":"..."} with the message escaped, so a multi-line message stays valid JSON.
std::string json_failure(std::string_view message);

// Binds 127.0.0.1:port (port 0: one the system picks, which the URL and the registry then carry),
// registers the instance, prints the URL, opens the webview tab (unless headless) and serves until
// GET or POST "/shutdown", SIGINT or SIGTERM. Then it removes the tab and the registry file, ends
// the long polls, stops every program the requests started (stop_children: none starts after,
// none outlives the server) and gives the requests up to 10 s to answer before it returns.
Status serve(ServerConfig config, std::shared_ptr<WebApp> app);

// The shared dispatch of one request; what no shared route takes goes to the app, then 404.
Status route(http::Request request, const std::string& method, const std::string& path,
             const std::string& url, const std::shared_ptr<WebApp>& app,
             const std::shared_ptr<ConsoleLog>& console, const std::shared_ptr<EvalChannel>& eval,
             const std::shared_ptr<std::atomic<bool>>& shutdown);

// The body of one request's detached thread: the guard's check, then `route`.
void request_thread(http::Request request, std::shared_ptr<const RequestGuard> guard,
                    std::shared_ptr<WebApp> app, std::shared_ptr<ConsoleLog> console,
                    std::shared_ptr<EvalChannel> eval, std::shared_ptr<std::atomic<bool>> shutdown);

} // namespace reelcut
