// Terminal style helpers and derived output paths.
#include "main/output.hpp"

#include <gtest/gtest.h>

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
