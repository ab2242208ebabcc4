// Whole-file reads and writes with the system's error text ("... (os error N)") on failure; the
// callers put the operation and the path in front.
#pragma once

#include "result.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace reelcut {

// A path split as ordinary path handling names its parts: trailing "/" and "/." name no
// component.
struct PathParts {
    std::string_view parent; // "" for a bare name, "/" for a name in the root
    std::string_view last;   // the last component as written: "" for the root or an empty path
    // The file name: none when the last component is empty, "." or "..".
    std::optional<std::string_view> file_name() const;
};
PathParts split_path(std::string_view path);

// The text after the last dot of a file name; none without a dot, or when the only dot leads
// (".story" is a name, not an extension).
std::optional<std::string_view> file_extension(std::string_view name);

// Where a subcommand writes when no --output is given: "<dir>/<stem>-<suffix>.<ext>".
std::string default_output_path(const std::string& input, std::string_view suffix);

// Whether a file-system status query on the path succeeds (a directory counts). A path with a NUL
// byte names no file: the system would read only the text before it.
bool path_exists(const std::string& path);
bool is_regular_file(const std::string& path);

// Whether both paths name one existing file (links followed): "./a" and "a", an absolute
// spelling, a symbolic or hard link.
bool same_file(const std::string& a, const std::string& b);

// A file name without its extension (see file_extension).
std::string_view file_stem(std::string_view name);

// `name` inside `dir`: `name` alone when `dir` is empty, one "/" between them otherwise.
std::string join_path(std::string_view dir, std::string_view name);

// The directory part of a path: "" for a bare name, "/" for a name in the root.
std::string parent_directory(std::string path);

// mkdir -p: 0 when `dir` exists as a directory afterwards (made here, earlier or meanwhile by
// someone else), else the errno of the step that failed. An empty path is nothing to make.
int make_directories(const std::string& dir);

Result<std::string> read_whole_file(const std::string& path);

// Creates or truncates the file (permission bits before the umask) and writes all of `content`.
Status write_whole_file(const std::string& path, std::string_view content, mode_t mode = 0666);

// What makes a scratch file's name unique: "<pid>-<run>-<n>", with a random run token drawn once
// per process (a pid alone comes back in a later run) and n counting calls in this process.
std::string scratch_tag();

// A name beside `path` to write it under before it is renamed onto it:
// "<stem>.partial-<tag>.<ext>". The extension stays last, as ffmpeg picks its format by it; the
// stem is shortened (at a character boundary) when the name would pass the file-name limit.
std::string partial_path_beside(const std::string& path);

// Whether `name` is one of this program's scratch file names (below).
bool is_scratch_name(std::string_view name);

// Whether `name` is a scratch file of this program ("<stem>.partial-<tag>..." beside a target,
// "tevo-reelcut-...-<tag>..." in the temporary directory) whose writer has gone: its process has
// ended, or it is an earlier run of this one's pid.
bool is_abandoned_scratch(std::string_view name);

// Removes the abandoned scratch files directly in `dir` ("" is the current directory): what a run
// killed while writing left behind. Files of running processes are theirs to finish.
void remove_abandoned_scratch(const std::string& dir);

// Ends writing `target` under its partial name: renames `partial` onto it when `written`
// succeeded; otherwise, and when the rename fails, removes `partial` and fails.
Status rename_into_place(const std::string& partial, const std::string& target, Status written);

// Renames `partial` onto `target` unless `target` exists: false (and `partial` left as it is)
// when it does, so that no writer replaces a file another has just placed.
Result<bool> rename_if_free(const std::string& partial, const std::string& target);

// `path` with its symbolic links followed to the file they name, which need not exist yet; the
// path itself when it is no link (or the links loop).
std::string through_links(const std::string& path);

} // namespace reelcut
