// The workspace tool stand-in, driven as tevo-reelcut drives it: an argument list, empty input,
// both streams captured.
#include "support/test_support.hpp"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

namespace reelcut {
namespace {

using nlohmann::json;
using testing::lines_of;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

constexpr const char* kEditor = "tevo/a1b2c3d4-eeee-4000-a000-00000000000e";
constexpr const char* kWebview = "tevo/a1b2c3d4-0031-4000-a000-000000000031";

class TevoCli : public ::testing::Test {
  protected:
    TempDir home;
    std::string state = home / "state";

    // Runs the stand-in with a private home and state directory; settings from the outer
    // environment never leak in.
    CapturedOutput tevo(std::vector<std::string> args,
                        std::vector<std::pair<std::string, std::string>> env = {}) {
        SpawnOptions options;
        options.set_env = {{"HOME", home.path().string()}, {"TEVO_CLI_STATE_DIR", state}};
        options.set_env.insert(options.set_env.end(), env.begin(), env.end());
        options.unset_env = {"TEVO_CLI_FAIL",          "TEVO_CLI_FAIL_STDERR",
                             "TEVO_CLI_FAIL_STDOUT",   "TEVO_CLI_FAIL_STATUS",
                             "TEVO_CLI_DELAY_MS",      "TEVO_CLI_GET_OUTPUT",
                             "TEVO_CLI_AUDIO_SOURCE",  "TEVO_CLI_AUDIO_GAIN_DB",
                             "TEVO_CLI_AUDIO_SECONDS", "TEVO_CLI_SPEECH_TEXT"};
        args.insert(args.begin(), "nimbrel");
        auto run = run_captured(REELCUT_TOOLS_DIR "/tevo-cli", args, options);
        EXPECT_TRUE(run) << run.error();
        return run ? *run : CapturedOutput{};
    }

    std::vector<json> calls() { return testing::logged_calls(state); }

    json layout() {
        const auto run = tevo({"workspace", "get"});
        EXPECT_EQ(run.status.code, 0) << run.err;
        return json::parse(run.out);
    }

    CapturedOutput add_tab(const std::string& pane, const std::string& name,
                           const std::string& state_json = R"({"url":"http://127.0.0.1:1/"})") {
        return tevo({"workspace", "add-tab", "--panel-id", pane, "--panel-type", kWebview,
                     "--display-name", name, "--display-icon", "film", "--initial-state",
                     state_json});
    }
};

TEST_F(TevoCli, LogsEveryCallAsItsArgumentList) {
    tevo({"caption", "show", "20x SPEEDUP: \"Build\" \\ now", "-d", "0", "-s", "medium", "-p",
          "top"});
    tevo({"caption", "hide"});
    tevo({"no", "such", "command"});
    tevo({"audio", "enable", "--reason", "Voiceover recording"}, {{"TEVO_CLI_FAIL", "nimbrel"}});
    EXPECT_EQ(calls(), (std::vector<json>{
                           {"nimbrel", "caption", "show", "20x SPEEDUP: \"Build\" \\ now", "-d",
                            "0", "-s", "medium", "-p", "top"},
                           {"nimbrel", "caption", "hide"},
                           {"nimbrel", "no", "such", "command"},
                           {"nimbrel", "audio", "enable", "--reason", "Voiceover recording"},
                       }));
}

TEST_F(TevoCli, ConcurrentCallsLogWholeLines) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 5; ++i) {
                tevo({"caption", "show", fmt::format("{}-{}-{}", t, i, std::string(3000, 'x'))});
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    const auto logged = calls(); // throws on a torn line
    EXPECT_EQ(logged.size(), 30u);
}

TEST_F(TevoCli, CaptionShowAndHide) {
    auto run = tevo({"caption", "show", "GO", "-d", "1", "-s", "large", "-p", "center"});
    EXPECT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(json::parse(read_file(state + "/caption.json")),
              json::parse(R"({"visible":true,"text":"GO","duration":1,"size":"large",
                              "position":"center"})"));
    run = tevo({"caption", "hide"});
    EXPECT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(json::parse(read_file(state + "/caption.json"))["visible"], false);
}

TEST_F(TevoCli, MalformedCommandLinesAreUsageErrors) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},
             {"caption"},
             {"caption", "show"},
             {"caption", "show", "a", "b"},
             {"caption", "show", "x", "-d"},
             {"caption", "show", "x", "-s", "large", "-s", "small"},
             {"caption", "show", "x", "--colour", "red"},
             {"caption", "hide", "now"},
             {"audio", "start", "extra"},
             {"workspace", "get", "--all"},
             {"workspace", "remove-tab", "--name"},
             {"workspace", "add-tab", "--panel-id", "pane-2", "stray"},
         }) {
        const auto run = tevo(args);
        EXPECT_EQ(run.status.code, 2) << ::testing::PrintToString(args);
        EXPECT_NE(run.err.find("usage:"), std::string::npos) << ::testing::PrintToString(args);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_EQ(calls().size(), 12u);
}

