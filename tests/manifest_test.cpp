// The manifest file: strict reading with exact messages, the exact saved layout, atomic saves and
// the cross-process lock that keeps concurrent writers from losing clips.
#include "storyboard/manifest.hpp"
#include "support/clip_of.hpp"
#include "support/test_support.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace reelcut {
namespace {

using testing::clip_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;

std::string parse_error(const std::string& text) {
    auto parsed = parse_manifest(text);
    return parsed ? std::string("(loaded)") : parsed.error();
}

TEST(ManifestRead, ErrorsNameTheRuleAndThePosition) {
    const std::string speed =
        R"({"title":"t","clips":[{"id":"a","title":"b","speedup_events":[{"speed":)";
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases = {
        // derived-record rules
        {R"({"title":"a","title":"b"})", "duplicate field `title` at line 1 column 20"},
        {R"({"title":"t","final_raw_path":null,"final_raw_path":"x"})",
         "duplicate field `final_raw_path` at line 1 column 51"},
        {"{\n  \"title\": \"t\",\n  \"title\": \"u\"\n}",
         "duplicate field `title` at line 3 column 9"},
        {R"({"clips":[]})", "missing field `title` at line 1 column 12"},
        {R"({"title":"a","title"})", "duplicate field `title` at line 1 column 21"},
        {R"({"title":"t","clips":[{"title":"x"}]})", "missing field `id` at line 1 column 35"},
        {R"({"title":"t","clips":[{}]})", "missing field `id` at line 1 column 24"},
        {R"({"title":"t","publish":{"caption":"c"}})", "missing field `page` at line 1 column 38"},
        {R"({"title":null})", "invalid type: null, expected a string at line 1 column 13"},
        {R"({"title":"t","clips":null})",
         "invalid type: null, expected a sequence at line 1 column 25"},
        {R"({"title":"t","clips":{}})",
         "invalid type: map, expected a sequence at line 1 column 21"},
        {R"({"title":"t","final_raw_path":5})",
         "invalid type: integer `5`, expected path string at line 1 column 31"},
        {R"({"title":"t","clips":["x"]})",
         "invalid type: string \"x\", expected struct Clip at line 1 column 25"},
        {R"("x")", "invalid type: string \"x\", expected struct Manifest at line 1 column 3"},
        {"5", "invalid type: integer `5`, expected struct Manifest at line 1 column 1"},
        // positional form
        {"[]", "invalid length 0, expected struct Manifest with 5 elements at line 1 column 2"},
        {R"(["t",[["a"]]])",
         "invalid length 1, expected struct Clip with 12 elements at line 1 column 11"},
        {R"(["t",[],null,null,null,1])", "trailing characters at line 1 column 24"},
        {R"(["t",[],null,null,null,)", "trailing characters at line 1 column 23"},
        {R"(["t",[["a","b",null,null,null,null,null,null,[[20]]]]])",
         "invalid length 1, expected struct SpeedupEvent with 2 elements at line 1 column 50"},
        // speeds: integers from 0 to 4294967295 only
        {speed + "20.0}]}]}",
         "invalid type: floating point `20.0`, expected u32 at line 1 column 75"},
        {speed + "2e1}]}]}",
         "invalid type: floating point `20.0`, expected u32 at line 1 column 74"},
        {speed + "-1}]}]}", "invalid value: integer `-1`, expected u32 at line 1 column 73"},
        {speed + "4294967296}]}]}",
         "invalid value: integer `4294967296`, expected u32 at line 1 column 81"},
        {speed + "\"20\"}]}]}", "invalid type: string \"20\", expected u32 at line 1 column 75"},
        {speed + "null}]}]}", "invalid type: null, expected u32 at line 1 column 75"},
        // syntax
        {R"({"title":"t"} x)", "trailing characters at line 1 column 15"},
        {R"({"title":"t",)", "EOF while parsing a value at line 1 column 13"},
        {"{\"title\":\"t\",\n", "EOF while parsing a value at line 2 column 0"},
        {R"({"title":"t",})", "trailing comma at line 1 column 14"},
        {"", "EOF while parsing a value at line 1 column 0"},
        {"{\"title\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string "
                                 "at line 2 column 0"},
        // escapes in kept strings
        {R"({"title":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 16"},
        {R"({"title":"\ud800\x"})", "unexpected end of hex escape at line 1 column 18"},
        {R"({"title":"\u1"})", "EOF while parsing a string at line 1 column 15"},
        // values under unknown keys are skipped by rules of their own
        {R"({"x":[1,],"title":"t"})", "expected value at line 1 column 9"},
        {R"({"x":{"a":1,},"title":"t"})", "key must be a string at line 1 column 13"},
        {R"({"x":{"a":1,)", "EOF while parsing an object at line 1 column 12"},
        {R"({"x":1.)", "invalid number at line 1 column 7"},
        {"{\"x\":\"a\tb\",\"title\":\"t\"}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 7"},
        {"{\"title\":\"a\tb\"}",
         "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 12"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_error(c.text), c.error) << c.text;
    }
}

TEST(ManifestRead, LenientWhereTheRulesAllow) {
    // Unknown keys, whatever their value, are skipped; null optionals are absent.
    auto m = parse_manifest(R"({"extra":{"deep":[1,2e400,"\udc00",{"x":null}]},"title":"t",
        "final_raw_path":null,"clips":[{"id":"a","title":"b","raw_mtime_ms":123,
        "speedup_events":[{"label":"l","speed":0}],"description":null}]})");
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(m->title, "t");
    EXPECT_FALSE(m->final_raw_path);
    ASSERT_EQ(m->clips.size(), 1u);
    EXPECT_FALSE(m->clips[0].description);
    ASSERT_EQ(m->clips[0].speedup_events.size(), 1u);
    EXPECT_EQ(m->clips[0].speedup_events[0].speed, 0u);

