// The page console log: pages forward what they log (POST "/console"); the server echoes each
// message and keeps the last 500, numbered, for GET "/console" (once or as a long poll).
//
// Bounds, far above what pages log: a message whose compact JSON passes 1 MiB is kept (and
// echoed) as a JSON string of its first part ending in "… [cut: N bytes]", N being its whole
// size; the kept messages hold at most 16 MiB together, the oldest going first as they do past
// 500. A GET waits at most 60 s, however long it asks, and gives up within a second when its
// client has gone.
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
    static constexpr std::size_t kMaxMessageBytes = std::size_t{1} << 20;
    static constexpr std::size_t kMaxBytes = std::size_t{16} << 20;

    std::mutex mutex;
    std::condition_variable stored; // notified (all) whenever a message is stored
    std::uint64_t seq = 0;          // number of the latest stored message; a clear keeps it
    std::deque<ConsoleEntry> buffer;
    std::size_t bytes = 0; // the texts in `buffer` together
    bool closing = false;  // the server is stopping: waiting polls answer with what there is
};

std::shared_ptr<ConsoleLog> new_console_log();

// POST "/console": stores and echoes one JSON value.

// A message's compact JSON as it is kept: unchanged up to kMaxMessageBytes, else cut as above.
std::string console_message_text(std::string compact);
Status console_post(http::Request request, ConsoleLog& log);
// GET "/console?since=N&wait=MS": the messages numbered above `since`, waiting up to `wait` ms
// (at most 60 s) for one when there are none yet.
Status console_get(http::Request request, ConsoleLog& log, const std::string& url);
// DELETE "/console": empties the buffer.
Status console_clear(http::Request request, ConsoleLog& log);
// Ends every wait of GET "/console" now and every later one at once.
void console_close(ConsoleLog& log);

} // namespace reelcut
