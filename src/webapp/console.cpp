#include "webapp/console.hpp"

#include "terminal.hpp"
#include "text_format.hpp"
#include "webapp/json_body.hpp"
#include "webapp/long_poll.hpp"
#include "webapp/server.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <string_view>
#include <vector>

namespace reelcut {

namespace {

// Far above the 25 s the clients ask for; a longer wait only holds a thread.
constexpr std::chrono::milliseconds kLongestWait = std::chrono::seconds(60);

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

// The escaped size of `c` inside a JSON string (compact JSON holds no raw control characters).
std::size_t escaped_size(char c) {
    return c == '"' || c == '\\' ? 2 : static_cast<unsigned char>(c) < 0x20 ? 6 : 1;
}

} // namespace

std::string console_message_text(std::string compact) {
    if (compact.size() <= ConsoleLog::kMaxMessageBytes) {
        return compact;
    }
    const std::string marker = "\u2026 [cut: " + std::to_string(compact.size()) + " bytes]";
    // Room for the quotes and the marker; the kept part ends on a character boundary.
    const std::size_t room = ConsoleLog::kMaxMessageBytes - 2 - marker.size();
    std::size_t end = 0;
    for (std::size_t used = 0; end < compact.size(); ++end) {
        used += escaped_size(compact[end]);
        if (used > room) {
            break;
        }
    }
    while (end > 0 && (static_cast<unsigned char>(compact[end]) & 0xC0) == 0x80) {
        --end;
    }
    compact.resize(end);
    compact += marker;
    return json_string(compact);
}

std::shared_ptr<ConsoleLog> new_console_log() {
    return std::make_shared<ConsoleLog>();
}

Status console_post(http::Request request, ConsoleLog& log) {
    auto body = take_compact_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (!*body) {
        return {}; // answered 400, 413 or 500
    }
    std::string text = console_message_text(std::move(**body));
    write_fd(1, "[ui-console] " + text + "\n");
    {
        std::lock_guard lock(log.mutex);
        ++log.seq;
        log.bytes += text.size();
        log.buffer.push_back(ConsoleEntry{std::move(text), log.seq});
        while (log.buffer.size() > ConsoleLog::kCapacity || log.bytes > ConsoleLog::kMaxBytes) {
            log.bytes -= log.buffer.front().text.size();
            log.buffer.pop_front();
        }
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
            const auto deadline = std::chrono::steady_clock::now() +
                                  std::chrono::milliseconds(
                                      std::min<std::uint64_t>(query.wait_ms, kLongestWait.count()));
            const PollEnd end = wait_for_client(lock, log.stored, deadline, request, [&] {
                messages.clear();
                collect(log, query.since, messages);
                return !messages.empty() || log.closing;
            });
            if (end == PollEnd::client_gone) {
                return {}; // nobody to answer
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

void console_close(ConsoleLog& log) {
    {
        std::lock_guard lock(log.mutex);
        log.closing = true;
    }
    log.stored.notify_all();
}

Status console_clear(http::Request request, ConsoleLog& log) {
    {
        std::lock_guard lock(log.mutex);
        log.buffer.clear();
        log.bytes = 0;
    }
    return request.respond(json_response(200, R"({"ok":true})"));
}

} // namespace reelcut
