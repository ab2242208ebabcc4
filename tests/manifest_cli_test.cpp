// The `manifest` subcommand end to end: its files, OK lines, warnings and error messages.
#include "storyboard/manifest.hpp"
#include "storyboard/manifest_cli.hpp"
#include "support/clip_of.hpp"
#include "support/test_support.hpp"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

namespace reelcut {
namespace {

using testing::clip_of;
using testing::read_file;
using testing::run_reelcut;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

class ManifestCommand : public ::testing::Test {
  protected:
    TempDir dir;
    std::string path = dir / "out/story.json";

    CapturedOutput run(std::vector<std::string> args) {
        args.insert(args.begin(), "manifest");
        SpawnOptions options;
        options.cwd = dir.path().string();
        return run_reelcut(args, options);
    }
    Manifest load() {
        auto m = load_manifest(path);
        EXPECT_TRUE(m) << m.error();
        return m ? *m : Manifest{};
    }
    std::vector<std::string> ids() {
        std::vector<std::string> out;
        for (const auto& clip : load().clips) {
            out.push_back(clip.id);
        }
        return out;
    }
};

TEST_F(ManifestCommand, AddCreatesTheFileAndReplacesClipsInPlace) {
    auto out = run({"add", path, "--id", "one", "--title", "First"});
    ASSERT_EQ(out.status.code, 0) << out.err;
    EXPECT_EQ(out.out, "OK: added clip one to " + path + "\n");
    EXPECT_EQ(load().title, "Untitled");

    ASSERT_EQ(run({"add", path, "--id", "two", "--title", "Second", "--description", "old",
                   "--narration", "spoken"})
                  .status.code,
              0);
    ASSERT_EQ(run({"add", path, "--id", "three", "--title", "Third"}).status.code, 0);
    // Give the old clip a poster, as the review page does; re-adding drops it with the rest.
    Manifest m = load();
    m.clips[1].poster_path = "poster.jpg";
    ASSERT_TRUE(save_manifest(m, path));

    ASSERT_EQ(run({"add", path, "--id", "two", "--title", "Second again"}).status.code, 0);
    EXPECT_EQ(ids(), (std::vector<std::string>{"one", "two", "three"}));
    const Clip replaced = load().clips[1];
    EXPECT_EQ(replaced.title, "Second again");
    EXPECT_FALSE(replaced.description);
    EXPECT_FALSE(replaced.poster_path);
    EXPECT_FALSE(replaced.narration);
}

TEST_F(ManifestCommand, AddKeepsEveryValueInOrderAndNotesMissingPaths) {
    write_file(dir / "raw.webm", "");
    auto out = run({"add",           path,
                    "--id",          "c",
                    "--title",       "T",
                    "--raw",         "raw.webm",
                    "--fast",        "gone/fast.webm",
                    "--image",       "shot.png",
                    "--console-png", dir / "con.png",
                    "--speedup",     "20:Exporting",
                    "--speedup",     "+007:a:b",
                    "--speedup",     "3:",
                    "--action",      "a1",
                    "--action",      "a2",
                    "--warning",     "w1"});
    ASSERT_EQ(out.status.code, 0) << out.err;
    const Clip clip = load().clips.at(0);
    EXPECT_EQ(clip.raw_path, "raw.webm"); // stored as given, relative
    EXPECT_EQ(format_speedup_events(clip.speedup_events),
              (std::vector<std::string>{"20x:Exporting", "7x:a:b", "3x:"}));
    EXPECT_EQ(clip.actions, (std::vector<std::string>{"a1", "a2"}));
    EXPECT_EQ(clip.warnings,
              (std::vector<std::string>{"w1", "fast path not found on disk: gone/fast.webm",
                                        "image path not found on disk: shot.png",
                                        "console-png path not found on disk: " + dir / "con.png"}));
}

// The names in `dir`, sorted.
std::vector<std::string> entries(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST_F(ManifestCommand, ConcurrentAddsKeepEveryClipAndLeaveOnlyTheManifest) {
    // Demo scripts run in parallel; each add reads, changes and rewrites the whole file. Half of
    // them reach the directory through a link: the lock is the directory's, not its name's.
    fs::create_directories(dir / "out");
    fs::create_directory_symlink(dir / "out", dir / "link");
    std::vector<std::thread> writers;
    std::vector<int> codes(40, -1);
    for (std::size_t k = 0; k < codes.size(); ++k) {
        writers.emplace_back([&, k] {
            const std::string file = k % 2 == 0 ? path : dir / "link/story.json";
            codes[k] =
                run({"add", file, "--id", "clip" + std::to_string(k), "--title", "t"}).status.code;
        });
    }
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(codes, std::vector<int>(codes.size(), 0));
    EXPECT_EQ(load().clips.size(), codes.size());
    EXPECT_EQ(entries(dir / "out"), std::vector<std::string>{"story.json"});
}

TEST_F(ManifestCommand, NoActionLeavesAFileBesideTheManifest) {
    Manifest m = new_manifest("t");
    m.clips.push_back(clip_of("a", "x"));
    ASSERT_TRUE(save_manifest(m, path));
    const std::string bytes = read_file(path);
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const std::vector<Case> refused = {
        {{"add", path, "--id", "b", "--title", "B", "--raw", "bad\xff.webm"}, 1},
        {{"remove", path, "--id", "zz"}, 1},
        {{"init", path}, 1},
        {{"add", path, "--id", "b", "--title", "B", "--speedup", "1:x"}, 1},
        {{"inspect", path}, 0},
    };
    for (const auto& c : refused) {
        auto out = run(c.args);
        EXPECT_EQ(out.status.code, c.status) << c.args[0] << ": " << out.err;
        EXPECT_EQ(entries(dir / "out"), std::vector<std::string>{"story.json"}) << c.args[0];
        EXPECT_EQ(read_file(path), bytes) << c.args[0];
    }
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"add", path, "--id", "b", "--title", "B"},
                                               {"remove", path, "--id", "a"},
                                               {"init", dir / "out/other.json"}}) {
        auto out = run(args);
        EXPECT_EQ(out.status.code, 0) << args[0] << ": " << out.err;
    }
    EXPECT_EQ(entries(dir / "out"), (std::vector<std::string>{"other.json", "story.json"}));
    EXPECT_EQ(ids(), std::vector<std::string>{"b"});

