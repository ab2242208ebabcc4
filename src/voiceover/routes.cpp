// The route table, the reply helpers and the session and recording routes.
#include "voiceover/routes.hpp"

#include "file_io.hpp"
#include "subprocess.hpp"
#include "terminal.hpp" // write_fd
#include "text_format.hpp"
#include "voiceover/routes_internal.hpp"
#include "webapp/json_body.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace reelcut {

namespace voiceover {

namespace {

constexpr const char* kTevoCli = "tevo-cli";
constexpr std::chrono::milliseconds kCountdownStep{1000};
constexpr std::chrono::milliseconds kGoPause{400};
// How often a request waiting for a media slot looks whether its client is still there.
constexpr std::chrono::milliseconds kSlotPoll{100};

// The workspace's home: "HOME" when it is set and valid UTF-8, else "/root".
std::string home_dir() {
    const char* home = std::getenv("HOME");
    return home != nullptr && valid_utf8(home) ? std::string(home) : std::string("/root");
}

std::string project_dir() {
    return join_path(home_dir(), "project");
}

Result<CapturedOutput> run_tevo_cli(std::vector<std::string> args) {
    args.insert(args.begin(), "nimbrel");
    return run_captured(kTevoCli, args);
}

std::string text_or_empty(const std::optional<std::string>& text) {
    return text ? escape_json_text(*text) : std::string();
}

// The report's "size" when it is a whole number that fits, else 0.
std::uint64_t reported_size(const nlohmann::json& report) {
    const auto size = report.find("size");
    if (size == report.end() || !size->is_number_integer()) {
        return 0;
    }
    if (size->is_number_unsigned()) {
        return size->get<std::uint64_t>();
    }
    const auto value = size->get<std::int64_t>();
    return value < 0 ? 0 : static_cast<std::uint64_t>(value);
}

struct Recording {
    std::string path;
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    std::uint64_t size = 0;
};

// The .webm files directly in `dir` (links not followed), newest first; equal times keep the
// listing order.
std::vector<Recording> recordings_in(const std::string& dir) {
    std::vector<Recording> found;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return found;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        const auto ext = file_extension(name);
        if (!ext || *ext != "webm") {
            continue;
        }
        const std::string path = join_path(dir, name);
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0) {
            continue;
        }
        found.push_back(
            {path, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, static_cast<std::uint64_t>(st.st_size)});
    }
    ::closedir(listing);
    std::stable_sort(found.begin(), found.end(), [](const Recording& a, const Recording& b) {
        return std::tie(a.seconds, a.nanoseconds) > std::tie(b.seconds, b.nanoseconds);
    });
    return found;
}

} // namespace

RouteOutcome send_json(http::Request& request, std::uint16_t status, std::string body) {
    (void)request.respond(json_response(status, std::move(body)));
    return Handled{};
}

RouteOutcome send_text(http::Request& request, std::uint16_t status, std::string body) {
    (void)request.respond(text_response(status, std::move(body)));
    return Handled{};
}

RouteOutcome send_failure(http::Request& request, std::uint16_t status, std::string_view text) {
    return send_json(request, status,
                     fmt::format("{{\"ok\":false,\"error\":\"{}\"}}", escape_json_text(text)));
}

std::variant<MediaSlot, NoSlot> MediaSlot::acquire(VoiceoverApp& app,
                                                   const http::Request& request) {
    MediaRuns& runs = app.media_runs;
    const auto deadline = std::chrono::steady_clock::now() + app.media_limits.slot_wait;
    std::unique_lock guard(runs.lock);
    while (runs.running >= kMediaRunLimit) {
        if (request.client_gone()) {
            return NoSlot::client_left;
        }
        if (children_stopped()) {
            return NoSlot::stopping;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return NoSlot::busy;
        }
        runs.freed.wait_for(
            guard, std::min<std::chrono::steady_clock::duration>(kSlotPoll, deadline - now));
    }
    ++runs.running;
    return MediaSlot(&runs);
}

MediaSlot::~MediaSlot() {
    if (runs_ != nullptr) {
        {
            std::lock_guard guard(runs_->lock);
            --runs_->running;
        }
        runs_->freed.notify_one();
    }
}

RouteOutcome refuse_media(http::Request& request, NoSlot why, bool json) {
    if (why == NoSlot::client_left) {
        return Handled{fail("client went away while waiting for a media run")};
    }
    const std::string reason =
        why == NoSlot::stopping
            ? "server shutting down"
            : fmt::format("media tools busy: all {} runs stayed taken; try again", kMediaRunLimit);
    return json ? send_failure(request, 503, reason) : send_text(request, 503, reason);
}

SpawnOptions media_run_options(const VoiceoverApp& app) {
    SpawnOptions options;
    options.time_limit = app.media_limits.run_time;
    return options;
}

VoiceoverState snapshot(const VoiceoverApp& app) {
    std::lock_guard guard(app.state_lock);
    return app.state;
}

void console_line(std::string_view line) {
    write_fd(STDOUT_FILENO, std::string(line) + "\n");
}

// Formatted under the lock and sent after it: a client that stops reading cannot hold up the
// session.
RouteOutcome get_state(VoiceoverApp& app, http::Request& request) {
    const VoiceoverState state = snapshot(app);
    return send_json(
        request, 200,
        fmt::format(
            R"({{"phase":"{}","recording":{},"audioPath":"{}","audioSize":{},"finalizePath":"{}"}})",
            escape_json_text(state.phase), state.recording, text_or_empty(state.audio_path),
            state.audio_size, text_or_empty(state.finalize_path)));
}

