#include "main/output.hpp"

#include "file_io.hpp"
#include "subprocess.hpp"

#include <cerrno>
#include <fmt/format.h>
#include <optional>
#include <unistd.h>

namespace reelcut {

bool stdout_is_tty() {
    static const bool tty = ::isatty(1) == 1;
    return tty;
}

bool stderr_is_tty() {
    static const bool tty = ::isatty(2) == 1;
    return tty;
}

std::string strip_ansi(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            std::size_t j = i + 2;
            while (j < text.size() &&
                   !((text[j] >= 'A' && text[j] <= 'Z') || (text[j] >= 'a' && text[j] <= 'z'))) {
                ++j;
            }
            i = j; // the letter itself (or the end) is dropped with the sequence
            continue;
        }
        out += text[i];
    }
    return out;
}

void write_fd(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return; // closed descriptor or gone reader: the line is dropped
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

namespace {

void print_tagged(int fd, bool tty, std::string_view colour, bool bold, std::string_view tag,
                  std::string_view message) {
    if (tty) {
        write_fd(fd, fmt::format("{}{}{}{} {}\n", colour, bold ? ansi::bold : "", tag, ansi::reset,
                                 message));
    } else {
        write_fd(fd, fmt::format("{} {}\n", tag, strip_ansi(message)));
    }
}

} // namespace

void print_ok(std::string_view message) {
    print_tagged(1, stdout_is_tty(), ansi::green, true, "OK:", message);
}

void print_error(std::string_view message) {
    print_tagged(2, stderr_is_tty(), ansi::red, true, "ERROR:", message);
}

void print_warn(std::string_view message) {
    print_tagged(2, stderr_is_tty(), ansi::yellow, true, "WARN:", message);
}

void print_hint(std::string_view message) {
    print_tagged(2, stderr_is_tty(), ansi::dim, false, "Hint:", message);
}

void print_info(std::string_view line) {
    write_fd(1, (stdout_is_tty() ? std::string(line) : strip_ansi(line)) + "\n");
}

std::string in_cyan(std::string_view value) {
    return fmt::format("{}{}{}", ansi::cyan, value, ansi::reset);
}

std::string display_path(std::string_view path) {
    return lossy_utf8(path);
}

std::string default_output_path(const std::string& input, std::string_view suffix) {
    const PathParts parts = split_path(input);
    if (parts.last.empty()) {
        return fmt::format("./-{}.webm", suffix); // no parent at all: the current directory
    }
    // "." and ".." name no file: empty stem, no extension.
    const std::string_view name = parts.file_name().value_or(std::string_view{});
    const std::optional<std::string_view> ext = file_extension(name);
    return join_path(parts.parent, fmt::format("{}-{}.{}", lossy_utf8(file_stem(name)), suffix,
                                               ext ? lossy_utf8(*ext) : std::string("webm")));
}

} // namespace reelcut
