// The client side of a page server's HTTP interface, run through `curl`: one request and its
// status, JSON replies and the result protocol of /eval. Used by `ctrl` and by the `eval`
// subcommand.
#pragma once

#include "result.hpp"

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace reelcut {

// One HTTP exchange as curl reported it; `status` is never 0.
struct HttpReply {
    std::string body;
    std::uint16_t status = 0;
};

// Runs curl for one request. A body is sent with the JSON content type and handed over on
// curl's standard input, so that it is sent byte for byte (a leading "@" names no file).
Result<HttpReply> curl_request(const std::string& method, const std::string& url,
                               const std::optional<std::string>& body, std::uint64_t max_time);

// Like curl_request, and fails unless the status is 200 to 299.
Result<std::string> curl_request_ok(const std::string& method, const std::string& url,
                                    const std::optional<std::string>& body, std::uint64_t max_time);

// Splits curl's output for "-w \n%{http_code}" at its last line feed into body and status text
// ("000" when there is no line feed).
std::pair<std::string, std::string> split_status_line(const std::string& output);

// The status text as an unsigned 16-bit number (surrounding white space and a leading "+"
// allowed); 0 when it is anything else.
std::uint16_t parse_status_code(std::string_view text);

// Parses JSON text; the error is the parser's message. Nesting deeper than 128 levels is
// refused, so that printing the value back cannot exhaust the stack.
Result<nlohmann::json> parse_json(std::string_view text);

// Writes all of `text` on standard output; fails ("write stdout: ...") when the stream is closed
// or full, so that lost output is not reported as success.
Status write_stdout(std::string_view text);

// The outcome an eval result reports: success for {"ok":true}, its "error" text when it has one,
// else "eval returned ok:false".
Status eval_result_status(const nlohmann::json& result);

// A monotonic deadline `seconds` from now; none when it lies beyond what the clock can hold.
std::optional<std::chrono::steady_clock::time_point> deadline_after(std::uint64_t seconds);

} // namespace reelcut
