#include "main/publish.hpp"

#include "file_io.hpp"
#include "subprocess.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <fmt/format.h>
#include <optional>

namespace reelcut {
namespace {

constexpr std::array<std::string_view, 4> kVideoExtensions{"webm", "mp4", "mov", "mkv"};
constexpr std::array<std::string_view, 3> kImageExtensions{"png", "jpg", "jpeg"};

// Lower-cased extension of the file name; empty when there is none or when the name is not UTF-8.
std::string extension_of(std::string_view path) {
    const auto name = split_path(path).file_name();
    const auto ext = name && valid_utf8(*name) ? file_extension(*name) : std::nullopt;
    std::string lower(ext.value_or(std::string_view{}));
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
    return lower;
}

template <std::size_t N>
bool listed(const std::array<std::string_view, N>& list, const std::string& ext) {
    return std::find(list.begin(), list.end(), ext) != list.end();
}

template <std::size_t N> std::string bracketed(const std::array<std::string_view, N>& list) {
    std::string out = "[";
    for (std::size_t i = 0; i < N; ++i) {
        out += fmt::format("{}\"{}\"", i == 0 ? "" : ", ", list[i]);
    }
    return out + "]";
}

// The first directory of PATH holding a regular file "tevo-wiki" (links followed); empty PATH
// entries mean the current directory, as they do when a program is looked up.
bool wiki_tool_on_path() {
    const char* path = std::getenv("PATH");
    if (path == nullptr) {
        return false;
    }
    std::string_view rest = path;
    while (true) {
        const auto colon = rest.find(':');
        const std::string_view dir = rest.substr(0, colon);
        if (is_regular_file(dir.empty() ? std::string("tevo-wiki")
                                        : fmt::format("{}/tevo-wiki", dir))) {
            return true;
        }
        if (colon == std::string_view::npos) {
            return false;
        }
        rest.remove_prefix(colon + 1);
    }
}

// One path segment of a URL: a space, "#", "?" or "%" in a file name must not end or change
// the address, so everything but the characters a segment may hold is percent-encoded.
std::string url_segment(std::string_view text) {
    std::string out;
    for (const unsigned char c : text) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') ||
                           std::string_view("-._~!$&'()*+,;=:@").find(static_cast<char>(c)) !=
                               std::string_view::npos;
        out += plain ? std::string(1, static_cast<char>(c)) : fmt::format("%{:02X}", c);
    }
    return out;
}

} // namespace

Result<std::string> publish(const PublishArgs& args) {
    const std::string input = display_path(args.input);
    if (!path_exists(args.input)) {
        return fail(fmt::format(
            "input video not found: {}. Hint: produce it via `tevo-reelcut voiceover` first.",
            input));
    }

    const auto slash = args.page.find('/');
    const std::string_view owner = std::string_view(args.page).substr(0, slash);
    const std::string_view slug = slash == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(args.page).substr(slash + 1);
    // "." and ".." would name another place in the wiki's paths and in the returned address.
    const auto bad_segment = [](std::string_view segment) {
        return segment.empty() || segment == "." || segment == "..";
    };
    if (slash == std::string::npos || bad_segment(owner) || bad_segment(slug) ||
        slug.find('/') != std::string_view::npos) {
        return fail(fmt::format("invalid --page '{}': expected format <owner>/<slug> like "
                                "tevo/tevo-quorrel, tevo/hespin. Hint: browse pages at {}.",
                                args.page, kWikiBaseUrl));
    }

    const std::string ext = extension_of(args.input);
    if (args.asset_type == "video" && !listed(kVideoExtensions, ext)) {
        return fail(fmt::format("input file '{}' is not a recognized video format ({}). Hint: "
                                "pass --asset-type screenshot if uploading a still image.",
                                input, bracketed(kVideoExtensions)));
    }
    if (args.asset_type == "screenshot" && !listed(kImageExtensions, ext)) {
        return fail(fmt::format("input file '{}' is not a recognized image format ({}).", input,
                                bracketed(kImageExtensions)));
    }

    if (!wiki_tool_on_path()) {
        return fail("tevo-wiki CLI not found in PATH. Hint: it ships with every Tevo container. "
                    "Run `which tevo-wiki` to verify, or contact your container admin.");
    }

    const auto file_name = split_path(args.input).file_name();
    if (!file_name || !valid_utf8(*file_name)) {
        return fail(fmt::format("could not read filename from {}", input));
    }

    const std::string message =
        args.caption ? fmt::format("Add {} demo {}: {}", args.asset_type, *file_name, *args.caption)
                     : fmt::format("Add {} {} via reelcut publish", args.asset_type, *file_name);

    write_fd(1, fmt::format("uploading {} to wiki page {}...\n", input, args.page));
    auto pushed = run_captured("tevo-wiki",
                               {"repo", "push", "--files", args.input, "-m", message, args.page});
    if (!pushed) {
        return fail(fmt::format("tevo-wiki spawn failed: {}", pushed.error()));
    }
    if (!pushed->status.success()) {
        return fail(fmt::format("tevo-wiki repo push failed:\n{}{}", lossy_utf8(pushed->out),
                                lossy_utf8(pushed->err)));
    }
    return fmt::format("{}/api/v1/pages/{}/files/{}", kWikiBaseUrl, url_segment(slug),
                       url_segment(*file_name));
}

} // namespace reelcut