TEST_F(TevoCli, InvalidCaptionValuesFail) {
    for (const auto& option : std::vector<std::vector<std::string>>{
             {"-d", "soon"}, {"-d", "-1"}, {"-s", "huge"}, {"-p", "left"}}) {
        const auto run = tevo({"caption", "show", "x", option[0], option[1]});
        EXPECT_EQ(run.status.code, 1) << option[0] << " " << option[1];
        EXPECT_NE(run.err.find(option[1]), std::string::npos) << run.err;
    }
}

TEST_F(TevoCli, DefaultLayoutIsASplitWithTheEditorFocused) {
    EXPECT_EQ(layout(), json::parse(fmt::format(R"({{"focusedPanelId":"pane-1","root":{{
                  "first":{{"id":"pane-1","tabs":[{{"panelType":"{}","displayName":"VS Code"}}]}},
                  "second":{{"id":"pane-2","tabs":[]}}}}}})",
                                                kEditor)));
}

TEST_F(TevoCli, AddAndRemoveTabs) {
    auto run = add_tab("pane-2", "Storyboard");
    EXPECT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(add_tab("pane-1", "Storyboard").status.code, 0);
    EXPECT_EQ(add_tab("pane-2", "Voiceover").status.code, 0);

    auto now = layout();
    EXPECT_EQ(now["root"]["second"]["tabs"], json::parse(fmt::format(R"([
                  {{"panelType":"{0}","displayName":"Storyboard","displayIcon":"film",
                    "initialState":{{"url":"http://127.0.0.1:1/"}}}},
                  {{"panelType":"{0}","displayName":"Voiceover","displayIcon":"film",
                    "initialState":{{"url":"http://127.0.0.1:1/"}}}}])",
                                                                     kWebview)));
    EXPECT_EQ(now["root"]["first"]["tabs"].size(), 2u);

    // Every tab of that name goes, in every pane; the others stay.
    run = tevo({"workspace", "remove-tab", "--name", "Storyboard"});
    EXPECT_EQ(run.status.code, 0) << run.err;
    now = layout();
    EXPECT_EQ(now["root"]["first"]["tabs"].size(), 1u);
    ASSERT_EQ(now["root"]["second"]["tabs"].size(), 1u);
    EXPECT_EQ(now["root"]["second"]["tabs"][0]["displayName"], "Voiceover");

    const auto before = layout();
    run = tevo({"workspace", "remove-tab", "--name", "Nothing by that name"});
    EXPECT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(layout(), before);
}

TEST_F(TevoCli, AddTabFindsPanesInAStoredLayout) {
    // A deeper tree with a leaf whose tabs are null: such layouts can be seeded by tests.
    std::filesystem::create_directories(state);
    write_file(state + "/layout.json", R"({"focusedPanelId":"b","root":{"first":{"id":"a",
        "tabs":[]},"second":{"first":{"id":"b","tabs":null},"second":{"id":"c","tabs":[]}}}})");
    const auto run = add_tab("b", "Review", R"({"url":"x"})");
    EXPECT_EQ(run.status.code, 0) << run.err;
    const auto now = layout();
    ASSERT_TRUE(now["root"]["second"]["first"]["tabs"].is_array());
    EXPECT_EQ(now["root"]["second"]["first"]["tabs"][0]["displayName"], "Review");
    EXPECT_EQ(now["root"]["second"]["second"]["tabs"], json::array());
}

TEST_F(TevoCli, AddTabErrorsLeaveTheLayoutAlone) {
    const auto before = layout();
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{
             {{"workspace", "add-tab", "--panel-id", "pane-9", "--panel-type", kWebview,
               "--display-name", "X"},
              "pane-9"},
             {{"workspace", "add-tab", "--panel-type", kWebview, "--display-name", "X"},
              "--panel-id"},
             {{"workspace", "add-tab", "--panel-id", "pane-2", "--display-name", "X"},
              "--panel-type"},
             {{"workspace", "add-tab", "--panel-id", "pane-2", "--panel-type", kWebview},
              "--display-name"},
             {{"workspace", "add-tab", "--panel-id", "pane-2", "--panel-type", kWebview,
               "--display-name", "X", "--initial-state", "{\"url\":"},
              "--initial-state"},
         }) {
        const auto run = tevo(c.args);
        EXPECT_EQ(run.status.code, 1) << c.message;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    EXPECT_EQ(layout(), before);
}

