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

// ffmpeg -y -i VIDEO -i AUDIO -c:v copy -c:a libopus -shortest OUTPUT. Fails with "ffmpeg spawn
// failed: ..." or "ffmpeg mux failed:\n" and the last 20 lines of ffmpeg's error output.
Status mux_narration(const std::string& video, const std::string& audio, const std::string& output);

// Where the takes of an output path live and how they are named.
struct TakeNames {
    std::string dir;  // the output's parent, "." when it has none
    std::string stem; // the output's file stem ("" when none)
    std::string ext;  // the output's extension ("webm" when none)

    std::string raw_take(std::uint32_t take) const;        // DIR/STEM-take-N.EXT
    std::string normalized_take(std::uint32_t take) const; // DIR/STEM-take-N-norm.EXT
    std::string preview(std::uint64_t unix_seconds) const; // DIR/STEM-norm-SECONDS.EXT
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

// The body of a GET "/timeline" that found its segments and duration.
std::string timeline_json(const std::vector<Segment>& segments, double probed_duration);

} // namespace reelcut
