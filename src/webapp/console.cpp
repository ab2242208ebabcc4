#include "webapp/console.hpp"

#include "json_text.hpp"
#include "main/output.hpp"
#include "webapp/json_body.hpp"
#include "webapp/server.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string_view>
#include <vector>

namespace reelcut {

namespace {

// Deadlines further out than this are treated as this far: "now + u64 max ms" would overflow the
// clock.
constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(24 * 365 * 100);

// A decimal u64, a leading "+" allowed as in every number this program reads; anything else,
// overflow included, is 0.
std::uint64_t number_or_zero(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1); // from_chars itself refuses a sign, so "++1" and "+-1" stay 0
    }
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

struct ConsoleQuery {
    std::uint64_t since = 0;
    std::uint64_t wait_ms = 0;
};

ConsoleQuery parse_query(const std::string& url) {
    ConsoleQuery query;
    const auto mark = url.find('?');
    if (mark == std::string::npos) {
        return query;
    }
    std::string_view rest = std::string_view(url).substr(mark + 1);
    while (true) {
        const auto amp = rest.find('&');
        const std::string_view piece = rest.substr(0, amp);
        if (piece.starts_with("since=")) {
            query.since = number_or_zero(piece.substr(6));
        } else if (piece.starts_with("wait=")) {
            query.wait_ms = number_or_zero(piece.substr(5));
        }
        if (amp == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(amp + 1);
    }
    return query;
}

void collect(const ConsoleLog& log, std::uint64_t since, std::vector<std::string>& out) {
    for (const auto& entry : log.buffer) {
        if (entry.seq > since) {
            out.push_back(entry.text);
        }
    }
}

} // namespace

std::shared_ptr<ConsoleLog> new_console_log() {
    return std::make_shared<ConsoleLog>();
}

Status console_post(http::Request request, ConsoleLog& log) {
    auto body = take_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (!*body) {
        return {}; // answered 400
    }
    std::string text = compact_json(**body);
    write_fd(1, "[ui-console] " + text + "\n");
    {
        std::lock_guard lock(log.mutex);
        ++log.seq;
        if (log.buffer.size() >= ConsoleLog::kCapacity) {
            log.buffer.pop_front();
        }
        log.buffer.push_back(ConsoleEntry{std::move(text), log.seq});
    }
    log.stored.notify_all();
    return request.respond(json_response(200, R"({"ok":true})"));
}

Status console_get(http::Request request, ConsoleLog& log, const std::string& url) {
    const ConsoleQuery query = parse_query(url);
    std::vector<std::string> messages;
    std::uint64_t seq = 0;
    {
        std::unique_lock lock(log.mutex);
        collect(log, query.since, messages);
        if (messages.empty() && query.wait_ms > 0) {
            const std::chrono::milliseconds wait(
                std::min<std::uint64_t>(query.wait_ms, kLongestWait.count()));
            const auto deadline = std::chrono::steady_clock::now() + wait;
            while (std::chrono::steady_clock::now() < deadline) {
                const bool timed_out =
                    log.stored.wait_until(lock, deadline) == std::cv_status::timeout;
                collect(log, query.since, messages);
                if (!messages.empty() || timed_out) {
                    break;
                }
            }
        }
        seq = log.seq;
    }
    std::string out = "{\"ok\":true,\"seq\":" + std::to_string(seq) + ",\"messages\":[";
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        out += messages[i];
    }
    out += "]}";
    return request.respond(json_response(200, std::move(out)));
}

Status console_clear(http::Request request, ConsoleLog& log) {
    {
        std::lock_guard lock(log.mutex);
        log.buffer.clear();
    }
    return request.respond(json_response(200, R"({"ok":true})"));
}

} // namespace reelcut
