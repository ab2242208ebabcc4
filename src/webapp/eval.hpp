// The eval channel: a client queues JavaScript (POST "/eval"), the page's eval client long-polls
// for it (GET "/eval/pending"), runs it and posts the outcome to "/eval/{id}/result", where the
// client collects it with a GET.
//
// Bounds, far above what pages and clients use, so that no client can make the server grow
// without limit: at most 1,000 jobs waiting for a page and 1,000 results waiting for a client
// (429 past either), their texts at most 64 MiB together (429 when the rest is taken, 413 for a
// text larger than the whole); a result only for a job that was submitted and whose result has
// not been collected yet (404 otherwise; the newest 10,000 such ids are remembered). A refused
// request changes nothing already held. The long polls give up within a second when their
// client has gone.
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
#include <set>
#include <string>
#include <string_view>

namespace reelcut {

struct EvalJob {
    std::string id; // random version-4 UUID, lower case
    std::string code;
};

struct EvalChannel {
    static constexpr std::size_t kMaxPending = 1000;
    static constexpr std::size_t kMaxResults = 1000;
    static constexpr std::size_t kMaxHeldBytes = std::size_t{64} << 20;
    static constexpr std::size_t kMaxOpenIds = 10000;

    std::mutex mutex;
    std::condition_variable changed; // notified (all) after every submitted job and posted result
    std::deque<EvalJob> pending;
    std::map<std::string, std::string> results; // the posted values as compact JSON
    // Ids submitted whose result has not been collected, and their order, oldest first, for
    // forgetting the oldest past kMaxOpenIds (`open_order` may still hold collected ones).
    std::set<std::string> open_ids;
    std::deque<std::string> open_order;
    std::size_t held_bytes = 0; // job codes in `pending` and texts in `results`
    bool closing = false;       // the server is stopping: waiting polls answer 204
};

std::shared_ptr<EvalChannel> new_eval_channel();

// POST "/eval" with {"code": "..."}: queues a job and answers its id.
Status eval_submit(http::Request request, EvalChannel& channel);
// GET "/eval/pending": the oldest job, waiting for one up to the poll limit (then 204).
Status eval_pending(http::Request request, EvalChannel& channel);
// POST "/eval/{id}/result": stores any JSON value under the id of a submitted job, replacing an
// earlier one.
Status eval_store_result(http::Request request, EvalChannel& channel, const std::string& id);
// GET "/eval/{id}/result": takes the stored value, waiting for it up to the poll limit (then 204).
Status eval_take_result(http::Request request, EvalChannel& channel, const std::string& id);

// Ends every wait of the two long polls now and every later one at once (204).
void eval_close(EvalChannel& channel);

// How long the two long polls wait: 25 s. Tests shorten it to keep the suite fast.
std::chrono::milliseconds eval_poll_limit();
void set_eval_poll_limit(std::chrono::milliseconds limit);

// The eval-client script: a complete script element, inserted into every page.
std::string_view eval_client_script();

} // namespace reelcut
