// The concat and append-still subcommands: a manifest's clips joined into a final cut, and a
// still card held at the end of a video.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"
#include "storyboard/manifest.hpp"

#include <optional>
#include <string>

namespace reelcut {

Status run_concat(const ConcatArgs& args);

Status run_append_still(const AppendStillArgs& args);

// The clip's raw_path for "raw", its fast_path for "fast" (nothing for any other kind), when set
// and present on disk.
std::optional<std::string> existing_clip_path_of_kind(const Clip& clip, const std::string& kind);

} // namespace reelcut
