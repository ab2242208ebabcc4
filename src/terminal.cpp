#include "terminal.hpp"

#include "text_format.hpp"

#include <cerrno>
#include <fmt/format.h>
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

} // namespace reelcut
