// The eval channel: a client queues JavaScript (POST "/eval"), the page's eval client long-polls
// for it (GET "/eval/pending"), runs it and posts the outcome to "/eval/{id}/result", where the
// client collects it with a GET.
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace reelcut {

struct EvalJob {
    std::string id; // random version-4 UUID, lower case
    std::string code;
};

struct EvalChannel {
    std::mutex mutex;
    std::condition_variable changed; // notified (all) after every submitted job and posted result
    std::deque<EvalJob> pending;
    std::map<std::string, nlohmann::json> results;
};

std::shared_ptr<EvalChannel> new_eval_channel();

// POST "/eval" with {"code": "..."}: queues a job and answers its id.
Status eval_submit(http::Request request, EvalChannel& channel);
// GET "/eval/pending": the oldest job, waiting for one up to the poll limit (then 204).
Status eval_pending(http::Request request, EvalChannel& channel);
// POST "/eval/{id}/result": stores any JSON value under the id, replacing an earlier one.
Status eval_store_result(http::Request request, EvalChannel& channel, const std::string& id);
// GET "/eval/{id}/result": takes the stored value, waiting for it up to the poll limit (then 204).
Status eval_take_result(http::Request request, EvalChannel& channel, const std::string& id);

// How long the two long polls wait: 25 s. Tests shorten it to keep the suite fast.
std::chrono::milliseconds eval_poll_limit();
void set_eval_poll_limit(std::chrono::milliseconds limit);

// The eval-client script: a complete script element, inserted into every page.
std::string_view eval_client_script();

} // namespace reelcut
