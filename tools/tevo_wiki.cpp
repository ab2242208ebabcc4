// Stand-in for the wiki's tool `tevo-wiki`, for tests and demos on machines without the wiki. It
// accepts the one command line that tevo-reelcut runs,
//
//   tevo-wiki repo push --files FILE -m MESSAGE OWNER/SLUG
//
// copies FILE into a folder of its page and logs every call.
//
// Environment:
//   TEVO_WIKI_STATE_DIR     state directory (default $HOME/.tevo-wiki-standin)
//   TEVO_WIKI_FAIL          fail every call whose arguments, joined by spaces, begin with these
//                           words; the answer is TEVO_WIKI_FAIL_STDOUT (default empty) on standard
//                           output, TEVO_WIKI_FAIL_STDERR (default "tevo-wiki: injected failure"
//                           and a newline) on standard error, exit status TEVO_WIKI_FAIL_STATUS
//                           (default 1)
//
// Files in the state directory: calls.log (one JSON array of the arguments per call) and
// pages/SLUG/FILE NAME for every pushed file. The wiki addresses pages by slug alone
// (".../api/v1/pages/SLUG/files/FILE NAME"), so the folders are named by slug too.
#include "main/output.hpp"
#include "result.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace reelcut {
namespace {

constexpr const char* kUsage = "usage:\n  tevo-wiki repo push --files FILE -m MESSAGE OWNER/SLUG\n";

struct Answer {
    int status = 0;
    std::string out;
    std::string err;
};

Answer usage_error() {
    return {2, "", kUsage};
}
Answer error(std::string message) {
    return {1, "", "tevo-wiki: " + message + "\n"};
}

std::optional<std::string> env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

fs::path state_dir() {
    auto dir = env("TEVO_WIKI_STATE_DIR");
    return dir && !dir->empty() ? fs::path(*dir)
                                : fs::path(env("HOME").value_or("/root")) / ".tevo-wiki-standin";
}

// One write(2) per line on an O_APPEND descriptor: concurrent calls never interleave.
Status log_call(const fs::path& dir, const std::vector<std::string>& args) {
    const fs::path path = dir / "calls.log";
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail(fmt::format("open {}: {}", path.string(), os_error_text(errno)));
    }
    const std::string line = json(args).dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
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

bool injected_failure_applies(const std::vector<std::string>& args, Answer& answer) {
    const auto pattern = env("TEVO_WIKI_FAIL");
    if (!pattern || pattern->empty()) {
        return false;
    }
    std::string joined;
    for (size_t i = 0; i < args.size(); ++i) {
        joined += (i == 0 ? "" : " ") + args[i];
    }
    // Whole words only, as with the workspace tool's stand-in.
    if (!joined.starts_with(*pattern) ||
        (joined.size() > pattern->size() && joined[pattern->size()] != ' ')) {
        return false;
    }
    answer.out = env("TEVO_WIKI_FAIL_STDOUT").value_or("");
    answer.err = env("TEVO_WIKI_FAIL_STDERR").value_or("tevo-wiki: injected failure\n");
    const std::string status_text = env("TEVO_WIKI_FAIL_STATUS").value_or("1");
    int status = 1;
    const auto [end, ec] =
        std::from_chars(status_text.data(), status_text.data() + status_text.size(), status);
    answer.status = ec == std::errc() && end == status_text.data() + status_text.size() &&
                            status >= 0 && status <= 255
                        ? status
                        : 1;
    return true;
}

// The file lands under a temporary name first: a reader of the page folder never sees half a
// video, and a failed copy leaves an earlier upload of the same name as it was.
Answer push(const fs::path& dir, const std::string& file, const std::string& message,
            const std::string& page) {
    const auto slash = page.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == page.size() ||
        page.find('/', slash + 1) != std::string::npos) {
        return error(fmt::format("invalid page '{}': expected OWNER/SLUG", page));
    }
    if (message.empty()) {
        return error("empty commit message");
    }
    std::error_code ec;
    if (!fs::is_regular_file(file, ec)) {
        return error(fmt::format("{}: not a regular file", file));
    }
    const std::string slug = page.substr(slash + 1);
    const std::string name = fs::path(file).filename().string();
    const fs::path folder = dir / "pages" / slug;
    fs::create_directories(folder, ec);
    if (ec) {
        return error(fmt::format("create {}: {}", folder.string(), os_error_text(ec.value())));
    }
    const fs::path target = folder / name;
    const fs::path partial = folder / fmt::format(".{}.part-{}", name, ::getpid());
    fs::copy_file(file, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
        fs::rename(partial, target, ec);
    }
    if (ec) {
        std::error_code ignored;
        fs::remove(partial, ignored);
        return error(fmt::format("store {}: {}", target.string(), os_error_text(ec.value())));
    }
    return {0, fmt::format("pushed {} to {}\n", name, page), ""};
}

Answer dispatch(const fs::path& dir, const std::vector<std::string>& args) {
    if (args.size() < 2 || args[0] != "repo" || args[1] != "push") {
        return usage_error();
    }
    std::optional<std::string> file, message, page;
    for (size_t i = 2; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::optional<std::string>* option = arg == "--files"                    ? &file
                                             : arg == "-m" || arg == "--message" ? &message
                                                                                 : nullptr;
        if (option != nullptr) {
            if (*option || i + 1 >= args.size()) {
                return usage_error();
            }
            *option = args[++i];
        } else if (arg.starts_with("-") || page) {
            return usage_error();
        } else {
            page = arg;
        }
    }
    if (!file || !message || !page) {
        return usage_error();
    }
    return push(dir, *file, *message, *page);
}

int run(const std::vector<std::string>& args) {
    const fs::path dir = state_dir();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        write_fd(
            2, fmt::format("tevo-wiki: create {}: {}\n", dir.string(), os_error_text(ec.value())));
        return 1;
    }
    if (auto logged = log_call(dir, args); !logged) {
        write_fd(2, fmt::format("tevo-wiki: {}\n", logged.error()));
        return 1;
    }
    Answer answer;
    if (!injected_failure_applies(args, answer)) {
        answer = dispatch(dir, args);
    }
    write_fd(1, answer.out);
    write_fd(2, answer.err);
    return answer.status;
}

} // namespace
} // namespace reelcut

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    try {
        return reelcut::run(args);
    } catch (const std::exception& e) {
        reelcut::write_fd(2, fmt::format("tevo-wiki: {}\n", e.what()));
        return 1;
    }
}
