#include "ctrl/client.hpp"

#include "json_text.hpp"
#include "number_syntax.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"
#include "webapp/json_body.hpp"

#include <cerrno>
#include <fmt/format.h>
#include <unistd.h>
#include <variant>

namespace reelcut {

using nlohmann::json;

Result<HttpReply> curl_request(const std::string& method, const std::string& url,
                               const std::optional<std::string>& body, std::uint64_t max_time) {
    std::vector<std::string> args = {
        "-s", "-X", method, "-w", "\n%{http_code}", "--max-time", std::to_string(max_time)};
    SpawnOptions options;
    if (body) {
        // From standard input rather than the command line: curl would read "-d @name" as a file
        // to upload, and a long body would not fit into one argument.
        args.insert(args.end(), {"-H", "Content-Type: application/json", "--data-binary", "@-"});
        options.stdin_data = *body;
    }
    args.push_back(url);
    auto run = run_captured("curl", args, options);
    if (!run) {
        return fail(fmt::format("curl spawn failed: {}", run.error()));
    }
    auto [reply, status_text] = split_status_line(lossy_utf8(run->out));
    const std::uint16_t status = parse_status_code(status_text);
    if (status == 0) {
        return fail(fmt::format("curl {} {} failed: {}", method, url, lossy_utf8(run->err)));
    }
    return HttpReply{std::move(reply), status};
}

Result<std::string> curl_request_ok(const std::string& method, const std::string& url,
                                    const std::optional<std::string>& body,
                                    std::uint64_t max_time) {
    auto reply = curl_request(method, url, body, max_time);
    if (!reply) {
        return fail(reply.error());
    }
    if (reply->status < 200 || reply->status > 299) {
        return fail(fmt::format("HTTP {} from {}: {}", reply->status, url, reply->body));
    }
    return std::move(reply->body);
}

std::pair<std::string, std::string> split_status_line(const std::string& output) {
    const auto newline = output.rfind('\n');
    if (newline == std::string::npos) {
        return {output, "000"};
    }
    return {output.substr(0, newline), output.substr(newline + 1)};
}

std::uint16_t parse_status_code(std::string_view text) {
    return static_cast<std::uint16_t>(
        parse_unsigned(trim_ascii_whitespace(text), UINT16_MAX).value_or(0));
}

Result<json> parse_json(std::string_view text) {
    // Nesting is bounded here so that printing a reply cannot exhaust the stack.
    auto parsed = parse_json_text(std::string(text));
    if (auto* error = std::get_if<JsonSyntaxError>(&parsed)) {
        return fail(std::move(error->message));
    }
    return std::move(std::get<json>(parsed));
}

Status eval_result_status(const nlohmann::json& result) {
    if (result.is_object()) {
        if (const auto ok = result.find("ok");
            ok != result.end() && ok->is_boolean() && ok->get<bool>()) {
            return {};
        }
        if (const auto error = result.find("error"); error != result.end() && error->is_string()) {
            return fail(error->get<std::string>());
        }
    }
    return fail("eval returned ok:false");
}

Status write_stdout(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(1, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return fail(fmt::format("write stdout: {}", os_error_text(n < 0 ? errno : EIO)));
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::optional<std::chrono::steady_clock::time_point> deadline_after(std::uint64_t seconds) {
    using Clock = std::chrono::steady_clock;
    const auto now = Clock::now();
    const auto room =
        std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now);
    if (seconds >= static_cast<std::uint64_t>(room.count())) {
        return std::nullopt;
    }
    return now + std::chrono::seconds(static_cast<std::int64_t>(seconds));
}

} // namespace reelcut
