// The markers file: writing, the reading rules with their error texts, and pairing into segments.
#include "markers.hpp"
#include "support/test_support.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace reelcut {
namespace {

using testing::EnvGuard;
using testing::read_file;
using testing::TempDir;
using testing::write_file;
using namespace std::string_literals;

// Events have no equality of their own; compare them through their debug form, which shows
// every field (the epoch in shortest round-trip digits).
std::string show(const Event& e) {
    return debug_event(e);
}
std::vector<std::string> show(const std::vector<Event>& events) {
    std::vector<std::string> out;
    for (const auto& e : events) {
        out.push_back(show(e));
    }
    return out;
}

Result<std::vector<Event>> read_text(const TempDir& dir, const std::string& content) {
    const std::string path = dir / "markers.jsonl";
    write_file(path, content);
    return read_events(path);
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST(MarkersSerialize, CompactObjectsWithKeysInDeclarationOrder) {
    struct Case {
        Event event;
        std::string text;
    };
    const std::vector<Case> cases = {
        {RecordingStart{1700000000.25}, R"({"action":"recording_start","epoch":1700000000.25})"},
        {RecordingStart{1700000000.0}, R"({"action":"recording_start","epoch":1700000000.0})"},
        {SpeedupEnd{1700000012.5}, R"({"action":"speedup_end","epoch":1700000012.5})"},
        {SpeedupStart{1700000001.125, 20, "npm install"},
         R"({"action":"speedup_start","epoch":1700000001.125,"speed":20,"label":"npm install"})"},
        {SpeedupStart{0.0, 4294967295u, "say \"hi\"\n\\ é\x01"},
         R"({"action":"speedup_start","epoch":0.0,"speed":4294967295,"label":"say \"hi\"\n\\ é\u0001"})"},
        {SpeedupEnd{1e17}, R"({"action":"speedup_end","epoch":1e17})"},
        {SpeedupEnd{-1.5}, R"({"action":"speedup_end","epoch":-1.5})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(serialize_event(c.event), c.text);
    }
}

TEST(MarkersDebugEvent, VariantNameAndFields) {
    EXPECT_EQ(debug_event(RecordingStart{1.5}), "RecordingStart { epoch: 1.5 }");
    EXPECT_EQ(debug_event(SpeedupEnd{1700000000.0}), "SpeedupEnd { epoch: 1700000000.0 }");
    EXPECT_EQ(debug_event(SpeedupStart{1700000000.5, 20, "Build \"x\""}),
              R"(SpeedupStart { epoch: 1700000000.5, speed: 20, label: "Build \"x\"" })");
    EXPECT_EQ(debug_event(SpeedupStart{2.0, 3, "a\nb\\c\x1b"}),
              R"(SpeedupStart { epoch: 2.0, speed: 3, label: "a\nb\\c\u{1b}" })");
    EXPECT_EQ(debug_event(SpeedupEnd{1e21}), "SpeedupEnd { epoch: 1000000000000000000000.0 }");
}

TEST(MarkersInit, WritesOneRecordingStartLineWithTheReturnedEpoch) {
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    const double before = now_epoch();
    auto epoch = init_markers(path);
    const double after = now_epoch();
    ASSERT_TRUE(epoch) << epoch.error();
    EXPECT_GE(*epoch, before);
    EXPECT_LE(*epoch, after);
    EXPECT_EQ(read_file(path), serialize_event(RecordingStart{*epoch}) + "\n");

    auto events = read_events(path);
    ASSERT_TRUE(events) << events.error();
    ASSERT_EQ(events->size(), 1u);
    ASSERT_TRUE(std::holds_alternative<RecordingStart>((*events)[0]));
    EXPECT_EQ(std::get<RecordingStart>((*events)[0]).epoch, *epoch); // bit-exact round trip
}

TEST(MarkersInit, TruncatesAnExistingFile) {
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    write_file(path, std::string(10000, 'x') + "\n");
    auto epoch = init_markers(path);
    ASSERT_TRUE(epoch) << epoch.error();
    EXPECT_EQ(read_file(path), serialize_event(RecordingStart{*epoch}) + "\n");
}

TEST(MarkersInit, NewFileModeIs0666BeforeTheUmask) {
    TempDir dir;
    const mode_t old = umask(022);
    auto epoch = init_markers(dir / "a.jsonl");
    auto appended = append_event(dir / "b.jsonl", SpeedupEnd{1.0});
    umask(old);
    ASSERT_TRUE(epoch) << epoch.error();
    ASSERT_TRUE(appended) << appended.error();
    struct stat st {};
    ASSERT_EQ(stat((dir / "a.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat((dir / "b.jsonl").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(MarkersInit, EmptyPathFailsWithTheCreateMessage) {
    auto epoch = init_markers("");
    ASSERT_FALSE(epoch);
    EXPECT_EQ(epoch.error(), "create : No such file or directory (os error 2)");
}

TEST(MarkersInit, MissingDirectoryAndWriteFailures) {
    TempDir dir;
    const std::string path = dir / "no-such-dir/m.jsonl";
    auto epoch = init_markers(path);
    ASSERT_FALSE(epoch);
    EXPECT_EQ(epoch.error(), "create " + path + ": No such file or directory (os error 2)");

    auto dir_target = init_markers(dir.path().string());
    ASSERT_FALSE(dir_target);
    EXPECT_EQ(dir_target.error(),
              "create " + dir.path().string() + ": Is a directory (os error 21)");

    if (access("/dev/full", W_OK) == 0) {
        auto full = init_markers("/dev/full");
        ASSERT_FALSE(full);
        EXPECT_EQ(full.error(), "write /dev/full: No space left on device (os error 28)");
        auto appended = append_event("/dev/full", SpeedupEnd{1.0});
        ASSERT_FALSE(appended);
        EXPECT_EQ(appended.error(), "write /dev/full: No space left on device (os error 28)");
    }
}

TEST(MarkersInit, InvalidUtf8InThePathIsShownReplaced) {
    TempDir dir;
    const std::string path = dir / "missing\xff/m.jsonl";
    auto epoch = init_markers(path);
    ASSERT_FALSE(epoch);
    EXPECT_EQ(epoch.error(),
              "create " + dir.path().string() +
                  "/missing\xEF\xBF\xBD/m.jsonl: No such file or directory (os error 2)");
}

TEST(MarkersAppend, CreatesTheFileAndAppendsLines) {
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    ASSERT_TRUE(append_event(path, SpeedupStart{5.0, 4, "x"}));
    ASSERT_TRUE(append_event(path, SpeedupEnd{6.0}));
    EXPECT_EQ(read_file(path), R"({"action":"speedup_start","epoch":5.0,"speed":4,"label":"x"})"
                               "\n"
                               R"({"action":"speedup_end","epoch":6.0})"
                               "\n");

    auto failed = append_event(dir / "nope/m.jsonl", SpeedupEnd{1.0});
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(),
              "open " + (dir / "nope/m.jsonl") + ": No such file or directory (os error 2)");
    auto empty = append_event("", SpeedupEnd{1.0});
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error(), "open : No such file or directory (os error 2)");
}

TEST(MarkersAppend, PathWithANulByteIsRefused) {
    const std::string path("/tmp/a\0b", 8);
    auto appended = append_event(path, SpeedupEnd{1.0});
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error(), "open " + path + ": file name contained an unexpected NUL byte");
    auto events = read_events(path);
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "open " + path + ": file name contained an unexpected NUL byte");
}

