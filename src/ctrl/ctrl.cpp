#include "ctrl/ctrl.hpp"

#include "ctrl/client.hpp"
#include "json_text.hpp"
#include "number_syntax.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <chrono>
#include <fmt/format.h>
#include <type_traits>
#include <variant>

namespace reelcut {

using nlohmann::json;

namespace {

Status print_out(std::string_view text) {
    return write_stdout(fmt::format("{}\n", text));
}

// --- list ---------------------------------------------------------------------------------

std::size_t code_points(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Left-aligned in `width` characters (not bytes); a longer text is kept whole.
std::string pad(std::string_view text, std::size_t width) {
    std::string out(text);
    const std::size_t length = code_points(text);
    if (length < width) {
        out.append(width - length, ' ');
    }
    return out;
}

// Titles of 39 bytes and more are cut to 37 bytes and "…"; a character that would be split at
// the cut is dropped whole.
std::string cut_title(std::string_view title) {
    if (title.size() < 39) {
        return std::string(title);
    }
    std::size_t cut = 37;
    while (cut > 0 && (static_cast<unsigned char>(title[cut]) & 0xC0) == 0x80) {
        --cut;
    }
    return fmt::format("{}…", title.substr(0, cut));
}

std::string format_age(std::uint64_t seconds) {
    if (seconds < 60) {
        return fmt::format("{}s", seconds);
    }
    if (seconds < 3600) {
        return fmt::format("{}m", seconds / 60);
    }
    if (seconds >= 86400) {
        return fmt::format("{}d", seconds / 86400);
    }
    return fmt::format("{}h", seconds / 3600);
}

std::uint64_t unix_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

// --- unicode lower case -------------------------------------------------------------------

// Simple (one to one) lower-case mapping of the scripts that have case.
char32_t lower_code_point(char32_t c) {
    auto in = [c](char32_t lo, char32_t hi) { return c >= lo && c <= hi; };
    if (c < 0x80) {
        return in(U'A', U'Z') ? c + 32 : c;
    }
    if ((in(0xC0, 0xDE) && c != 0xD7) || (in(0x391, 0x3AB) && c != 0x3A2) || in(0x410, 0x42F) ||
        in(0xFF21, 0xFF3A)) {
        return c + 32;
    }
    if (in(0x100, 0x12F) || in(0x132, 0x137) || in(0x14A, 0x177) || in(0x460, 0x481) ||
        in(0x48A, 0x4BF) || in(0x4D0, 0x52F) || in(0x1E00, 0x1E95) || in(0x1EA0, 0x1EFF)) {
        return c % 2 == 0 ? c + 1 : c;
    }
    if (in(0x139, 0x148) || in(0x179, 0x17E) || in(0x4C1, 0x4CE)) {
        return (c % 2 == 1) ? c + 1 : c;
    }
    if (in(0x400, 0x40F)) {
        return c + 80;
    }
    if (in(0x531, 0x556)) {
        return c + 48;
    }
    if (in(0x10A0, 0x10C5)) {
        return c + 7264;
    }
    if (in(0x13A0, 0x13EF)) {
        return c + 38864;
    }
    if (in(0x1F08, 0x1F0F) || in(0x1F18, 0x1F1D) || in(0x1F28, 0x1F2F) || in(0x1F38, 0x1F3F) ||
        in(0x1F48, 0x1F4D) || in(0x1F68, 0x1F6F)) {
        return c - 8;
    }
    if (in(0x2160, 0x216F)) {
        return c + 16;
    }
    if (in(0x24B6, 0x24CF)) {
        return c + 26;
    }
    if (in(0x2C00, 0x2C2F)) {
        return c + 48;
    }
    if (in(0x10400, 0x10427)) {
        return c + 40;
    }
    switch (c) {
    case 0x178:
        return 0xFF;
    case 0x386:
        return 0x3AC;
    case 0x388:
    case 0x389:
    case 0x38A:
        return c + 37;
    case 0x38C:
        return 0x3CC;
    case 0x38E:
    case 0x38F:
        return c + 63;
    case 0x4C0:
        return 0x4CF;
    case 0x1E9E:
        return 0xDF;
    case 0x2126:
        return 0x3C9;
    case 0x212A:
        return U'k';
    case 0x212B:
        return 0xE5;
    default:
        return c;
    }
}

// --- ctrl actions -------------------------------------------------------------------------

bool passed(const std::optional<std::chrono::steady_clock::time_point>& deadline) {
    return deadline && std::chrono::steady_clock::now() >= *deadline;
}

Status ctrl_state(const std::string& base) {
    auto body = curl_request_ok("GET", base + "/state", std::nullopt, 5);
    if (!body) {
        return fail(body.error());
    }
    auto value = parse_json(*body);
    if (!value) {
        return fail(fmt::format("parse /state: {} ({})", value.error(), *body));
    }
    return print_out(pretty_json(*value));
}

Status ctrl_console(const std::string& base, const CtrlConsole& args) {
    std::uint64_t since = args.since.value_or(0);
    while (true) {
        const std::string query = args.follow ? fmt::format("?since={}&wait=25000", since)
                                              : fmt::format("?since={}", since);
        auto body = curl_request_ok("GET", fmt::format("{}/console{}", base, query), std::nullopt,
                                    args.follow ? 30 : 10);
        if (!body) {
            return fail(body.error());
        }
        auto reply = parse_json(*body);
        if (!reply) {
            return fail(fmt::format("parse /console: {} ({})", reply.error(), *body));
        }
        std::uint64_t seq = since;
        static const json kNoMessages = json::array();
        const json* messages = &kNoMessages;
        if (reply->is_object()) {
            if (const auto it = reply->find("seq");
                it != reply->end() && it->is_number_unsigned()) {
                seq = it->get<std::uint64_t>();
            }
            if (const auto it = reply->find("messages"); it != reply->end() && it->is_array()) {
                messages = &*it;
            }
        }
        std::size_t skip = 0;
        if (args.tail && !args.follow && *args.tail < messages->size()) {
            skip = messages->size() - *args.tail;
        }
        for (std::size_t i = skip; i < messages->size(); ++i) {
            // A reader that went away ends a follow that would otherwise never stop.
            if (auto printed = print_out(compact_json((*messages)[i])); !printed) {
                return printed;
            }
        }
        if (!args.follow) {
            return {};
        }
        since = std::max(since, seq);
    }
}

Status ctrl_eval(const std::string& base, const CtrlEval& args) {
    const std::string request =
        json{{"code", args.code}}.dump(-1, ' ', false, json::error_handler_t::replace);
    auto submitted = curl_request_ok("POST", base + "/eval", request, 5);
    if (!submitted) {
        return fail(submitted.error());
    }
    auto reply = parse_json(*submitted);
    if (!reply) {
        return fail(fmt::format("parse /eval response: {} ({})", reply.error(), *submitted));
    }
    const auto id = reply->is_object() ? reply->find("id") : reply->end();
    if (!reply->is_object() || id == reply->end() || !id->is_string()) {
        return fail(fmt::format("/eval missing 'id': {}", *submitted));
    }
    const std::string url = fmt::format("{}/eval/{}/result", base, id->get<std::string>());
    const auto deadline = deadline_after(args.timeout);
    while (true) {
        auto polled = curl_request("GET", url, std::nullopt, 30);
        if (!polled) {
            return fail(polled.error());
        }
        if (polled->status == 204) {
            if (passed(deadline)) {
                return fail(
                    fmt::format("timed out after {}s waiting for eval result", args.timeout));
            }
            continue;
        }
        if (polled->status != 200) {
            return fail(fmt::format("unexpected status {}: {}", polled->status, polled->body));
        }
        auto result = parse_json(polled->body);
        if (!result) {
            return fail(fmt::format("parse result: {} ({})", result.error(), polled->body));
        }
        if (auto printed = print_out(pretty_json(*result)); !printed) {
            return printed;
        }
        return eval_result_status(*result);
    }
}

Status ctrl_shutdown(const std::string& base) {
    auto body = curl_request_ok("POST", base + "/shutdown", std::nullopt, 5);
    if (!body) {
        return fail(body.error());
    }
    return print_out(trim_ascii_whitespace(*body));
}

Status ctrl_call(const std::string& base, const CtrlCall& args) {
    const std::string url = args.path.starts_with("/") ? fmt::format("{}{}", base, args.path)
                                                       : fmt::format("{}/{}", base, args.path);
    auto body = curl_request_ok(args.method, url, args.body, 30);
    if (!body) {
        return fail(body.error());
    }
    return print_out(*body);
}

} // namespace

std::string unicode_lower(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80    ? 1
                                   : lead >= 0xF0 ? 4
                                   : lead >= 0xE0 ? 3
                                   : lead >= 0xC0 ? 2
                                                  : 0;
        if (length == 0 || i + length > text.size() || !valid_utf8(text.substr(i, length))) {
            out += text[i++];
            continue;
        }
        char32_t c = length == 1 ? lead : lead & (0xFF >> (length + 1));
        for (std::size_t k = 1; k < length; ++k) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        if (c == 0x130) {
            out += "i\u0307"; // the one capital whose lower case is two code points
        } else {
            append_utf8(out, lower_code_point(c));
        }
        i += length;
    }
    return out;
}

// --- finders and target -------------------------------------------------------------------

const InstanceRecord* find_instance_by_pid(const std::vector<InstanceRecord>& instances,
                                           std::uint32_t pid) {
    const auto it = std::find_if(instances.begin(), instances.end(),
                                 [pid](const InstanceRecord& r) { return r.pid == pid; });
    return it == instances.end() ? nullptr : &*it;
}

const InstanceRecord* find_instance_by_port(const std::vector<InstanceRecord>& instances,
                                            std::uint16_t port) {
    const auto it = std::find_if(instances.begin(), instances.end(),
                                 [port](const InstanceRecord& r) { return r.port == port; });
    return it == instances.end() ? nullptr : &*it;
}

const InstanceRecord* find_instance_by_subcommand(const std::vector<InstanceRecord>& instances,
                                                  std::string_view name) {
    const std::string key = unicode_lower(name);
    const auto it =
        std::find_if(instances.begin(), instances.end(), [&key](const InstanceRecord& r) {
            return unicode_lower(r.subcommand) == key;
        });
    return it == instances.end() ? nullptr : &*it;
}

Result<InstanceRecord> resolve_target(const std::vector<InstanceRecord>& instances,
                                      const std::string& target) {
    auto by_pid = [&](std::uint64_t pid) -> Result<InstanceRecord> {
        const InstanceRecord* found =
            pid <= UINT32_MAX ? find_instance_by_pid(instances, static_cast<std::uint32_t>(pid))
                              : nullptr;
        if (!found) {
            return fail(fmt::format("no running instance with pid {}", pid));
        }
        return *found;
    };
    if (target == "latest") {
        return instances.back();
    }
    if (target.starts_with("pid:")) {
        const auto pid = parse_unsigned(std::string_view(target).substr(4), UINT32_MAX);
        if (!pid) {
            return fail(fmt::format("invalid pid in target {}", target));
        }
        return by_pid(*pid);
    }
    if (const auto number = parse_unsigned(target, UINT64_MAX)) {
        if (*number > UINT16_MAX) {
            return by_pid(*number);
        }
        const InstanceRecord* found =
            find_instance_by_port(instances, static_cast<std::uint16_t>(*number));
        if (!found) {
            return fail(fmt::format("no running instance on port {}", *number));
        }
        return *found;
    }
    const InstanceRecord* found = find_instance_by_subcommand(instances, target);
    if (!found) {
        return fail(fmt::format("no running instance matching {}. Hint: run `tevo-reelcut list` "
                                "to see what is running.",
                                target));
    }
    return *found;
}

std::string format_instance_table(const std::vector<InstanceRecord>& instances, std::uint64_t now) {
    std::string out = fmt::format("{} {} {} {} STARTED\n", pad("PID", 7), pad("PORT", 6),
                                  pad("SUBCOMMAND", 12), pad("TITLE", 40));
    for (const InstanceRecord& r : instances) {
        const std::uint64_t age = now > r.started_at ? now - r.started_at : 0;
        out += fmt::format("{} {} {} {} {} ago\n", pad(std::to_string(r.pid), 7),
                           pad(std::to_string(r.port), 6), pad(r.subcommand, 12),
                           pad(cut_title(r.title), 40), format_age(age));
    }
    return out;
}

// --- subcommands --------------------------------------------------------------------------

Status run_list() {
    auto instances = list_instances();
    if (!instances) {
        return fail(instances.error());
    }
    if (instances->empty()) {
        return print_out("no tevo-reelcut instances running");
    }
    return write_stdout(format_instance_table(*instances, unix_now()));
}

Status run_ctrl(const std::string& target, const CtrlAction& action) {
    auto instances = list_instances();
    if (!instances) {
        return fail(instances.error());
    }
    if (instances->empty()) {
        return fail("no running tevo-reelcut instances found. Hint: start one with `tevo-reelcut "
                    "voiceover --input ...` or `tevo-reelcut storyboard <manifest>`.");
    }
    auto chosen = resolve_target(*instances, target);
    if (!chosen) {
        return fail(chosen.error());
    }
    write_fd(
        2, fmt::format("→ {} (pid {}, port {})\n", chosen->subcommand, chosen->pid, chosen->port));
    const std::string base = fmt::format("http://127.0.0.1:{}", chosen->port);
    return std::visit(
        [&](const auto& act) -> Status {
            using T = std::decay_t<decltype(act)>;
            if constexpr (std::is_same_v<T, CtrlState>) {
                return ctrl_state(base);
            } else if constexpr (std::is_same_v<T, CtrlConsole>) {
                return ctrl_console(base, act);
            } else if constexpr (std::is_same_v<T, CtrlEval>) {
                return ctrl_eval(base, act);
            } else if constexpr (std::is_same_v<T, CtrlShutdown>) {
                return ctrl_shutdown(base);
            } else {
                return ctrl_call(base, act);
            }
        },
        action);
}

} // namespace reelcut
