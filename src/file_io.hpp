// Whole-file reads and writes with the system's error text ("... (os error N)") on failure; the
// callers put the operation and the path in front.
#pragma once

#include "result.hpp"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace reelcut {

Result<std::string> read_whole_file(const std::string& path);

// Creates or truncates the file (permission bits before the umask) and writes all of `content`.
Status write_whole_file(const std::string& path, std::string_view content, mode_t mode = 0666);

} // namespace reelcut
