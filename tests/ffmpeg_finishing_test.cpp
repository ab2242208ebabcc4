// Joining clips, closing with a still and poster frames: real results from tiny clips, and the
// exact commands, messages and temporary-file cleanup through a stand-in ffmpeg.
#include "ffmpeg/finishing.hpp"
#include "ffmpeg/media_tools.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <thread>

namespace reelcut {
namespace {

using testing::ClipSpec;
using testing::EnvGuard;
using testing::FakeTools;
using testing::files_starting_with;
using testing::make_clip;
using testing::make_image;
using testing::probed_seconds;
using testing::read_file;
using testing::stream_count;
using testing::TempDir;
using testing::video_size;
using testing::write_file;

// Two frames: joins may round each part to whole frames.
constexpr double kTolerance = 2.0 / 30.0;
constexpr const char* kSpawnFailed = "ffmpeg spawn failed: No such file or directory (os error 2)";

// "printf '<prefix>1\n<prefix>2\n...' >&2; exit 1" for `count` lines.
std::string fail_with_lines(const std::string& prefix, int count) {
    std::string lines;
    for (int i = 1; i <= count; ++i) {
        lines += fmt::format("{}{}\\n", prefix, i);
    }
    return fmt::format("printf '{}' >&2; exit 1", lines);
}

std::string joined_lines(const std::string& prefix, int count) {
    std::string joined;
    for (int i = 1; i <= count; ++i) {
        joined += fmt::format("{}{}{}", i > 1 ? "; " : "", prefix, i);
    }
    return joined;
}

// Every test runs with TMPDIR on a scratch directory of its own, so that temporary files left
// behind show, and none of another test's are counted.
class FinishingMedia : public ::testing::Test {
  protected:
    TempDir dir;
    TempDir tmp;
    EnvGuard tmpdir_guard{"TMPDIR"};