    // Positional records at any level, their optional tail left out.
    m = parse_manifest(R"(["t",[["a","b",null,"raw.webm"]],null,"fast.webm",["page"]])");
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(m->clips[0].raw_path, "raw.webm");
    EXPECT_EQ(m->final_fast_path, "fast.webm");
    ASSERT_TRUE(m->publish);
    EXPECT_EQ(m->publish->page, "page");

    // Skipped values may nest to any depth.
    const std::size_t depth = 100000;
    m = parse_manifest(R"({"deep":)" + std::string(depth, '[') + std::string(depth, ']') +
                       R"(,"title":"t"})");
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(m->title, "t");

    m = parse_manifest(R"(["only a title"])");
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(m->title, "only a title");
    EXPECT_TRUE(m->clips.empty());

    m = parse_manifest(" {\"title\":\"\\u00e9\\ud83d\\ude00\",\"clips\":[]} \n");
    ASSERT_TRUE(m) << m.error();
    EXPECT_EQ(m->title, "é😀");
}

// Every field, with the texts that need escaping, in the saved layout.
Manifest full_manifest() {
    Manifest m = new_manifest("Démo \"quotes\" \\ back/slash");
    Clip first;
    first.id = "intro";
    first.title = "Tab\there, line\nbreak, bell\x07, unit\x1f, del\x7f";
    first.description = "what it shows ✓";
    first.raw_path = "raw/intro.webm";
    first.fast_path = "fast/intro.webm";
    first.poster_path = "posters/intro.jpg";
    first.image_path = "shots/intro.png";
    first.console_png_path = "shots/console.png";
    first.speedup_events = {{20, "Exporting"}, {4, ""}};
    first.actions = {"clicked \"Export\""};
    first.warnings = {"slow\r\n", "\b\f"};
    first.narration = "Here we go.";
    Clip second;
    second.id = "bare";
    second.title = "";
    m.clips = {first, second};
    m.final_raw_path = "final/raw.webm";
    m.final_fast_path = "final/fast.webm";
    m.publish = PublishTarget{"eng/demos", "Caption"};
    return m;
}

