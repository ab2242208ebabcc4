// A page-server stand-in for bench/http: the same accept loop and thread per request as the
// real server, with a small text route, a ranged file route and a long poll.
//   http-bench-server PORT FILE
// GET /small: 200 "hello"; GET /poll: held until /release (or 25 s), then 204; GET /held: the
// number of polls held right now; anything else: FILE through serve_file_with_range.
#include "webapp/http.hpp"
#include "webapp/video.hpp"

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using namespace reelcut;

namespace {

struct Polls {
    std::mutex mutex;
    std::condition_variable wake;
    int held = 0;
    bool released = false;
};

void handle(http::Request request, const std::shared_ptr<Polls>& polls, const std::string& file) {
    const std::string url = request.url();
    if (url == "/small") {
        http::Response response(200, "hello");
        response.with_header("Content-Type", "text/plain");
        (void)request.respond(std::move(response));
    } else if (url == "/poll") {
        {
            std::unique_lock lock(polls->mutex);
            ++polls->held;
            polls->wake.wait_for(lock, std::chrono::seconds(25), [&] { return polls->released; });
            --polls->held;
        }
        (void)request.respond(http::Response(204, ""));
    } else if (url == "/held") {
        int held;
        {
            std::lock_guard lock(polls->mutex);
            held = polls->held;
        }
        (void)request.respond(http::Response(200, std::to_string(held)));
    } else if (url == "/release") {
        {
            std::lock_guard lock(polls->mutex);
            polls->released = true;
        }
        polls->wake.notify_all();
        (void)request.respond(http::Response(200, "released"));
    } else {
        (void)serve_file_with_range(std::move(request), file, "video/webm");
    }
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc != 3) {
        std::fprintf(stderr, "usage: http-bench-server PORT FILE\n");
        return 2;
    }
    auto server = http::HttpServer::bind(std::string("127.0.0.1:") + argv[1]);
    if (!server) {
        std::fprintf(stderr, "bind: %s\n", server.error().c_str());
        return 1;
    }
    const std::string file = argv[2];
    auto polls = std::make_shared<Polls>();
    for (;;) {
        auto next = (*server)->next_request(std::chrono::milliseconds(250));
        if (!next) {
            std::fprintf(stderr, "accept error: %s\n", next.error().c_str());
            continue;
        }
        if (!*next) {
            continue;
        }
        std::thread([request = std::move(**next), polls, file]() mutable {
            handle(std::move(request), polls, file);
        }).detach();
    }
}
