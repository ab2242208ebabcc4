#include "main/eval_command.hpp"

#include "ctrl/client.hpp"
#include "json_text.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace reelcut {

using nlohmann::json;

Status run_eval(const EvalArgs& args) {
    const std::string base = fmt::format("http://127.0.0.1:{}", args.port);
    const std::string request =
        json{{"code", args.code}}.dump(-1, ' ', false, json::error_handler_t::replace);

    // The body goes through standard input: a long snippet would not fit into one argument.
    SpawnOptions submit_options;
    submit_options.stdin_data = request;
    auto submit = run_captured("curl",
                               {"-s", "-X", "POST", "-H", "Content-Type: application/json",
                                "--data-binary", "@-", "--max-time", "5", base + "/eval"},
                               submit_options);
    if (!submit) {
        return fail(
            fmt::format("curl spawn failed: {}. Hint: curl is required for `tevo-reelcut eval`.",
                        submit.error()));
    }
    if (!submit->status.success()) {
        return fail(fmt::format(
            "POST /eval failed: {}. Hint: is a tevo-reelcut web UI running on port {}? Run "
            "`tevo-reelcut voiceover --input ...` or `tevo-reelcut storyboard ...` first.",
            lossy_utf8(submit->err), args.port));
    }
    const std::string submitted = lossy_utf8(submit->out);
    auto reply = parse_json(submitted);
    if (!reply) {
        return fail(fmt::format("parse /eval response: {} ({})", reply.error(), submitted));
    }
    const auto id = reply->is_object() ? reply->find("id") : reply->end();
    if (!reply->is_object() || id == reply->end() || !id->is_string()) {
        return fail(fmt::format("/eval response missing 'id' field: {}", submitted));
    }
    const std::string job = id->get<std::string>();
    const std::string url = fmt::format("{}/eval/{}/result", base, job);

    const auto deadline = deadline_after(args.timeout);
    while (true) {
        auto poll = run_captured("curl", {"-s", "-w", "\n%{http_code}", "--max-time", "30", url});
        if (!poll) {
            return fail(fmt::format("curl spawn failed: {}", poll.error()));
        }
        const auto [body, status_text] = split_status_line(lossy_utf8(poll->out));
        const std::uint16_t status = parse_status_code(status_text);
        if (status == 204) {
            // Each poll already waits on the server, so the next one follows at once.
            if (deadline && std::chrono::steady_clock::now() >= *deadline) {
                return fail(fmt::format(
                    "timed out after {}s waiting for eval result. Hint: is the UI page open in "
                    "the Nimbrel webview? The snippet only runs when the UI's poll loop is alive.",
                    args.timeout));
            }
            continue;
        }
        if (status != 200) {
            return fail(
                fmt::format("unexpected status {} from /eval/{}/result: {}", status, job, body));
        }
        auto result = parse_json(body);
        if (!result) {
            return fail(fmt::format("parse result JSON: {} ({})", result.error(), body));
        }
        if (auto printed = write_stdout(pretty_json(*result) + "\n"); !printed) {
            return printed;
        }
        return eval_result_status(*result);
    }
}

} // namespace reelcut