TEST_F(TevoCli, GetPrintsTheStoredLayoutVerbatim) {
    std::filesystem::create_directories(state);
    const std::string stored = "{ \"root\": {\"tabs\": null},\n  \"extra\": [1, 2] }\n";
    write_file(state + "/layout.json", stored);
    EXPECT_EQ(tevo({"workspace", "get"}).out, stored);

    const auto forced = tevo({"workspace", "get"}, {{"TEVO_CLI_GET_OUTPUT", "not json {"}});
    EXPECT_EQ(forced.status.code, 0);
    EXPECT_EQ(forced.out, "not json {");
}

TEST_F(TevoCli, InjectedFailures) {
    struct Case {
        std::string pattern;
        std::vector<std::string> args;
        bool fails;
    };
    for (const auto& c : std::vector<Case>{
             {"nimbrel", {"workspace", "get"}, true},
             {"nimbrel workspace add-tab", {"workspace", "add-tab", "--panel-id", "x"}, true},
             {"nimbrel workspace add-tab", {"workspace", "get"}, false},
             {"nimbrel audio", {"audio", "start"}, true},
             {"nimbrel audio st", {"audio", "start"}, false}, // whole words only
             {"nimbrel caption show 1", {"caption", "show", "10x SPEEDUP: x"}, false},
             {"nimbrel caption show 1", {"caption", "show", "1", "-d", "1"}, true},
             {"", {"workspace", "get"}, false},
         }) {
        const auto run = tevo(c.args, {{"TEVO_CLI_FAIL", c.pattern}});
        EXPECT_EQ(run.status.code != 0, c.fails) << c.pattern << " / " << c.args[0];
        if (c.fails) {
            EXPECT_EQ(run.status.code, 1);
            EXPECT_EQ(run.err, "tevo-cli: injected failure\n");
            EXPECT_EQ(run.out, "");
        }
    }

    // Status, both streams and the bytes in them are the test's to choose; the call that fails
    // changes nothing.
    const auto run = tevo({"workspace", "add-tab", "--panel-id", "pane-2", "--panel-type", kWebview,
                           "--display-name", "X"},
                          {{"TEVO_CLI_FAIL", "nimbrel workspace"},
                           {"TEVO_CLI_FAIL_STATUS", "0"},
                           {"TEVO_CLI_FAIL_STDOUT", "half a reply"},
                           {"TEVO_CLI_FAIL_STDERR", "bad \xff byte"}});
    EXPECT_TRUE(run.status.success());
    EXPECT_EQ(run.out, "half a reply");
    EXPECT_EQ(run.err, "bad \xff byte");
    EXPECT_EQ(layout()["root"]["second"]["tabs"], json::array());
    EXPECT_EQ(
        tevo({"audio", "start"}, {{"TEVO_CLI_FAIL", "nimbrel"}, {"TEVO_CLI_FAIL_STATUS", "42"}})
            .status.code,
        42);
}

TEST_F(TevoCli, DelayComesBeforeTheAnswer) {
    const auto start = std::chrono::steady_clock::now();
    const auto run = tevo({"caption", "hide"}, {{"TEVO_CLI_DELAY_MS", "300"}});
    EXPECT_EQ(run.status.code, 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
}

TEST_F(TevoCli, AudioStopWithoutARecording) {
    const auto run = tevo({"audio", "stop"});
    EXPECT_EQ(run.status.code, 1);
    EXPECT_EQ(run.err, "no recording in progress\n");
    EXPECT_EQ(run.out, "");
}

TEST_F(TevoCli, AudioRecordingMakesAPlayableWebm) {
    EXPECT_EQ(tevo({"audio", "enable", "--reason", "Voiceover recording"}).status.code, 0);
    const auto before_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    auto run = tevo({"audio", "start"});
    ASSERT_EQ(run.status.code, 0) << run.err;
    EXPECT_EQ(run.out, "");
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    run = tevo({"audio", "stop"});
    ASSERT_EQ(run.status.code, 0) << run.err;

    const auto report = json::parse(run.out);
    const std::string file = report.at("filePath");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(file, m, std::regex(R"(audio/recording-(\d+)\.webm)"))) << file;
    EXPECT_GE(std::stoll(m[1]), before_ms);
    const auto path = home.path() / "project" / file;
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(report.at("size").get<std::uintmax_t>(), std::filesystem::file_size(path));
    // Only the finished file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path.parent_path()),
                            std::filesystem::directory_iterator()),
              1);

    auto probe = run_captured("ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_entries",
                                          "stream=codec_name:format=format_name,duration", "-of",
                                          "default=noprint_wrappers=1", path.string()});
    ASSERT_TRUE(probe) << probe.error();
    ASSERT_TRUE(probe->status.success()) << probe->err;
    EXPECT_NE(probe->out.find("codec_name=opus"), std::string::npos) << probe->out;
    EXPECT_NE(probe->out.find("format_name=matroska,webm"), std::string::npos) << probe->out;
    std::smatch d;
    ASSERT_TRUE(std::regex_search(probe->out, d, std::regex(R"(duration=([0-9.]+))")))
        << probe->out;
    // As long as the recording ran, give or take the tool runs.
    EXPECT_GE(std::stod(d[1]), 1.1);
    EXPECT_LT(std::stod(d[1]), 10.0);

    // The recording is over.
    EXPECT_EQ(tevo({"audio", "stop"}).err, "no recording in progress\n");
}