constexpr const char* kFullManifestText = R"({
  "title": "Démo \"quotes\" \\ back/slash",
  "clips": [
    {
      "id": "intro",
      "title": "Tab\there, line\nbreak, bell\u0007, unit\u001f, del)"
                                          "\x7f"
                                          R"(",
      "description": "what it shows ✓",
      "raw_path": "raw/intro.webm",
      "fast_path": "fast/intro.webm",
      "poster_path": "posters/intro.jpg",
      "image_path": "shots/intro.png",
      "console_png_path": "shots/console.png",
      "speedup_events": [
        {
          "speed": 20,
          "label": "Exporting"
        },
        {
          "speed": 4,
          "label": ""
        }
      ],
      "actions": [
        "clicked \"Export\""
      ],
      "warnings": [
        "slow\r\n",
        "\b\f"
      ],
      "narration": "Here we go."
    },
    {
      "id": "bare",
      "title": ""
    }
  ],
  "final_raw_path": "final/raw.webm",
  "final_fast_path": "final/fast.webm",
  "publish": {
    "page": "eng/demos",
    "caption": "Caption"
  }
})";

TEST(ManifestSave, WritesTheExactLayoutAndReadsItBack) {
    TempDir dir;
    const std::string path = dir / "story.json";
    ASSERT_TRUE(save_manifest(full_manifest(), path));
    const std::string saved = read_file(path);
    EXPECT_EQ(saved, kFullManifestText);

    auto loaded = load_manifest(path);
    ASSERT_TRUE(loaded) << loaded.error();
    ASSERT_TRUE(save_manifest(*loaded, path));
    EXPECT_EQ(read_file(path), saved);

    // A title-only file gains its empty clip list and nothing else.
    write_file(path, R"({"title":"x","raw_mtime_ms":5,"final_raw_path":null})");
    loaded = load_manifest(path);
    ASSERT_TRUE(loaded) << loaded.error();
    ASSERT_TRUE(save_manifest(*loaded, path));
    EXPECT_EQ(read_file(path), "{\n  \"title\": \"x\",\n  \"clips\": []\n}");
}

TEST(ManifestSave, CreatesDirectoriesAndLeavesNoTemporaryFile) {
    TempDir dir;
    const std::string path = dir / "out/deeper/story.json";
    ASSERT_TRUE(save_manifest(new_manifest("t"), path));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir / "out/deeper")) {
        names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{"story.json"});
}

TEST(ManifestSave, FailuresLeaveTheTargetUnchanged) {
    TempDir dir;
    const std::string path = dir / "story.json";
    const std::string tmp = path + ".tmp." + std::to_string(::getpid());

    Manifest bad = new_manifest("t");
    bad.clips.push_back(clip_of("a", "b"));
    bad.clips[0].raw_path = "raw\xff.webm";
    EXPECT_EQ(save_manifest(bad, dir / "sub/story.json").error(),
              "serialize manifest: path contains invalid UTF-8 characters");
    EXPECT_FALSE(fs::exists(dir / "sub"));
    EXPECT_EQ(manifest_to_value(bad).error(), "path contains invalid UTF-8 characters");

    write_file(dir / "file", "");
    EXPECT_EQ(save_manifest(new_manifest("t"), dir / "file/story.json").error(),
              "mkdir " + (dir / "file") + ": File exists (os error 17)");

    write_file(path, "old");
    fs::create_directory(tmp);
    EXPECT_EQ(save_manifest(new_manifest("t"), path).error(),
              "write " + tmp + ": Is a directory (os error 21)");
    EXPECT_EQ(read_file(path), "old");
    fs::remove(tmp);

    const std::string target_dir = dir / "target.json";
    fs::create_directories(target_dir + "/inside");
    const std::string dir_tmp = target_dir + ".tmp." + std::to_string(::getpid());
    EXPECT_EQ(save_manifest(new_manifest("t"), target_dir).error(),
              "rename " + dir_tmp + " -> " + target_dir + ": Is a directory (os error 21)");
    EXPECT_TRUE(fs::exists(dir_tmp)); // the complete temporary file stays
}

TEST(ManifestSave, TemporaryNameFollowsTheTargetsExtension) {
    TempDir dir;
    const std::string pid = std::to_string(::getpid());
    for (const auto& [name, tmp] :
         std::vector<std::pair<std::string, std::string>>{{"story.txt", "story.json.tmp"},
                                                          {"a.b.json", "a.b.json.tmp"},
                                                          {"story", "story.json.tmp"},
                                                          {".story", ".story.json.tmp"}}) {
        // A directory where the temporary file goes makes the save report its name.
        fs::create_directory(dir / (tmp + "." + pid));
        EXPECT_EQ(save_manifest(new_manifest("t"), dir / name).error(),
                  "write " + (dir / (tmp + "." + pid)) + ": Is a directory (os error 21)")
            << name;
    }
}

