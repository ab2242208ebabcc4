// The voiceover's naming and listing of takes, its timeline arithmetic and its JSON escaping,
// on directories of empty files and hand-made segments.
#include "ffmpeg/media_tools.hpp"
#include "support/test_support.hpp"
#include "voiceover/routes.hpp"
#include "voiceover/voiceover_app.hpp"

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::TempDir;
using testing::write_file;

TEST(VoiceoverTakeNames, FromTheOutputPath) {
    struct Case {
        std::string output;
        std::string raw, normalized, preview;
    };
    const std::vector<Case> cases = {
        {"/v/demo-narrated.webm", "/v/demo-narrated-take-3.webm",
         "/v/demo-narrated-take-3-norm.webm", "/v/demo-narrated-norm-99.webm"},
        {"clip-narrated.webm", "./clip-narrated-take-3.webm", "./clip-narrated-take-3-norm.webm",
         "./clip-narrated-norm-99.webm"},
        {"/v/take", "/v/take-take-3.webm", "/v/take-take-3-norm.webm", "/v/take-norm-99.webm"},
        {"out/final.mp4", "out/final-take-3.mp4", "out/final-take-3-norm.mp4",
         "out/final-norm-99.mp4"},
        {"/in-root.webm", "/in-root-take-3.webm", "/in-root-take-3-norm.webm",
         "/in-root-norm-99.webm"},
    };
    for (const Case& c : cases) {
        const TakeNames names = take_names(c.output);
        EXPECT_EQ(names.raw_take(3), c.raw) << c.output;
        EXPECT_EQ(names.normalized_take(3), c.normalized) << c.output;
        EXPECT_EQ(names.preview(99), c.preview) << c.output;
    }
}

TEST(VoiceoverTakeNames, HighestTakeCountsEverySuffixAndExtension) {
    TempDir dir;
    const TakeNames names = take_names(dir / "demo-narrated.webm");
    EXPECT_EQ(highest_take_on_disk(names), std::nullopt);
    for (const char* name :
         {"demo-narrated-take-7-norm.webm", "demo-narrated-take-3.mp4", "demo-narrated-take-x.webm",
          "other-take-40.webm", "demo-narrated-take-99999999999.webm"}) {
        write_file(dir.path() / name, "");
    }
    EXPECT_EQ(highest_take_on_disk(names), 7u);
    EXPECT_EQ(highest_take_on_disk(take_names("/nonexistent/dir/x.webm")), std::nullopt);
}

std::vector<std::string> labels_of(const std::string& body) {
    std::vector<std::string> labels;
    const json parsed = json::parse(body);
    for (const json& take : parsed["takes"]) {
        labels.push_back(take["label"]);
    }
    return labels;
}

