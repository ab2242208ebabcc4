// concat and append-still end to end: clip selection, the manifest write-back and their messages.
#include "main/finishing_commands.hpp"
#include "storyboard/manifest.hpp"
#include "support/clip_of.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/test_support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace reelcut {
namespace {

using testing::clip_of;
using testing::ClipSpec;
using testing::FakeTools;
using testing::lines_of;
using testing::make_clip;
using testing::probed_seconds;
using testing::run_reelcut;
using testing::TempDir;

constexpr double kFrame = 1.0 / 30.0;

class FinishingCommands : public ::testing::Test {
  protected:
    TempDir dir;
    std::string manifest_path = dir / "story.json";

    void save(const Manifest& manifest) {
        auto saved = save_manifest(manifest, manifest_path);
        ASSERT_TRUE(saved) << saved.error();
    }
    Manifest load() {
        auto m = load_manifest(manifest_path);
        EXPECT_TRUE(m) << m.error();
        return m ? *m : Manifest{};
    }
};

TEST_F(FinishingCommands, ConcatJoinsTheExistingClipsInManifestOrder) {
    ASSERT_TRUE(make_clip(dir / "a.webm", ClipSpec{.seconds = 1}));
    ASSERT_TRUE(make_clip(dir / "c.webm", ClipSpec{.seconds = 2}));
    Manifest manifest = new_manifest("Demo");
    for (const char* id : {"a", "b", "c"}) {
        Clip clip = clip_of(id, id);
        clip.fast_path = dir / (std::string(id) + ".webm"); // b.webm is missing
        manifest.clips.push_back(clip);
    }
    manifest.final_raw_path = "/earlier/raw.webm";
    save(manifest);

    const std::string output = dir / "final.webm";
    auto r = run_reelcut({"concat", "--manifest", manifest_path, "--output", output});
    ASSERT_EQ(r.status.code, 0) << r.err;
    EXPECT_EQ(r.out,
              fmt::format("concatenating 2 clips → {}\nOK: wrote {} (2 clips, --kind fast)\n",
                          output, output));
    EXPECT_NEAR(probed_seconds(output), 3.0, kFrame);
    const Manifest after = load();
    EXPECT_EQ(after.final_fast_path, output);
    EXPECT_EQ(after.final_raw_path, "/earlier/raw.webm");
    EXPECT_EQ(after.clips.size(), 3u);
}

TEST_F(FinishingCommands, ConcatWithNothingOfTheKindNamesTheKind) {
    Manifest manifest = new_manifest("Demo");
    Clip clip = clip_of("a", "A");
    clip.fast_path = manifest_path; // exists, but only a fast path is set
    manifest.clips.push_back(clip);
    save(manifest);
    for (const std::string kind : {"raw", "FAST"}) {
        auto r = run_reelcut(
            {"concat", "--manifest", manifest_path, "--output", dir / "o.webm", "--kind", kind});
        EXPECT_EQ(r.status.code, 1);
        const std::string hint =
            fmt::format("every clip needs a {}_path field pointing at an existing file.", kind);
        EXPECT_EQ(r.err, fmt::format("ERROR: no usable {} clips in manifest. Hint: {}\nHint: {}\n",
                                     kind, hint, hint));
        EXPECT_EQ(r.out, "");
    }
    auto missing = run_reelcut({"concat", "--manifest", dir / "none.json", "--output", "o.webm"});
    EXPECT_EQ(missing.status.code, 1);
    EXPECT_EQ(lines_of(missing.err)[0].rfind("ERROR: read " + (dir / "none.json") + ": ", 0), 0u);
}

// A demo script that adds a clip while the join runs must not lose it when the final path is
// written back.
TEST_F(FinishingCommands, ConcatKeepsAClipAddedDuringTheJoin) {
    ASSERT_TRUE(make_clip(dir / "a.webm", ClipSpec{.seconds = 1}));
    Manifest manifest = new_manifest("Demo");
    Clip clip = clip_of("a", "A");
    clip.raw_path = dir / "a.webm";
    manifest.clips.push_back(clip);
    save(manifest);

    // An ffmpeg, first on the PATH run_reelcut passes on, that adds a clip to the manifest before
    // doing the real work.
    FakeTools tools;
    tools.add("ffmpeg", fmt::format("'{}' manifest add '{}' --id late --title Late >/dev/null || "
                                    "exit 9\nexec /usr/bin/ffmpeg \"$@\"",
                                    REELCUT_BIN, manifest_path));
    auto r = run_reelcut(
        {"concat", "--manifest", manifest_path, "--output", dir / "final.webm", "--kind", "raw"});
    ASSERT_EQ(r.status.code, 0) << r.err;
    const Manifest after = load();
    ASSERT_EQ(after.clips.size(), 2u);
    EXPECT_EQ(after.clips[1].id, "late");
    EXPECT_EQ(after.final_raw_path, dir / "final.webm");
}

// ffmpeg reads a relative path in a join list from the list's own directory (the temporary one);
// paths as a user types them must still name the files beside them.
TEST_F(FinishingCommands, RelativePathsNameFilesInTheWorkingDirectory) {
    ASSERT_TRUE(make_clip(dir / "a.webm", ClipSpec{.seconds = 1}));
    ASSERT_TRUE(make_clip(dir / "b.webm", ClipSpec{.seconds = 1}));
    ASSERT_TRUE(testing::make_image(dir / "card.png", 160, 90));
    Manifest manifest = new_manifest("Demo");
    for (const char* id : {"a", "b"}) {
        Clip clip = clip_of(id, id);
        clip.fast_path = std::string(id) + ".webm";
        manifest.clips.push_back(clip);
    }
    save(manifest);
    SpawnOptions in_dir;
    in_dir.cwd = dir.path().string();
    auto joined =
        run_reelcut({"concat", "--manifest", "story.json", "--output", "final.webm"}, in_dir);
    ASSERT_EQ(joined.status.code, 0) << joined.err;
    EXPECT_NEAR(probed_seconds(dir / "final.webm"), 2.0, kFrame);
    auto carded = run_reelcut({"append-still", "--video", "final.webm", "--image", "card.png",
                               "--duration", "1", "--output", "carded.webm"},
                              in_dir);
    ASSERT_EQ(carded.status.code, 0) << carded.err;
    EXPECT_NEAR(probed_seconds(dir / "carded.webm"), 3.0, 2 * kFrame);
}

// ffmpeg empties its output before reading its inputs; it notices only an output spelled exactly
// like an input. Another spelling of an input must fail and leave the input whole.
TEST_F(FinishingCommands, NoSubcommandWritesOverItsInput) {
    ASSERT_TRUE(make_clip(dir / "a.webm", ClipSpec{.seconds = 1}));
    ASSERT_TRUE(testing::make_image(dir / "card.png", 160, 90));
    testing::write_file(dir / "markers.jsonl",
                        "{\"action\":\"recording_start\",\"epoch\":1000.0}\n");
    Manifest manifest = new_manifest("Demo");
    Clip clip = clip_of("a", "A");
    clip.fast_path = dir / "a.webm";
    manifest.clips.push_back(clip);
    save(manifest);
    const std::string original = testing::read_file(dir / "a.webm");

    struct Case {
        std::vector<std::string> args;
        std::string output, input;
    };
    const std::vector<Case> cases = {
        {{"process", "--input", "a.webm", "--markers", "markers.jsonl", "--output", "./a.webm"},
         "./a.webm",
         "a.webm"},
        {{"concat", "--manifest", "story.json", "--output", "./a.webm"},
         "./a.webm",
         dir / "a.webm"},
        {{"append-still", "--video", dir / "a.webm", "--image", "card.png", "--output",
          "../" + dir.path().filename().string() + "/a.webm"},
         "../" + dir.path().filename().string() + "/a.webm",
         dir / "a.webm"},
    };
    SpawnOptions in_dir;
    in_dir.cwd = dir.path().string();
    for (const auto& c : cases) {
        auto r = run_reelcut(c.args, in_dir);
        EXPECT_EQ(r.status.code, 1) << c.args[0];
        EXPECT_EQ(
            lines_of(r.err)[0],
            fmt::format("ERROR: output {} is the same file as input {}: ffmpeg would empty it "
                        "before reading it. Hint: choose another output path",
                        c.output, c.input))
            << r.err;
        EXPECT_TRUE(testing::read_file(dir / "a.webm") == original) << c.args[0];
    }
}

TEST_F(FinishingCommands, AppendStillChecksItsInputsThenHoldsTheImage) {
    const std::string video = dir / "v.webm";
    const std::string image = dir / "card.png";
    ASSERT_TRUE(make_clip(video, ClipSpec{.seconds = 1}));

    auto no_image = run_reelcut(
        {"append-still", "--video", video, "--image", image, "--output", dir / "o.webm"});
    EXPECT_EQ(no_image.status.code, 1);
    EXPECT_EQ(no_image.err, "ERROR: image not found: " + image + "\n");
    EXPECT_EQ(no_image.out, "");
    auto no_video = run_reelcut({"append-still", "--video", dir / "none.webm", "--image", image,
                                 "--output", dir / "o.webm"});
    EXPECT_EQ(no_video.err, "ERROR: video not found: " + (dir / "none.webm") + "\n");

    ASSERT_TRUE(testing::make_image(image, 90, 160));
    auto r = run_reelcut(
        {"append-still", "--video", video, "--image", image, "--output", dir / "o.webm"});
    ASSERT_EQ(r.status.code, 0) << r.err;
    EXPECT_EQ(r.out, fmt::format("appending 3.0s still ({}) to {}\nOK: wrote {}\n", image, video,
                                 dir / "o.webm"));
    EXPECT_NEAR(probed_seconds(dir / "o.webm"), 4.0, 2 * kFrame);
    EXPECT_EQ(testing::video_size(dir / "o.webm"), std::make_pair(160, 90));
}

// ffmpeg given a looped image and a length under one frame encodes without end: such lengths are
// refused before anything is written or run.
TEST_F(FinishingCommands, AppendStillRefusesLengthsUnderOneFrame) {
    const std::string video = dir / "v.webm";
    const std::string image = dir / "card.png";
    ASSERT_TRUE(make_clip(video, ClipSpec{.seconds = 1}));
    ASSERT_TRUE(testing::make_image(image, 160, 90));
    TempDir tmp;
    testing::EnvGuard tmpdir{"TMPDIR"};
    ::setenv("TMPDIR", tmp.path().c_str(), 1);
    for (const std::string duration : {"0", "0.01", "1e-7", "0.0333", "NaN", "inf", "-inf", "-3"}) {
        FakeTools tools;
        tools.add("ffmpeg", "exit 0");
        auto r = run_reelcut({"append-still", "--video", video, "--image", image, "--output",
                              dir / "o.webm", "--duration=" + duration});
        EXPECT_EQ(r.status.code, 1) << duration;
        EXPECT_EQ(r.out, "") << duration;
        EXPECT_NE(r.err.find("ERROR: --duration must be a number of seconds of at least one frame "
                             "(1/30 s), got "),
                  std::string::npos)
            << r.err;
        EXPECT_TRUE(tools.calls("ffmpeg").empty()) << duration;
        EXPECT_FALSE(std::filesystem::exists(dir / "o.webm")) << duration;
        EXPECT_TRUE(testing::files_starting_with(tmp.path(), "tevo-reelcut-").empty()) << duration;
    }

    // One frame is enough.
    for (const std::string& duration : {fmt::format("{}", kFrame), std::string("0.034")}) {
        auto r = run_reelcut({"append-still", "--video", video, "--image", image, "--output",
                              dir / "o.webm", "--duration", duration});
        ASSERT_EQ(r.status.code, 0) << duration << ": " << r.err;
        EXPECT_NEAR(probed_seconds(dir / "o.webm"), 1.0 + kFrame, kFrame / 2) << duration;
        EXPECT_TRUE(testing::files_starting_with(tmp.path(), "tevo-reelcut-").empty()) << duration;
    }
}

} // namespace
} // namespace reelcut
