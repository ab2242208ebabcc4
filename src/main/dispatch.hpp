// Runs one parsed subcommand and turns its outcome into the process exit status.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"

#include <string>
#include <vector>

namespace reelcut {

// Prints the error line (and the hint line when the message holds "Hint: "); returns 1.
int error_tail(const std::string& message);

int dispatch(const Cli& cli);

// The whole program after start-up: parses the arguments (printing the parser's own output and
// returning its status when it stops there), then dispatches.
int run_command_line(const std::vector<std::string>& args);

} // namespace reelcut
