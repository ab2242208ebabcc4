// The speed-up encode: one filter graph that cuts, speeds up and captions the marked sections,
// and the VP9 encode that runs it with a live progress line.
#pragma once

#include "markers.hpp"
#include "result.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

// The caption font of the sped-up sections.
inline constexpr const char* kCaptionFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf";

// `segments` sorted by start and clipped to [range_start, range_end]; the graph's output stream
// is "[out]".
std::string speedup_filter(const std::vector<Segment>& segments, std::uint32_t font_px,
                           bool no_overlay, double range_end, double range_start,
                           double base_speed);

// Encodes `input` through `graph` into `output` (VP9, no audio), downscaled to at most
// `max_width` pixels wide unless it is 0. Progress goes to standard error at most once a second;
// `progress_total` (seconds) turns it into a percentage.
Status run_speedup(const std::string& input, const std::string& output, const std::string& graph,
                   std::optional<double> progress_total, std::uint32_t max_width);

// Whether a line of ffmpeg's error output belongs in an error message (statistics, blank lines
// and the keyboard hint do not).
bool keep_stderr_line(std::string_view line);

} // namespace reelcut