TEST(MarkersAppend, ConcurrentAppendersNeverInterleaveLines) {
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    ASSERT_TRUE(init_markers(path));
    constexpr int kThreads = 8;
    constexpr int kPerThread = 300;
    const std::string long_label(2000, 'L'); // long lines make interleaving likely if it can happen
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kPerThread; ++k) {
                auto ok =
                    append_event(path, SpeedupStart{static_cast<double>(t),
                                                    static_cast<std::uint32_t>(k), long_label});
                ASSERT_TRUE(ok) << ok.error();
            }
        });
    }
    for (auto& th : threads) {
        th.join();
    }
    auto events = read_events(path);
    ASSERT_TRUE(events) << events.error();
    EXPECT_EQ(events->size(), 1u + kThreads * kPerThread);
}

TEST(MarkersRoundTrip, FileBytesAndEventsSurviveWriteAndRead) {
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    const std::vector<Event> events = {
        RecordingStart{1700000000.123456},
        SpeedupStart{1700000001.5, 20, "Build \"x\" (quoted)"},
        SpeedupEnd{1700000010.75},
        SpeedupStart{1700000011.0, 1, "multi\nline\r\nlabel\twith tab"},
        SpeedupEnd{1700000012.0},
        SpeedupStart{1700000013.0, 0, "non-ASCII: é 日本語 😀 → ✓"},
        SpeedupEnd{1700000014.0},
        SpeedupStart{1700000015.0, 4294967295u, "controls \x01\x1f\x7f nul\0 back\\slash /"s},
        SpeedupEnd{1700000016.0},
        SpeedupStart{1700000017.0, 7, ""},
        SpeedupStart{0.1 + 0.2, 3, "  padded  "},
        SpeedupEnd{1e-7},
        SpeedupEnd{1e17},
        SpeedupEnd{-0.0},
    };
    std::string expected;
    for (const auto& e : events) {
        ASSERT_TRUE(append_event(path, e));
        expected += serialize_event(e) + "\n";
    }
    const std::string bytes = read_file(path);
    EXPECT_EQ(bytes, expected);
    // One line per event: every newline inside a label is escaped.
    EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), static_cast<long>(events.size()));

    auto back = read_events(path);
    ASSERT_TRUE(back) << back.error();
    EXPECT_EQ(show(*back), show(events));
    ASSERT_EQ(back->size(), events.size());
    for (std::size_t k = 0; k < events.size(); ++k) {
        if (const auto* s = std::get_if<SpeedupStart>(&events[k])) {
            const auto& r = std::get<SpeedupStart>((*back)[k]);
            EXPECT_EQ(r.label, s->label);
            EXPECT_EQ(r.speed, s->speed);
            EXPECT_EQ(r.epoch, s->epoch);
        }
    }
    // Writing what was read gives the same bytes again.
    std::string rewritten;
    for (const auto& e : *back) {
        rewritten += serialize_event(e) + "\n";
    }
    EXPECT_EQ(rewritten, bytes);
}

// ---------------------------------------------------------------------------------------------
// Reading rules

