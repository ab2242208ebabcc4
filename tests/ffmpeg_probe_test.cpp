// ffprobe queries, the duration fallbacks (container, stream, remux), frame sizes and the tool
// check, against real ffprobe and against stand-in scripts first on PATH.
#include "ffmpeg/probe.hpp"
#include "number_syntax.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/test_support.hpp"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>

namespace reelcut {
namespace {

using testing::ClipSpec;
using testing::EnvGuard;
using testing::FakeTools;
using testing::files_starting_with;
using testing::make_clip;
using testing::TempDir;
using testing::write_file;

constexpr double kFrame = 1.0 / 30.0;
constexpr const char* kNoFile = "No such file or directory (os error 2)";

// An ffprobe that answers the container query with `format`, the stream query with `stream`,
// and any query on the remuxed copy with `copy`.
std::string ffprobe_answering(const std::string& format, const std::string& stream,
                              const std::string& copy = "") {
    return fmt::format("for last; do :; done\n"
                       "case \"$last\" in *tevo-reelcut-probe-*) printf '%s\\n' '{2}'; exit 0;; "
                       "esac\n"
                       "case \"$*\" in *format=duration*) printf '%s\\n' '{0}';; "
                       "*stream=duration*) printf '%s\\n' '{1}';; esac",
                       format, stream, copy);
}

// An ffmpeg that creates its output file (so its removal shows) and ends with `tail`.
std::string ffmpeg_writing_output(const std::string& tail = "exit 0") {
    return "for last; do :; done\n: > \"$last\"\n" + tail;
}

TEST(ProbeVersionWord, ThirdWordOfTheFirstLine) {
    struct Case {
        std::string output, word;
    };
    for (const auto& c : std::vector<Case>{
             {"ffmpeg version 6.1.1 Copyright (c) 2000-2023 the FFmpeg developers\nbuilt with gcc",
              "6.1.1"},
             {"ffprobe version 5.1.9-0+deb12u1\r\nlibavutil 57", "5.1.9-0+deb12u1"},
             {"ffmpeg \t version   7.0\r\n", "7.0"},
             {"", "?"},
             {"a b", "?"},
             // Only the first line counts, however many words follow it.
             {"a b\nc d e", "?"},
         }) {
        EXPECT_EQ(version_word(c.output), c.word) << c.output;
    }
}

TEST(ProbeQuery, PassesTheQueryAndTrimsTheAnswer) {
    FakeTools tools;
    tools.add("ffprobe", "printf '  42.5 \\n\\n'");
    auto answer = ffprobe_query("/videos/a b.webm", {"-show_entries", "format=duration"});
    ASSERT_TRUE(answer) << answer.error();
    EXPECT_EQ(*answer, "42.5");
    const std::vector<std::vector<std::string>> expected = {
        {"-v", "error", "-show_entries", "format=duration", "-of",
         "default=noprint_wrappers=1:nokey=1", "/videos/a b.webm"}};
    EXPECT_EQ(tools.calls("ffprobe"), expected);
}

// ffprobe_query and probe_dimensions report a tool that fails or cannot start the same way.
TEST(ProbeQuery, FailuresQuoteTheWholeErrorOutput) {
    struct Case {
        std::string body; // empty: no ffprobe on PATH
        std::string error;
    };
    const std::vector<Case> cases = {
        {"printf '  first line\\nsecond  \\n\\n' >&2; exit 2",
         "ffprobe failed:   first line\nsecond  \n\n"},
        {"exit 1", "ffprobe failed: "},
        {"", std::string("ffprobe spawn failed: ") + kNoFile},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        if (c.body.empty()) {
            tools.only();
        } else {
            tools.add("ffprobe", c.body);
        }
        auto query = ffprobe_query("in.webm", {"-show_entries", "format=duration"});
        ASSERT_FALSE(query) << c.error;
        EXPECT_EQ(query.error(), c.error);
        auto size = probe_dimensions("in.webm");
        ASSERT_FALSE(size) << c.error;
        EXPECT_EQ(size.error(), c.error);
    }
}

TEST(ProbeDimensions, RealClip) {
    TempDir dir;
    ASSERT_TRUE(make_clip(dir / "clip.webm", ClipSpec{.seconds = 1, .width = 320, .height = 180}));
    auto size = probe_dimensions(dir / "clip.webm");
    ASSERT_TRUE(size) << size.error();
    EXPECT_EQ(size->width, 320u);
    EXPECT_EQ(size->height, 180u);
}

TEST(ProbeDimensions, ParsesWidthXHeight) {
    struct Case {
        std::string printed;
        std::uint32_t width = 0, height = 0;
        std::string error; // empty: parsed
    };
    const std::vector<Case> cases = {
        {"1920x1080\n", 1920, 1080, ""},
        {"  640x360 \n", 640, 360, ""},
        // Some streams print a trailing separator.
        {"1920x1080x\n", 1920, 1080, ""},
        {"1920x\n", 0, 0, "could not parse height from '1920x'"},
        {"1920\n", 0, 0, "could not parse height from '1920'"},
        {"\n", 0, 0, "could not parse width from ''"},
        {"N/Ax720\n", 0, 0, "could not parse width from 'N/Ax720'"},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        tools.add("ffprobe", fmt::format("printf '{}'", c.printed));
        auto size = probe_dimensions("/v/in.webm");
        if (c.error.empty()) {
            ASSERT_TRUE(size) << c.printed << ": " << size.error();
            EXPECT_EQ(size->width, c.width) << c.printed;
            EXPECT_EQ(size->height, c.height) << c.printed;
        } else {
            ASSERT_FALSE(size) << c.printed;
            EXPECT_EQ(size.error(), c.error);
        }
        const std::vector<std::vector<std::string>> expected = {
            {"-v", "error", "-select_streams", "v:0", "-show_entries", "stream=width,height", "-of",
             "csv=p=0:s=x", "/v/in.webm"}};
        EXPECT_EQ(tools.calls("ffprobe"), expected) << c.printed;
    }
}

class ProbeDuration : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir tmp;
    EnvGuard tmpdir_guard{"TMPDIR"};

