// The process subcommand end to end with real ffmpeg: lines, trims, caps and the encoded result.
#include "main/process_command.hpp"
#include "support/media_fixture.hpp"
#include "support/test_support.hpp"

#include <cmath>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>

namespace reelcut {
namespace {

using testing::ClipSpec;
using testing::lines_of;
using testing::make_clip;
using testing::probed_seconds;
using testing::read_file;
using testing::run_reelcut;
using testing::TempDir;
using testing::write_file;

constexpr double kFrame = 1.0 / 30.0;

// The output runs at a constant 30 fps: every piece of the graph may end up to a frame late (the
// concat filter counts a sped-up piece's last frame at its source length, and the frame-rate
// conversion rounds), so `pieces` frames of slack above the exact sum, one below.
void expect_output_length(const std::string& path, double expected, int pieces) {
    const double seconds = probed_seconds(path);
    EXPECT_GE(seconds, expected - kFrame) << path;
    EXPECT_LE(seconds, expected + (pieces + 1) * kFrame) << path;
}

// One markers line per event, relative to a recording start at epoch 1000.
struct MarkedSection {
    double start, end; // end < 0: left open
    int speed;
    std::string label;
};

class ProcessCommand : public ::testing::Test {
  protected:
    TempDir dir;
    std::string input = dir / "rec.webm";
    std::string markers = dir / "markers.jsonl";

    void write_markers(const std::vector<MarkedSection>& sections) {
        std::string text = "{\"action\":\"recording_start\",\"epoch\":1000.0}\n";
        for (const auto& s : sections) {
            text += fmt::format(
                "{{\"action\":\"speedup_start\",\"epoch\":{},\"speed\":{},\"label\":\"{}\"}}\n",
                1000.0 + s.start, s.speed, s.label);
            if (s.end >= 0) {
                text +=
                    fmt::format("{{\"action\":\"speedup_end\",\"epoch\":{}}}\n", 1000.0 + s.end);
            }
        }
        write_file(markers, text);
    }
    CapturedOutput process(std::vector<std::string> extra) {
        std::vector<std::string> args = {"process", "--input", input, "--markers", markers};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_reelcut(args);
    }
};

TEST_F(ProcessCommand, SpeedsUpTheMarkedSectionAndReportsTheSaving) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 6, .width = 320, .height = 180}));
    write_markers({{1.0, 4.0, 4, "Exporting"}});
    auto r = process({});
    ASSERT_EQ(r.status.code, 0) << r.err;
    const std::string output = dir / "rec-fast.webm";
    const auto out = lines_of(r.out);
    ASSERT_EQ(out.size(), 7u) << r.out;
    EXPECT_EQ(out[0], "input: 320x180 6.0s, caption font 20px");
    EXPECT_EQ(out[1], "1 speedup segments to process");
    EXPECT_EQ(out[2], "  -    3.0s @   4x: \"Exporting\"  ->  0.8s");
    EXPECT_EQ(out[3],
              fmt::format("filter graph: {} chars, 2 segments",
                          std::string("[0:v]trim=start=0.000:end=1.000,setpts=PTS-STARTPTS[v0];"
                                      "[0:v]trim=start=1.000:end=4.000,setpts=0.250000*(PTS-"
                                      "STARTPTS),drawtext=text='4x SPEEDUP\\: Exporting':"
                                      "fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-"
                                      "Bold.ttf:fontsize=20:fontcolor=white:box=1:boxcolor="
                                      "red@0.85:boxborderw=20:x=(w-text_w)/2:y=80[v1];"
                                      "[0:v]trim=start=4.000:end=6.000,setpts=PTS-STARTPTS[v2];"
                                      "[v0][v1][v2]concat=n=3:v=1:a=0[out]")
                              .size()));
    EXPECT_EQ(out[4], "running ffmpeg...");
    EXPECT_EQ(out[5], "OK: " + output);
    EXPECT_EQ(out[6].rfind("  input:  6.0s  →  output: 3.8s  (", 0), 0u) << out[6];

    // 1 s + 3 s at 4x + 2 s.
    expect_output_length(output, 3.75, 3);
    EXPECT_EQ(testing::stream_count(output, "audio"), 0);
    EXPECT_NE(r.err.find("\x1b[32mdone\x1b[0m in "), std::string::npos) << r.err;
}

TEST_F(ProcessCommand, TrimsCapsAndOpenStarts) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 10, .width = 320, .height = 180}));
    // Paired 4-5 s at 8x (capped to 4x), and a start at 7 s left open at 8x (kept at 8x).
    write_markers({{4.0, 5.0, 8, "Paired"}, {7.0, -1, 8, "Open"}});
    auto r = process({"--max-speed", "4", "--trim-start", "auto", "--output", dir / "out.webm"});
    ASSERT_EQ(r.status.code, 0) << r.err;
    EXPECT_EQ(r.err.rfind("WARN: capping segment 'Paired' speed from 8x to 4x\n"
                          "WARN: unclosed speedup_start 'Open' will end at end-of-video (10.0s)\n",
                          0),
              0u)
        << r.err;
    const auto out = lines_of(r.out);
    ASSERT_GE(out.size(), 6u) << r.out;
    EXPECT_EQ(out[1], "--trim-start auto: cutting 2.0s off the front of the video");
    EXPECT_EQ(out[2], "2 speedup segments to process");
    EXPECT_EQ(out[3], "  -    1.0s @   4x: \"Paired\"  ->  0.2s");
    EXPECT_EQ(out[4], "  -    3.0s @   8x: \"Open\"  ->  0.4s");
    EXPECT_EQ(out[5].rfind("filter graph: ", 0), 0u);
    EXPECT_NE(out[5].find(", 3 segments"), std::string::npos);
    // 2-4 s, 4-5 s at 4x, 5-7 s, 7-10 s at 8x.
    expect_output_length(dir / "out.webm", 2 + 0.25 + 2 + 0.375, 4);
}