struct LineCase {
    std::string line;
    std::string expected; // debug form of the event, or the JSON reader's error text
};

TEST(MarkersReadingRules, AcceptedLines) {
    TempDir dir;
    const std::vector<LineCase> cases = {
        {R"({"action":"recording_start","epoch":1700000000.5})",
         "RecordingStart { epoch: 1700000000.5 }"},
        // an integer epoch reads as the same value as a float
        {R"({"action":"recording_start","epoch":1700000000})",
         "RecordingStart { epoch: 1700000000.0 }"},
        {R"({"action":"speedup_end","epoch":-1.5e3})", "SpeedupEnd { epoch: -1500.0 }"},
        {R"({"action":"speedup_end","epoch":1E2})", "SpeedupEnd { epoch: 100.0 }"},
        {R"({"action":"speedup_end","epoch":1e-400})", "SpeedupEnd { epoch: 0.0 }"},
        {R"({"action":"speedup_end","epoch":-0})", "SpeedupEnd { epoch: -0.0 }"},
        {R"({"action":"speedup_end","epoch":18446744073709551616})",
         "SpeedupEnd { epoch: 18446744073709552000.0 }"},
        {R"({"action":"speedup_end","epoch":-9223372036854775808})",
         "SpeedupEnd { epoch: -9223372036854776000.0 }"},
        // key order does not matter
        {R"({"label":"x","speed":20,"epoch":2.5,"action":"speedup_start"})",
         R"(SpeedupStart { epoch: 2.5, speed: 20, label: "x" })"},
        {R"({"action":"speedup_start","epoch":1,"speed":4294967295,"label":""})",
         R"(SpeedupStart { epoch: 1.0, speed: 4294967295, label: "" })"},
        // unknown keys, with any value, are ignored; so are speed/label on other variants
        {R"({"action":"speedup_end","epoch":1,"speed":"junk","label":[1,{"a":null}],"x":true})",
         "SpeedupEnd { epoch: 1.0 }"},
        {R"({"action":"recording_start","extra":{"deep":[[[]]]},"epoch":3})",
         "RecordingStart { epoch: 3.0 }"},
        // blanks between tokens and escapes in keys and values
        {"{ \"action\" : \"speedup_start\" ,\t\"epoch\" : 1 , \"speed\" : 2 , \"label\" : "
         "\"a\" }",
         R"(SpeedupStart { epoch: 1.0, speed: 2, label: "a" })"},
        {R"({"act\u0069on":"rec\u006frding_start","epoch":1})", "RecordingStart { epoch: 1.0 }"},
        {R"({"action":"speedup_start","epoch":1,"speed":3,"label":"\ud83d\ude00 \u00e9 \"q\" \/ \n"})",
         "SpeedupStart { epoch: 1.0, speed: 3, label: \"😀 é \\\"q\\\" / \\n\" }"},
        // the array form of a record: the tag, then the fields in declaration order
        {R"(["speedup_start",1.5,20,"x"])",
         R"(SpeedupStart { epoch: 1.5, speed: 20, label: "x" })"},
        {R"(["recording_start",7])", "RecordingStart { epoch: 7.0 }"},
        {R"([ "speedup_end" , 8.25 ])", "SpeedupEnd { epoch: 8.25 }"},
    };
    for (const auto& c : cases) {
        auto events = read_text(dir, c.line + "\n");
        ASSERT_TRUE(events) << c.line << "\n" << events.error();
        ASSERT_EQ(events->size(), 1u) << c.line;
        EXPECT_EQ(show((*events)[0]), c.expected) << c.line;
    }
}

