// The process subcommand: a recording and its markers in, the sped-up, captioned video out.
#pragma once

#include "main/cli.hpp"
#include "markers.hpp"
#include "result.hpp"

#include <vector>

namespace reelcut {

Status run_process(const ProcessArgs& args);

// Keeps, in order, the segments that end after t + 0.001.
void retain_segments_ending_after(std::vector<Segment>& segments, double t);

// Keeps, in order, the segments that start before t - 0.001.
void retain_segments_starting_before(std::vector<Segment>& segments, double t);

bool cmp_segment_start(const Segment& a, const Segment& b);

} // namespace reelcut
