// The command-line side of the page servers: `list` prints the running instances, `ctrl` picks
// one by a target expression and drives it over HTTP through the client in ctrl/client.hpp.
#pragma once

#include "ctrl/instances.hpp"
#include "result.hpp"

#include <cstdint>
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

// Unicode lower-case mapping, one code point at a time; invalid UTF-8 bytes are kept as they are.
std::string unicode_lower(std::string_view text);

} // namespace reelcut