    // A refused add of a new manifest takes back the directories it made for the lock.
    auto out = run({"add", dir / "new/deeper/story.json", "--id", "b", "--title", "B", "--raw",
                    "bad\xff.webm"});
    EXPECT_EQ(out.status.code, 1);
    EXPECT_EQ(out.err, "ERROR: serialize manifest: path contains invalid UTF-8 characters\n");
    EXPECT_FALSE(fs::exists(dir / "new"));
    // A made directory that holds the new manifest stays, with nothing else in it.
    ASSERT_EQ(run({"add", dir / "new/deeper/story.json", "--id", "b", "--title", "B"}).status.code,
              0);
    EXPECT_EQ(entries(dir / "new/deeper"), std::vector<std::string>{"story.json"});
}

TEST_F(ManifestCommand, ALockThatCannotBeTakenChangesNoOutcome) {
    // Where earlier versions kept their lock file, something else: the actions do not care.
    fs::create_directories(path + ".lock");
    auto out = run({"add", path, "--id", "a", "--title", "A"});
    ASSERT_EQ(out.status.code, 0) << out.err;
    EXPECT_EQ(ids(), std::vector<std::string>{"a"});
    EXPECT_EQ(manifest_remove({path, "zz"}).error(), "no clip with id zz in manifest " + path);
    ASSERT_TRUE(manifest_remove({path, "a"}));
    EXPECT_TRUE(ids().empty());
    const std::string other = dir / "out/other.json";
    fs::create_directories(other + ".lock");
    ASSERT_TRUE(manifest_init({other, "t"}));
    EXPECT_EQ(load_manifest(other)->title, "t");
}

TEST_F(ManifestCommand, SpeedupValuesAreCheckedBeforeAnythingIsWritten) {
    struct Case {
        std::string value;
        std::string error;
    };
    const std::string range = ". Hint: anything above 100x looks like a glitch";
    const std::vector<Case> cases = {
        {"20", "--speedup must be formatted as 'SPEED:LABEL', got 20. Hint: try '20:Exporting "
               "gerbers'"},
        {":label", "--speedup speed must be an integer, got "},
        {" 20:x", "--speedup speed must be an integer, got  20"},
        {"-5:x", "--speedup speed must be an integer, got -5"},
        {"++5:x", "--speedup speed must be an integer, got ++5"},
        {"+:x", "--speedup speed must be an integer, got +"},
        {"2x:x", "--speedup speed must be an integer, got 2x"},
        {"4294967296:x", "--speedup speed must be an integer, got 4294967296"},
        {"1:x", "--speedup speed must be in [2, 100], got 1" + range},
        {"101:x", "--speedup speed must be in [2, 100], got 101" + range},
        {"4294967295:x", "--speedup speed must be in [2, 100], got 4294967295" + range},
    };
    for (const auto& c : cases) {
        auto parsed = parse_speedup_arg(c.value);
        EXPECT_FALSE(parsed) << c.value;
        if (!parsed) {
            EXPECT_EQ(parsed.error(), c.error);
        }
    }
    for (const auto& [value, speed] : std::vector<std::pair<std::string, std::uint32_t>>{
             {"2:x", 2}, {"100:x", 100}, {"0020:x", 20}}) {
        EXPECT_EQ(parse_speedup_arg(value).value().speed, speed) << value;
    }

    auto out = run(
        {"add", path, "--id", "c", "--title", "T", "--speedup", "5:ok", "--speedup", "500:bad"});
    EXPECT_EQ(out.status.code, 1);
    EXPECT_EQ(out.err, "ERROR: --speedup speed must be in [2, 100], got 500" + range +
                           "\nHint: anything above 100x looks like a glitch\n");
    EXPECT_FALSE(fs::exists(dir / "out")); // not even the directory or a lock file

    // A manifest that cannot be read is reported before a bad value, and stays as it was.
    fs::create_directory(dir / "out");
    write_file(path, "{");
    out = run({"add", path, "--id", "c", "--title", "T", "--speedup", "500:bad"});
    EXPECT_EQ(out.status.code, 1);
    EXPECT_EQ(out.err,
              "ERROR: parse " + path + ": EOF while parsing an object at line 1 column 1\n");
    EXPECT_EQ(read_file(path), "{");
    EXPECT_FALSE(fs::exists(path + ".lock"));
}

