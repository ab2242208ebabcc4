// Runs one parsed subcommand and turns its outcome into the process exit status.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"

namespace reelcut {

// Prints the error line (and the hint line when the message holds "Hint: "); returns 1.
int error_tail(const std::string& message);

int dispatch(const Cli& cli);

} // namespace reelcut