TEST(MarkersReadingRules, RejectedLinesAndTheirErrorTexts) {
    TempDir dir;
    const std::string tags = "expected one of `recording_start`, `speedup_start`, `speedup_end`";
    for (const auto& c : std::vector<LineCase>{
             // wrong types and values
             {R"({"action":"speedup_start","epoch":1,"speed":20.5,"label":"x"})",
              "invalid type: floating point `20.5`, expected u32 at line 1 column 48"},
             {R"({"action":"speedup_start","epoch":1,"speed":20.0,"label":"x"})",
              "invalid type: floating point `20.0`, expected u32 at line 1 column 48"},
             {R"({"action":"speedup_start","epoch":1,"speed":2e1,"label":"x"})",
              "invalid type: floating point `20.0`, expected u32 at line 1 column 47"},
             {R"({"action":"speedup_start","epoch":1,"speed":-1,"label":"x"})",
              "invalid value: integer `-1`, expected u32 at line 1 column 46"},
             {R"({"action":"speedup_start","epoch":1,"speed":4294967296,"label":"x"})",
              "invalid value: integer `4294967296`, expected u32 at line 1 column 54"},
             {R"({"action":"speedup_start","epoch":1,"speed":"20","label":"x"})",
              "invalid type: string \"20\", expected u32 at line 1 column 48"},
             {R"({"action":"speedup_start","epoch":1,"speed":null,"label":"x"})",
              "invalid type: null, expected u32 at line 1 column 48"},
             {R"({"action":"speedup_start","epoch":1,"speed":20,"label":5})",
              "invalid type: integer `5`, expected a string at line 1 column 56"},
             {R"({"action":"speedup_start","epoch":1,"speed":20,"label":["x"]})",
              "invalid type: sequence, expected a string at line 1 column 60"},
             {R"({"action":"speedup_start","epoch":"x\n","speed":20,"label":"a"})",
              "invalid type: string \"x\\n\", expected f64 at line 1 column 39"},
             {R"({"action":"speedup_end","epoch":true})",
              "invalid type: boolean `true`, expected f64 at line 1 column 36"},
             {R"({"action":"speedup_end","epoch":{}})",
              "invalid type: map, expected f64 at line 1 column 34"},
             // missing, repeated and unknown
             {R"({"action":"speedup_start","speed":1,"label":"a"})",
              "missing field `epoch` at line 1 column 48"},
             {R"({"action":"speedup_start","epoch":1,"label":"a"})",
              "missing field `speed` at line 1 column 48"},
             {R"({"action":"speedup_start","epoch":1,"speed":1})",
              "missing field `label` at line 1 column 46"},
             {R"({"epoch":1})", "missing field `action` at line 1 column 11"},
             {R"({})", "missing field `action` at line 1 column 2"},
             {R"({"action":"speedup_end","epoch":1,"epoch":2})",
              "duplicate field `epoch` at line 1 column 41"},
             {R"({"action":"speedup_start","epoch":1,"speed":1,"label":"a","label":"b"})",
              "duplicate field `label` at line 1 column 65"},
             {R"({"action":"speedup_end","action":"speedup_end","epoch":1})",
              "duplicate field `action` at line 1 column 32"},
             {R"({"action":"foo","epoch":1})",
              "unknown variant `foo`, " + tags + " at line 1 column 15"},
             {R"({"action":"Speedup_End","epoch":1})",
              "unknown variant `Speedup_End`, " + tags + " at line 1 column 23"},
             {R"({"action":5,"epoch":1})",
              "invalid type: integer `5`, expected variant identifier at line 1 column 11"},
             {R"({"action":null,"epoch":1})",
              "invalid type: null, expected variant identifier at line 1 column 14"},
             {R"({"action":["x"],"epoch":1})",
              "invalid type: sequence, expected variant identifier at line 1 column 11"},
             // not an object (or array) at the top
             {"5", "invalid type: integer `5`, expected internally tagged enum Event at line 1 "
                   "column 1"},
             {R"("speedup_end")", "invalid type: string \"speedup_end\", expected internally "
                                  "tagged enum Event at line 1 "
                                  "column 13"},
             {"null",
              "invalid type: null, expected internally tagged enum Event at line 1 column 4"},
             {"-7.5",
              "invalid type: floating point `-7.5`, expected internally tagged enum Event at "
              "line 1 column 4"},
             // the array form
             {"[]", "missing field `action` at line 1 column 2"},
             {R"(["bogus",1])", "unknown variant `bogus`, " + tags + " at line 1 column 8"},
             {R"(["recording_start"])",
              "invalid length 0, expected struct variant Event::RecordingStart with 1 element at "
              "line 1 column 19"},
             {R"(["speedup_start",1.5,20])",
              "invalid length 2, expected struct variant Event::SpeedupStart with 3 elements at "
              "line 1 column 24"},
             {R"(["recording_start",1,2])",
              "invalid length 2, expected 1 element in sequence at line 1 column 23"},
             {R"(["speedup_start",1,2.5,"x"])",
              "invalid type: floating point `2.5`, expected u32 at line 1 column 22"},
             // syntax
             {R"({"action":"speedup_end","epoch":1} x)", "trailing characters at line 1 column 36"},
             {R"({"action":"speedup_end","epoch":1}{})", "trailing characters at line 1 column 35"},
             {R"({"action":"speedup_end","epoch":1,})", "trailing comma at line 1 column 35"},
             {R"({"action":"speedup_end","epoch":1)",
              "EOF while parsing an object at line 1 column 33"},
             {R"({"action":"speedup_end",)", "EOF while parsing a value at line 1 column 24"},
             {R"(["speedup_end",)", "EOF while parsing a value at line 1 column 15"},
             {R"({"action":"speedup_end","epoch":)",
              "EOF while parsing a value at line 1 column 32"},
             {R"({"action":"speedup_end" "epoch":1})", "expected `,` or `}` at line 1 column 25"},
             {R"({"action":"speedup_end",epoch:1})", "key must be a string at line 1 column 25"},
             {R"({"action":"speedup_end","epoch"1})", "expected `:` at line 1 column 32"},
             {R"({"action":"speedup_end","epoch":01})", "invalid number at line 1 column 34"},
             {R"({"action":"speedup_end","epoch":1.})", "invalid number at line 1 column 35"},
             {R"({"action":"speedup_end","epoch":-})", "invalid number at line 1 column 34"},
             {R"({"action":"speedup_end","epoch":.5})", "expected value at line 1 column 33"},
             {R"({"action":"speedup_end","epoch":NaN})", "expected value at line 1 column 33"},
             {R"({"action":"speedup_end","epoch":tru})", "expected ident at line 1 column 36"},
             {R"({"action":"speedup_end","epoch":1e400})",
              "number out of range at line 1 column 37"},
             {R"({"action":"speedup_end","epoch":-1e400})",
              "number out of range at line 1 column 38"},
             {"{\"action\":\"speedup_end\",\"epoch\":1" + std::string(400, '0') + "}",
              "number out of range at line 1 column 433"},
             {R"({"action":"speedup_start","epoch":1,"speed":3,"label":"\x"})",
              "invalid escape at line 1 column 57"},
             {R"({"action":"speedup_start","epoch":1,"speed":3,"label":"\ud83d"})",
              "unexpected end of hex escape at line 1 column 62"},
             {"{\"action\":\"speedup_start\",\"epoch\":1,\"speed\":3,\"label\":\"a\x01\"}",
              "control character (\\u0000-\\u001F) found while parsing a string at line 1 column "
              "57"},
             {R"({"action":"speedup_start","epoch":1,"speed":3,"label":"open)",
              "EOF while parsing a string at line 1 column 59"},
             {"{\"action\":\"speedup_end\",\"epoch\":1,\"x\":" + std::string(200, '[') + "}",
              "recursion limit exceeded at line 1 column 165"},
         }) {
        auto events = read_text(dir, c.line + "\n");
        ASSERT_FALSE(events) << c.line;
        EXPECT_EQ(events.error(), "parse line 1: " + c.expected + " (" + c.line + ")");
    }
}