TEST_F(TevoCli, AudioSourceFailureKeepsTheRecording) {
    ASSERT_EQ(tevo({"audio", "start"}).status.code, 0);
    auto run = tevo({"audio", "stop"}, {{"TEVO_CLI_AUDIO_SOURCE", "no_such_source"}});
    EXPECT_EQ(run.status.code, 1);
    EXPECT_NE(run.err.find("no_such_source"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "");

    // Still in progress: a stop with a working source finishes it, from a custom source.
    run = tevo({"audio", "stop"}, {{"TEVO_CLI_AUDIO_SOURCE", "anoisesrc=sample_rate=44100"}});
    EXPECT_EQ(run.status.code, 0) << run.err;
    EXPECT_GT(json::parse(run.out).at("size").get<std::uintmax_t>(), 0u);
}

// What `audio stop` recorded, by ffmpeg's meters: its length, its mean volume and how much of it
// is silence.
struct Heard {
    double seconds = 0;
    double mean_db = 0;
    int silences = 0;
};
Heard listen(const std::filesystem::path& file) {
    auto run =
        run_captured("ffmpeg", {"-hide_banner", "-nostats", "-i", file.string(), "-af",
                                "volumedetect,silencedetect=n=-45dB:d=0.15", "-f", "null", "-"});
    Heard heard;
    if (!run) {
        return heard;
    }
    std::smatch m;
    if (std::regex_search(run->err, m, std::regex(R"(mean_volume: (-?[0-9.]+) dB)"))) {
        heard.mean_db = std::stod(m[1]);
    }
    for (auto at = run->err.find("silence_start"); at != std::string::npos;
         at = run->err.find("silence_start", at + 1)) {
        ++heard.silences;
    }
    heard.seconds =
        std::stod(run_captured("ffprobe", {"-v", "error", "-show_entries", "format=duration", "-of",
                                           "default=noprint_wrappers=1:nokey=1", file.string()})
                      ->out);
    return heard;
}

TEST_F(TevoCli, RecordingsSpeakWithTheGivenLengthAndGain) {
    ASSERT_TRUE(run_captured("espeak-ng", {"--version"})) << "espeak-ng is needed for speech";
    const auto record = [&](std::vector<std::pair<std::string, std::string>> env) {
        EXPECT_EQ(tevo({"audio", "start"}).status.code, 0);
        const auto run = tevo({"audio", "stop"}, env);
        EXPECT_EQ(run.status.code, 0) << run.err;
        return listen(home.path() / "project" /
                      json::parse(run.out).at("filePath").get<std::string>());
    };
    const Heard speech = record({{"TEVO_CLI_AUDIO_SECONDS", "6"}});
    const Heard quiet =
        record({{"TEVO_CLI_AUDIO_SECONDS", "6"}, {"TEVO_CLI_AUDIO_GAIN_DB", "-12"}});
    const Heard tone = record({{"TEVO_CLI_AUDIO_SECONDS", "2"},
                               {"TEVO_CLI_AUDIO_SOURCE", "sine=frequency=440:sample_rate=48000"}});
    EXPECT_NEAR(speech.seconds, 6, 0.1);
    EXPECT_NEAR(tone.seconds, 2, 0.1);
    EXPECT_NEAR(speech.mean_db - quiet.mean_db, 12, 1.5);
    // Speech pauses between words; a tone never does.
    EXPECT_GT(speech.silences, 0);
    EXPECT_EQ(tone.silences, 0);
}

} // namespace
} // namespace reelcut