TEST(ManifestLoad, ReadAndParseFailuresNameThePath) {
    TempDir dir;
    const std::string path = dir / "story.json";
    EXPECT_EQ(load_manifest(path).error(),
              "read " + path + ": No such file or directory (os error 2)");
    EXPECT_EQ(load_manifest(dir.path().string()).error(),
              "read " + dir.path().string() + ": Is a directory (os error 21)");
    write_file(path, "{\"title\":\"\xff\"}");
    EXPECT_EQ(load_manifest(path).error(), "read " + path + ": stream did not contain valid UTF-8");
    write_file(path, "{\"title\":1}");
    EXPECT_EQ(load_manifest(path).error(),
              "parse " + path +
                  ": invalid type: integer `1`, expected a string at line 1 column 10");
}

TEST(ManifestValue, SortedKeysAndTheFilesOmissions) {
    Manifest m = full_manifest();
    m.clips[1].warnings.clear();
    auto value = manifest_to_value(m);
    ASSERT_TRUE(value) << value.error();
    EXPECT_EQ(
        value->dump(),
        R"({"clips":[{"actions":["clicked \"Export\""],"console_png_path":"shots/console.png",)"
        R"("description":"what it shows ✓","fast_path":"fast/intro.webm","id":"intro",)"
        R"("image_path":"shots/intro.png","narration":"Here we go.",)"
        R"("poster_path":"posters/intro.jpg","raw_path":"raw/intro.webm",)"
        R"("speedup_events":[{"label":"Exporting","speed":20},{"label":"","speed":4}],)"
        R"("title":"Tab\there, line\nbreak, bell\u0007, unit\u001f, del)"
        "\x7f"
        R"(","warnings":["slow\r\n","\b\f"]},{"id":"bare","title":""}],)"
        R"("final_fast_path":"final/fast.webm","final_raw_path":"final/raw.webm",)"
        R"("publish":{"caption":"Caption","page":"eng/demos"},)"
        R"("title":"Démo \"quotes\" \\ back/slash"})");
    EXPECT_TRUE((*value)["clips"][0]["speedup_events"][0]["speed"].is_number_unsigned());
    EXPECT_EQ(manifest_to_value(new_manifest("t"))->dump(), R"({"clips":[],"title":"t"})");
}

TEST(ManifestLock, ConcurrentUpdatesLoseNothing) {
    TempDir dir;
    const std::string path = dir / "story.json";
    ASSERT_TRUE(save_manifest(new_manifest("t"), path));
    // Separate processes, as demo scripts run; each adds clips one read-modify-write at a time.
    constexpr int kWriters = 6;
    constexpr int kEach = 15;
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        const pid_t child = ::fork();
        if (child == 0) {
            for (int k = 0; k < kEach; ++k) {
                auto done = update_manifest(path, [&](Manifest& m) -> Status {
                    m.clips.push_back(clip_of(std::to_string(w) + "-" + std::to_string(k), "c"));
                    return {};
                });
                if (!done) {
                    ::_exit(1);
                }
            }
            ::_exit(0);
        }
        children.push_back(child);
    }
    for (const pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    auto loaded = load_manifest(path);
    ASSERT_TRUE(loaded) << loaded.error();
    EXPECT_EQ(loaded->clips.size(), std::size_t{kWriters * kEach});
}

TEST(ManifestLock, UpdateOfAMissingManifestFailsAsItsLoadAndCreatesNothing) {
    TempDir dir;
    const std::string path = dir / "none/story.json";
    bool called = false;
    auto outcome = update_manifest(path, [&](Manifest&) -> Status {
        called = true;
        return {};
    });
    EXPECT_EQ(outcome.error(), "read " + path + ": No such file or directory (os error 2)");
    EXPECT_FALSE(called);
    EXPECT_FALSE(fs::exists(dir / "none"));
}

} // namespace
} // namespace reelcut
