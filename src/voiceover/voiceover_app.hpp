// The voiceover server: a narration session over one finished video. The narrator records a
// voice track (a caption countdown, then the workspace captures the microphone), finalizes it
// into numbered takes muxed over the video and auto-levelled, compares them and saves one over
// the output path.
//
// All session state lives in memory, behind one mutex (`VoiceoverState`); every take is a file
// beside the output and is never deleted. The runner's result, the raw take of the last good
// finalize, has a slot of its own behind a second mutex. The two are never held together, and
// neither is held while an outside tool runs or a file is copied.
#pragma once

#include "result.hpp"
#include "webapp/server.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace reelcut {

// The voiceover subcommand's settings, with the output path already resolved.
struct VoiceoverOptions {
    std::string input;  // the silent video narrated over
    std::string output; // where the chosen take is saved; takes live beside it
    std::uint16_t port = 8796;
    std::string tab_name;
    std::optional<std::string> panel_id;
    std::optional<std::string> markers; // the recording's markers file, for the timeline
    bool no_open = false;
};

// The session. Routes copy what they need under the lock, release it for the work, then lock
// again to write their results together.
struct VoiceoverState {
    std::string phase = "idle"; // idle, recording, recorded, finalizing, done, error
    bool recording = false;
    std::optional<std::string> audio_path;    // narration of the current take
    std::uint64_t audio_size = 0;             // as reported when audio_path was set
    std::optional<std::string> finalize_path; // raw mux of the latest take, or the output (replay)
    std::optional<std::string> preview_path;  // the version chosen for playback and saving

    // preview, else finalize: what GET "/takes" marks as selected.
    std::optional<std::string> current_take() const;
    // The current take, else the output.
    std::string current_file(const std::string& output) const;
    // finalize, else the output.
    std::string raw_file(const std::string& output) const;
    // preview, else the output.
    std::string playback_file(const std::string& output) const;
};

// What the runner reports once the server has stopped: a video path or an error message.
struct FinalOutcome {
    bool ok = true;
    std::string text;
};

struct FinalResultSlot {
    std::mutex lock;
    std::optional<FinalOutcome> value;
};

// Take numbers being written by finalizes still running, so that two at once never pick the
// same number (the files appear on disk only as ffmpeg writes them).
struct TakeReservations {
    std::mutex lock;
    std::set<std::uint32_t> numbers;
};

// The media tool runs (ffmpeg, ffprobe) of this server's requests going at once. Every request
// may start one, and any process on the machine can send requests: at most kMediaRunLimit run
// together; the others wait for a slot while their client is still there, up to a limit.
inline constexpr unsigned kMediaRunLimit = 4;
struct MediaRuns {
    std::mutex lock;
    std::condition_variable freed;
    unsigned running = 0;
};

// No media wait lasts for ever: a request waits `slot_wait` at most for a free run (then 503), and
// a run that goes on past `run_time` (a take that is a pipe nobody writes, say) is stopped.
struct MediaLimits {
    std::chrono::milliseconds slot_wait{std::chrono::seconds(60)};
    std::chrono::milliseconds run_time{std::chrono::minutes(15)};
};
// The limits new sessions take; tests shorten them.
MediaLimits default_media_limits();
void set_default_media_limits(MediaLimits limits);

// The video narrated over and the output the takes are named after. The standalone server keeps
// the ones it started with; the unified app points them at the manifest's final video as it
// changes. A route reads them once and uses that copy throughout.
struct VoiceoverMedia {
    std::string input;
    std::string output;
    bool operator==(const VoiceoverMedia&) const = default;
};

class VoiceoverApp : public WebApp {
  public:
    VoiceoverApp(VoiceoverOptions args, std::shared_ptr<FinalResultSlot> final_result);

    std::string html() const override;
    std::string favicon() const override;
    RouteOutcome handle(http::Request request, const std::string& method,
                        const std::string& path) override;

    // The current media paths (taken from `args` at first).
    VoiceoverMedia media() const;
    void set_media(VoiceoverMedia media);

    const VoiceoverOptions args;
    mutable std::mutex state_lock;
    VoiceoverState state;
    const std::shared_ptr<FinalResultSlot> final_result;
    TakeReservations reservations;
    MediaRuns media_runs;
    const MediaLimits media_limits;

  private:
    // Held only to copy the paths; never together with the other locks.
    mutable std::mutex media_lock_;
    VoiceoverMedia media_;
};

// A fresh session over `args`; touches no file.
std::shared_ptr<VoiceoverApp> new_voiceover_app(VoiceoverOptions args,
                                                std::shared_ptr<FinalResultSlot> final_result);

std::string voiceover_html();
std::string voiceover_favicon();

// Serves until "/shutdown"; returns the raw take of the session's last successful finalize.
// Fails with "input video not found: ..." before serving, with serve's own message, or with
// "voiceover session ended without producing a final video".
Result<std::string> run_voiceover(VoiceoverOptions args);

// `text` as the content of a JSON string literal (no quotes around it): backslashes, double
// quotes and control characters escaped, invalid UTF-8 replaced by U+FFFD.
std::string escape_json_text(std::string_view text);

// code-server's remote command-line tool, which POST "/reveal" runs. The path is fixed; tests
// point it at a stand-in.
std::string code_server_cli();
void set_code_server_cli(std::string path);

} // namespace reelcut
