// Asking ffprobe about a video (duration, frame size) and checking that both tools start.
#pragma once

#include "result.hpp"
#include "subprocess.hpp"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

struct FrameSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct ToolVersions {
    std::string ffmpeg;
    std::string ffprobe;
};

// ffprobe -v error <extra...> -of default=noprint_wrappers=1:nokey=1 <path>: its standard output,
// trimmed.
Result<std::string> ffprobe_query(const std::string& path, const std::vector<std::string>& extra,
                                  const SpawnOptions& options = {});

// The container's duration, else the first video stream's, else that of a stream copy into a
// fresh WebM file (which then carries one). Seconds. `options` apply to every tool run (a time
// limit, say).
Result<double> probe_duration(const std::string& path, const SpawnOptions& options = {});

// The first video stream's width and height.
Result<FrameSize> probe_dimensions(const std::string& path);

// The version words of ffmpeg and ffprobe; fails only when one cannot be started.
Result<ToolVersions> health();

// The third word of the first line of a tool's -version output, or "?".
std::string version_word(std::string_view output);

} // namespace reelcut
