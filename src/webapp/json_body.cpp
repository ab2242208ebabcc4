#include "webapp/json_body.hpp"

#include "webapp/server.hpp"

#include "text_format.hpp"

#include <fmt/format.h>

#include <optional>
#include <utility>

namespace reelcut {

namespace {

constexpr int kMaxDepth = 128;

// The position of the first bracket that opens a level past kMaxDepth, if any.
std::optional<std::pair<std::size_t, std::size_t>> too_deep(const std::string& text) {
    int depth = 0;
    bool in_string = false;
    bool escaped = false;
    std::size_t line = 1;
    std::size_t column = 0;
    for (const char c : text) {
        ++column;
        if (c == '\n') {
            ++line;
            column = 0;
        }
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
            continue;
        }
        if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxDepth) {
                return std::pair(line, column);
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return std::nullopt;
}

} // namespace

JsonBody parse_json_text(const std::string& text) {
    if (const auto at = too_deep(text)) {
        return JsonSyntaxError{fmt::format("parse error at line {}, column {}: nesting deeper "
                                           "than {} levels",
                                           at->first, at->second, kMaxDepth)};
    }
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        // "[json.exception.parse_error.101] parse error at ...": the tag means nothing to a user.
        std::string message = e.what();
        if (message.starts_with("[json.exception.")) {
            if (const auto end = message.find("] "); end != std::string::npos) {
                message.erase(0, end + 2);
            }
        }
        return JsonSyntaxError{std::move(message)};
    }
}

Result<JsonBody> read_json_body(http::Request& request) {
    auto body = request.read_body();
    if (!body) {
        return fail(body.error());
    }
    if (!valid_utf8(*body)) {
        return fail("stream did not contain valid UTF-8");
    }
    return parse_json_text(*body);
}

std::string invalid_json_answer(const JsonSyntaxError& error) {
    std::string out = "{\"ok\":false,\"error\":";
    append_json_string(out, "invalid json: " + error.message);
    out += '}';
    return out;
}

Result<std::optional<nlohmann::json>> take_json_body(http::Request& request) {
    auto body = read_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (const auto* bad = std::get_if<JsonSyntaxError>(&*body)) {
        (void)request.respond(json_response(400, invalid_json_answer(*bad)));
        return std::optional<nlohmann::json>();
    }
    return std::optional<nlohmann::json>(std::move(std::get<nlohmann::json>(*body)));
}

} // namespace reelcut
