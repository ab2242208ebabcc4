// The `eval` subcommand: runs a JavaScript snippet inside the page served on a loopback port and
// prints the result the page posted back.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"

namespace reelcut {

// Prints the result JSON on standard output; fails when the page reports ok other than true
// (after printing), or when the page cannot be reached or does not answer in time.
Status run_eval(const EvalArgs& args);

} // namespace reelcut
