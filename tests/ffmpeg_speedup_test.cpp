// The speed-up filter graph and its encode: exact graphs, the ffmpeg command line, progress,
// failure messages and graphs too long for one argument, with stand-in and real ffmpeg.
#include "ffmpeg/media_tools.hpp"
#include "ffmpeg/speedup.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/test_support.hpp"

#include <chrono>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <optional>

namespace reelcut {
namespace {

using testing::ClipSpec;
using testing::EnvGuard;
using testing::FakeTools;
using testing::lines_of;
using testing::make_clip;
using testing::probed_seconds;
using testing::read_file;
using testing::TempDir;
using testing::video_size;
using testing::write_file;

constexpr double kFrame = 1.0 / 30.0;

// Linux refuses a single argument of 128 KiB or more.
constexpr std::size_t kArgLimit = 128 * 1024;

// ffmpeg's command line around a filter graph argument pair.
std::vector<std::string> encode_args(const std::string& input, const std::string& output,
                                     const std::vector<std::string>& graph_args) {
    std::vector<std::string> args = {"-y", "-i", input};
    args.insert(args.end(), graph_args.begin(), graph_args.end());
    args.insert(args.end(), {"-map", "[out]"});
    args.insert(args.end(), vp9_encoder_args().begin(), vp9_encoder_args().end());
    args.insert(args.end(), {"-an", "-progress", "pipe:1", output});
    return args;
}

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++n;
    }
    return n;
}

TEST(SpeedupFilter, BuildsTheGraph) {
    struct Case {
        std::string name;
        std::vector<Segment> segments;
        bool no_overlay;
        double range_end, range_start, base_speed;
        std::string graph;
    };
    const std::vector<Case> cases = {
        {"no segments",
         {},
         false,
         60,
         0,
         1.0,
         "[0:v]trim=start=0.000:end=60.000,setpts=PTS-STARTPTS[v0];[v0]concat=n=1:v=1:a=0[out]"},
        {"nothing kept", {}, false, 5.0009, 5, 1.0, "[0:v]copy[out]"},
        {"empty range", {}, false, 0, 0, 1.0, "[0:v]copy[out]"},
        {"one captioned segment",
         {{"Exporting gerbers", 10.5, 45.7, 20}},
         false,
         60,
         0,
         1.0,
         "[0:v]trim=start=0.000:end=10.500,setpts=PTS-STARTPTS[v0];"
         "[0:v]trim=start=10.500:end=45.700,setpts=0.050000*(PTS-STARTPTS),"
         "drawtext=text='20x SPEEDUP\\: Exporting gerbers':"
         "fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf:fontsize=20:"
         "fontcolor=white:box=1:boxcolor=red@0.85:boxborderw=20:x=(w-text_w)/2:y=80[v1];"
         "[0:v]trim=start=45.700:end=60.000,setpts=PTS-STARTPTS[v2];"
         "[v0][v1][v2]concat=n=3:v=1:a=0[out]"},
        // A gap under a millisecond between segments, or before the range end, gets no piece of
        // its own; a 2 ms one does.
        {"gaps",
         {{"a", 1, 2, 2}, {"b", 2.0005, 3, 4}, {"c", 3.002, 4, 3}},
         true,
         4.0008,
         0,
         1.0,
         "[0:v]trim=start=0.000:end=1.000,setpts=PTS-STARTPTS[v0];"
         "[0:v]trim=start=1.000:end=2.000,setpts=0.500000*(PTS-STARTPTS)[v1];"
         "[0:v]trim=start=2.001:end=3.000,setpts=0.250000*(PTS-STARTPTS)[v2];"
         "[0:v]trim=start=3.000:end=3.002,setpts=PTS-STARTPTS[v3];"
         "[0:v]trim=start=3.002:end=4.000,setpts=0.333333*(PTS-STARTPTS)[v4];"
         "[v0][v1][v2][v3][v4]concat=n=5:v=1:a=0[out]"},
        // The base speed applies to the unmarked pieces only.
        {"base speed",
         {{"a", 10, 20, 4}},
         true,
         30,
         0,
         1.5,
         "[0:v]trim=start=0.000:end=10.000,setpts=0.666667*(PTS-STARTPTS)[v0];"
         "[0:v]trim=start=10.000:end=20.000,setpts=0.250000*(PTS-STARTPTS)[v1];"
         "[0:v]trim=start=20.000:end=30.000,setpts=0.666667*(PTS-STARTPTS)[v2];"
         "[v0][v1][v2]concat=n=3:v=1:a=0[out]"},
        {"base speed within a thousandth of 1",
         {},
         false,
         60,
         0,
         1.0005,
         "[0:v]trim=start=0.000:end=60.000,setpts=PTS-STARTPTS[v0];[v0]concat=n=1:v=1:a=0[out]"},
        {"slow base speed",
         {},
         false,
         2,
         0,
         0.5,
         "[0:v]trim=start=0.000:end=2.000,setpts=2.000000*(PTS-STARTPTS)[v0];"
         "[v0]concat=n=1:v=1:a=0[out]"},
        {"range start",
         {},
         false,
         60,
         10,
         1.0,
         "[0:v]trim=start=10.000:end=60.000,setpts=PTS-STARTPTS[v0];"
         "[v0]concat=n=1:v=1:a=0[out]"},
        // A negative start counts from 0; a segment right at the start needs no piece before it.
        {"negative range start",
         {{"a", 0, 5, 2}},
         true,
         5,
         -3,
         1.0,
         "[0:v]trim=start=0.000:end=5.000,setpts=0.500000*(PTS-STARTPTS)[v0];"
         "[v0]concat=n=1:v=1:a=0[out]"},
        {"segment just after the range start",
         {{"a", 2.0004, 3, 2}},
         true,
         3,
         2,
         1.0,
         "[0:v]trim=start=2.000:end=3.000,setpts=0.500000*(PTS-STARTPTS)[v0];"
         "[v0]concat=n=1:v=1:a=0[out]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(
            speedup_filter(c.segments, 20, c.no_overlay, c.range_end, c.range_start, c.base_speed),
            c.graph)
            << c.name;
    }
}

