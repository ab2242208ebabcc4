// The page console log: pages forward what they log (POST "/console"); the server echoes each
// message and keeps the last 500, numbered, for GET "/console" (once or as a long poll).
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace reelcut {

struct ConsoleEntry {
    std::string text; // the posted value as compact JSON
    std::uint64_t seq = 0;
};

struct ConsoleLog {
    static constexpr std::size_t kCapacity = 500;

    std::mutex mutex;
    std::condition_variable stored; // notified (all) whenever a message is stored
    std::uint64_t seq = 0;          // number of the latest stored message; a clear keeps it
    std::deque<ConsoleEntry> buffer;
};

std::shared_ptr<ConsoleLog> new_console_log();

// POST "/console": stores and echoes one JSON value.
Status console_post(http::Request request, ConsoleLog& log);
// GET "/console?since=N&wait=MS": the messages numbered above `since`, waiting up to `wait` ms
// for one when there are none yet.
Status console_get(http::Request request, ConsoleLog& log, const std::string& url);
// DELETE "/console": empties the buffer.
Status console_clear(http::Request request, ConsoleLog& log);

} // namespace reelcut
