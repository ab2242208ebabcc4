// What every stand-in for a platform tool does the same way: a state directory from
// "<PREFIX>_STATE_DIR" (default $HOME/.<name>-standin), calls.log with one JSON array of the
// arguments per call, failures on demand through "<PREFIX>_FAIL", "_FAIL_STDOUT", "_FAIL_STDERR"
// and "_FAIL_STATUS", and the answer written out as the tool's output and exit status.
#pragma once

#include "result.hpp"
#include "terminal.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace reelcut::standin {

struct Answer {
    int status = 0;
    std::string out;
    std::string err;
};

inline std::optional<std::string> env(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    return value ? std::optional<std::string>(value) : std::nullopt;
}

struct Tool {
    std::string name;       // "tevo-cli": the prefix of its messages
    std::string env_prefix; // "TEVO_CLI"

    Answer usage_error(std::string usage) const { return {2, "", std::move(usage)}; }
    Answer error(const std::string& message) const { return {1, "", name + ": " + message + "\n"}; }

    std::filesystem::path state_dir() const {
        auto dir = env(env_prefix + "_STATE_DIR");
        return dir && !dir->empty() ? std::filesystem::path(*dir)
                                    : std::filesystem::path(env("HOME").value_or("/root")) /
                                          ("." + name + "-standin");
    }

    // The injected failure when "<PREFIX>_FAIL" names the first words of the call (whole words
    // only: "nimbrel caption show 1" must not also fail "show 10x SPEEDUP").
    std::optional<Answer> injected_failure(const std::vector<std::string>& args) const {
        const auto pattern = env(env_prefix + "_FAIL");
        if (!pattern || pattern->empty()) {
            return std::nullopt;
        }
        std::string joined;
        for (std::size_t i = 0; i < args.size(); ++i) {
            joined += (i == 0 ? "" : " ") + args[i];
        }
        if (!joined.starts_with(*pattern) ||
            (joined.size() > pattern->size() && joined[pattern->size()] != ' ')) {
            return std::nullopt;
        }
        Answer answer;
        answer.out = env(env_prefix + "_FAIL_STDOUT").value_or("");
        answer.err = env(env_prefix + "_FAIL_STDERR").value_or(name + ": injected failure\n");
        const std::string status_text = env(env_prefix + "_FAIL_STATUS").value_or("1");
        int status = 1;
        const auto [end, ec] =
            std::from_chars(status_text.data(), status_text.data() + status_text.size(), status);
        answer.status = ec == std::errc() && end == status_text.data() + status_text.size() &&
                                status >= 0 && status <= 255
                            ? status
                            : 1;
        return answer;
    }
};

// One write(2) per line on an O_APPEND descriptor: concurrent calls never interleave.
inline Status log_call(const std::filesystem::path& dir, const std::vector<std::string>& args) {
    const std::filesystem::path path = dir / "calls.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail(fmt::format("open {}: {}", path.string(), os_error_text(errno)));
    }
    const std::string line =
        nlohmann::json(args).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const int saved = errno;
    ::close(fd);
    if (n < 0) {
        return fail(fmt::format("write {}: {}", path.string(), os_error_text(saved)));
    }
    return {};
}

// The whole run of a stand-in: state directory, call log, then `before_answer()` and the answer,
// an injected failure or `dispatch(dir, args)`.
template <class BeforeAnswer, class Dispatch>
int run(int argc, char** argv, const Tool& tool, BeforeAnswer before_answer, Dispatch dispatch) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    try {
        const std::filesystem::path dir = tool.state_dir();
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (ec) {
            write_fd(2, fmt::format("{}: create {}: {}\n", tool.name, dir.string(),
                                    os_error_text(ec.value())));
            return 1;
        }
        if (auto logged = log_call(dir, args); !logged) {
            write_fd(2, fmt::format("{}: {}\n", tool.name, logged.error()));
            return 1;
        }
        before_answer();
        auto injected = tool.injected_failure(args);
        const Answer answer = injected ? std::move(*injected) : dispatch(dir, args);
        write_fd(1, answer.out);
        write_fd(2, answer.err);
        return answer.status;
    } catch (const std::exception& e) {
        write_fd(2, fmt::format("{}: {}\n", tool.name, e.what()));
        return 1;
    }
}

} // namespace reelcut::standin