TEST(MarkersReadingRules, LineNumbersCountBlankLinesAndTheTrimmedLineIsShown) {
    TempDir dir;
    auto events = read_text(
        dir, "{\"action\":\"recording_start\",\"epoch\":1}\n"
             "\n"
             "   \t \n"
             "  {\"action\":\"speedup_start\",\"epoch\":2,\"speed\":-1,\"label\":\"x\"}  \r\n"
             "{\"action\":\"speedup_end\",\"epoch\":3}\n");
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(),
              "parse line 4: invalid value: integer `-1`, expected u32 at line 1 column 46 "
              "({\"action\":\"speedup_start\",\"epoch\":2,\"speed\":-1,\"label\":\"x\"})");
}

TEST(MarkersReadingRules, SplittingAndTrimming) {
    TempDir dir;
    // CRLF endings, Unicode blanks around a line, a last line without "\n".
    auto events =
        read_text(dir, "{\"action\":\"recording_start\",\"epoch\":1}\r\n"
                       "\xC2\xA0\xE3\x80\x80{\"action\":\"speedup_start\",\"epoch\":2,\"speed\":3,"
                       "\"label\":\"x\"}\xE2\x80\xA8\t\n"
                       "\r\n"
                       "\x0b\x0c\n"
                       "{\"action\":\"speedup_end\",\"epoch\":3}");
    ASSERT_TRUE(events) << events.error();
    EXPECT_EQ(show(*events), (std::vector<std::string>{
                                 "RecordingStart { epoch: 1.0 }",
                                 R"(SpeedupStart { epoch: 2.0, speed: 3, label: "x" })",
                                 "SpeedupEnd { epoch: 3.0 }",
                             }));
}

TEST(MarkersReadingRules, EmptyAndBlankFilesReadAsNoEvents) {
    TempDir dir;
    for (const std::string content : {"", "\n", "\n\n  \n\t\r\n", "   "}) {
        auto events = read_text(dir, content);
        ASSERT_TRUE(events) << events.error();
        EXPECT_TRUE(events->empty());
    }
}

TEST(MarkersReadingRules, InvalidUtf8EndsTheRead) {
    TempDir dir;
    auto events = read_text(
        dir, "{\"action\":\"recording_start\",\"epoch\":1}\n"
             "\n"
             "{\"action\":\"speedup_start\",\"epoch\":2,\"speed\":3,\"label\":\"\xff\"}\n");
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "read line 3: stream did not contain valid UTF-8");

    // An earlier bad line is reported first.
    events = read_text(dir, "garbage\n\xC0\x80\n");
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "parse line 1: expected value at line 1 column 1 (garbage)");

    // Even a blank-looking line must be valid UTF-8; so must a last line without "\n".
    events = read_text(dir, "{\"action\":\"recording_start\",\"epoch\":1}\n\xED\xA0\x80");
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "read line 2: stream did not contain valid UTF-8");
}

TEST(MarkersReadingRules, FileErrors) {
    TempDir dir;
    const std::string missing = dir / "missing.jsonl";
    auto events = read_events(missing);
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "open " + missing + ": No such file or directory (os error 2)");

    events = read_events("");
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "open : No such file or directory (os error 2)");

    // A directory opens but cannot be read.
    events = read_events(dir.path().string());
    ASSERT_FALSE(events);
    EXPECT_EQ(events.error(), "read line 1: Is a directory (os error 21)");
}

