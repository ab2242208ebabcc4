// Request bodies of the shared routes: UTF-8 text holding one JSON value.
//
// A body may be 64 MiB (the HTTP layer's limit), and a parsed tree costs many times its text
// (a small number takes 16 bytes or more in its array, an object member about 100). Before a body
// is parsed, its tree's cost is estimated from the text; above 48 MiB the body is refused (413)
// instead of parsed. An allocation failure while parsing refuses the body (500) and frees the
// half-built tree without allocating: the JSON library's own destructor allocates a work stack,
// and an allocation failing inside it would end the process.
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"

#include <cstddef>
#include <cstdint>
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

// What a tree may cost to build, estimated from its text.
inline constexpr std::size_t kJsonBodyBudget = std::size_t{48} << 20;

// A body that was not parsed because of what it would cost: 413 over the budget, 500 when memory
// ran out; `message` says which.
struct JsonRefusal {
    std::uint16_t status = 413;
    std::string message;
};

using BoundedJson = std::variant<nlohmann::json, JsonSyntaxError, JsonRefusal>;

// Parses one JSON value. Nesting deeper than 128 levels is refused as a syntax error, so no
// request can exhaust a thread's stack when the value is written back. Running out of memory is a
// syntax error "out of memory while parsing".
JsonBody parse_json_text(const std::string& text);

// As parse_json_text, refusing a text whose tree would cost more than `budget` bytes.
BoundedJson parse_json_within(const std::string& text, std::size_t budget = kJsonBodyBudget);

// Reads the whole body and parses it within kJsonBodyBudget. Fails (the request is then dropped)
// when the body cannot be read or is not UTF-8 ("stream did not contain valid UTF-8"), and with
// the refusal's message when it is refused.
Result<JsonBody> read_json_body(http::Request& request);

// The body of a route that takes JSON: the value, or nothing when the request has already been
// answered: 400 with invalid_json_answer when the body was not JSON, 413 or 500 with
// {"ok":false,"error":"..."} when it was refused. Fails as read_json_body does otherwise.
Result<std::optional<nlohmann::json>> take_json_body(http::Request& request);

// As take_json_body, giving the value as compact JSON (json_text.hpp) and never holding more
// than one copy of a large string.
Result<std::optional<std::string>> take_compact_json_body(http::Request& request);

// {"ok":false,"error":"invalid json: ..."} with the parser's message escaped.
std::string invalid_json_answer(const JsonSyntaxError& error);

// Empties `value` without allocating, leaves first (the library's destructor allocates).
void dismantle_json(nlohmann::json& value) noexcept;

// A tree that is dismantled when it goes, so that unwinding after an allocation failure cannot
// end the process.
struct OwnedJson {
    nlohmann::json value;
    OwnedJson() = default;
    explicit OwnedJson(nlohmann::json v) noexcept : value(std::move(v)) {}
    OwnedJson(const OwnedJson&) = delete;
    OwnedJson& operator=(const OwnedJson&) = delete;
    ~OwnedJson() { dismantle_json(value); }
};

} // namespace reelcut