    void SetUp() override { ::setenv("TMPDIR", tmp.path().c_str(), 1); }
    std::vector<std::string> leftovers() const {
        return files_starting_with(tmp.path(), "tevo-reelcut-");
    }
};

using FinishingConcat = FinishingMedia;

TEST_F(FinishingConcat, JoinsRealClipsWithoutAudio) {
    // The clip with sound comes first, so its audio stream is the one the join has to drop.
    ASSERT_TRUE(make_clip(dir / "a.webm", ClipSpec{.seconds = 2, .audio = true}));
    ASSERT_TRUE(make_clip(dir / "b.webm", ClipSpec{.seconds = 1}));
    const std::string output = dir / "joined.webm";
    auto joined = concat_videos({dir / "a.webm", dir / "b.webm"}, output);
    ASSERT_TRUE(joined) << joined.error();
    EXPECT_NEAR(probed_seconds(output), 3.0, kTolerance);
    EXPECT_EQ(stream_count(output, "video"), 1);
    EXPECT_EQ(stream_count(output, "audio"), 0);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FinishingConcat, PathsWithApostrophes) {
    const std::string quoted = dir / "it's a 'clip'.webm";
    ASSERT_TRUE(make_clip(quoted, ClipSpec{.seconds = 1}));
    ASSERT_TRUE(make_clip(dir / "plain.webm", ClipSpec{.seconds = 1}));
    const std::string output = dir / "Bob's final.webm";
    auto joined = concat_videos({quoted, dir / "plain.webm", quoted}, output);
    ASSERT_TRUE(joined) << joined.error();
    EXPECT_NEAR(probed_seconds(output), 3.0, kTolerance);
}

TEST_F(FinishingConcat, RefusesEmptyOrMissingInputs) {
    write_file(dir / "a.webm", "");
    struct Case {
        std::vector<std::string> inputs;
        std::string error;
    };
    const std::vector<Case> cases = {
        {{}, "concat: no input videos"},
        {{dir / "a.webm", dir / "gone.webm"}, "concat: input missing: " + (dir / "gone.webm")},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        tools.add("ffmpeg", "exit 0");
        auto joined = concat_videos(c.inputs, dir / "out.webm");
        ASSERT_FALSE(joined) << c.error;
        EXPECT_EQ(joined.error(), c.error);
        EXPECT_TRUE(tools.calls("ffmpeg").empty()) << c.error;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.webm")) << c.error;
        EXPECT_TRUE(leftovers().empty()) << c.error;
    }
}

TEST_F(FinishingConcat, ListFileAndCommandLine) {
    const std::string plain = dir / "a.webm";
    const std::string quoted = dir / "it's.webm";
    write_file(plain, "");
    write_file(quoted, "");
    // The list is gone once concat_videos returns: the stand-in keeps a copy.
    FakeTools tools;
    tools.add("ffmpeg", testing::keeping_file_after("-i", "list"));
    auto joined = concat_videos({plain, quoted}, dir / "out.webm");
    ASSERT_TRUE(joined) << joined.error();
    const auto calls = tools.calls("ffmpeg");
    ASSERT_EQ(calls.size(), 1u);
    ASSERT_EQ(calls[0].size(), 13u);
    const std::string list = calls[0][8];
    const std::vector<std::string> expected = {
        "-y", "-loglevel", "error", "-f",   "concat", "-safe",         "0",
        "-i", list,        "-c",    "copy", "-an",    dir / "out.webm"};
    EXPECT_EQ(calls[0], expected);
    EXPECT_EQ(std::filesystem::path(list).parent_path(), tmp.path());
    EXPECT_EQ(std::filesystem::path(list).filename().string().rfind("tevo-reelcut-concat-list-", 0),
              0u)
        << list;
    EXPECT_EQ(std::filesystem::path(list).extension(), ".txt");
    EXPECT_EQ(read_file(tools.dir() / "list"),
              "file '" + plain + "'\nfile '" + dir.path().string() + "/it'\\''s.webm'\n");
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FinishingConcat, FfmpegFailures) {
    write_file(dir / "a.webm", "");
    struct Case {
        std::string ffmpeg; // empty: no ffmpeg on PATH
        std::string error;
    };
    const std::vector<Case> cases = {
        {fail_with_lines("e", 12), "ffmpeg concat failed: " + joined_lines("e", 10)},
        {"printf 'only\\r\\n' >&2; exit 1", "ffmpeg concat failed: only"},
        {"", kSpawnFailed},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        if (c.ffmpeg.empty()) {
            tools.only();
        } else {
            tools.add("ffmpeg", c.ffmpeg);
        }
        auto joined = concat_videos({dir / "a.webm"}, dir / "out.webm");
        ASSERT_FALSE(joined) << c.error;
        EXPECT_EQ(joined.error(), c.error);
        EXPECT_TRUE(leftovers().empty()) << c.error;
    }
}

TEST_F(FinishingConcat, TwoJoinsAtOnce) {
    ASSERT_TRUE(make_clip(dir / "a.webm", ClipSpec{.seconds = 1}));
    ASSERT_TRUE(make_clip(dir / "b.webm", ClipSpec{.seconds = 2}));
    Status first, second;
    std::thread one([&] {
        first = concat_videos({dir / "a.webm", dir / "b.webm"}, dir / "1.webm");
    });
    std::thread two([&] {
        second = concat_videos({dir / "b.webm", dir / "b.webm"}, dir / "2.webm");
    });
    one.join();
    two.join();
    ASSERT_TRUE(first) << first.error();
    ASSERT_TRUE(second) << second.error();
    EXPECT_NEAR(probed_seconds(dir / "1.webm"), 3.0, kTolerance);
    EXPECT_NEAR(probed_seconds(dir / "2.webm"), 4.0, kTolerance);
    EXPECT_TRUE(leftovers().empty());
}

using FinishingAppendStill = FinishingMedia;

TEST_F(FinishingAppendStill, PortraitStillFitsALandscapeClip) {
    const std::string video = dir / "clip.webm";
    ASSERT_TRUE(
        make_clip(video, ClipSpec{.seconds = 1, .width = 320, .height = 180, .audio = true}));
    ASSERT_TRUE(make_image(dir / "card.png", 90, 160));
    const std::string output = dir / "out.webm";
    auto appended = append_still(video, dir / "card.png", output, 1.5);
    ASSERT_TRUE(appended) << appended.error();
    EXPECT_EQ(video_size(output), std::make_pair(320, 180));
    EXPECT_NEAR(probed_seconds(output), 2.5, kTolerance);
    EXPECT_EQ(stream_count(output, "audio"), 0);
    EXPECT_TRUE(leftovers().empty());
}

// The still is VP9, so an H.264 clip cannot be joined to it by stream copy.
TEST_F(FinishingAppendStill, H264ClipIsReencoded) {
    const std::string video = dir / "clip.mp4";
    ASSERT_TRUE(make_clip(
        video,
        ClipSpec{.seconds = 1, .width = 320, .height = 180, .codec = "libx264", .audio = true}));
    ASSERT_TRUE(make_image(dir / "card.jpg", 320, 180));
    const std::string output = dir / "out.webm";
    auto appended = append_still(video, dir / "card.jpg", output, 1);
    ASSERT_TRUE(appended) << appended.error();
    EXPECT_EQ(video_size(output), std::make_pair(320, 180));
    EXPECT_NEAR(probed_seconds(output), 2.0, kTolerance);
    EXPECT_EQ(stream_count(output, "audio"), 0);
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(FinishingAppendStill, StillEncodeCommand) {
    const std::string video = dir / "clip.webm";
    ASSERT_TRUE(make_clip(video, ClipSpec{.seconds = 1, .width = 320, .height = 180}));
    struct Case {
        double seconds;
        std::string t;
    };
    // A portrait or landscape still goes into the 320x180 frame on black.
    const std::string fit = "scale=320:180:force_original_aspect_ratio=decrease,"
                            "pad=320:180:(ow-iw)/2:(oh-ih)/2:black,setsar=1";
    for (const auto& c : std::vector<Case>{{3, "3"}, {2.5, "2.5"}, {0.1, "0.1"}, {10, "10"}}) {
        FakeTools tools; // ffprobe stays the real one and reads the real clip
        tools.add("ffmpeg", "exit 0");
        auto appended = append_still(video, "/cards/end card.png", dir / "out.webm", c.seconds);
        ASSERT_TRUE(appended) << c.t << ": " << appended.error();
        const auto calls = tools.calls("ffmpeg");
        ASSERT_FALSE(calls.empty());
        const auto& still = calls[0];
        std::vector<std::string> expected = {"-loop", "1",  "-framerate",          "30",  "-t",
                                             c.t,     "-i", "/cards/end card.png", "-vf", fit};
        expected.insert(expected.end(), vp9_encoder_args().begin(), vp9_encoder_args().end());
        expected.insert(expected.end(), {"-pix_fmt", "yuv420p", "-an"});
        // Whatever comes first, the command ends with these and the still's path.
        ASSERT_GT(still.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(still.end() - 1 - expected.size(), still.end() - 1),
                  expected)
            << c.t;
        const std::filesystem::path still_path = still.back();
        EXPECT_EQ(still_path.parent_path(), tmp.path());
        EXPECT_EQ(still_path.filename().string().rfind("tevo-reelcut-still-", 0), 0u) << still_path;
        EXPECT_EQ(still_path.extension(), ".webm");
        EXPECT_TRUE(leftovers().empty()) << c.t;
    }
}

TEST_F(FinishingAppendStill, FailuresQuoteFfmpegAndLeaveNoTemporaryFiles) {
    const std::string video = dir / "clip.webm";
    ASSERT_TRUE(make_clip(video, ClipSpec{.seconds = 1}));
    ASSERT_TRUE(make_image(dir / "card.png", 160, 90));
    // ffprobe without ffmpeg, for the case where ffmpeg cannot start.
    TempDir probe_only;
    auto real_ffprobe = run_captured("sh", {"-c", "command -v ffprobe"});
    ASSERT_TRUE(real_ffprobe && real_ffprobe->status.success());
    std::filesystem::create_symlink(testing::lines_of(real_ffprobe->out).at(0),
                                    probe_only.path() / "ffprobe");
    struct Case {
        std::string ffmpeg; // empty: ffmpeg not on PATH
        std::string error;
    };
    const std::vector<Case> cases = {
        {fail_with_lines("s", 7), "ffmpeg still encode failed: " + joined_lines("s", 5)},
        // The still encodes; both joins fail.
        {"if [ $n -gt 1 ]; then " + fail_with_lines("e", 12) + "; fi",
         "ffmpeg concat re-encode failed: " + joined_lines("e", 10)},
        {"", kSpawnFailed},
    };
    for (const auto& c : cases) {
        FakeTools tools;
        if (c.ffmpeg.empty()) {
            ::setenv("PATH", probe_only.path().c_str(), 1); // restored with `tools`
        } else {
            // Like ffmpeg, the stand-in creates its output before it fails.
            tools.add("ffmpeg", "for last; do :; done\n: > \"$last\"\n" + c.ffmpeg);
        }
        auto appended = append_still(video, dir / "card.png", dir / "out.webm", 1);
        ASSERT_FALSE(appended) << c.error;
        EXPECT_EQ(appended.error(), c.error);
        EXPECT_TRUE(leftovers().empty()) << c.error;
    }
}

TEST_F(FinishingAppendStill, UnreadableVideoFailsInTheProbe) {
    ASSERT_TRUE(make_image(dir / "card.png", 160, 90));
    auto appended = append_still(dir / "missing.webm", dir / "card.png", dir / "out.webm", 1);
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error().rfind("ffprobe failed: ", 0), 0u) << appended.error();
    EXPECT_FALSE(std::filesystem::exists(dir / "out.webm"));
    EXPECT_TRUE(leftovers().empty());
}

using FinishingPoster = FinishingMedia;

TEST_F(FinishingPoster, WritesTheFirstFrameInTheNamedFormat) {
    const std::string video = dir / "clip.webm";
    ASSERT_TRUE(make_clip(video, ClipSpec{.seconds = 1, .width = 320, .height = 180}));
    struct Case {
        std::string name, magic;
    };
    for (const auto& c :
         std::vector<Case>{{"poster.jpg", "\xff\xd8\xff"}, {"poster.png", "\x89PNG"}}) {
        auto made = make_poster(video, dir / c.name);
        ASSERT_TRUE(made) << c.name << ": " << made.error();
        EXPECT_EQ(read_file(dir / c.name).substr(0, c.magic.size()), c.magic) << c.name;
        EXPECT_EQ(video_size(dir / c.name), std::make_pair(320, 180)) << c.name;
    }
}

TEST_F(FinishingPoster, CommandAndFailures) {
    {
        FakeTools tools;
        tools.add("ffmpeg", fail_with_lines("p", 7));
        auto made = make_poster("/v/clip.webm", "/v/poster.jpg");
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error(), "ffmpeg poster failed: " + joined_lines("p", 5));
        const std::vector<std::vector<std::string>> expected = {{"-y", "-loglevel", "error", "-i",
                                                                 "/v/clip.webm", "-frames:v", "1",
                                                                 "-q:v", "3", "/v/poster.jpg"}};
        EXPECT_EQ(tools.calls("ffmpeg"), expected);
    }
    // Real ffmpeg on something that is not a video.
    write_file(dir / "notes.webm", "not a video\n");
    auto made = make_poster(dir / "notes.webm", dir / "poster.jpg");
    ASSERT_FALSE(made);
    const std::string prefix = "ffmpeg poster failed: ";
    EXPECT_EQ(made.error().rfind(prefix, 0), 0u) << made.error();
    EXPECT_GT(made.error().size(), prefix.size()) << "ffmpeg's reason is missing";
    EXPECT_LE(std::count(made.error().begin(), made.error().end(), ';'), 4) << made.error();
}

} // namespace
} // namespace reelcut