TEST(SpeedupFilter, EscapesTheCaptionForDrawtext) {
    // Escaped for drawtext (backslash, %), then for the option list (backslash, :, '), then an
    // apostrophe steps out of the graph's quotes.
    const std::string graph =
        speedup_filter({{"50% done: it's C:\\tmp", 1, 2, 4}}, 42, false, 2, 1, 1.0);
    EXPECT_EQ(graph, "[0:v]trim=start=1.000:end=2.000,setpts=0.250000*(PTS-STARTPTS),"
                     "drawtext=text='4x SPEEDUP\\: 50\\\\% done\\: it\\'\\''s C\\:\\\\\\\\tmp':"
                     "fontfile=/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf:fontsize=42:"
                     "fontcolor=white:box=1:boxcolor=red@0.85:boxborderw=20:x=(w-text_w)/2:y=80"
                     "[v0];[v0]concat=n=1:v=1:a=0[out]");
}

TEST(SpeedupStderr, KeepsOnlyMessageLines) {
    struct Case {
        std::string line;
        bool kept;
    };
    for (const auto& c : std::vector<Case>{
             {"frame=  120 fps= 60 q=0.0 size=     256kB time=00:00:04.00", false},
             {"size=     256kB time=00:00:04.00 bitrate= 524.3kbits/s", false},
             {"Press [q] to stop, [?] for help", false},
             {"", false},
             {"Error opening output file out.webm.", true},
             {"[libvpx-vp9 @ 0x5581] frame= misplaced", true},
             {"framerate changed", true},
             {"sized to fit", true},
             {"Press any key", true},
         }) {
        EXPECT_EQ(keep_stderr_line(c.line), c.kept) << c.line;
    }
}

