// Terminal style helpers and derived output paths.
#include "file_io.hpp"
#include "main/dispatch.hpp"
#include "terminal.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

namespace reelcut {
namespace {

TEST(StripAnsi, RemovesControlSequences) {
    struct Case {
        std::string in, out;
    };
    for (const auto& c : std::vector<Case>{
             {"\x1b[1;31mred\x1b[0m", "red"},
             {"a\x1b[12", "a"}, // unterminated: runs to the end
             {"a\x1b"
              "b",
              "a\x1b"
              "b"},           // ESC without "[" stays
             {"\x1b[[x", ""}, // the sequence runs to the first letter
             {"plain → text", "plain → text"},
             {"\x1b[36m/tmp/x\x1b[0m and \x1b[2mdim\x1b[0m", "/tmp/x and dim"},
             {"", ""},
         }) {
        EXPECT_EQ(strip_ansi(c.in), c.out) << c.in;
    }
}

// What `body` writes to descriptor `fd` (which is not a terminal while it runs).
std::string capture_fd(int fd, const std::function<void()>& body) {
    int pipe_fds[2];
    EXPECT_EQ(::pipe(pipe_fds), 0);
    const int saved = ::dup(fd);
    ::dup2(pipe_fds[1], fd);
    ::close(pipe_fds[1]);
    body();
    ::dup2(saved, fd);
    ::close(saved);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = ::read(pipe_fds[0], buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(pipe_fds[0]);
    return out;
}

TEST(ErrorTail, HintLineRepeatsEverythingAfterTheFirstHint) {
    struct Case {
        std::string message, printed;
    };
    for (const auto& c : std::vector<Case>{
             {"input missing. Hint: check the path. Hint: or run ls",
              "ERROR: input missing. Hint: check the path. Hint: or run ls\n"
              "Hint: check the path. Hint: or run ls\n"},
             {"ends with a bare Hint: ", "ERROR: ends with a bare Hint: \nHint: \n"},
             {"lower case hint: is no hint", "ERROR: lower case hint: is no hint\n"},
             {"no hint at all", "ERROR: no hint at all\n"},
         }) {
        int status = -1;
        EXPECT_EQ(capture_fd(2, [&] { status = error_tail(c.message); }), c.printed);
        EXPECT_EQ(status, 1);
    }
}

TEST(Printers, PlainWhenTheStreamIsNoTerminal) {
    if (stdout_is_tty() || stderr_is_tty()) {
        GTEST_SKIP() << "the terminal test is made once per process";
    }
    EXPECT_EQ(capture_fd(1, [] { print_ok("SKILL.md deployed to " + in_cyan("/h/SKILL.md")); }),
              "OK: SKILL.md deployed to /h/SKILL.md\n");
    EXPECT_EQ(capture_fd(1, [] { print_info(std::string(ansi::cyan) + "running" + ansi::reset); }),
              "running\n");
    EXPECT_EQ(capture_fd(2, [] { print_warn("careful"); }), "WARN: careful\n");
    EXPECT_EQ(capture_fd(2, [] { print_hint(std::string(ansi::dim) + "do this"); }),
              "Hint: do this\n");
}

TEST(DefaultOutputPath, StemAndExtensionBesideTheInput) {
    struct Case {
        std::string input, suffix, expected;
    };
    for (const auto& c : std::vector<Case>{
             {"clip.webm", "narrated", "clip-narrated.webm"},
             {"/v/take", "narrated", "/v/take-narrated.webm"},
             {"/v/.hidden", "narrated", "/v/.hidden-narrated.webm"},
             {"/rec/demo.mp4", "fast", "/rec/demo-fast.mp4"},
             {"/rec/demo.final.webm", "fast", "/rec/demo.final-fast.webm"},
             {"rel/dir/x.webm", "fast", "rel/dir/x-fast.webm"},
             {"/clip.webm", "fast", "/clip-fast.webm"},
             {"dir/clip.webm/", "fast", "dir/clip-fast.webm"},
             {"/", "fast", "./-fast.webm"},
             {"", "fast", "./-fast.webm"},
             {"/v/..", "fast", "/v/-fast.webm"},
         }) {
        EXPECT_EQ(default_output_path(c.input, c.suffix), c.expected) << c.input;
    }
}

} // namespace
} // namespace reelcut
