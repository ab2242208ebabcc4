// Running page servers and browser pages for the tests: the fixture server in a child process
// with a private HOME and workspace stand-in, a plain HTTP/1.1 client for loopback, and a
// headless Chromium page kept open on a URL.
#pragma once

#include "subprocess.hpp"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <sys/types.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/test_support.hpp"

namespace reelcut::testing {

using EnvList = std::vector<std::pair<std::string, std::string>>;

struct HttpReply {
    int status = 0;    // 0 when the exchange failed; `error` tells why
    std::string error; // transport failure
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The first header of that name, compared without regard to case.
    std::optional<std::string> header(const std::string& name) const;
};

// One request on its own connection to 127.0.0.1:port, sent byte for byte as given (the target
// is not normalised), with "Connection: close" and, unless `headers` has one, "Host:
// 127.0.0.1:port"; waits up to `timeout` for the whole answer.
HttpReply http_request(std::uint16_t port, const std::string& method, const std::string& target,
                       const std::string& body = "", const EnvList& headers = {},
                       std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A port on 127.0.0.1 that nothing listens on right now.
std::uint16_t free_port();

// A child process with its standard output and error going to files; killed when destroyed.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args,
                 const EnvList& env, const std::vector<std::string>& unset_env,
                 const std::filesystem::path& log_prefix,
                 const std::optional<std::filesystem::path>& cwd = std::nullopt);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }
    std::string out() const;
    std::string err() const;
    // The exit status once it has ended (waiting up to `limit`); nothing while it still runs.
    std::optional<ExitStatus> wait_exit(std::chrono::milliseconds limit);
    void signal(int sig);

  private:
    pid_t pid_ = -1;
    std::optional<ExitStatus> status_;
    std::filesystem::path out_path_;
    std::filesystem::path err_path_;
};

struct FixtureSettings {
    EnvList env;                        // added to (or replacing in) the server's environment
    std::vector<std::string> unset_env; // removed from it
    std::optional<std::string> path;    // PATH; default: the stand-in tools first
    std::optional<std::uint16_t> port;  // default: a free port
    // The server program (default: webapp-fixture-server) and the arguments before "--port P".
    std::optional<std::string> program;
    std::vector<std::string> leading_args;
    std::optional<std::filesystem::path> cwd; // default: the test's own
};

// A page server (by default the fixture server, webapp-fixture-server) on 127.0.0.1 with HOME and
// TEVO_CLI_STATE_DIR in a temporary directory. The constructor waits until the server answers or
// has exited; the destructor asks for GET "/shutdown" and kills the process if it does not end.
class WebappFixture {
  public:
    explicit WebappFixture(std::vector<std::string> args = {}, FixtureSettings settings = {});
    ~WebappFixture();
    WebappFixture(const WebappFixture&) = delete;
    WebappFixture& operator=(const WebappFixture&) = delete;

    bool ready() const { return ready_; } // answering requests
    std::uint16_t port() const { return port_; }
    pid_t pid() const { return process_->pid(); }
    const std::filesystem::path& home() const { return home_.path(); }
    std::filesystem::path state_dir() const { return home_.path() / "tevo-cli-state"; }
    // HOME/.tevo/tevo-reelcut/instances/PID.json
    std::filesystem::path registry_file() const;
    // The stand-in's calls.log, one JSON array of arguments per line.
    std::vector<std::string> tevo_cli_calls() const;
    std::string out() const { return process_->out(); }
    std::string err() const { return process_->err(); }
    std::string url(const std::string& target = "/") const;

    HttpReply request(const std::string& method, const std::string& target,
                      const std::string& body = "", const EnvList& headers = {}) const {
        return http_request(port_, method, target, body, headers);
    }
    std::optional<ExitStatus> wait_exit(std::chrono::milliseconds limit) {
        return process_->wait_exit(limit);
    }

  private:
    TempDir home_;
    std::uint16_t port_ = 0;
    bool ready_ = false;
    std::optional<ChildProcess> process_;
};

// Submits `code` on POST "/eval" and collects the page's outcome object the way `eval` does
// (15 result polls); null when none came.
nlohmann::json eval_outcome(const WebappFixture& server, const std::string& code);

// A snippet's value in the page (as `eval` shows it), or the whole outcome when it failed (null
// when none came).
nlohmann::json page_value(const WebappFixture& server, const std::string& code);

// Whether the script expression `condition` holds in the page within `limit`.
bool page_shows(const WebappFixture& server, const std::string& condition,
                std::chrono::milliseconds limit = std::chrono::seconds(10));

// `tevo-reelcut storyboard MANIFEST --port P --no-open ARGS...` as a page server.
std::unique_ptr<WebappFixture> storyboard_server(const std::string& manifest,
                                                 std::vector<std::string> args = {},
                                                 FixtureSettings settings = {});

// `tevo-reelcut app MANIFEST --port P --no-open ARGS...` as a page server.
std::unique_ptr<WebappFixture> app_server(const std::string& manifest,
                                          std::vector<std::string> args = {},
                                          FixtureSettings settings = {});

// `tevo-reelcut voiceover --input INPUT --port P --no-open ARGS...` as a page server; with
// `code_server_cli`, the same command line run by the voiceover fixture server, whose POST
// "/reveal" starts that program instead of the editor's tool at its fixed path.
std::unique_ptr<WebappFixture> voiceover_server(const std::string& input,
                                                std::vector<std::string> args = {},
                                                FixtureSettings settings = {},
                                                std::optional<std::string> code_server_cli = {});

// A page open in headless Chromium (tests/browser/open_page.mjs) until destroyed, with
// `chromium_args` added to the browser's command line. The constructor waits until the page has
// loaded. Snippets run in the page can await harnessMouseMove(x, y) to move the real mouse (for
// :hover and the browser's own pointer events) and harnessViewport(width, height) to resize.
class BrowserPage {
  public:
    explicit BrowserPage(const std::string& url,
                         const std::vector<std::string>& chromium_args = {});
    ~BrowserPage();
    BrowserPage(const BrowserPage&) = delete;
    BrowserPage& operator=(const BrowserPage&) = delete;

    bool ready() const { return ready_; }
    // What the harness printed: "ready", the page's console lines, errors.
    std::string log() const { return process_->out() + process_->err(); }
    // Saves the whole page as a PNG; whether it was written.
    bool screenshot(const std::filesystem::path& png);

  private:
    TempDir dir_;
    bool ready_ = false;
    std::optional<ChildProcess> process_;
};

// Polls `condition` every 20 ms until it holds or `limit` has passed; whether it held.
template <class Condition>
bool eventually(Condition condition,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10'000)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::usleep(20'000);
    }
    return true;
}

} // namespace reelcut::testing