TEST(SpeedupRun, CommandLineWithAndWithoutTheWidthCap) {
    struct Case {
        std::uint32_t max_width;
        std::string graph;
    };
    const std::string graph = speedup_filter({{"a", 1, 2, 4}}, 20, false, 3, 0, 1.0);
    const std::string capped =
        graph.substr(0, graph.size() - 5) + "[pre];[pre]scale='min(640,iw)':-2[out]";
    for (const auto& c : std::vector<Case>{{0, graph}, {640, capped}}) {
        FakeTools tools;
        tools.add("ffmpeg", "exit 0");
        auto run = run_speedup("/in/rec.webm", "/out/rec fast.webm", graph, 3.0, c.max_width);
        ASSERT_TRUE(run) << run.error();
        EXPECT_EQ(tools.calls("ffmpeg").back(),
                  encode_args("/in/rec.webm", "/out/rec fast.webm", {"-filter_complex", c.graph}))
            << c.max_width;
    }
}

// Every "[out]" is renamed, so the cap also follows graphs that use the name more than once.
TEST(SpeedupRun, WidthCapRenamesEveryOutputLabel) {
    FakeTools tools;
    tools.add("ffmpeg", "exit 0");
    auto run = run_speedup("in.webm", "out.webm", "[0:v]null[out];[out]null[out]", {}, 320);
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(tools.calls("ffmpeg").back(),
              encode_args("in.webm", "out.webm",
                          {"-filter_complex",
                           "[0:v]null[pre];[pre]null[pre];[pre]scale='min(320,iw)':-2[out]"}));
}

TEST(SpeedupRun, GraphsTooLongForOneArgumentGoThroughAScriptFile) {
    TempDir tmp;
    EnvGuard tmpdir_guard("TMPDIR");
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    struct Case {
        std::size_t size;
        std::uint32_t max_width;
    };
    for (const auto& c : std::vector<Case>{
             {kArgLimit - 8 * 1024, 0}, {kArgLimit + 8 * 1024, 0}, {kArgLimit + 8 * 1024, 1280}}) {
        const std::string graph = "[0:v]drawtext=text='" + std::string(c.size, 'a') + "'[out]";
        const std::string expected =
            c.max_width == 0
                ? graph
                : graph.substr(0, graph.size() - 5) + "[pre];[pre]scale='min(1280,iw)':-2[out]";
        {
            // The stand-in keeps a copy of the script: it is gone once run_speedup returns.
            FakeTools tools;
            tools.add("ffmpeg", testing::keeping_file_after("-filter_complex_script", "script"));
            auto run = run_speedup("in.webm", "out.webm", graph, {}, c.max_width);
            ASSERT_TRUE(run) << c.size << ": " << run.error();
            const auto args = tools.calls("ffmpeg").back();
            if (c.size < kArgLimit) {
                EXPECT_EQ(args, encode_args("in.webm", "out.webm", {"-filter_complex", expected}));
            } else {
                ASSERT_GT(args.size(), 4u);
                EXPECT_EQ(args,
                          encode_args("in.webm", "out.webm", {"-filter_complex_script", args[4]}));
                EXPECT_EQ(std::filesystem::path(args[4]).parent_path(), tmp.path());
                EXPECT_EQ(read_file(tools.dir() / "script"), expected) << c.max_width;
            }
        }
        // The stand-in's own directory was under TMPDIR too, and is gone with it.
        EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << c.size;
    }
}

