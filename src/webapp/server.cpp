#include "webapp/server.hpp"

#include "subprocess.hpp"
#include "terminal.hpp"
#include "text_format.hpp"
#include "webapp/console.hpp"
#include "webapp/eval.hpp"
#include "webapp/registry.hpp"
#include "webapp/tab.hpp"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <exception>
#include <filesystem>
#include <malloc.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace reelcut {

namespace {

constexpr std::string_view kEvalClientPlaceholder = "<!-- EVAL_CLIENT -->";
constexpr auto kAcceptWait = std::chrono::milliseconds(250);
// At shutdown: how long the children of requests get to end after SIGTERM before SIGKILL, and how
// long the requests then get to answer their clients before the server returns without them.
constexpr auto kChildGrace = std::chrono::seconds(3);
constexpr auto kRequestDrain = std::chrono::seconds(10);

// Set by SIGINT or SIGTERM while a server runs: they end it as "/shutdown" does.
volatile std::sig_atomic_t stop_signalled = 0;

extern "C" void on_stop_signal(int) {
    stop_signalled = 1;
}

// SIGINT and SIGTERM handled for the life of the value, the earlier dispositions restored after.
class StopSignals {
  public:
    StopSignals() {
        stop_signalled = 0;
        struct sigaction action {};
        action.sa_handler = on_stop_signal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &old_int_);
        ::sigaction(SIGTERM, &action, &old_term_);
    }
    ~StopSignals() {
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::sigaction(SIGTERM, &old_term_, nullptr);
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

// The request threads still running, so that the server returns only after they have answered
// (the process may exit right after, destroying what they use).
struct RequestsInFlight {
    std::mutex lock;
    std::condition_variable done;
    std::size_t count = 0;

    // Waits up to `limit` for the count to reach zero; whether it did.
    bool drain(std::chrono::milliseconds limit) {
        std::unique_lock guard(lock);
        return done.wait_for(guard, limit, [&] { return count == 0; });
    }
};

// One request thread's place in the count, held for the thread's life.
class InFlight {
  public:
    explicit InFlight(std::shared_ptr<RequestsInFlight> all) : all_(std::move(all)) {
        std::lock_guard guard(all_->lock);
        ++all_->count;
    }
    InFlight(InFlight&&) noexcept = default;
    InFlight(const InFlight&) = delete;
    InFlight& operator=(const InFlight&) = delete;
    InFlight& operator=(InFlight&&) = delete;
    ~InFlight() {
        if (!all_) {
            return;
        }
        {
            std::lock_guard guard(all_->lock);
            --all_->count;
        }
        all_->done.notify_all();
    }

  private:
    std::shared_ptr<RequestsInFlight> all_;
};

std::string with_eval_client(std::string page) {
    const std::string_view script = eval_client_script();
    for (auto at = page.find(kEvalClientPlaceholder); at != std::string::npos;
         at = page.find(kEvalClientPlaceholder, at + script.size())) {
        page.replace(at, kEvalClientPlaceholder.size(), script);
    }
    return page;
}

std::uint64_t unix_seconds_now() {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

// The id of "/eval/{id}/result"; "/eval/result" itself, where prefix and suffix overlap, names
// no job.
std::optional<std::string> result_route_id(const std::string& path) {
    constexpr std::string_view prefix = "/eval/";
    constexpr std::string_view suffix = "/result";
    if (path.size() < prefix.size() + suffix.size() || !path.starts_with(prefix) ||
        !path.ends_with(suffix)) {
        return std::nullopt;
    }
    return path.substr(prefix.size(), path.size() - prefix.size() - suffix.size());
}

std::optional<std::string_view> view(const std::optional<std::string>& text) {
    return text ? std::optional<std::string_view>(*text) : std::nullopt;
}

std::optional<std::string> refusal(const RequestGuard& guard, const http::Request& request,
                                   const std::string& method, const std::string& path) {
    const auto host = request.header("Host");
    const auto origin = request.header("Origin");
    const auto site = request.header("Sec-Fetch-Site");
    const auto mode = request.header("Sec-Fetch-Mode");
    return guard.rejection(
        GuardedRequest{method, path, view(host), view(origin), view(site), view(mode)});
}

} // namespace

http::Response text_response(std::uint16_t status, std::string body) {
    http::Response response(status, std::move(body));
    response.with_header("Content-Type", "text/plain");
    return response;
}

http::Response json_response(std::uint16_t status, std::string body) {
    http::Response response(status, std::move(body));
    response.with_header("Content-Type", "application/json");
    return response;
}

std::string json_failure(std::string_view message) {
    return "{\"ok\":false,\"error\":" + json_string(lossy_utf8(message)) + "}";
}

Status route(http::Request request, const std::string& method, const std::string& path,
             const std::string& url, const std::shared_ptr<WebApp>& app,
             const std::shared_ptr<ConsoleLog>& console, const std::shared_ptr<EvalChannel>& eval,
             const std::shared_ptr<std::atomic<bool>>& shutdown) {
    const bool get = method == "GET";
    const bool post = method == "POST";
    if (method == "DELETE" && path == "/console") {
        return console_clear(std::move(request), *console);
    }
    if (post && path == "/console") {
        return console_post(std::move(request), *console);
    }
    if (post && path == "/eval") {
        return eval_submit(std::move(request), *eval);
    }
    if (get && (path == "/" || path == "/index.html")) {
        http::Response page(200, with_eval_client(app->html()));
        page.with_header("Content-Type", "text/html; charset=utf-8");
        page.with_header("Cache-Control", "no-store, must-revalidate");
        return request.respond(std::move(page));
    }
    if (get && (path == "/favicon.svg" || path == "/favicon.ico")) {
        http::Response icon(200, app->favicon());
        icon.with_header("Content-Type", "image/svg+xml");
        icon.with_header("Cache-Control", "no-cache");
        return request.respond(std::move(icon));
    }
    if (get && path == "/console") {
        return console_get(std::move(request), *console, url);
    }
    if (get && path == "/eval/pending") {
        return eval_pending(std::move(request), *eval);
    }
    if ((get || post) && path == "/shutdown") {
        // The flag is set whether or not the client is still there to read the answer.
        (void)request.respond(text_response(200, "OK"));
        shutdown->store(true, std::memory_order_relaxed);
        return {};
    }
    if (get || post) {
        if (auto id = result_route_id(path)) {
            return post ? eval_store_result(std::move(request), *eval, *id)
                        : eval_take_result(std::move(request), *eval, *id);
        }
    }
    RouteOutcome outcome = app->handle(std::move(request), method, path);
    if (auto* handled = std::get_if<Handled>(&outcome)) {
        return std::move(handled->result);
    }
    return std::get<Declined>(outcome).request.respond(text_response(404, "not found"));
}

void request_thread(http::Request request, std::shared_ptr<const RequestGuard> guard,
                    std::shared_ptr<WebApp> app, std::shared_ptr<ConsoleLog> console,
                    std::shared_ptr<EvalChannel> eval,
                    std::shared_ptr<std::atomic<bool>> shutdown) {
    const std::string method = request.method();
    const std::string url = request.url();
    const std::string path = url.substr(0, url.find('?'));
    Status outcome;
    try {
        if (auto refused = refusal(*guard, request, method, path)) {
            write_fd(2,
                     "webapp rejected " + method + " " + lossy_utf8(path) + ": " + *refused + "\n");
            outcome = request.respond(json_response(403, json_failure(*refused)));
        } else {
            outcome = route(std::move(request), method, path, url, app, console, eval, shutdown);
        }
    } catch (const std::exception& e) {
        // The request was destroyed while unwinding, which answers it 500; the server goes on.
        outcome = fail(std::string("internal error: ") + e.what());
    } catch (...) {
        outcome = fail("internal error");
    }
    if (!outcome) {
        write_fd(2, "webapp error on " + method + " " + path + ": " + outcome.error() + "\n");
    }
}

namespace {

// Request bodies and the values parsed from them come and go in sizes of megabytes, on many
// threads. glibc serves those from its heaps once it has freed a large block (its threshold for
// mapping memory rises to that block's size), and memory freed in the middle of a heap is not
// given back: a server that has seen large requests would keep their peak resident. A fixed
// threshold keeps blocks of 1 MiB and more mapped, given back as soon as they are freed.
void map_large_blocks() {
    constexpr int kMapFrom = 1 << 20;
    (void)::mallopt(M_MMAP_THRESHOLD, kMapFrom);
}

} // namespace

Status serve(ServerConfig config, std::shared_ptr<WebApp> app) {
    map_large_blocks();
    const std::string address = "127.0.0.1:" + std::to_string(config.port);
    auto bound = http::HttpServer::bind(address);
    if (!bound) {
        return fail("bind " + address + ": " + bound.error());
    }
    std::unique_ptr<http::HttpServer> server = std::move(*bound);
    // Port 0 asks the system for a free one: what clients reach is the one it gave.
    const std::uint16_t port = server->port();
    const StopSignals stop_signals;

    std::optional<std::filesystem::path> registry_file;
    auto registered = register_instance(InstanceInfo{config.subcommand, config.title,
                                                     static_cast<std::uint32_t>(::getpid()), port});
    if (registered) {
        registry_file = std::move(*registered);
    } else {
        write_fd(2, "warning: could not register instance: " + registered.error() + "\n");
    }

    std::string url = tab_url(port);
    url += url.find('?') == std::string::npos ? "?" : "&";
    url += "v=" + std::to_string(unix_seconds_now());
    write_fd(1, "webapp URL: " + url + "\n");

    if (config.no_open) {
        write_fd(1, "webapp running headless on port " + std::to_string(port) + " (--no-open)\n");
    } else if (auto opened = open_tab(config.tab_name, url, config.icon, config.panel_id);
               !opened) {
        if (registry_file) {
            unregister_instance(*registry_file);
        }
        server.reset();
        return fail(opened.error());
    } else {
        write_fd(1, "webapp tab '" + config.tab_name + "' open on port " + std::to_string(port) +
                        "\n");
    }

    auto guard = std::make_shared<const RequestGuard>(RequestGuard::from_environment(port));
    auto console = new_console_log();
    auto eval = new_eval_channel();
    auto shutdown = std::make_shared<std::atomic<bool>>(false);
    auto in_flight = std::make_shared<RequestsInFlight>();

    while (!shutdown->load(std::memory_order_relaxed) && stop_signalled == 0) {
        auto next = server->next_request(kAcceptWait);
        if (!next) {
            write_fd(2, "webapp accept error: " + next.error() + "\n");
            continue;
        }
        if (!*next) {
            continue;
        }
        try {
            std::thread([request = std::move(**next), place = InFlight(in_flight), guard, app,
                         console, eval, shutdown]() mutable {
                request_thread(std::move(request), guard, app, console, eval, shutdown);
            }).detach();
        } catch (const std::exception& e) {
            // No thread for it: the request, destroyed unanswered, gets its 500.
            write_fd(2, std::string("webapp accept error: cannot start a request thread: ") +
                            e.what() + "\n");
        }
    }

    (void)close_tab(config.tab_name);
    if (registry_file) {
        unregister_instance(*registry_file);
    }
    // The requests still running are ended and answered: long polls at once, media work when its
    // programs have been stopped (each removes its own partial files as a failed run does).
    console_close(*console);
    eval_close(*eval);
    stop_children(kChildGrace);
    if (!in_flight->drain(kRequestDrain)) {
        write_fd(2, "webapp shut down with requests still running\n");
    }
    write_fd(1, "webapp shut down\n");
    server.reset();
    return {};
}

} // namespace reelcut
