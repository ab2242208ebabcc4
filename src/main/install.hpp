// install: deploys the embedded skill document where the coding agent looks for its skills.
#pragma once

#include "result.hpp"

#include <string>

namespace reelcut {

// Writes SKILL.md into $HOME/.claude/skills/tevo-reelcut/ (created as needed), replacing any
// earlier copy, and gives the path of the written file.
Result<std::string> install_skill();

} // namespace reelcut