TEST(MarkersReadingRules, NeverCrashesOnHostileLines) {
    TempDir dir;
    std::vector<std::string> lines = {
        std::string(100000, '['),
        std::string(100000, '{'),
        "{\"a\":" + std::string(50000, '[') + std::string(50000, ']') + "}",
        "[\"speedup_end\"," + std::string(100000, '[') + "]",
        "{\"action\":\"speedup_end\",\"epoch\":1,\"x\":\"\0\"}"s,
        "\"\\u",
        "\"\\ud800\\u",
        "\"\\udc00\"",
        "-",
        "1e",
        "1e+",
        "{\"action\":\"speedup_end\",\"epoch\":1e99999999999999999999999}",
        "{\"action\":\"speedup_end\",\"epoch\":0e99999999999999999999999}",
        "{\"action\"",
        "{\"action\":",
        "[\"speedup_end\"",
        "[\"speedup_end\",",
        "[\"speedup_end\",1,]",
    };
    for (const auto& line : lines) {
        auto events = read_text(dir, line + "\n");
        (void)events; // any answer is fine; it must just come back
    }
    // Random single-byte damage to valid lines: every answer comes back, and an accepted line
    // still gives exactly one event.
    const std::string base =
        R"({"action":"speedup_start","epoch":1700000000.5,"speed":20,"label":"a \"b\" \u00e9"})";
    std::uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int k = 0; k < 2000; ++k) {
        std::string line = base;
        line[next() % line.size()] = static_cast<char>(next() % 128);
        if (line.find('\n') != std::string::npos) {
            continue;
        }
        auto events = read_text(dir, line + "\n");
        if (events) {
            EXPECT_LE(events->size(), 1u) << line;
        } else {
            EXPECT_EQ(events.error().rfind("parse line 1: ", 0), 0u) << events.error();
        }
    }

    // A huge exponent on a zero is zero, as the JSON library reads it.
    auto zero =
        read_text(dir, "{\"action\":\"speedup_end\",\"epoch\":0e99999999999999999999999}\n");
    ASSERT_TRUE(zero) << zero.error();
    EXPECT_EQ(show((*zero)[0]), "SpeedupEnd { epoch: 0.0 }");
    auto huge =
        read_text(dir, "{\"action\":\"speedup_end\",\"epoch\":1e99999999999999999999999}\n");
    ASSERT_FALSE(huge);
    EXPECT_NE(huge.error().find("number out of range"), std::string::npos);
}

TEST(MarkersReadingRules, LargeFileReadsQuickly) {
    TempDir dir;
    const std::string path = dir / "big.jsonl";
    // About 100 MB: one recording start, then pairs of start and end lines with rising epochs,
    // written by hand (serialize_event is covered elsewhere) to keep the set-up fast.
    const std::string start_head = R"({"action":"speedup_start","epoch":)";
    const std::string start_tail =
        R"(.125,"speed":20,"label":"a fairly typical label for a build step"})";
    const std::string end_head = R"({"action":"speedup_end","epoch":)";
    const std::string end_tail = ".5}";
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t kTarget = std::size_t{20} << 20; // the sanitizers slow reading ~4x
#else
    constexpr std::size_t kTarget = std::size_t{100} << 20;
#endif
    std::string content = R"({"action":"recording_start","epoch":1700000000.0})"
                          "\n";
    content.reserve(kTarget + 4096);
    std::size_t pairs = 0;
    char digits[32];
    while (content.size() < kTarget) {
        auto res = std::to_chars(digits, digits + sizeof digits, 1700000000 + pairs);
        const std::string_view number(digits, static_cast<std::size_t>(res.ptr - digits));
        content += start_head;
        content += number;
        content += start_tail;
        content += '\n';
        content += end_head;
        content += number;
        content += end_tail;
        content += '\n';
        ++pairs;
    }
    write_file(path, content);
    content = std::string();

    auto events = read_events(path);
    ASSERT_TRUE(events) << events.error();
    ASSERT_EQ(events->size(), 1 + 2 * pairs);
    for (std::size_t k : {std::size_t{0}, pairs / 2, pairs - 1}) {
        const auto& start = std::get<SpeedupStart>((*events)[1 + 2 * k]);
        EXPECT_EQ(start.epoch, 1700000000.125 + static_cast<double>(k));
        EXPECT_EQ(start.speed, 20u);
        EXPECT_EQ(start.label, "a fairly typical label for a build step");
        EXPECT_EQ(std::get<SpeedupEnd>((*events)[2 + 2 * k]).epoch,
                  1700000000.5 + static_cast<double>(k));
    }

    auto parsed = parse_segments(*events);
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->segments.size(), pairs);
    EXPECT_TRUE(parsed->warnings.empty());
    EXPECT_TRUE(parsed->unclosed.empty());
    EXPECT_EQ(parsed->segments.back().start, static_cast<double>(pairs - 1) + 0.125);
    EXPECT_EQ(parsed->segments.back().end, static_cast<double>(pairs - 1) + 0.5);
}

// ---------------------------------------------------------------------------------------------
// Pairing

Result<ParsedMarkers> pair(std::vector<Event> events) {
    return parse_segments(events);
}

TEST(MarkersSegments, OnlyTheInitLine) {
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    auto epoch = init_markers(path);
    ASSERT_TRUE(epoch);
    auto events = read_events(path);
    ASSERT_TRUE(events);
    auto parsed = parse_segments(*events);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_TRUE(parsed->segments.empty());
    EXPECT_TRUE(parsed->warnings.empty());
    EXPECT_TRUE(parsed->unclosed.empty());
    EXPECT_EQ(parsed->recording_start, *epoch);
}

TEST(MarkersSegments, EmptyListAndBlankFileFail) {
    auto parsed = pair({});
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), "markers file is empty. Hint: call `tevo-reelcut mark init` first.");

    TempDir dir;
    auto events = read_text(dir, "\n \n\n");
    ASSERT_TRUE(events);
    parsed = parse_segments(*events);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(), "markers file is empty. Hint: call `tevo-reelcut mark init` first.");
}

