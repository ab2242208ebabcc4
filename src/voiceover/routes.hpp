// The voiceover's routes: session state and recording (through the workspace tool), takes with
// their mux and loudness levelling (through ffmpeg), the videos, the speed-up timeline, waveform
// images and revealing a file in the editor.
//
// Routes are matched on the method, then the exact path, byte for byte; anything else is
// declined. Replies are JSON or text; every text placed into a JSON reply goes through
// escape_json_text. A route whose workspace tool cannot be started, whose stop report cannot be
// used, or whose request body cannot be read sends no reply: the HTTP layer answers 500 with an
// empty body and the request thread prints the message.
//
// Threads: every route runs on its request's thread; the session lock is held only to copy or
// write fields, never while a tool runs, a file is copied or a reply is sent.
#pragma once

#include "markers.hpp"
#include "result.hpp"
#include "subprocess.hpp"
#include "webapp/server.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

class VoiceoverApp;

RouteOutcome handle_voiceover_request(VoiceoverApp& app, http::Request request,
                                      const std::string& method, const std::string& path);

// ffmpeg -y -i VIDEO -i AUDIO -map 0:v:0 -map 1:a:0 -c:v copy -c:a libopus -shortest OUTPUT: the
// video's picture with the narration as its only sound, whatever audio the video had. Fails with
// "ffmpeg spawn failed: ..." or "ffmpeg mux failed:\n" and the last 20 lines of ffmpeg's error
// output (or the time limit it ran past).
Status mux_narration(const std::string& video, const std::string& audio, const std::string& output,
                     const SpawnOptions& options = {});

// Where the takes of an output path live and how they are named.
struct TakeNames {
    std::string dir;  // the output's parent, "." when it has none
    std::string stem; // the output's file stem ("" when none)
    std::string ext;  // the output's extension ("webm" when none)

    std::string raw_take(std::uint32_t take) const;        // DIR/STEM-take-N.EXT
    std::string normalized_take(std::uint32_t take) const; // DIR/STEM-take-N-norm.EXT
    // DIR/STEM-norm-SECONDS.EXT; the n-th preview of one second (n > 1):
    // DIR/STEM-norm-SECONDS-N.EXT
    std::string preview(std::uint64_t unix_seconds, unsigned n = 1) const;
};
TakeNames take_names(std::string_view output);

// The largest take number among the files of the take directory ("STEM-take-" and digits, any
// suffix and extension); nothing when there is none or the directory cannot be listed.
std::optional<std::uint32_t> highest_take_on_disk(const TakeNames& names);

// The body of GET "/takes": the input, the raw and auto-levelled takes by number, the committed
// output and the legacy previews by time, `current` marked as selected.
std::string takes_json(const std::string& input, const TakeNames& names,
                       const std::optional<std::string>& current);

// Whether two paths have the same components (doubled slashes and inner "." ignored).
bool same_components(std::string_view a, std::string_view b);

// The body of a GET "/timeline" that found its segments and duration. A segment of speed 0 (which
// the markers file allows, and which speeds nothing up) counts as played at speed 1.
std::string timeline_json(const std::vector<Segment>& segments, double probed_duration);

} // namespace reelcut
