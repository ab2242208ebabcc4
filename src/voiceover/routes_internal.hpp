// Shared by the voiceover's route files (recording, takes, media): reply helpers and the route
// handlers themselves, which routes.cpp dispatches to.
#pragma once

#include "subprocess.hpp"
#include "voiceover/routes.hpp"
#include "voiceover/voiceover_app.hpp"

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace reelcut::voiceover {

// JSON and text replies: a client that went away is not an error of the server.
RouteOutcome send_json(http::Request& request, std::uint16_t status, std::string body);
RouteOutcome send_text(http::Request& request, std::uint16_t status, std::string body);
// {"ok":false,"error":"TEXT"} with TEXT escaped.
RouteOutcome send_failure(http::Request& request, std::uint16_t status, std::string_view text);

// Why a request got no media run slot.
enum class NoSlot {
    client_left, // nobody to answer
    busy,        // every slot stayed taken for the whole wait
    stopping,    // the server is shutting down
};

// One of the server's media run slots, held for the life of the value.
class MediaSlot {
  public:
    // Waits for a free slot, at most the server's slot wait.
    static std::variant<MediaSlot, NoSlot> acquire(VoiceoverApp& app, const http::Request& request);
    MediaSlot(MediaSlot&& other) noexcept : runs_(std::exchange(other.runs_, nullptr)) {}
    MediaSlot(const MediaSlot&) = delete;
    MediaSlot& operator=(const MediaSlot&) = delete;
    MediaSlot& operator=(MediaSlot&&) = delete;
    ~MediaSlot();

  private:
    explicit MediaSlot(MediaRuns* runs) : runs_(runs) {}
    MediaRuns* runs_;
};

// The outcome of a route that got no slot: no reply when its client left, else 503 with the
// reason, as JSON ({"ok":false,"error":...}) or as text.
RouteOutcome refuse_media(http::Request& request, NoSlot why, bool json);

// What every media run of the session is started with: its time limit.
SpawnOptions media_run_options(const VoiceoverApp& app);

// A copy of the session taken under its lock.
VoiceoverState snapshot(const VoiceoverApp& app);

// Writes a line on standard output, as the server's console lines are.
void console_line(std::string_view line);

RouteOutcome get_state(VoiceoverApp& app, http::Request& request);
RouteOutcome start_recording(VoiceoverApp& app, http::Request& request);
RouteOutcome stop_recording(VoiceoverApp& app, http::Request& request);
RouteOutcome discard(VoiceoverApp& app, http::Request& request);
RouteOutcome replay(VoiceoverApp& app, http::Request& request);
RouteOutcome adopt_latest_audio(VoiceoverApp& app, http::Request& request);

RouteOutcome finalize(VoiceoverApp& app, http::Request& request);
RouteOutcome normalize(VoiceoverApp& app, http::Request& request);
RouteOutcome revert_to_raw(VoiceoverApp& app, http::Request& request);
RouteOutcome select_take(VoiceoverApp& app, http::Request& request);
RouteOutcome save_final(VoiceoverApp& app, http::Request& request);
RouteOutcome list_takes(VoiceoverApp& app, http::Request& request);

RouteOutcome input_video(VoiceoverApp& app, http::Request& request);
RouteOutcome final_video(VoiceoverApp& app, http::Request& request);
RouteOutcome timeline(VoiceoverApp& app, http::Request& request);
RouteOutcome waveform(VoiceoverApp& app, http::Request& request, bool raw);
RouteOutcome reveal(VoiceoverApp& app, http::Request& request);

} // namespace reelcut::voiceover