TEST(SpeedupRun, FailureQuotesTheLastSixtyMessageLines) {
    // Statistics overwrite themselves with carriage returns, as in a real encode, and run to far
    // more lines than the message keeps.
    FakeTools tools;
    tools.add("ffmpeg", R"({
i=0
while [ $i -lt 5000 ]; do printf 'frame=%d fps=30 q=0.0 size=0kB\r' $i; i=$((i+1)); done
printf '\nPress [q] to stop, [?] for help\n\n\n'
i=1
while [ $i -le 70 ]; do
  printf 'frame=%d fps=30\rreal line %d\r\n\nsize=  %dkB time=00:00:01\r' $i $i $i
  i=$((i+1))
done
printf '\n'
} >&2
exit 1)");
    auto run = run_speedup("in.webm", "out.webm", "[0:v]copy[out]", {}, 0);
    ASSERT_FALSE(run);
    std::vector<std::string> expected = {"ffmpeg failed:"};
    for (int i = 11; i <= 70; ++i) {
        expected.push_back(fmt::format("real line {}", i));
    }
    EXPECT_EQ(run.error().rfind("ffmpeg failed:\n", 0), 0u) << run.error();
    EXPECT_EQ(lines_of(run.error()), expected);
}

TEST(SpeedupRun, ProgressAtMostOnceASecond) {
    struct Case {
        std::string name, ffmpeg;
        std::optional<double> total;
        bool shows_progress;
    };
    const std::vector<Case> cases = {
        {"quick", "printf 'out_time_ms=500000\\nprogress=end\\n'", 2.5, false},
        {"no time known", R"(i=0
while [ $i -lt 13 ]; do printf 'out_time_ms=N/A\nprogress=continue\n'; sleep 0.1; i=$((i+1)); done)",
         2.5, false},
        // An update every tenth of a second for 2.5 s.
        {"steady", R"(i=1
while [ $i -le 25 ]; do
  printf 'out_time_ms=N/A\nout_time_ms=%d00000\nprogress=continue\n' $i
  sleep 0.1
  i=$((i+1))
done)",
         2.5, true},
        {"steady without a total", R"(i=1
while [ $i -le 13 ]; do printf 'out_time_ms=%d00000\n' $i; sleep 0.1; i=$((i+1)); done)",
         std::nullopt, true},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        tools.add("ffmpeg", c.ffmpeg);
        const auto started = std::chrono::steady_clock::now();
        ::testing::internal::CaptureStderr();
        auto run = run_speedup("in.webm", "out.webm", "[0:v]copy[out]", c.total, 0);
        const std::string err = ::testing::internal::GetCapturedStderr();
        const auto elapsed = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE(run) << c.name << ": " << run.error();

        // None in the first second, then at most one a second however busy the machine is.
        const std::size_t lines = count_of(err, "\r\x1b[K");
        const auto whole_seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed);
        EXPECT_LE(lines, static_cast<std::size_t>(whole_seconds.count())) << c.name << ": " << err;
        EXPECT_EQ(lines > 0, c.shows_progress) << c.name << ": " << err;

        const std::string done = "\n  \x1b[32mdone\x1b[0m in ";
        const std::size_t done_at = err.rfind(done);
        ASSERT_NE(done_at, std::string::npos) << c.name << ": " << err;
        EXPECT_EQ(err.substr(err.size() - 2), "s\n") << c.name << ": " << err;
        if (lines == 0) {
            EXPECT_EQ(done_at, 0u) << c.name << ": " << err;
        } else if (c.total) {
            // A known total turns the progress into a percentage.
            EXPECT_NE(err.substr(0, done_at).find('%'), std::string::npos) << c.name << ": " << err;
        }
    }
}

TEST(SpeedupRun, MissingFfmpeg) {
    FakeTools tools;
    tools.only();
    auto run = run_speedup("in.webm", "out.webm", "[0:v]copy[out]", {}, 0);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error(), "ffmpeg spawn failed: No such file or directory (os error 2)");
}

class SpeedupRealEncode : public ::testing::Test {
  protected:
    TempDir dir;
    std::string input = dir / "rec.webm";
};

