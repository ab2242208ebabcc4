// Whole-file reads and writes with the system's error text ("... (os error N)") on failure; the
// callers put the operation and the path in front.
#pragma once

#include "result.hpp"

#include <string>
#include <string_view>
#include <sys/types.h>

namespace reelcut {

// The directory part of a path: "" for a bare name, "/" for a name in the root.
std::string parent_directory(std::string path);

// mkdir -p: 0 when `dir` exists as a directory afterwards (made here, earlier or meanwhile by
// someone else), else the errno of the step that failed. An empty path is nothing to make.
int make_directories(const std::string& dir);

Result<std::string> read_whole_file(const std::string& path);

// Creates or truncates the file (permission bits before the umask) and writes all of `content`.
Status write_whole_file(const std::string& path, std::string_view content, mode_t mode = 0666);

} // namespace reelcut
