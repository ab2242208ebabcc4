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
#include "standin.hpp"

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

using standin::Answer;

const standin::Tool kTool{"tevo-wiki", "TEVO_WIKI"};

Answer usage_error() {
    return kTool.usage_error(kUsage);
}
Answer error(const std::string& message) {
    return kTool.error(message);
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

} // namespace
} // namespace reelcut

int main(int argc, char** argv) {
    using namespace reelcut;
    return standin::run(
        argc, argv, kTool, [] {}, dispatch);
}
