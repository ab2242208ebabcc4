// The wait of a long poll (console, eval pending, eval result): a request thread waits for a
// condition, at most until a deadline, and gives up as soon as its client has gone (closed or
// reset its connection), so that an abandoned poll frees its thread and its connection within a
// second instead of holding them until the deadline.
#pragma once

#include "webapp/http.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace reelcut {

// How often a waiting poll looks for its client.
inline constexpr std::chrono::milliseconds kClientCheckInterval{500};

enum class PollEnd { ready, timed_out, client_gone };

// Waits on `changed` (with `lock` held on entry and on return) until `ready()` holds, `deadline`
// passes or the request's client has gone. `ready` is called with the lock held.
template <class Ready>
PollEnd wait_for_client(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                        std::chrono::steady_clock::time_point deadline,
                        const http::Request& request, Ready ready) {
    for (;;) {
        if (ready()) {
            return PollEnd::ready;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return PollEnd::timed_out;
        }
        if (request.client_gone()) {
            return PollEnd::client_gone;
        }
        changed.wait_until(lock, std::min(deadline, now + kClientCheckInterval), ready);
    }
}

} // namespace reelcut
