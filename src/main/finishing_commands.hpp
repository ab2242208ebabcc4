// The concat and append-still subcommands: a manifest's clips joined into a final cut, and a
// still card held at the end of a video.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"

namespace reelcut {

Status run_concat(const ConcatArgs& args);

Status run_append_still(const AppendStillArgs& args);

} // namespace reelcut
