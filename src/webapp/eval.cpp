#include "webapp/eval.hpp"

#include "assets.hpp"
#include "text_format.hpp"
#include "webapp/json_body.hpp"
#include "webapp/long_poll.hpp"
#include "webapp/server.hpp"

#include <algorithm>
#include <atomic>
#include <fmt/format.h>
#include <optional>
#include <uuid/uuid.h>

namespace reelcut {

namespace {

std::atomic<std::chrono::milliseconds::rep> poll_limit_ms{25'000};

std::string new_job_id() {
    uuid_t raw;
    uuid_generate_random(raw);
    char text[37];
    uuid_unparse_lower(raw, text);
    return text;
}

} // namespace

std::chrono::milliseconds eval_poll_limit() {
    return std::chrono::milliseconds(poll_limit_ms.load());
}

void set_eval_poll_limit(std::chrono::milliseconds limit) {
    poll_limit_ms.store(limit.count());
}

std::shared_ptr<EvalChannel> new_eval_channel() {
    return std::make_shared<EvalChannel>();
}

namespace {

void refuse(http::Request& request, std::uint16_t status, std::string_view message) {
    (void)request.respond(json_response(status, json_failure(message)));
}

std::string full_queue_message() {
    return fmt::format("too many eval jobs waiting for the page (at most {})",
                       EvalChannel::kMaxPending);
}

std::string full_results_message() {
    return fmt::format("too many eval results waiting to be collected (at most {})",
                       EvalChannel::kMaxResults);
}

// Whether `size` more bytes fit; otherwise answers 413 (larger than the whole) or 429.
bool room_for(http::Request& request, const EvalChannel& channel, std::size_t size) {
    if (size > EvalChannel::kMaxHeldBytes) {
        refuse(request, 413,
               fmt::format("eval text too large: {} bytes, the jobs and results may hold at most "
                           "{} MiB together",
                           size, EvalChannel::kMaxHeldBytes >> 20));
        return false;
    }
    if (channel.held_bytes + size > EvalChannel::kMaxHeldBytes) {
        refuse(request, 429,
               fmt::format("the eval jobs and results already hold {} bytes of at most {} MiB",
                           channel.held_bytes, EvalChannel::kMaxHeldBytes >> 20));
        return false;
    }
    return true;
}

void remember_open_id(EvalChannel& channel, const std::string& id) {
    channel.open_ids.insert(id);
    channel.open_order.push_back(id);
    while (channel.open_order.size() > EvalChannel::kMaxOpenIds) {
        channel.open_ids.erase(channel.open_order.front());
        channel.open_order.pop_front();
    }
}

} // namespace

Status eval_submit(http::Request request, EvalChannel& channel) {
    {
        std::lock_guard lock(channel.mutex);
        if (channel.pending.size() >= EvalChannel::kMaxPending) {
            refuse(request, 429, full_queue_message()); // the body is never read
            return {};
        }
    }
    auto body = take_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (!*body) {
        return {}; // answered 400, 413 or 500
    }
    OwnedJson value(std::move(**body));
    const auto code = value.value.is_object() ? value.value.find("code") : value.value.end();
    if (!value.value.is_object() || code == value.value.end() || !code->is_string()) {
        (void)request.respond(json_response(400, R"({"ok":false,"error":"missing 'code' field"})"));
        return {};
    }
    EvalJob job{new_job_id(), std::move(code->get_ref<std::string&>())};
    const std::string answer = "{\"ok\":true,\"id\":\"" + job.id + "\"}";
    {
        std::lock_guard lock(channel.mutex);
        if (channel.pending.size() >= EvalChannel::kMaxPending) {
            refuse(request, 429, full_queue_message());
            return {};
        }
        if (!room_for(request, channel, job.code.size())) {
            return {};
        }
        channel.held_bytes += job.code.size();
        remember_open_id(channel, job.id);
        channel.pending.push_back(std::move(job));
    }
    channel.changed.notify_all();
    return request.respond(json_response(200, answer));
}

Status eval_pending(http::Request request, EvalChannel& channel) {
    // A poller whose page was reloaded or closed is still waiting here; a job handed to it would
    // be lost and its `eval` would wait in vain. It is checked for while waiting and before a job
    // is handed over, and such a job stays at the front of the queue.
    const auto deadline = std::chrono::steady_clock::now() + eval_poll_limit();
    std::optional<EvalJob> job;
    {
        std::unique_lock lock(channel.mutex);
        const PollEnd end = wait_for_client(lock, channel.changed, deadline, request, [&] {
            return !channel.pending.empty() || channel.closing;
        });
        if (end == PollEnd::client_gone || (end == PollEnd::ready && request.client_gone())) {
            return {}; // nobody to answer
        }
        if (end == PollEnd::ready && !channel.pending.empty()) {
            job = std::move(channel.pending.front());
            channel.pending.pop_front();
            channel.held_bytes -= job->code.size();
        }
    }
    if (!job) {
        return request.respond(http::Response(204, ""));
    }
    std::string out = "{\"id\":\"" + job->id + "\",\"code\":";
    append_json_string(out, job->code);
    out += '}';
    return request.respond(json_response(200, std::move(out)));
}

Status eval_store_result(http::Request request, EvalChannel& channel, const std::string& id) {
    const auto unknown = [&] {
        refuse(request, 404, "no eval job is waiting for a result under the id " + id);
    };
    {
        // Refused before the body is read: neither the id nor the room will change meanwhile
        // in a way that matters to an honest page.
        std::lock_guard lock(channel.mutex);
        if (channel.open_ids.count(id) == 0) {
            unknown();
            return {};
        }
        if (channel.results.count(id) == 0 && channel.results.size() >= EvalChannel::kMaxResults) {
            refuse(request, 429, full_results_message());
            return {};
        }
    }
    auto body = take_compact_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (!*body) {
        return {}; // answered 400, 413 or 500
    }
    std::string text = std::move(**body);
    {
        std::lock_guard lock(channel.mutex);
        if (channel.open_ids.count(id) == 0) {
            unknown();
            return {};
        }
        const auto earlier = channel.results.find(id);
        if (earlier == channel.results.end() &&
            channel.results.size() >= EvalChannel::kMaxResults) {
            refuse(request, 429, full_results_message());
            return {};
        }
        // The value it replaces makes room.
        const std::size_t replaced = earlier == channel.results.end() ? 0 : earlier->second.size();
        channel.held_bytes -= replaced;
        if (!room_for(request, channel, text.size())) {
            channel.held_bytes += replaced;
            return {};
        }
        channel.held_bytes += text.size();
        channel.results[id] = std::move(text);
    }
    channel.changed.notify_all();
    return request.respond(json_response(200, R"({"ok":true})"));
}

void eval_close(EvalChannel& channel) {
    {
        std::lock_guard lock(channel.mutex);
        channel.closing = true;
    }
    channel.changed.notify_all();
}

Status eval_take_result(http::Request request, EvalChannel& channel, const std::string& id) {
    const auto deadline = std::chrono::steady_clock::now() + eval_poll_limit();
    std::optional<std::string> value;
    {
        std::unique_lock lock(channel.mutex);
        const PollEnd end = wait_for_client(lock, channel.changed, deadline, request, [&] {
            return channel.results.count(id) > 0 || channel.closing;
        });
        if (end == PollEnd::client_gone || (end == PollEnd::ready && request.client_gone())) {
            return {}; // nobody to answer; the result stays for the next poll
        }
        if (auto found = channel.results.find(id); found != channel.results.end()) {
            value = std::move(found->second);
            channel.results.erase(found);
            channel.held_bytes -= value->size();
            channel.open_ids.erase(id);
        }
    }
    if (!value) {
        return request.respond(http::Response(204, ""));
    }
    return request.respond(json_response(200, std::move(*value)));
}

std::string_view eval_client_script() {
    std::string_view script = assets::eval_client_html();
    while (!script.empty() && (script.back() == '\n' || script.back() == '\r')) {
        script.remove_suffix(1); // the file's own line end is not part of the element
    }
    return script;
}

} // namespace reelcut