TEST(MarkersSegments, FirstEventMustBeRecordingStart) {
    auto parsed = pair({SpeedupStart{1700000000.5, 20, "Build \"x\""}, SpeedupEnd{1700000001.0}});
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(),
              "first event must be recording_start, got SpeedupStart { epoch: 1700000000.5, speed: "
              "20, label: \"Build \\\"x\\\"\" }. Hint: call `tevo-reelcut mark init` before any "
              "other markers.");

    parsed = pair({SpeedupEnd{12.0}});
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error(),
              "first event must be recording_start, got SpeedupEnd { epoch: 12.0 }. Hint: call "
              "`tevo-reelcut mark init` before any other markers.");

    // The same through a file whose first line was appended without init.
    TempDir dir;
    const std::string path = dir / "m.jsonl";
    ASSERT_TRUE(append_event(path, SpeedupStart{1700000000.0, 4, "a\nb"}));
    auto events = read_events(path);
    ASSERT_TRUE(events);
    parsed = parse_segments(*events);
    ASSERT_FALSE(parsed);
    EXPECT_EQ(
        parsed.error(),
        "first event must be recording_start, got SpeedupStart { epoch: 1700000000.0, speed: "
        "4, label: \"a\\nb\" }. Hint: call `tevo-reelcut mark init` before any other markers.");
}

TEST(MarkersSegments, SimplePairIsRelativeToTheRecordingStart) {
    auto parsed =
        pair({RecordingStart{1000.0}, SpeedupStart{1012.5, 20, "build"}, SpeedupEnd{1030.25}});
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->segments.size(), 1u);
    EXPECT_EQ(parsed->segments[0].label, "build");
    EXPECT_EQ(parsed->segments[0].start, 12.5);
    EXPECT_EQ(parsed->segments[0].end, 30.25);
    EXPECT_EQ(parsed->segments[0].speed, 20u);
    EXPECT_TRUE(parsed->warnings.empty());
    EXPECT_TRUE(parsed->unclosed.empty());
    EXPECT_EQ(parsed->recording_start, 1000.0);
}

TEST(MarkersSegments, StartWhileOpenClosesThePreviousWithAWarning) {
    auto parsed = pair({RecordingStart{1000.0}, SpeedupStart{1012.5, 20, "it's \"q\"\nx"},
                        SpeedupStart{1020.25, 8, "second"}, SpeedupEnd{1040.0}});
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->segments.size(), 2u);
    EXPECT_EQ(parsed->segments[0].label, "it's \"q\"\nx");
    EXPECT_EQ(parsed->segments[0].start, 12.5);
    EXPECT_EQ(parsed->segments[0].end, 20.25);
    EXPECT_EQ(parsed->segments[0].speed, 20u);
    EXPECT_EQ(parsed->segments[1].label, "second");
    EXPECT_EQ(parsed->segments[1].start, 20.25);
    EXPECT_EQ(parsed->segments[1].end, 40.0);
    EXPECT_EQ(parsed->segments[1].speed, 8u);
    EXPECT_EQ(
        parsed->warnings,
        std::vector<std::string>{
            "speedup_start at 20.250 found while previous speedup_start (20, 'it's \"q\"\nx') "
            "at 12.500 was unclosed; previous one will end at this start time"});
    EXPECT_TRUE(parsed->unclosed.empty());
}

TEST(MarkersSegments, EndWithoutStartIsIgnoredWithAWarning) {
    auto parsed = pair({RecordingStart{1000.0}, SpeedupEnd{999.5}, SpeedupStart{1001.0, 2, "a"},
                        SpeedupEnd{1002.0}, SpeedupEnd{1003.0005}}); // 3.000499999...
    ASSERT_TRUE(parsed) << parsed.error();
    ASSERT_EQ(parsed->segments.size(), 1u);
    EXPECT_EQ(parsed->segments[0].start, 1.0);
    EXPECT_EQ(parsed->segments[0].end, 2.0);
    EXPECT_EQ(parsed->warnings,
              (std::vector<std::string>{
                  "speedup_end at -0.500 with no matching speedup_start (ignored)",
                  "speedup_end at 3.000 with no matching speedup_start (ignored)",
              }));
}

TEST(MarkersSegments, DuplicateRecordingStartKeepsTheFirstZero) {
    auto parsed = pair({RecordingStart{1000.0}, SpeedupStart{1010.0, 4, "x"},
                        RecordingStart{1015.0}, SpeedupEnd{1020.0}});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->warnings,
              std::vector<std::string>{"duplicate recording_start event ignored"});
    ASSERT_EQ(parsed->segments.size(), 1u);
    EXPECT_EQ(parsed->segments[0].start, 10.0);
    EXPECT_EQ(parsed->segments[0].end, 20.0);
    EXPECT_EQ(parsed->recording_start, 1000.0);
}