TEST(VoiceoverTakeListing, KindsOrderAndSkippedNames) {
    TempDir dir;
    write_file(dir.path() / "input.webm", "12345");
    // Listed in the directory's order: legacy previews are ordered by time, not by name.
    const auto now = fs::file_time_type::clock::now();
    for (const auto& [name, age] :
         std::vector<std::pair<const char*, int>>{{"demo-narrated-take-2.webm", 0},
                                                  {"demo-narrated-take-10.webm", 0},
                                                  {"demo-narrated-take-2-norm.webm", 0},
                                                  {"demo-narrated.webm", 0},
                                                  {"demo-narrated-norm-200.webm", 10},
                                                  {"demo-narrated-norm-100.webm", 20},
                                                  {"demo-narrated-take-x.webm", 0},
                                                  {"demo-narrated-take-3-extra.webm", 0},
                                                  {"demo-narrated-take-4.mp4", 0},
                                                  {"other-take-1.webm", 0}}) {
        write_file(dir.path() / name, "ab");
        fs::last_write_time(dir.path() / name, now - std::chrono::seconds(age));
    }
    const std::string current = dir / "demo-narrated-take-2-norm.webm";
    const std::string body =
        takes_json(dir / "input.webm", take_names(dir / "demo-narrated.webm"), current);
    const json takes = json::parse(body)["takes"];
    EXPECT_EQ(labels_of(body),
              (std::vector<std::string>{"Original", "Take 2", "Take 2 (auto-leveled)", "Take 10",
                                        "Recovered mux", "Legacy #1", "Legacy #2"}));
    EXPECT_EQ(takes[0], (json{{"label", "Original"},
                              {"kind", "original"},
                              {"path", dir / "input.webm"},
                              {"size", 5},
                              {"selected", false}}));
    EXPECT_EQ(takes[2]["kind"], "normalized");
    EXPECT_EQ(takes[2]["take"], 2);
    EXPECT_EQ(takes[2]["selected"], true);
    EXPECT_EQ(takes[2]["size"], 2);
    EXPECT_GT(takes[2]["mtime"].get<std::int64_t>(), 1'600'000'000);
    EXPECT_EQ(takes[4]["kind"], "committed");
    EXPECT_EQ(takes[5]["path"], dir / "demo-narrated-norm-100.webm"); // the older one
    for (std::size_t i = 1; i < takes.size(); ++i) {
        EXPECT_EQ(takes[i]["selected"], i == 2) << i;
    }

    // An mp4 output's takes end in .mp4, which the listing leaves out.
    write_file(dir.path() / "final-take-1.mp4", "");
    EXPECT_EQ(labels_of(takes_json(dir / "input.webm", take_names(dir / "final.mp4"), {})),
              std::vector<std::string>{"Original"});
    // Nothing to list in a directory that cannot be read, and a missing input has size 0.
    const json lonely =
        json::parse(takes_json("/nonexistent/in.webm", take_names("/nonexistent/x.webm"), {}));
    EXPECT_EQ(lonely["takes"].size(), 1u);
    EXPECT_EQ(lonely["takes"][0]["size"], 0);
}

TEST(VoiceoverTakeListing, SelectionComparesComponents) {
    struct Case {
        const char* a;
        const char* b;
        bool same;
    };
    for (const Case& c : std::vector<Case>{{"/v/a.webm", "/v//a.webm", true},
                                           {"/v/./a.webm", "/v/a.webm", true},
                                           {"/v/a.webm/", "/v/a.webm", true},
                                           {"./a.webm", "./a.webm", true},
                                           {"./a.webm", "a.webm", false},
                                           {"/v/a.webm", "v/a.webm", false},
                                           {"/v/../v/a.webm", "/v/a.webm", false}}) {
        EXPECT_EQ(same_components(c.a, c.b), c.same) << c.a << " vs " << c.b;
    }
}

Segment segment(double start, double end, std::uint32_t speed, std::string label = "work") {
    return Segment{std::move(label), start, end, speed};
}

TEST(VoiceoverTimeline, ArithmeticAndItems) {
    struct Case {
        std::string name;
        std::vector<Segment> segments;
        double probed;
        json expected; // everything but "segments"
        std::vector<std::string> kinds;
    };
    const std::vector<Case> cases = {
        {"one segment at 4x",
         {segment(10, 20, 4)},
         32.5,
         {{"inputDuration", 40.0},
          {"outputDuration", 32.5},
          {"savedSeconds", 7.5},
          {"reductionPct", 18.75},
          {"speedupSegmentCount", 1}},
         {"normal", "speedup", "normal"}},
        {"a start within a millisecond of 0",
         {segment(0.0005, 1, 2)},
         5,
         {{"speedupSegmentCount", 1}},
         {"speedup", "normal"}},
        {"a start 2 ms in",
         {segment(0.002, 1, 2)},
         5,
         {{"speedupSegmentCount", 1}},
         {"normal", "speedup", "normal"}},
        {"no segments",
         {},
         12.25,
         {{"inputDuration", 12.25},
          {"outputDuration", 12.25},
          {"savedSeconds", 0.0},
          {"reductionPct", 0.0},
          {"speedupSegmentCount", 0}},
         {"normal"}},
        {"nothing probed", {}, 0, {{"reductionPct", 0.0}}, {}},
        {"overlapping segments",
         {segment(0, 10, 2), segment(5, 8, 3)},
         10,
         {{"speedupSegmentCount", 2}},
         {"speedup", "speedup", "normal"}},
        // The markers file allows speed 0; dividing by it would put infinities in the reply.
        {"a segment at speed 0 plays at speed 1",
         {segment(2, 6, 0)},
         10,
         {{"inputDuration", 10.0},
          {"outputDuration", 10.0},
          {"savedSeconds", 0.0},
          {"reductionPct", 0.0},
          {"speedupSegmentCount", 1}},
         {"normal", "speedup", "normal"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const json body = json::parse(timeline_json(c.segments, c.probed), nullptr, false);
        ASSERT_TRUE(body.is_object()) << timeline_json(c.segments, c.probed);
        EXPECT_EQ(body["ok"], true);
        EXPECT_EQ(body["available"], true);
        for (const auto& [key, value] : c.expected.items()) {
            EXPECT_EQ(body[key], value) << key;
        }
        std::vector<std::string> kinds;
        for (const json& item : body["segments"]) {
            kinds.push_back(item["kind"]);
        }
        EXPECT_EQ(kinds, c.kinds);
    }

    // The worked example, to the character.
    EXPECT_EQ(timeline_json({segment(10, 20, 4, "Exporting")}, 32.5),
              R"({"ok":true,"available":true,"inputDuration":40.000,"outputDuration":32.500,)"
              R"("savedSeconds":7.500,"reductionPct":18.75,"speedupSegmentCount":1,"segments":[)"
              R"({"kind":"normal","start":0.000,"end":10.000,"duration":10.000},)"
              R"({"kind":"speedup","start":10.000,"end":20.000,"duration":10.000,"speed":4,)"
              R"("label":"Exporting","compressedDuration":2.500},)"
              R"({"kind":"normal","start":20.000,"end":40.000,"duration":20.000}]})");
    const json quoted = json::parse(timeline_json({segment(1, 2, 2, "say \"hi\"\\\n")}, 3));
    EXPECT_EQ(quoted["segments"][1]["label"], "say \"hi\"\\\n");
}

TEST(VoiceoverText, EscapingAndErrorTails) {
    EXPECT_EQ(escape_json_text("/plain/path-1.webm"), "/plain/path-1.webm");
    EXPECT_EQ(escape_json_text("a\"b\\c\nd\re\tf\x01"), "a\\\"b\\\\c\\nd\\re\\tf\\u0001");
    EXPECT_EQ(escape_json_text("bad \xff byte"), "bad \xef\xbf\xbd byte");

    std::string err;
    for (int i = 1; i <= 25; ++i) {
        err += "line " + std::to_string(i) + (i % 2 ? "\r\n" : "\n");
    }
    const std::string tail = last_error_lines(err, 20, "\n");
    EXPECT_TRUE(tail.starts_with("line 6\nline 7\n")) << tail;
    EXPECT_TRUE(tail.ends_with("line 24\nline 25")) << tail;
    EXPECT_EQ(last_error_lines("only\n", 10, "\\n"), "only");
    EXPECT_EQ(last_error_lines("a\n\nb", 10, "|"), "a||b");
    EXPECT_EQ(first_error_lines("a\r\nb\nc", 2), "a; b");
}

} // namespace
} // namespace reelcut
