// What the ffmpeg layer's operations share: temporary files, the VP9 encoder settings and the
// way ffmpeg's error output is quoted in messages.
#pragma once

#include "result.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

// TMPDIR when set and not empty, else "/tmp".
std::string system_temp_dir();

// `name` in the system temporary directory.
std::string temp_file_path(std::string_view name);

// "<temp dir>/<prefix><tag><suffix>" with a scratch tag (file_io.hpp): two overlapping
// operations, in this process, another or a later one, never share a temporary file, and one
// left by a killed run is recognised as abandoned. `prefix` begins with "tevo-reelcut-".
std::string unique_temp_path(std::string_view prefix, std::string_view suffix);

// Removes the file when the scope ends, on every path; a failed removal is ignored.
class RemoveOnExit {
  public:
    explicit RemoveOnExit(std::string path) : path_(std::move(path)) {}
    ~RemoveOnExit();
    RemoveOnExit(const RemoveOnExit&) = delete;
    RemoveOnExit& operator=(const RemoveOnExit&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// ffmpeg empties its output file before it has read its inputs, and guards against that only when
// both are spelled alike: an output that is one of the inputs under another name ("./a.webm", an
// absolute path, a link) fails here instead of destroying the input.
Status refuse_overwriting_input(const std::vector<std::string>& inputs, const std::string& output);

// Frames a second of every encode: a length under 1 / this holds no frame.
constexpr int kEncodeFrameRate = 30;

// "-c:v libvpx-vp9 -b:v 2M -deadline realtime -cpu-used 8 -row-mt 1 -r 30 -fps_mode cfr -g 60
// -keyint_min 60", the settings of every encode.
const std::vector<std::string>& vp9_encoder_args();

// The first `count` lines of ffmpeg's standard error (invalid UTF-8 replaced, split at line
// feeds, a carriage return before one removed, empty lines kept), joined with "; ".
std::string first_error_lines(std::string_view err, std::size_t count);

// The last `count` lines of ffmpeg's standard error, split as first_error_lines does, in their
// order, joined with `separator`.
std::string last_error_lines(std::string_view err, std::size_t count, std::string_view separator);

} // namespace reelcut
