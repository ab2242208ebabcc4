// Terminal output for every layer: OK/ERROR/WARN/Hint lines, info lines and the colour codes
// they use. Part of the base layer: it includes nothing above text_format.
#pragma once

#include <string>
#include <string_view>

namespace reelcut {

namespace ansi {
inline constexpr const char* reset = "\x1b[0m";
inline constexpr const char* bold = "\x1b[1m";
inline constexpr const char* dim = "\x1b[2m";
inline constexpr const char* red = "\x1b[31m";
inline constexpr const char* green = "\x1b[32m";
inline constexpr const char* yellow = "\x1b[33m";
inline constexpr const char* cyan = "\x1b[36m";
inline constexpr const char* erase_line = "\x1b[K"; // from the cursor to the end of the line
} // namespace ansi

// Each stream is tested once per process; the answer never changes afterwards.
bool stdout_is_tty();
bool stderr_is_tty();

// Removes every ESC "[" ... letter sequence (to the end of the text when no letter follows).
std::string strip_ansi(std::string_view text);

void print_ok(std::string_view message);    // standard output
void print_error(std::string_view message); // standard error
void print_warn(std::string_view message);  // standard error
void print_hint(std::string_view message);  // standard error
void print_info(std::string_view line);     // standard output, colours already in the line

// Writes raw text to a descriptor; a closed descriptor or a vanished reader is ignored.
void write_fd(int fd, std::string_view text);

// "{cyan}{value}{reset}", the way values are highlighted inside messages.
std::string in_cyan(std::string_view value);

// Text form of a path: invalid UTF-8 replaced by U+FFFD.
std::string display_path(std::string_view path);

} // namespace reelcut
