// The subcommands used while recording: mark, wrap and inspect.
#pragma once

#include "main/cli.hpp"
#include "markers.hpp"
#include "result.hpp"

#include <vector>

namespace reelcut {

Status run_mark(const MarkAction& action);

// Returns the exit status of the whole run (the wrapped command's, or 1); prints its own errors.
int run_wrap(const WrapArgs& args);

Status run_inspect(const InspectArgs& args);

double sum_source_seconds(const std::vector<Segment>& segments);
double sum_output_seconds(const std::vector<Segment>& segments);

} // namespace reelcut
