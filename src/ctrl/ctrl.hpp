// The command-line side of the page servers: `list` prints the running instances, `ctrl` picks
// one by a target expression and drives it over HTTP by running `curl`.
#pragma once

#include "ctrl/instances.hpp"
#include "result.hpp"

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace reelcut {

// What `list` and `ctrl` take; the command line fills these.
struct ListCmd {};

struct CtrlState {};
struct CtrlConsole {
    std::optional<std::size_t> tail;
    std::optional<std::uint64_t> since;
    bool follow = false;
};
struct CtrlEval {
    std::string code;
    std::uint64_t timeout = 30;
};
struct CtrlShutdown {};
struct CtrlCall {
    std::string method;
    std::string path;
    std::optional<std::string> body;
};
using CtrlAction = std::variant<CtrlState, CtrlConsole, CtrlEval, CtrlShutdown, CtrlCall>;

struct CtrlArgs {
    std::string target;
    CtrlAction action;
};

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

Status run_list();
Status run_ctrl(const std::string& target, const CtrlAction& action);

// First match in list order (oldest first), or null.
const InstanceRecord* find_instance_by_pid(const std::vector<InstanceRecord>& instances,
                                           std::uint32_t pid);
const InstanceRecord* find_instance_by_port(const std::vector<InstanceRecord>& instances,
                                            std::uint16_t port);
const InstanceRecord* find_instance_by_subcommand(const std::vector<InstanceRecord>& instances,
                                                  std::string_view name);

// The instance a target expression names: "latest", "pid:N", a bare number (a port up to 65535,
// a pid above) or a subcommand name (case-insensitive). `instances` must not be empty.
Result<InstanceRecord> resolve_target(const std::vector<InstanceRecord>& instances,
                                      const std::string& target);

// The table that `list` prints, ages measured against `now` (Unix seconds).
std::string format_instance_table(const std::vector<InstanceRecord>& instances, std::uint64_t now);

// Shared with the `eval` subcommand, whose curl client speaks the same result protocol.

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

// Unicode lower-case mapping, one code point at a time; invalid UTF-8 bytes are kept as they are.
std::string unicode_lower(std::string_view text);

} // namespace reelcut
