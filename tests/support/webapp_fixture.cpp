#include "support/webapp_fixture.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>

extern char** environ;

namespace reelcut::testing {

namespace fs = std::filesystem;

std::optional<std::string> HttpReply::header(const std::string& name) const {
    for (const auto& [key, value] : headers) {
        if (::strcasecmp(key.c_str(), name.c_str()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

namespace {

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

std::string lower(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

// Decodes a chunked body; whatever cannot be decoded is returned as it came.
std::string unchunk(const std::string& raw) {
    std::string body;
    std::size_t at = 0;
    while (at < raw.size()) {
        const auto line_end = raw.find("\r\n", at);
        if (line_end == std::string::npos) {
            return raw;
        }
        const std::size_t size = std::stoul(raw.substr(at, line_end - at), nullptr, 16);
        if (size == 0) {
            break;
        }
        body += raw.substr(line_end + 2, size);
        at = line_end + 2 + size + 2;
    }
    return body;
}

} // namespace

HttpReply http_request(std::uint16_t port, const std::string& method, const std::string& target,
                       const std::string& body, const EnvList& headers,
                       std::chrono::milliseconds timeout) {
    HttpReply reply;
    Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in addr = loopback(port);
    if (::connect(sock.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        reply.error = std::string("connect: ") + std::strerror(errno);
        return reply;
    }
    std::string message = method + " " + target + " HTTP/1.1\r\n";
    const bool own_host = std::any_of(headers.begin(), headers.end(),
                                      [](const auto& h) { return lower(h.first) == "host"; });
    if (!own_host) {
        message += "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
    }
    message += "Connection: close\r\n";
    bool has_length = false;
    for (const auto& [name, value] : headers) {
        message += name + ": " + value + "\r\n";
        has_length =
            has_length || lower(name) == "content-length" || lower(name) == "transfer-encoding";
    }
    if (!has_length && (!body.empty() || method == "POST" || method == "PUT")) {
        message += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    message += "\r\n" + body;
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n =
            ::send(sock.fd(), message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            reply.error = std::string("send: ") + std::strerror(errno);
            return reply;
        }
        sent += static_cast<std::size_t>(n);
    }

    std::string raw;
    char buf[65536];
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{sock.fd(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            reply.error = "timed out waiting for the answer";
            return reply;
        }
        const ssize_t n = ::recv(sock.fd(), buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            reply.error = std::string("recv: ") + std::strerror(errno);
            break;
        }
        if (n == 0) {
            break;
        }
        raw.append(buf, static_cast<std::size_t>(n));
    }

    const auto head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) {
        if (reply.error.empty()) {
            reply.error = "no complete answer: " + raw;
        }
        return reply;
    }
    reply.error.clear();
    std::size_t line_start = 0;
    bool first = true;
    while (line_start < head_end) {
        auto line_end = raw.find("\r\n", line_start);
        const std::string line = raw.substr(line_start, line_end - line_start);
        line_start = line_end + 2;
        if (first) {
            first = false;
            const auto space = line.find(' ');
            reply.status = space == std::string::npos ? 0 : std::atoi(line.c_str() + space + 1);
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string value = line.substr(colon + 1);
        value.erase(0, value.find_first_not_of(' '));
        reply.headers.emplace_back(line.substr(0, colon), value);
    }
    reply.body = raw.substr(head_end + 4);
    if (auto te = reply.header("Transfer-Encoding"); te && lower(*te) == "chunked") {
        reply.body = unchunk(reply.body);
    }
    return reply;
}

std::uint16_t free_port() {
    Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = loopback(0);
    socklen_t len = sizeof addr;
    if (::bind(sock.fd(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        ::getsockname(sock.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("no free port");
    }
    return ntohs(addr.sin_port);
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const EnvList& env, const std::vector<std::string>& unset_env,
                           const fs::path& log_prefix, const std::optional<fs::path>& cwd)
    : out_path_(log_prefix.string() + ".out"), err_path_(log_prefix.string() + ".err") {
    std::map<std::string, std::string> vars;
    for (char** e = environ; *e; ++e) {
        const std::string entry = *e;
        const auto eq = entry.find('=');
        if (eq != std::string::npos) {
            vars[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& name : unset_env) {
        vars.erase(name);
    }
    for (const auto& [name, value] : env) {
        vars[name] = value;
    }
    std::vector<std::string> env_text;
    for (const auto& [name, value] : vars) {
        env_text.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& entry : env_text) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    std::vector<std::string> argv_text{program};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : argv_text) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    if (cwd) {
        posix_spawn_file_actions_addchdir_np(&actions, cwd->c_str());
    }
    // Its own process group, so that a kill reaches what it starts (Chromium's helpers).
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (::posix_spawn(&pid_, program.c_str(), &actions, &attr, argv.data(), envp.data()) != 0) {
        pid_ = -1;
    }
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(-pid_, SIGKILL);
        int raw = 0;
        ::waitpid(pid_, &raw, 0);
    }
}

std::string ChildProcess::out() const {
    return read_file(out_path_);
}

std::string ChildProcess::err() const {
    return read_file(err_path_);
}

std::optional<ExitStatus> ChildProcess::wait_exit(std::chrono::milliseconds limit) {
    if (status_ || pid_ <= 0) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
        int raw = 0;
        const pid_t done = ::waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            ExitStatus status;
            status.exited = WIFEXITED(raw);
            status.code = status.exited ? WEXITSTATUS(raw) : 0;
            status.signal = WIFSIGNALED(raw) ? WTERMSIG(raw) : 0;
            status_ = status;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        ::usleep(10'000);
    }
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0 && !status_) {
        ::kill(-pid_, sig);
    }
}

WebappFixture::WebappFixture(std::vector<std::string> args, FixtureSettings settings) {
    EnvList env{{"HOME", home_.path().string()},
                {"TEVO_CLI_STATE_DIR", state_dir().string()},
                {"PATH", settings.path.value_or(tools_path())}};
    env.insert(env.end(), settings.env.begin(), settings.env.end());
    std::vector<std::string> unset{
        "TEVO_CLI_FAIL",     "TEVO_CLI_FAIL_STDOUT", "TEVO_CLI_FAIL_STDERR", "TEVO_CLI_FAIL_STATUS",
        "TEVO_CLI_DELAY_MS", "TEVO_CLI_GET_OUTPUT",  "VSCODE_PROXY_URI"};
    unset.insert(unset.end(), settings.unset_env.begin(), settings.unset_env.end());
    for (const auto& name : settings.unset_env) {
        std::erase_if(env, [&](const auto& entry) { return entry.first == name; });
    }
    // Another process may take the free port before the server binds it: try a few.
    for (int attempt = 0; attempt < 5; ++attempt) {
        port_ = settings.port.value_or(free_port());
        std::vector<std::string> argv = settings.leading_args;
        argv.insert(argv.end(), {"--port", std::to_string(port_)});
        argv.insert(argv.end(), args.begin(), args.end());
        process_.reset();
        process_.emplace(settings.program.value_or(REELCUT_FIXTURE_SERVER), argv, env, unset,
                         home_.path() / "server", settings.cwd);
        if (!process_->started()) {
            return;
        }
        // A server that fails exits, which ends the wait at once; one that starts may need long
        // under the sanitizers with every core busy.
        ready_ = eventually(
            [&] {
                return process_->wait_exit(std::chrono::milliseconds(0)) ||
                       http_request(port_, "GET", "/favicon.svg", "", {}, std::chrono::seconds(1))
                               .status == 200;
            },
            std::chrono::seconds(60));
        ready_ = ready_ && !process_->wait_exit(std::chrono::milliseconds(0));
        const bool lost_port = !ready_ && !settings.port &&
                               process_->err().find("bind 127.0.0.1:") != std::string::npos;
        if (!lost_port) {
            return;
        }
    }
}

WebappFixture::~WebappFixture() {
    if (!process_ || !process_->started()) {
        return;
    }
    if (!process_->wait_exit(std::chrono::milliseconds(0))) {
        // A signal, not GET "/shutdown": a server that has already let its port go (shut down by
        // the test, still exiting) must not pass the request on to another test's new server
        // that has taken the port meanwhile.
        process_->signal(SIGTERM);
        if (!process_->wait_exit(std::chrono::seconds(5))) {
            process_->signal(SIGKILL);
            (void)process_->wait_exit(std::chrono::seconds(5));
        }
    }
}

fs::path WebappFixture::registry_file() const {
    return home_.path() / ".tevo/tevo-reelcut/instances" / (std::to_string(pid()) + ".json");
}

std::vector<std::string> WebappFixture::tevo_cli_calls() const {
    return lines_of(read_file(state_dir() / "calls.log"));
}

std::string WebappFixture::url(const std::string& target) const {
    return "http://127.0.0.1:" + std::to_string(port_) + target;
}

nlohmann::json eval_outcome(const WebappFixture& server, const std::string& code) {
    const auto submitted = server.request("POST", "/eval", nlohmann::json{{"code", code}}.dump());
    if (submitted.status != 200) {
        return nullptr;
    }
    const std::string id = nlohmann::json::parse(submitted.body).value("id", "");
    for (int i = 0; i < 15; ++i) {
        const auto reply = server.request("GET", "/eval/" + id + "/result");
        if (reply.status == 200) {
            return nlohmann::json::parse(reply.body);
        }
    }
    return nullptr;
}

nlohmann::json page_value(const WebappFixture& server, const std::string& code) {
    const nlohmann::json outcome = eval_outcome(server, code);
    return outcome.is_object() && outcome.value("ok", false) ? outcome["value"] : outcome;
}

bool page_shows(const WebappFixture& server, const std::string& condition,
                std::chrono::milliseconds limit) {
    return eventually([&] { return page_value(server, "return !!(" + condition + ")") == true; },
                      limit);
}

std::unique_ptr<WebappFixture> storyboard_server(const std::string& manifest,
                                                 std::vector<std::string> args,
                                                 FixtureSettings settings) {
    settings.program = REELCUT_BIN;
    settings.leading_args = {"storyboard", manifest};
    args.insert(args.begin(), "--no-open");
    return std::make_unique<WebappFixture>(std::move(args), std::move(settings));
}

std::unique_ptr<WebappFixture> app_server(const std::string& manifest,
                                          std::vector<std::string> args, FixtureSettings settings) {
    settings.program = REELCUT_BIN;
    settings.leading_args = {"app", manifest};
    args.insert(args.begin(), "--no-open");
    return std::make_unique<WebappFixture>(std::move(args), std::move(settings));
}

std::unique_ptr<WebappFixture> voiceover_server(const std::string& input,
                                                std::vector<std::string> args,
                                                FixtureSettings settings,
                                                std::optional<std::string> code_server_cli) {
    settings.program = code_server_cli ? REELCUT_VOICEOVER_FIXTURE : REELCUT_BIN;
    settings.leading_args.clear();
    if (code_server_cli) {
        settings.leading_args = {"--code-server-cli", *code_server_cli};
    }
    settings.leading_args.insert(settings.leading_args.end(), {"voiceover", "--input", input});
    args.insert(args.begin(), "--no-open");
    return std::make_unique<WebappFixture>(std::move(args), std::move(settings));
}

BrowserPage::BrowserPage(const std::string& url, const std::vector<std::string>& chromium_args) {
    std::vector<std::string> args{REELCUT_BROWSER_DIR "/open_page.mjs", url,
                                  (dir_.path() / "screenshot.png").string()};
    args.insert(args.end(), chromium_args.begin(), chromium_args.end());
    process_.emplace("/usr/bin/node", args, EnvList{}, std::vector<std::string>{},
                     dir_.path() / "browser");
    if (!process_->started()) {
        return;
    }
    ready_ = eventually(
        [&] {
            return process_->wait_exit(std::chrono::milliseconds(0)) ||
                   process_->out().find("ready\n") != std::string::npos;
        },
        std::chrono::seconds(60));
    ready_ = ready_ && !process_->wait_exit(std::chrono::milliseconds(0));
}

bool BrowserPage::screenshot(const std::filesystem::path& png) {
    const auto shot = dir_.path() / "screenshot.png";
    std::filesystem::remove(shot);
    const auto count = [&] {
        const std::string out = process_->out();
        std::size_t n = 0;
        for (auto at = out.find("screenshot "); at != std::string::npos;
             at = out.find("screenshot ", at + 1)) {
            ++n;
        }
        return n;
    };
    const std::size_t before = count();
    ::kill(process_->pid(), SIGUSR1); // the harness alone, not Chromium's process group
    if (!eventually([&] { return count() > before; }, std::chrono::seconds(30)) ||
        !std::filesystem::exists(shot)) {
        return false;
    }
    std::filesystem::create_directories(png.parent_path());
    std::filesystem::copy_file(shot, png, std::filesystem::copy_options::overwrite_existing);
    return true;
}

BrowserPage::~BrowserPage() {
    if (process_ && process_->started() && !process_->wait_exit(std::chrono::milliseconds(0))) {
        process_->signal(SIGTERM);
        if (!process_->wait_exit(std::chrono::seconds(10))) {
            process_->signal(SIGKILL);
            (void)process_->wait_exit(std::chrono::seconds(5));
        }
    }
}

} // namespace reelcut::testing
