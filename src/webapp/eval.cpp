#include "webapp/eval.hpp"

#include "assets.hpp"
#include "json_text.hpp"
#include "text_format.hpp"
#include "webapp/json_body.hpp"
#include "webapp/server.hpp"

#include <algorithm>
#include <atomic>
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

Status eval_submit(http::Request request, EvalChannel& channel) {
    auto body = take_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (!*body) {
        return {}; // answered 400
    }
    const auto& value = **body;
    const auto code = value.is_object() ? value.find("code") : value.end();
    if (!value.is_object() || code == value.end() || !code->is_string()) {
        (void)request.respond(json_response(400, R"({"ok":false,"error":"missing 'code' field"})"));
        return {};
    }
    EvalJob job{new_job_id(), code->get<std::string>()};
    const std::string answer = "{\"ok\":true,\"id\":\"" + job.id + "\"}";
    {
        std::lock_guard lock(channel.mutex);
        channel.pending.push_back(std::move(job));
    }
    channel.changed.notify_all();
    return request.respond(json_response(200, answer));
}

Status eval_pending(http::Request request, EvalChannel& channel) {
    // A poller whose page was reloaded or closed is still waiting here; a job handed to it would
    // be lost and its `eval` would wait in vain. It is checked for while waiting and before a job
    // is handed over, and such a job goes back to the front of the queue.
    constexpr auto kCheckEvery = std::chrono::milliseconds(500);
    const auto deadline = std::chrono::steady_clock::now() + eval_poll_limit();
    std::optional<EvalJob> job;
    {
        std::unique_lock lock(channel.mutex);
        while (channel.pending.empty()) {
            const auto slice = std::min(deadline, std::chrono::steady_clock::now() + kCheckEvery);
            channel.changed.wait_until(lock, slice, [&] { return !channel.pending.empty(); });
            if (!channel.pending.empty() || std::chrono::steady_clock::now() >= deadline) {
                break;
            }
            if (request.client_gone()) {
                return {}; // nobody to answer
            }
        }
        if (!channel.pending.empty()) {
            if (request.client_gone()) {
                return {};
            }
            job = std::move(channel.pending.front());
            channel.pending.pop_front();
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
    auto body = take_json_body(request);
    if (!body) {
        return fail(body.error());
    }
    if (!*body) {
        return {}; // answered 400
    }
    {
        std::lock_guard lock(channel.mutex);
        channel.results[id] = std::move(**body);
    }
    channel.changed.notify_all();
    return request.respond(json_response(200, R"({"ok":true})"));
}

Status eval_take_result(http::Request request, EvalChannel& channel, const std::string& id) {
    const auto deadline = std::chrono::steady_clock::now() + eval_poll_limit();
    std::optional<nlohmann::json> value;
    {
        std::unique_lock lock(channel.mutex);
        channel.changed.wait_until(lock, deadline, [&] { return channel.results.count(id) > 0; });
        if (auto found = channel.results.find(id); found != channel.results.end()) {
            value = std::move(found->second);
            channel.results.erase(found);
        }
    }
    if (!value) {
        return request.respond(http::Response(204, ""));
    }
    return request.respond(json_response(200, compact_json(*value)));
}

std::string_view eval_client_script() {
    std::string_view script = assets::eval_client_html();
    while (!script.empty() && (script.back() == '\n' || script.back() == '\r')) {
        script.remove_suffix(1); // the file's own line end is not part of the element
    }
    return script;
}

} // namespace reelcut