TEST_F(ProcessCommand, NumericTrimsAndBaseSpeedWithoutSegments) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 6, .width = 320, .height = 180}));
    write_markers({});
    auto r = process({"--trim-start", "1", "--trim-end", "5", "--base-speed", "2"});
    ASSERT_EQ(r.status.code, 0) << r.err;
    const auto out = lines_of(r.out);
    ASSERT_GE(out.size(), 6u) << r.out;
    EXPECT_EQ(out[1], "--trim-start 1: cutting 1.0s off the front of the video");
    EXPECT_EQ(out[2], "--trim-end 5: cutting 1.0s off the end of the video (ends at 5.0s)");
    EXPECT_EQ(out[3], "no speedup segments, copying input to output unchanged");
    EXPECT_EQ(out[4], "--base-speed 2.00: applying global 2.00x speedup to all unmarked sections");
    EXPECT_EQ(out[5].substr(out[5].size() - 12), ", 1 segments");
    // Seconds 1 to 5 of the input at double speed.
    expect_output_length(dir / "rec-fast.webm", 2.0, 1);
}

TEST_F(ProcessCommand, DownscalesWideInputsOnly) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 1, .width = 1280, .height = 720}));
    write_markers({});
    auto scaled = process({"--max-width", "640"});
    ASSERT_EQ(scaled.status.code, 0) << scaled.err;
    EXPECT_EQ(lines_of(scaled.out)[0], "input: 1280x720 1.0s, caption font 42px");
    EXPECT_NE(scaled.out.find("\ndownscaling from 1280px to 640px wide (~4x faster encode)\n"),
              std::string::npos)
        << scaled.out;
    EXPECT_EQ(testing::video_size(dir / "rec-fast.webm"), std::make_pair(640, 360));

    for (const char* width : {"0", "1280"}) {
        auto kept = process({"--max-width", width});
        ASSERT_EQ(kept.status.code, 0) << kept.err;
        EXPECT_EQ(kept.out.find("downscaling"), std::string::npos) << width;
        EXPECT_EQ(testing::video_size(dir / "rec-fast.webm"), std::make_pair(1280, 720)) << width;
    }
}

TEST_F(ProcessCommand, RefusesBadOptionsBeforeEncoding) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 2, .width = 160, .height = 90}));
    write_markers({});
    struct Case {
        std::vector<std::string> args;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{"--trim-start", "Auto"},
         "--trim-start must be 'auto' or a number of seconds, got 'Auto': invalid float literal"},
        {{"--trim-end="},
         "--trim-end must be 'auto' or a number of seconds, got '': cannot parse float from "
         "empty string"},
        {{"--base-speed", "0.49"}, "--base-speed must be in [0.5, 10], got 0.49"},
        {{"--base-speed", "10.01"}, "--base-speed must be in [0.5, 10], got 10.01"},
        {{"--base-speed", "nan"}, "--base-speed must be in [0.5, 10], got NaN"},
        // A kept range that ends where it starts would otherwise encode the whole input.
        {{"--trim-start", "1.5", "--trim-end", "1"},
         "--trim-start and --trim-end leave nothing of the video: it would start at 1.5s and end "
         "at 1.0s. Hint: --trim-end is a time on the input's timeline, not a length"},
        // Less than one frame: no frame at all, or a one-frame "success".
        {{"--trim-end", "0.01"},
         "--trim-start and --trim-end leave nothing of the video: it would start at 0.0s and end "
         "at 0.0s. Hint: --trim-end is a time on the input's timeline, not a length"},
        {{"--trim-start", "1.99"},
         "--trim-start and --trim-end leave nothing of the video: it would start at 2.0s and end "
         "at 2.0s. Hint: --trim-end is a time on the input's timeline, not a length"},
    };
    for (const auto& c : cases) {
        auto r = process(c.args);
        EXPECT_EQ(r.status.code, 1) << c.error;
        EXPECT_EQ(lines_of(r.err)[0], "ERROR: " + c.error);
        EXPECT_FALSE(std::filesystem::exists(dir / "rec-fast.webm")) << c.error;
    }

    auto missing = run_reelcut({"process", "--input", dir / "none.webm", "--markers", markers});
    EXPECT_EQ(missing.status.code, 1);
    EXPECT_EQ(missing.err, "ERROR: input file not found: " + (dir / "none.webm") +
                               ". Hint: check the path with ls\nHint: check the path with ls\n");
    EXPECT_EQ(missing.out, "");
}

TEST(ProcessSegments, RetainAndOrderAtTheThresholds) {
    std::vector<Segment> segments = {
        {"a", 5.0, 10.0005, 2}, {"b", 8.0, 12.0, 2}, {"c", 30.0, 40.0, 2}, {"d", 19.9995, 25, 2}};
    retain_segments_ending_after(segments, 10.0);
    ASSERT_EQ(segments.size(), 3u);
    EXPECT_EQ(segments[0].label, "b");
    retain_segments_starting_before(segments, 20.0);
    ASSERT_EQ(segments.size(), 1u);
    EXPECT_EQ(segments[0].label, "b");
    EXPECT_TRUE(cmp_segment_start({"x", 1, 2, 2}, {"y", 2, 3, 2}));
    EXPECT_FALSE(cmp_segment_start({"x", 2, 2, 2}, {"y", 2, 3, 2}));
}

} // namespace
} // namespace reelcut
