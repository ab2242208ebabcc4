// Request bodies of the shared routes: UTF-8 text holding one JSON value.
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>

namespace reelcut {

// The body did not parse; `message` is the parser's, naming the line and column.
struct JsonSyntaxError {
    std::string message;
};

using JsonBody = std::variant<nlohmann::json, JsonSyntaxError>;

// Parses one JSON value. Nesting deeper than 128 levels is refused as a syntax error, so no
// request can exhaust a thread's stack when the value is written back.
JsonBody parse_json_text(const std::string& text);

// Reads the whole body and parses it. Fails (the request is then dropped) when the body cannot
// be read or is not UTF-8 ("stream did not contain valid UTF-8").
Result<JsonBody> read_json_body(http::Request& request);

// The body of a route that takes JSON: the value, or nothing when the body was not JSON and the
// request has already been answered 400 with invalid_json_answer. Fails as read_json_body does.
Result<std::optional<nlohmann::json>> take_json_body(http::Request& request);

// {"ok":false,"error":"invalid json: ..."} with the parser's message escaped.
std::string invalid_json_answer(const JsonSyntaxError& error);

} // namespace reelcut