    void SetUp() override { ::setenv("TMPDIR", tmp.path().c_str(), 1); }
    std::vector<std::string> leftovers() const {
        return files_starting_with(tmp.path(), "tevo-reelcut-probe-");
    }
};

TEST_F(ProbeDuration, RealClipReadsTheContainer) {
    ASSERT_TRUE(make_clip(dir / "clip.webm", ClipSpec{.seconds = 2}));
    auto seconds = probe_duration(dir / "clip.webm");
    ASSERT_TRUE(seconds) << seconds.error();
    EXPECT_NEAR(*seconds, 2.0, kFrame);
}

// WebM written to a pipe cannot be sought back to fill in its duration: ffprobe reports N/A for
// the container and the stream, and only the remuxed copy tells the length.
TEST_F(ProbeDuration, RealPipedWebmIsMeasuredThroughARemux) {
    const std::string piped = dir / "piped.webm";
    auto made = run_captured(
        "sh", {"-c", "ffmpeg -v error -f lavfi -i testsrc2=size=160x90:rate=30:duration=2 "
                     "-c:v libvpx-vp9 -deadline realtime -cpu-used 8 -f webm pipe:1 > '" +
                         piped + "'"});
    ASSERT_TRUE(made && made->status.success()) << (made ? made->err : made.error());
    auto format = ffprobe_query(piped, {"-show_entries", "format=duration"});
    ASSERT_TRUE(format) << format.error();
    ASSERT_EQ(*format, "N/A") << "the fixture should lack a container duration";

    auto seconds = probe_duration(piped);
    ASSERT_TRUE(seconds) << seconds.error();
    EXPECT_NEAR(*seconds, 2.0, kFrame);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

TEST_F(ProbeDuration, FallsBackFromContainerToStreamToRemux) {
    struct Case {
        std::string format, stream, copy;
        double seconds;
        int ffprobe_calls; // 3: the remux ran and its copy was asked
    };
    const std::vector<Case> cases = {
        {"2.5", "9", "9", 2.5, 1},
        {"N/A", "12.5", "9", 12.5, 2},
        {"", "3", "9", 3.0, 2},
        {"0", "4", "9", 4.0, 2},
        {"-1.5", "5", "9", 5.0, 2},
        {"nan", "6", "9", 6.0, 2},
        {"N/A", "N/A", "7.25", 7.25, 3},
        {"N/A", "0", "8", 8.0, 3},
        {"0", "-2", "8", 8.0, 3},
        {"N/A", "NaN", "8", 8.0, 3},
        // The copy's answer stands whatever its value.
        {"N/A", "N/A", "0", 0.0, 3},
        {"N/A", "", "-1.5", -1.5, 3},
    };
    for (const auto& c : cases) {
        const std::string label =
            fmt::format("format '{}', stream '{}', copy '{}'", c.format, c.stream, c.copy);
        FakeTools tools;
        tools.add("ffprobe", ffprobe_answering(c.format, c.stream, c.copy));
        tools.add("ffmpeg", ffmpeg_writing_output());
        auto seconds = probe_duration("/v/in.webm");
        ASSERT_TRUE(seconds) << label << ": " << seconds.error();
        EXPECT_EQ(*seconds, c.seconds) << label;
        const auto probes = tools.calls("ffprobe");
        EXPECT_EQ(probes.size(), static_cast<std::size_t>(c.ffprobe_calls)) << label;
        EXPECT_EQ(tools.calls("ffmpeg").size(), c.ffprobe_calls == 3 ? 1u : 0u) << label;
        if (probes.size() >= 2) {
            const std::vector<std::string> stream_query = {"-v",
                                                           "error",
                                                           "-select_streams",
                                                           "v:0",
                                                           "-show_entries",
                                                           "stream=duration",
                                                           "-of",
                                                           "default=noprint_wrappers=1:nokey=1",
                                                           "/v/in.webm"};
            EXPECT_EQ(probes[1], stream_query) << label;
        }
        EXPECT_TRUE(leftovers().empty()) << label;
    }
}

TEST_F(ProbeDuration, RemuxCopiesIntoTheTempDirAndAsksTheCopy) {
    FakeTools tools;
    tools.add("ffprobe", ffprobe_answering("N/A", "N/A", "3.5"));
    tools.add("ffmpeg", ffmpeg_writing_output());
    auto seconds = probe_duration("/v/in.webm");
    ASSERT_TRUE(seconds) << seconds.error();
    EXPECT_EQ(*seconds, 3.5);

    const auto remux = tools.calls("ffmpeg");
    ASSERT_EQ(remux.size(), 1u);
    ASSERT_EQ(remux[0].size(), 6u);
    const std::vector<std::string> head(remux[0].begin(), remux[0].begin() + 5);
    EXPECT_EQ(head, (std::vector<std::string>{"-y", "-i", "/v/in.webm", "-c", "copy"}));
    const std::filesystem::path copy = remux[0][5];
    EXPECT_EQ(copy.parent_path(), tmp.path());
    EXPECT_EQ(copy.filename().string().rfind("tevo-reelcut-probe-", 0), 0u) << copy;
    EXPECT_EQ(copy.extension(), ".webm");

    const auto probes = tools.calls("ffprobe");
    ASSERT_EQ(probes.size(), 3u);
    const std::vector<std::string> copy_query = {"-v",
                                                 "error",
                                                 "-show_entries",
                                                 "format=duration",
                                                 "-of",
                                                 "default=noprint_wrappers=1:nokey=1",
                                                 copy.string()};
    EXPECT_EQ(probes[2], copy_query);
    EXPECT_FALSE(std::filesystem::exists(copy));
}

TEST_F(ProbeDuration, RemuxFailuresNameWhatWasSeen) {
    struct Case {
        std::string format, stream, copy, ffmpeg_tail, error;
    };
    const std::vector<Case> cases = {
        {"N/A", "", "", "printf 'Input #0\\nfirst problem\\ncopy: Invalid argument\\n' >&2; exit 1",
         "ffprobe could not determine duration (format='N/A', stream='') and remux fallback also "
         "failed: copy: Invalid argument"},
        {"N/A", "N/A", "garbage", "exit 0",
         "duration still unavailable after remux: garbage (" + parse_float("garbage").error() +
             ")"},
        {"N/A", "N/A", "", "exit 0",
         "duration still unavailable after remux:  (" + parse_float("").error() + ")"},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        tools.add("ffprobe", ffprobe_answering(c.format, c.stream, c.copy));
        tools.add("ffmpeg", ffmpeg_writing_output(c.ffmpeg_tail));
        auto seconds = probe_duration("/v/in.webm");
        ASSERT_FALSE(seconds) << c.error;
        EXPECT_EQ(seconds.error(), c.error);
        EXPECT_EQ(tools.calls("ffmpeg").size(), 1u) << c.error;
        EXPECT_TRUE(leftovers().empty()) << c.error;
    }
}

TEST_F(ProbeDuration, AFailedQueryEndsWithoutARemux) {
    struct Case {
        std::string ffprobe;
        std::size_t ffprobe_calls;
    };
    const std::vector<Case> cases = {
        {"printf 'boom\\n  detail\\n' >&2; exit 1", 1},
        {"case \"$*\" in *format=duration*) printf 'N/A\\n';; "
         "*) printf 'boom\\n  detail\\n' >&2; exit 1;; esac",
         2},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        tools.add("ffprobe", c.ffprobe);
        tools.add("ffmpeg", ffmpeg_writing_output());
        auto seconds = probe_duration("/v/in.webm");
        ASSERT_FALSE(seconds) << c.ffprobe;
        EXPECT_EQ(seconds.error(), "ffprobe failed: boom\n  detail\n");
        EXPECT_EQ(tools.calls("ffprobe").size(), c.ffprobe_calls) << c.ffprobe;
        EXPECT_TRUE(tools.calls("ffmpeg").empty()) << c.ffprobe;
    }
}

TEST_F(ProbeDuration, RealUnreadableInputFailsWithoutARemux) {
    write_file(dir / "notes.webm", "not a video\n");
    for (const std::string& path : {dir / "missing.webm", dir / "notes.webm"}) {
        FakeTools tools; // ffprobe stays the real one; a remux would show as an ffmpeg call
        tools.add("ffmpeg", ffmpeg_writing_output());
        auto seconds = probe_duration(path);
        ASSERT_FALSE(seconds) << path;
        EXPECT_EQ(seconds.error().rfind("ffprobe failed: ", 0), 0u) << seconds.error();
        EXPECT_NE(seconds.error().find(path), std::string::npos) << seconds.error();
        EXPECT_TRUE(tools.calls("ffmpeg").empty()) << path;
    }
}

TEST(FfmpegHealth, RealToolsReportTheirVersions) {
    auto versions = health();
    ASSERT_TRUE(versions) << versions.error();
    for (const std::string& word : {versions->ffmpeg, versions->ffprobe}) {
        EXPECT_FALSE(word.empty());
        EXPECT_NE(word, "?");
    }
    auto own = run_captured("ffmpeg", {"-version"});
    ASSERT_TRUE(own) << own.error();
    EXPECT_EQ(versions->ffmpeg, version_word(own->out));
}

TEST(FfmpegHealth, ExitStatusIsIgnored) {
    FakeTools tools;
    tools.add("ffmpeg", "printf 'ffmpeg version 6.1.1 x\\nmore\\n'; exit 3");
    tools.add("ffprobe", "printf 'ffprobe version 6.1.2-3 y\\r\\n'; printf 'odd\\n' >&2; exit 1");
    auto versions = health();
    ASSERT_TRUE(versions) << versions.error();
    EXPECT_EQ(versions->ffmpeg, "6.1.1");
    EXPECT_EQ(versions->ffprobe, "6.1.2-3");
    EXPECT_EQ(tools.calls("ffmpeg"), std::vector<std::vector<std::string>>{{"-version"}});
    EXPECT_EQ(tools.calls("ffprobe"), std::vector<std::vector<std::string>>{{"-version"}});
}

TEST(FfmpegHealth, AMissingToolIsNamedWithTheInstallHint) {
    {
        FakeTools tools;
        tools.add("ffprobe", "printf 'ffprobe version 6.1.1\\n'");
        tools.only();
        auto versions = health();
        ASSERT_FALSE(versions);
        const std::string expected = std::string("ffmpeg not found in PATH: ") + kNoFile +
                                     ". Hint: sudo apt-get install ffmpeg";
        EXPECT_EQ(versions.error(), expected);
        EXPECT_TRUE(tools.calls("ffprobe").empty()) << "ffprobe started after ffmpeg was missing";
    }
    {
        FakeTools tools;
        tools.add("ffmpeg", "printf 'ffmpeg version 6.1.1\\n'");
        tools.only();
        auto versions = health();
        ASSERT_FALSE(versions);
        const std::string expected = std::string("ffprobe not found in PATH: ") + kNoFile +
                                     ". Hint: sudo apt-get install ffmpeg";
        EXPECT_EQ(versions.error(), expected);
    }
}

// The subcommand: the OK line on standard output, or the error tail with the hint repeated.
TEST(FfmpegHealth, SubcommandLines) {
    auto ready = testing::run_reelcut({"health"});
    EXPECT_EQ(ready.status.code, 0) << ready.err;
    auto versions = health();
    ASSERT_TRUE(versions) << versions.error();
    EXPECT_EQ(ready.out, fmt::format("OK: ffmpeg {} + ffprobe {} ready.\n", versions->ffmpeg,
                                     versions->ffprobe));

    TempDir empty;
    SpawnOptions no_tools;
    no_tools.set_env.emplace_back("PATH", empty.path().string());
    auto missing = testing::run_reelcut({"health"}, no_tools);
    EXPECT_EQ(missing.status.code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, std::string("ERROR: ffmpeg not found in PATH: ") + kNoFile +
                               ". Hint: sudo apt-get install ffmpeg\nHint: sudo apt-get install "
                               "ffmpeg\n");
}

} // namespace
} // namespace reelcut