RouteOutcome start_recording(VoiceoverApp& app, http::Request& request) {
    console_line("starting voiceover audio-only recording with caption countdown");
    (void)run_tevo_cli({"audio", "enable", "--reason", "Voiceover recording"});
    for (const char* caption : {"3", "2", "1"}) {
        (void)run_tevo_cli({"caption", "show", caption, "-d", "1", "-s", "large", "-p", "center"});
        std::this_thread::sleep_for(kCountdownStep);
    }
    (void)run_tevo_cli({"caption", "show", "GO", "-d", "1", "-s", "large", "-p", "center"});
    std::this_thread::sleep_for(kGoPause);

    auto started = run_tevo_cli({"audio", "start"});
    if (!started) {
        return Handled{fail(fmt::format("tevo-cli spawn failed: {}", started.error()))};
    }
    if (!started->status.success()) {
        return send_failure(request, 500, "audio start failed: " + lossy_utf8(started->err));
    }
    {
        std::lock_guard guard(app.state_lock);
        app.state.recording = true;
        app.state.phase = "recording";
        app.state.audio_path.reset();
        app.state.audio_size = 0;
    }
    return send_json(request, 200, R"({"ok":true})");
}

RouteOutcome stop_recording(VoiceoverApp& app, http::Request& request) {
    console_line("stopping Nimbrel audio recording...");
    auto stopped = run_tevo_cli({"audio", "stop"});
    if (!stopped) {
        return Handled{fail(fmt::format("tevo-cli spawn failed: {}", stopped.error()))};
    }
    if (!stopped->status.success()) {
        return send_failure(request, 500, "audio stop failed: " + lossy_utf8(stopped->err));
    }
    const std::string out = lossy_utf8(stopped->out);
    const JsonBody parsed = parse_json_text(out);
    if (const auto* bad = std::get_if<JsonSyntaxError>(&parsed)) {
        return Handled{fail(fmt::format("parse audio stop response: {} ({})", bad->message, out))};
    }
    const auto& report = std::get<nlohmann::json>(parsed);
    const auto file = report.is_object() ? report.find("filePath") : report.end();
    if (!report.is_object() || file == report.end() || !file->is_string()) {
        return Handled{fail(fmt::format("audio stop response missing filePath: {}", out))};
    }
    const std::string relative = file->get<std::string>();
    // An absolute report replaces the base, as path joining does.
    const std::string path =
        relative.starts_with('/') ? relative : join_path(project_dir(), relative);
    const std::uint64_t size = reported_size(report);
    console_line(fmt::format("Nimbrel saved audio: {} ({} bytes)", lossy_utf8(path), size));
    {
        std::lock_guard guard(app.state_lock);
        app.state.recording = false;
        app.state.phase = "recorded";
        app.state.audio_path = path;
        app.state.audio_size = size;
    }
    return send_json(
        request, 200,
        fmt::format(R"({{"ok":true,"path":"{}","size":{}}})", escape_json_text(path), size));
}

RouteOutcome discard(VoiceoverApp& app, http::Request& request) {
    console_line("discarding voiceover take");
    {
        std::lock_guard guard(app.state_lock);
        app.state.recording = false;
        app.state.phase = "idle";
        app.state.audio_path.reset();
        app.state.audio_size = 0;
        app.state.finalize_path.reset();
    }
    return send_json(request, 200, R"({"ok":true})");
}

RouteOutcome replay(VoiceoverApp& app, http::Request& request) {
    const std::string output = app.media().output;
    if (!path_exists(output)) {
        return send_failure(request, 404, "final file not found: " + output);
    }
    {
        std::lock_guard guard(app.state_lock);
        app.state.phase = "done";
        app.state.finalize_path = output;
    }
    return send_json(request, 200, R"({"ok":true})");
}

RouteOutcome adopt_latest_audio(VoiceoverApp& app, http::Request& request) {
    const std::string dir = join_path(project_dir(), "audio");
    const auto found = recordings_in(dir);
    if (found.empty()) {
        return send_failure(request, 404, "no audio files found in " + dir);
    }
    const Recording& newest = found.front();
    {
        std::lock_guard guard(app.state_lock);
        app.state.audio_path = newest.path;
        app.state.audio_size = newest.size;
        app.state.phase = "recorded";
    }
    return send_json(request, 200,
                     fmt::format(R"({{"ok":true,"path":"{}","size":{}}})",
                                 escape_json_text(newest.path), newest.size));
}

} // namespace voiceover

RouteOutcome handle_voiceover_request(VoiceoverApp& app, http::Request request,
                                      const std::string& method, const std::string& path) {
    using namespace voiceover;
    if (method == "GET") {
        if (path == "/video") {
            return input_video(app, request);
        }
        if (path == "/final-video") {
            return final_video(app, request);
        }
        if (path == "/takes") {
            return list_takes(app, request);
        }
        if (path == "/timeline") {
            return timeline(app, request);
        }
        if (path == "/waveform" || path == "/waveform-preview") {
            return waveform(app, request, false);
        }
        if (path == "/waveform-raw") {
            return waveform(app, request, true);
        }
        if (path == "/state") {
            return get_state(app, request);
        }
    } else if (method == "POST") {
        using Route = RouteOutcome (*)(VoiceoverApp&, http::Request&);
        static constexpr std::pair<std::string_view, Route> kPosts[] = {
            {"/normalize", normalize},
            {"/revert-to-raw", revert_to_raw},
            {"/save-final", save_final},
            {"/reveal", reveal},
            {"/adopt-latest-audio", adopt_latest_audio},
            {"/select-take", select_take},
            {"/start-recording", start_recording},
            {"/stop-recording", stop_recording},
            {"/discard", discard},
            {"/replay", replay},
            {"/finalize", finalize},
        };
        for (const auto& [route_path, route] : kPosts) {
            if (path == route_path) {
                return route(app, request);
            }
        }
    }
    return Declined{std::move(request)};
}

} // namespace reelcut