TEST_F(ManifestCommand, InitAndItsRefusals) {
    auto out = run({"init", path, "--title", "My demo"});
    ASSERT_EQ(out.status.code, 0) << out.err;
    EXPECT_EQ(out.out, "OK: manifest initialized at " + path + " (title: My demo)\n");
    EXPECT_EQ(read_file(path), "{\n  \"title\": \"My demo\",\n  \"clips\": []\n}");

    const std::string refusal = ". Hint: delete it first, or use `manifest add` to append.";
    out = run({"init", path});
    EXPECT_EQ(out.status.code, 1);
    EXPECT_EQ(out.err, "ERROR: manifest already exists at " + path + refusal +
                           "\nHint: delete it first, or use `manifest add` to append.\n");
    fs::create_directory(dir / "adir");
    EXPECT_EQ(manifest_init({dir / "adir", "t"}).error(),
              "manifest already exists at " + dir / "adir" + refusal);
    EXPECT_FALSE(fs::exists(dir / "adir.lock"));

    ASSERT_EQ(run({"init", "plain.json"}).status.code, 0);
    EXPECT_EQ(load_manifest(dir / "plain.json")->title, "Untitled");
}

TEST_F(ManifestCommand, RemoveDropsEveryClipWithTheIdAndOtherwiseTouchesNothing) {
    Manifest m = new_manifest("t");
    for (const char* id : {"a", "b", "a", "c"}) {
        m.clips.push_back(clip_of(id, "x"));
    }
    ASSERT_TRUE(save_manifest(m, path));

    auto out = run({"remove", path, "--id", "a"});
    ASSERT_EQ(out.status.code, 0) << out.err;
    EXPECT_EQ(out.out, "OK: removed clip a from " + path + "\n");
    EXPECT_EQ(ids(), (std::vector<std::string>{"b", "c"}));

    const std::string before = read_file(path);
    struct stat st_before {};
    ::stat(path.c_str(), &st_before);
    EXPECT_EQ(manifest_remove({path, "zz"}).error(), "no clip with id zz in manifest " + path);
    struct stat st_after {};
    ::stat(path.c_str(), &st_after);
    EXPECT_EQ(read_file(path), before);
    EXPECT_EQ(st_before.st_mtim.tv_nsec, st_after.st_mtim.tv_nsec);
    EXPECT_EQ(st_before.st_ino, st_after.st_ino);

    const std::string missing = dir / "nowhere/story.json";
    EXPECT_EQ(manifest_remove({missing, "a"}).error(),
              "read " + missing + ": No such file or directory (os error 2)");
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST_F(ManifestCommand, InspectPrintsEveryKindOfLine) {
    write_file(dir / "raw.webm", "");
    Manifest m = new_manifest("Demo");
    Clip full = clip_of("intro", "Opening");
    full.raw_path = dir / "raw.webm";
    full.fast_path = "missing.webm";
    full.speedup_events = {{20, "Exporting"}, {5, "Build"}};
    full.warnings = {"first", "second"};
    full.description = "not shown";
    full.narration = "not shown";
    full.actions = {"not shown"};
    full.image_path = "not/shown.png";
    m.clips = {full, clip_of("plain", "Nothing else")};
    m.final_raw_path = "final-raw.webm";
    m.final_fast_path = "final-fast.webm";
    m.publish = PublishTarget{"eng/demo-page", "not shown"};
    ASSERT_TRUE(save_manifest(m, path));

    auto out = run({"inspect", path});
    ASSERT_EQ(out.status.code, 0) << out.err;
    EXPECT_EQ(out.out, "title: Demo\n"
                       "clips: 2\n"
                       "  [1] intro — Opening\n"
                       "        raw:  " +
                           dir / "raw.webm" +
                           " (✓)\n"
                           "        fast: missing.webm (✗ missing)\n"
                           "        speedup: 20x:Exporting, 5x:Build\n"
                           "        ⚠ first\n"
                           "        ⚠ second\n"
                           "  [2] plain — Nothing else\n"
                           "final raw:  final-raw.webm\n"
                           "final fast: final-fast.webm\n"
                           "publish → eng/demo-page\n");
    EXPECT_EQ(render_manifest_summary(new_manifest("Empty")), "title: Empty\nclips: 0\n");

    write_file(path, "{");
    out = run({"inspect", path});
    EXPECT_EQ(out.status.code, 1);
    EXPECT_EQ(out.out, "");
    EXPECT_EQ(out.err,
              "ERROR: parse " + path + ": EOF while parsing an object at line 1 column 1\n");
}

} // namespace
} // namespace reelcut