// The caption escapes must hold up in ffmpeg's own filter parser, not only in a string compare.
TEST_F(SpeedupRealEncode, CaptionsSpeedsUpAndCapsTheWidth) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 2, .width = 320, .height = 180}));
    const std::string graph =
        speedup_filter({{"50% done: C:\\tmp", 0.5, 1.5, 2}}, 12, false, 2, 0, 1.0);
    struct Case {
        std::uint32_t max_width;
        std::pair<int, int> size;
    };
    for (const auto& c : std::vector<Case>{{160, {160, 90}}, {640, {320, 180}}, {0, {320, 180}}}) {
        const std::string output = dir / fmt::format("out-{}.webm", c.max_width);
        ::testing::internal::CaptureStderr();
        auto run = run_speedup(input, output, graph, 2.0, c.max_width);
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_TRUE(run) << run.error();
        EXPECT_NE(err.find("\x1b[32mdone\x1b[0m in "), std::string::npos) << err;
        EXPECT_EQ(video_size(output), c.size) << c.max_width;
        // 0.5 s + 1 s at 2x + 0.5 s.
        EXPECT_NEAR(probed_seconds(output), 1.5, 2 * kFrame) << c.max_width;
        EXPECT_EQ(testing::stream_count(output, "audio"), 0);
    }
}

// Labels are free text typed by the person recording. What ffmpeg draws from the escaped caption
// must be the label itself: the same pixels as the text read verbatim from a file.
TEST_F(SpeedupRealEncode, CaptionIsDrawnAsTyped) {
    const auto render = [&](const std::string& drawtext) {
        auto run = run_captured(
            "ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "color=c=black:s=640x40:d=0.1", "-vf",
                       drawtext + ":fontfile=" + kCaptionFont + ":fontsize=20:fontcolor=white",
                       "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
        EXPECT_TRUE(run && run->status.success()) << (run ? run->err : run.error());
        return run ? run->out : std::string();
    };
    for (const std::string label :
         {"Let's export", "50% done: C:\\tmp\\", "%{pts} [a];b,c=d", "it''s \\'quoted\\'"}) {
        const std::string graph = speedup_filter({{label, 0, 1, 2}}, 20, false, 1, 0, 1.0);
        const std::size_t from = graph.find("drawtext=");
        const std::size_t to = graph.find(":fontfile=");
        ASSERT_NE(to, std::string::npos) << graph;
        write_file(dir / "caption.txt", "2x SPEEDUP: " + label);
        const std::string drawn = render(graph.substr(from, to - from));
        const std::string verbatim =
            render("drawtext=expansion=none:textfile='" + (dir / "caption.txt") + "'");
        ASSERT_FALSE(drawn.empty()) << label;
        EXPECT_NE(drawn.find_first_not_of('\0'), std::string::npos) << label << ": nothing drawn";
        EXPECT_TRUE(drawn == verbatim) << label;
    }
}

TEST_F(SpeedupRealEncode, GraphOverTheArgumentLimit) {
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 2}));
    std::vector<Segment> segments;
    std::string label;
    for (int i = 0; i < 50; ++i) {
        label += fmt::format("Step {}: 100% done. ", i);
    }
    for (int i = 0; i < 100; ++i) {
        segments.push_back({label, i * 0.02, (i + 1) * 0.02, 2});
    }
    const std::string graph = speedup_filter(segments, 12, false, 2, 0, 1.0);
    ASSERT_GT(graph.size(), kArgLimit);

    TempDir tmp;
    EnvGuard tmpdir_guard("TMPDIR");
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    const std::string output = dir / "long.webm";
    ::testing::internal::CaptureStderr();
    auto run = run_speedup(input, output, graph, 2.0, 0);
    ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(run) << run.error();
    EXPECT_EQ(testing::stream_count(output, "video"), 1);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

TEST_F(SpeedupRealEncode, FfmpegErrorsAreQuoted) {
    const std::string missing = dir / "missing.webm";
    auto run = run_speedup(missing, dir / "out.webm", "[0:v]copy[out]", {}, 0);
    ASSERT_FALSE(run);
    EXPECT_EQ(run.error().rfind("ffmpeg failed:\n", 0), 0u) << run.error();
    EXPECT_NE(run.error().find(missing + ": No such file or directory"), std::string::npos)
        << run.error();
}

} // namespace
} // namespace reelcut