TEST(MarkersSegments, StartLeftOpenIsUnclosedWithoutWarning) {
    auto parsed = pair({RecordingStart{1000.0}, SpeedupStart{1001.0, 2, "a"}, SpeedupEnd{1002.0},
                        SpeedupStart{1005.5, 16, "tail"}});
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->segments.size(), 1u);
    EXPECT_TRUE(parsed->warnings.empty());
    ASSERT_EQ(parsed->unclosed.size(), 1u);
    EXPECT_EQ(parsed->unclosed[0].label, "tail");
    EXPECT_EQ(parsed->unclosed[0].start, 5.5);
    EXPECT_EQ(parsed->unclosed[0].speed, 16u);
}

TEST(MarkersSegments, NegativeLengthsAndStableSortByStart) {
    auto parsed = pair({
        RecordingStart{1000.0},
        SpeedupStart{1050.0, 2, "late"},
        SpeedupEnd{1040.0}, // earlier than its start: negative length
        SpeedupStart{1010.0, 3, "first-at-10"},
        SpeedupEnd{1011.0},
        SpeedupStart{1010.0, 4, "second-at-10"},
        SpeedupEnd{1012.0},
        SpeedupStart{1001.0, 5, "earliest"},
        SpeedupEnd{1002.0},
    });
    ASSERT_TRUE(parsed) << parsed.error();
    std::vector<std::string> labels;
    for (const auto& s : parsed->segments) {
        labels.push_back(s.label);
    }
    EXPECT_EQ(labels,
              (std::vector<std::string>{"earliest", "first-at-10", "second-at-10", "late"}));
    EXPECT_EQ(parsed->segments[3].start, 50.0);
    EXPECT_EQ(parsed->segments[3].end, 40.0);
    EXPECT_TRUE(parsed->warnings.empty());
}

TEST(MarkersSegments, WarningsStayInFileOrderAndDoNotChangeTheInput) {
    const std::vector<Event> events = {
        RecordingStart{0.0},       SpeedupEnd{1.0}, SpeedupStart{2.0, 1, "a"}, RecordingStart{3.0},
        SpeedupStart{4.0, 9, "b"}, SpeedupEnd{5.0}, SpeedupEnd{6.0},
    };
    const auto before = show(events);
    auto parsed = parse_segments(events);
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(show(events), before);
    EXPECT_EQ(parsed->warnings,
              (std::vector<std::string>{
                  "speedup_end at 1.000 with no matching speedup_start (ignored)",
                  "duplicate recording_start event ignored",
                  "speedup_start at 4.000 found while previous speedup_start (1, 'a') at 2.000 was "
                  "unclosed; previous one will end at this start time",
                  "speedup_end at 6.000 with no matching speedup_start (ignored)",
              }));
    ASSERT_EQ(parsed->segments.size(), 2u);
}

TEST(MarkersSegments, WarningNumbersAreCorrectlyRounded) {
    // Exact binary values: 2.0005 is 2.00050000000000016..., 1e6 + 0.9995 is 1000000.99950000003...
    auto parsed = pair({RecordingStart{0.0}, SpeedupEnd{12.5}, SpeedupEnd{0.0004},
                        SpeedupEnd{-0.0004}, SpeedupEnd{2.0 / 3.0}, SpeedupEnd{2.0005},
                        SpeedupEnd{1e6 + 0.9995}, SpeedupEnd{123456789.0}});
    ASSERT_TRUE(parsed);
    std::vector<std::string> times;
    for (const auto& w : parsed->warnings) {
        times.push_back(w.substr(15, w.find(' ', 15) - 15)); // after "speedup_end at "
    }
    EXPECT_EQ(times, (std::vector<std::string>{"12.500", "0.000", "-0.000", "0.667", "2.001",
                                               "1000001.000", "123456789.000"}));
}

// ---------------------------------------------------------------------------------------------
// Environment and clock

TEST(MarkersDefaultPath, EnvironmentVariableWhenSetAndValid) {
    EnvGuard guard("VIDEO_SPEEDUP_MARKERS");
    unsetenv("VIDEO_SPEEDUP_MARKERS");
    EXPECT_EQ(default_markers_path(), "/tmp/tevo-reelcut-markers.jsonl");
    setenv("VIDEO_SPEEDUP_MARKERS", "/x/y.jsonl", 1);
    EXPECT_EQ(default_markers_path(), "/x/y.jsonl");
    setenv("VIDEO_SPEEDUP_MARKERS", "", 1);
    EXPECT_EQ(default_markers_path(), "");
    setenv("VIDEO_SPEEDUP_MARKERS", "/tmp/\xff.jsonl", 1);
    EXPECT_EQ(default_markers_path(), "/tmp/tevo-reelcut-markers.jsonl");

    // The empty default path makes init fail with the create message.
    setenv("VIDEO_SPEEDUP_MARKERS", "", 1);
    auto epoch = init_markers(default_markers_path());
    ASSERT_FALSE(epoch);
    EXPECT_EQ(epoch.error(), "create : No such file or directory (os error 2)");
}

TEST(MarkersNowEpoch, SecondsWithFraction) {
    // time() reads a coarse clock that can lag a whole second at a boundary; compare whole
    // seconds of the same precise clock instead.
    auto seconds = [] {
        return static_cast<double>(std::chrono::duration_cast<std::chrono::seconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    };
    const double before = seconds();
    const double now = now_epoch();
    const double after = seconds();
    EXPECT_GE(now, before);
    EXPECT_LT(now, after + 1.0);
}

} // namespace
} // namespace reelcut
