// The markers file: JSON Lines of recording and speed-up events, and their pairing into segments.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace reelcut {

struct RecordingStart {
    double epoch = 0.0;
};
struct SpeedupStart {
    double epoch = 0.0;
    std::uint32_t speed = 0;
    std::string label;
};
struct SpeedupEnd {
    double epoch = 0.0;
};
using Event = std::variant<RecordingStart, SpeedupStart, SpeedupEnd>;

struct Segment {
    std::string label;
    double start = 0.0; // seconds since the recording start
    double end = 0.0;
    std::uint32_t speed = 0;
};

struct UnclosedStart {
    std::string label;
    double start = 0.0;
    std::uint32_t speed = 0;
};

struct ParsedMarkers {
    std::vector<Segment> segments;       // sorted by start, stable
    std::vector<std::string> warnings;   // file order
    std::vector<UnclosedStart> unclosed; // empty, or the one start left open
    double recording_start = 0.0;        // absolute epoch every relative time counts from
};

// "VIDEO_SPEEDUP_MARKERS" when set and valid UTF-8 (even empty), else the /tmp default.
std::string default_markers_path();

// Unix seconds with fraction; 0.0 before the epoch.
double now_epoch();

// Compact JSON object of one event, keys in order: action, epoch[, speed, label].
std::string serialize_event(const Event& event);

// "RecordingStart { epoch: 1.5 }" and friends, as shown in the first-event error.
std::string debug_event(const Event& event);

// Creates or truncates the file with one recording_start line; returns its epoch.
Result<double> init_markers(const std::string& path);

// Appends one line (creating the file when missing).
Status append_event(const std::string& path, const Event& event);

Result<std::vector<Event>> read_events(const std::string& path);

// The events of a markers file's whole text, with read_events' rules and messages.
Result<std::vector<Event>> parse_events(std::string_view text);

Result<ParsedMarkers> parse_segments(const std::vector<Event>& events);

} // namespace reelcut
