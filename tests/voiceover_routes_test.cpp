// The voiceover server over real HTTP: a `tevo-reelcut voiceover` process with the workspace
// stand-in, real ffmpeg and small generated videos and narrations.
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/webapp_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ClipSpec;
using testing::EnvList;
using testing::FakeTools;
using testing::FixtureSettings;
using testing::HttpReply;
using testing::make_audio;
using testing::make_clip;
using testing::read_file;
using testing::TempDir;
using testing::voiceover_server;
using testing::WebappFixture;
using testing::write_file;

FixtureSettings in_directory(const fs::path& cwd) {
    FixtureSettings settings;
    settings.cwd = cwd;
    return settings;
}

json body_of(const HttpReply& reply) {
    return json::parse(reply.body, nullptr, false);
}

// The request thread prints a dropped request's error after the layer has answered it.
bool server_printed(const WebappFixture& server, const std::string& text) {
    return testing::eventually([&] { return server.err().find(text) != std::string::npos; },
                               std::chrono::seconds(5));
}

json state_of(const WebappFixture& server) {
    return body_of(server.request("GET", "/state"));
}

// A fake ffmpeg that runs the real one, except for the runs whose arguments hold `word`: those
// write a few bytes to their last argument (as a run stopped half-way would) and fail with a
// message of quotes, backslashes and line breaks.
std::string ffmpeg_failing_on(const std::string& word) {
    return fmt::format(R"(for last in "$@"; do :; done
case "$*" in
  *{}*) printf 'partial' > "$last"
        printf 'first "line"\n' >&2
        printf 'C:\\path\\to\r\n' >&2
        printf 'Error: it broke\n' >&2
        exit 1 ;;
esac
exec /usr/bin/ffmpeg "$@")",
                       word);
}

// Media shared by the suite: a 3 s silent video and a 2 s narration.
class VoiceoverRoutes : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media = new TempDir;
        ASSERT_TRUE(make_clip(*media / "demo-fast.webm", ClipSpec{.seconds = 3}));
        ASSERT_TRUE(make_audio(*media / "narration.webm", 2));
    }
    static void TearDownTestSuite() {
        delete media;
        media = nullptr;
    }

    void SetUp() override {
        input = dir / "demo-fast.webm";
        fs::copy_file(*media / "demo-fast.webm", input);
        output = dir / "demo-fast-narrated.webm";
    }

    std::unique_ptr<WebappFixture> start(std::vector<std::string> args = {},
                                         FixtureSettings settings = {}) {
        auto server = voiceover_server(input, std::move(args), std::move(settings));
        EXPECT_TRUE(server->ready()) << server->err();
        return server;
    }

    // A narration in the workspace's audio directory, attached with POST "/adopt-latest-audio".
    void adopt_narration(const WebappFixture& server) {
        const fs::path audio_dir = server.home() / "project/audio";
        fs::create_directories(audio_dir);
        fs::copy_file(*media / "narration.webm", audio_dir / "narration.webm",
                      fs::copy_options::overwrite_existing);
        ASSERT_EQ(server.request("POST", "/adopt-latest-audio").status, 200);
    }

    json finalize(const WebappFixture& server) {
        const HttpReply reply = server.request("POST", "/finalize");
        EXPECT_EQ(reply.status, 200) << reply.body << server.err();
        return body_of(reply);
    }

    static TempDir* media;
    TempDir dir;
    std::string input;
    std::string output;
};
TempDir* VoiceoverRoutes::media = nullptr;

TEST_F(VoiceoverRoutes, FreshStatePageIconAndDeclinedRequests) {
    auto server = start();
    EXPECT_EQ(
        server->request("GET", "/state").body,
        R"({"phase":"idle","recording":false,"audioPath":"","audioSize":0,"finalizePath":""})");

    const HttpReply page = server->request("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("<title>Tevo Reelcut-Processing</title>"), std::string::npos);
    EXPECT_EQ(page.body.find("<!-- EVAL_CLIENT -->"), std::string::npos);
    EXPECT_NE(page.body.find("eval/pending"), std::string::npos);
    const HttpReply icon = server->request("GET", "/favicon.svg");
    EXPECT_NE(icon.body.find("M12 2a3 3 0 0 0-3 3v6a3 3 0 0 0 6 0V5a3 3 0 0 0-3-3z"),
              std::string::npos);

    for (const auto& [method, target] :
         std::vector<std::pair<std::string, std::string>>{{"HEAD", "/state"},
                                                          {"POST", "/state"},
                                                          {"GET", "/state/"},
                                                          {"GET", "/finalize"},
                                                          {"PUT", "/discard"},
                                                          {"GET", "/%73tate"}}) {
        const HttpReply reply = server->request(method, target);
        EXPECT_EQ(reply.status, 404) << method << " " << target;
        if (method != "HEAD") {
            EXPECT_EQ(reply.body, "not found") << method << " " << target;
        }
    }
    // Queries are the server's to strip: the page adds cache busters.
    EXPECT_EQ(server->request("GET", "/state?t=1").status, 200);
}

TEST_F(VoiceoverRoutes, StartRunsTheCountdownThenTheCaptureAndStopAttachesTheRecording) {
    auto server = start();
    const auto before = std::chrono::steady_clock::now();
    const HttpReply started = server->request("POST", "/start-recording");
    const auto took = std::chrono::steady_clock::now() - before;
    EXPECT_EQ(started.status, 200);
    EXPECT_EQ(started.body, R"({"ok":true})");
    EXPECT_GE(took, std::chrono::milliseconds(3400));
    EXPECT_EQ(state_of(*server)["phase"], "recording");
    EXPECT_EQ(state_of(*server)["recording"], true);

    std::vector<json> calls;
    for (const std::string& line :
         testing::lines_of(read_file(server->state_dir() / "timed-calls.log"))) {
        calls.push_back(json::parse(line));
    }
    const auto caption = [](const char* text) {
        return json{"nimbrel", "caption", "show", text, "-d", "1", "-s", "large", "-p", "center"};
    };
    ASSERT_EQ(calls.size(), 6u);
    const std::vector<json> expected = {
        {"nimbrel", "audio", "enable", "--reason", "Voiceover recording"},
        caption("3"),
        caption("2"),
        caption("1"),
        caption("GO"),
        {"nimbrel", "audio", "start"}};
    for (std::size_t i = 0; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i]["args"], expected[i]) << i;
    }
    // The pause after each caption: 1 s, 1 s, 1 s, then 0.4 s before the capture starts. Only a
    // lower bound: a gap also holds the start of the next call, which takes a second or more on a
    // loaded machine.
    const int pauses[] = {1000, 1000, 1000, 400};
    for (int i = 0; i < 4; ++i) {
        const auto gap = calls[i + 2]["ms"].get<long long>() - calls[i + 1]["ms"].get<long long>();
        EXPECT_GE(gap, pauses[i]) << i;
    }

    const HttpReply stopped = server->request("POST", "/stop-recording");
    ASSERT_EQ(stopped.status, 200) << server->err();
    const json report = body_of(stopped);
    const std::string path = report["path"];
    EXPECT_TRUE(path.starts_with((server->home() / "project/audio/recording-").string())) << path;
    EXPECT_EQ(report["size"], fs::file_size(path));
    const json state = state_of(*server);
    EXPECT_EQ(state["phase"], "recorded");
    EXPECT_EQ(state["recording"], false);
    EXPECT_EQ(state["audioPath"], path);
    EXPECT_EQ(state["audioSize"], report["size"]);
    const std::string out = server->out();
    EXPECT_NE(out.find("starting voiceover audio-only recording with caption countdown\n"),
              std::string::npos);
    EXPECT_NE(out.find(fmt::format("Nimbrel saved audio: {} ({} bytes)\n", path,
                                   report["size"].get<std::uint64_t>())),
              std::string::npos);
}

// Tool failures: a message that is not plain text must come back whole through the JSON; a tool
// that cannot start, or whose report is unusable, gets no reply at all.
TEST_F(VoiceoverRoutes, WorkspaceToolFailures) {
    const std::string nasty = "mic \"busy\"\n\tC:\\dev\\audio\r\nend";
    struct Case {
        std::string route;
        EnvList env;
        std::optional<std::string> path; // PATH of the server
        int status;
        std::string error; // the JSON reply's error, or the server's message when no reply
    };
    const std::vector<Case> cases = {
        {"/start-recording",
         {{"TEVO_CLI_FAIL", "nimbrel audio start"}, {"TEVO_CLI_FAIL_STDERR", nasty}},
         {},
         500,
         "audio start failed: " + nasty},
        {"/stop-recording",
         {{"TEVO_CLI_FAIL", "nimbrel audio stop"}, {"TEVO_CLI_FAIL_STDERR", nasty}},
         {},
         500,
         "audio stop failed: " + nasty},
        {"/stop-recording",
         {{"TEVO_CLI_FAIL", "nimbrel audio stop"},
          {"TEVO_CLI_FAIL_STATUS", "0"},
          {"TEVO_CLI_FAIL_STDOUT", "saved!\n{\"filePath\":\"a.webm\"}"}},
         {},
         0,
         "parse audio stop response: "},
        {"/stop-recording",
         {{"TEVO_CLI_FAIL", "nimbrel audio stop"},
          {"TEVO_CLI_FAIL_STATUS", "0"},
          {"TEVO_CLI_FAIL_STDOUT", "{\"file\":\"a.webm\",\"size\":3}"}},
         {},
         0,
         "audio stop response missing filePath: {\"file\":\"a.webm\",\"size\":3}"},
        {"/start-recording",
         {},
         "/usr/bin:/bin",
         0,
         "tevo-cli spawn failed: No such file or directory (os error 2)"},
        {"/stop-recording",
         {},
         "/usr/bin:/bin",
         0,
         "tevo-cli spawn failed: No such file or directory (os error 2)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.route + " " + c.error);
        FixtureSettings settings;
        settings.env = c.env;
        settings.path = c.path;
        auto server = start({}, settings);
        const HttpReply reply = server->request("POST", c.route);
        if (c.status == 0) {
            EXPECT_EQ(reply.status, 500);
            EXPECT_EQ(reply.body, "");
            EXPECT_TRUE(server_printed(*server, "webapp error on POST " + c.route + ": " + c.error))
                << server->err();
        } else {
            EXPECT_EQ(reply.status, c.status);
            const json body = body_of(reply);
            ASSERT_TRUE(body.is_object()) << reply.body;
            EXPECT_EQ(body["ok"], false);
            EXPECT_EQ(body["error"], c.error);
        }
        EXPECT_EQ(state_of(*server)["phase"], "idle");
    }
}

TEST_F(VoiceoverRoutes, StopReportPathsAndSizes) {
    struct Case {
        std::string report;
        std::string path; // relative to HOME when it does not start with "/"
        std::uint64_t size;
    };
    const std::vector<Case> cases = {
        {R"({"filePath":"audio/take.webm","size":512})", "project/audio/take.webm", 512},
        {R"(  {"filePath":"/tmp/a.webm","size":7,"extra":[1]}  )", "/tmp/a.webm", 7},
        {R"({"filePath":"audio/no-size.webm"})", "project/audio/no-size.webm", 0},
        {R"({"filePath":"audio/n.webm","size":-5})", "project/audio/n.webm", 0},
        {R"({"filePath":"audio/f.webm","size":1.5})", "project/audio/f.webm", 0},
        {R"({"filePath":"audio/big.webm","size":18446744073709551615})", "project/audio/big.webm",
         18446744073709551615ull},
        {R"({"filePath":"audio/say \"hi\" \\ now.webm","size":1})",
         "project/audio/say \"hi\" \\ now.webm", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        FixtureSettings settings;
        settings.env = {{"TEVO_CLI_FAIL", "nimbrel audio stop"},
                        {"TEVO_CLI_FAIL_STATUS", "0"},
                        {"TEVO_CLI_FAIL_STDOUT", c.report}};
        auto server = start({}, settings);
        const std::string path =
            c.path.starts_with('/') ? c.path : (server->home() / c.path).string();
        const HttpReply reply = server->request("POST", "/stop-recording");
        ASSERT_EQ(reply.status, 200) << server->err();
        const json body = body_of(reply);
        ASSERT_TRUE(body.is_object()) << reply.body;
        EXPECT_EQ(body["path"], path);
        EXPECT_EQ(body["size"], c.size);
        const json state = state_of(*server);
        ASSERT_TRUE(state.is_object());
        EXPECT_EQ(state["audioPath"], path);
        EXPECT_EQ(state["phase"], "recorded");
    }
}

TEST_F(VoiceoverRoutes, AdoptDiscardAndReplay) {
    auto server = start();
    const fs::path audio_dir = server->home() / "project/audio";
    const HttpReply none = server->request("POST", "/adopt-latest-audio");
    EXPECT_EQ(none.status, 404);
    EXPECT_EQ(body_of(none)["error"], "no audio files found in " + audio_dir.string());

    fs::create_directories(audio_dir);
    const auto at = [&](const std::string& name, int age_seconds, const std::string& content) {
        write_file(audio_dir / name, content);
        fs::last_write_time(audio_dir / name,
                            fs::file_time_type::clock::now() - std::chrono::seconds(age_seconds));
    };
    at("old.webm", 300, "a");
    at("newest.webm", 10, "bbbb");
    at("middle.webm", 100, "cc");
    at("newer.wav", 1, "d");
    at("newer.ogg", 1, "e");
    at("upper.WEBM", 1, "f");
    const HttpReply adopted = server->request("POST", "/adopt-latest-audio");
    ASSERT_EQ(adopted.status, 200);
    EXPECT_EQ(body_of(adopted),
              (json{{"ok", true}, {"path", (audio_dir / "newest.webm").string()}, {"size", 4}}));
    EXPECT_EQ(state_of(*server)["phase"], "recorded");
    EXPECT_EQ(state_of(*server)["audioSize"], 4);

    const HttpReply missing = server->request("POST", "/replay");
    EXPECT_EQ(missing.status, 404);
    EXPECT_EQ(body_of(missing)["error"], "final file not found: " + output);

    write_file(output, "saved before");
    EXPECT_EQ(server->request("POST", "/replay").body, R"({"ok":true})");
    EXPECT_EQ(state_of(*server)["phase"], "done");
    EXPECT_EQ(state_of(*server)["finalizePath"], output);

    EXPECT_EQ(server->request("POST", "/discard").body, R"({"ok":true})");
    EXPECT_EQ(
        server->request("GET", "/state").body,
        R"({"phase":"idle","recording":false,"audioPath":"","audioSize":0,"finalizePath":""})");
    EXPECT_NE(server->out().find("discarding voiceover take\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(audio_dir / "newest.webm"));
}

TEST_F(VoiceoverRoutes, FinalizeMuxesNumberedTakesAndLevelsThem) {
    auto server = start();
    const HttpReply early = server->request("POST", "/finalize");
    EXPECT_EQ(early.status, 400);
    EXPECT_EQ(early.body, R"({"ok":false,"error":"no audio recorded yet, click Record first"})");
    EXPECT_EQ(state_of(*server)["phase"], "idle");

    adopt_narration(*server);
    const std::string raw1 = dir / "demo-fast-narrated-take-1.webm";
    const std::string norm1 = dir / "demo-fast-narrated-take-1-norm.webm";
    EXPECT_EQ(finalize(*server), (json{{"ok", true},
                                       {"take", 1},
                                       {"rawPath", raw1},
                                       {"normalizedPath", norm1},
                                       {"normalizedOk", true}}));
    for (const std::string& take : {raw1, norm1}) {
        EXPECT_EQ(testing::stream_count(take, "video"), 1) << take;
        EXPECT_EQ(testing::stream_count(take, "audio"), 1) << take;
    }
    const json probed = testing::probe_json(raw1);
    EXPECT_EQ(probed["streams"][0]["codec_name"], "vp9");
    EXPECT_EQ(probed["streams"][1]["codec_name"], "opus");
    // The narration is the shorter input.
    EXPECT_NEAR(testing::probed_seconds(raw1), 2.0, 0.15);
    json state = state_of(*server);
    EXPECT_EQ(state["phase"], "done");
    EXPECT_EQ(state["finalizePath"], raw1);

    EXPECT_EQ(finalize(*server)["take"], 2);
    EXPECT_TRUE(fs::exists(dir / "demo-fast-narrated-take-2-norm.webm"));
    const std::string out = server->out();
    EXPECT_NE(out.find(fmt::format("muxing take 2: {} + {} -> {}\n", input,
                                   (server->home() / "project/audio/narration.webm").string(),
                                   dir / "demo-fast-narrated-take-2.webm")),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("auto-loudnorm complete: " + (dir / "demo-fast-narrated-take-2-norm.webm")),
              std::string::npos);

    // Numbering follows the files on disk, also those of another session.
    write_file(dir / "demo-fast-narrated-take-7-norm.webm", "");
    EXPECT_EQ(finalize(*server)["take"], 8);
}

TEST_F(VoiceoverRoutes, NumberingContinuesAfterARestartAndBareOutputNamesStayInTheDirectory) {
    {
        auto first = start({"--output", "clip-narrated.webm"}, in_directory(dir.path()));
        adopt_narration(*first);
        EXPECT_EQ(finalize(*first)["rawPath"], "./clip-narrated-take-1.webm");
    }
    auto second = start({"--output", "clip-narrated.webm"}, in_directory(dir.path()));
    adopt_narration(*second);
    const json take = finalize(*second);
    EXPECT_EQ(take["take"], 2);
    EXPECT_EQ(take["rawPath"], "./clip-narrated-take-2.webm");
    EXPECT_TRUE(fs::exists(dir / "clip-narrated-take-1.webm"));
    EXPECT_TRUE(fs::exists(dir / "clip-narrated-take-2.webm"));

    const json takes = body_of(second->request("GET", "/takes"))["takes"];
    std::vector<std::string> labels;
    for (const json& t : takes) {
        labels.push_back(t["label"]);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"Original", "Take 1", "Take 1 (auto-leveled)",
                                                "Take 2", "Take 2 (auto-leveled)"}));
    EXPECT_EQ(takes[4]["path"], "./clip-narrated-take-2-norm.webm");
    EXPECT_EQ(takes[4]["selected"], true);
}

TEST_F(VoiceoverRoutes, FailedMuxAndFailedLevelling) {
    FakeTools tools;
    tools.add("ffmpeg", ffmpeg_failing_on("loudnorm"));
    auto server = start();
    adopt_narration(*server);
    // The levelling fails after a good mux: no broken "-norm" take is left to list.
    const json take = finalize(*server);
    EXPECT_EQ(take["normalizedOk"], false);
    EXPECT_EQ(take["normalizedPath"], dir / "demo-fast-narrated-take-1-norm.webm");
    EXPECT_FALSE(fs::exists(dir / "demo-fast-narrated-take-1-norm.webm"));
    EXPECT_NE(server->out().find("auto-loudnorm failed; falling back to raw only for take 1\n"),
              std::string::npos);
    const json takes = body_of(server->request("GET", "/takes"))["takes"];
    ASSERT_EQ(takes.size(), 2u);
    EXPECT_EQ(takes[1]["label"], "Take 1");
    EXPECT_EQ(takes[1]["selected"], true);

    // POST "/normalize" reports the last lines of ffmpeg's error joined by a visible "\n".
    const HttpReply levelled = server->request("POST", "/normalize");
    EXPECT_EQ(levelled.status, 500);
    EXPECT_EQ(body_of(levelled)["error"],
              "ffmpeg loudnorm failed: first \"line\"\\nC:\\path\\to\\nError: it broke");
    EXPECT_EQ(body_of(server->request("GET", "/takes"))["takes"].size(), 2u);

    // A mux that fails: the real line breaks of ffmpeg's error survive the JSON.
    write_file(server->home() / "project/audio/narration.webm", "not audio");
    const HttpReply broken = server->request("POST", "/finalize");
    EXPECT_EQ(broken.status, 500);
    const std::string error = body_of(broken)["error"];
    EXPECT_TRUE(error.starts_with("ffmpeg mux failed:\n")) << error;
    EXPECT_NE(error.find('\n', 20), std::string::npos) << error;
    EXPECT_EQ(state_of(*server)["phase"], "error");
}

TEST_F(VoiceoverRoutes, NormalizeMakesAPreviewAndToolsThatCannotStart) {
    auto server = start();
    const HttpReply nothing = server->request("POST", "/normalize");
    EXPECT_EQ(nothing.status, 400);
    EXPECT_EQ(body_of(nothing)["error"], "nothing to normalize; finalize a recording first");

    adopt_narration(*server);
    finalize(*server);
    const HttpReply levelled = server->request("POST", "/normalize");
    ASSERT_EQ(levelled.status, 200) << levelled.body;
    const std::string preview = body_of(levelled)["previewPath"];
    EXPECT_TRUE(preview.starts_with(dir / "demo-fast-narrated-norm-")) << preview;
    EXPECT_EQ(testing::stream_count(preview, "audio"), 1);
    const json takes = body_of(server->request("GET", "/takes"))["takes"];
    EXPECT_EQ(takes.back()["label"], "Legacy #1");
    EXPECT_EQ(takes.back()["selected"], true);

    // Without ffmpeg on PATH: the spawn errors of normalize, finalize and the waveforms.
    FixtureSettings bare;
    bare.path = REELCUT_TOOLS_DIR;
    auto stranded = start({}, bare);
    write_file(output, "x");
    const std::string spawn = "No such file or directory (os error 2)";
    EXPECT_EQ(body_of(stranded->request("POST", "/normalize"))["error"],
              "ffmpeg spawn failed: " + spawn);
    adopt_narration(*stranded);
    EXPECT_EQ(body_of(stranded->request("POST", "/finalize"))["error"],
              "ffmpeg spawn failed: " + spawn);
    EXPECT_EQ(stranded->request("GET", "/waveform-raw").body, "ffmpeg spawn failed: " + spawn);
}

TEST_F(VoiceoverRoutes, SelectRevertAndTheSelectionInTheListing) {
    auto server = start();
    adopt_narration(*server);
    finalize(*server);
    const auto selected_labels = [&] {
        std::vector<std::string> labels;
        const json takes = body_of(server->request("GET", "/takes"));
        for (const json& t : takes["takes"]) {
            if (t["selected"] == true) {
                labels.push_back(t["label"]);
            }
        }
        return labels;
    };
    EXPECT_EQ(selected_labels(), std::vector<std::string>{"Take 1 (auto-leveled)"});
    EXPECT_EQ(server->request("POST", "/revert-to-raw").body, R"({"ok":true})");
    EXPECT_EQ(selected_labels(), std::vector<std::string>{"Take 1"});

    // Another spelling of the same path is the same take.
    const std::string spelled = dir.path().string() + "//./demo-fast-narrated-take-1-norm.webm";
    EXPECT_EQ(server->request("POST", "/select-take", json{{"path", spelled}}.dump()).status, 200);
    EXPECT_EQ(selected_labels(), std::vector<std::string>{"Take 1 (auto-leveled)"});

    struct Case {
        std::string body;
        int status;
        std::string reply;
    };
    const std::vector<Case> refused = {
        {R"({"path":"/nonexistent.webm"})", 404,
         R"({"ok":false,"error":"file not found: /nonexistent.webm"})"},
        {R"({"path":7})", 400, R"({"ok":false,"error":"missing 'path' field"})"},
        {R"(["/x"])", 400, R"({"ok":false,"error":"missing 'path' field"})"},
        {"{nope", 400, ""},
    };
    for (const Case& c : refused) {
        const HttpReply reply = server->request("POST", "/select-take", c.body);
        EXPECT_EQ(reply.status, c.status) << c.body;
        if (!c.reply.empty()) {
            EXPECT_EQ(reply.body, c.reply);
        } else {
            EXPECT_TRUE(std::string(body_of(reply)["error"]).starts_with("invalid json: "))
                << reply.body;
        }
    }
    const HttpReply unreadable = server->request("POST", "/select-take", "{\"path\":\"\xff\"}");
    EXPECT_EQ(unreadable.status, 500);
    EXPECT_EQ(unreadable.body, "");
    EXPECT_TRUE(server_printed(*server, "webapp error on POST /select-take: "));
    EXPECT_EQ(selected_labels(), std::vector<std::string>{"Take 1 (auto-leveled)"});
}

TEST_F(VoiceoverRoutes, SaveFinalCopiesTheSelectionThroughATemporaryFile) {
    auto server = start();
    const HttpReply nothing = server->request("POST", "/save-final");
    EXPECT_EQ(body_of(nothing),
              (json{{"ok", true},
                    {"path", output},
                    {"note", "nothing to save, output already holds the raw mux"}}));
    adopt_narration(*server);
    const std::string norm = finalize(*server)["normalizedPath"];
    ::chmod(norm.c_str(), 0640);
    write_file(output, "an earlier save");
    struct stat before {};
    ::stat(output.c_str(), &before);

    const HttpReply saved = server->request("POST", "/save-final");
    EXPECT_EQ(body_of(saved), (json{{"ok", true}, {"path", output}, {"preservedSidecar", norm}}));
    EXPECT_EQ(read_file(output), read_file(norm));
    struct stat after {};
    ::stat(output.c_str(), &after);
    EXPECT_NE(after.st_ino, before.st_ino); // renamed into place, not rewritten
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(testing::scratch_files_in(dir.path()), std::vector<std::string>{});

    // A copy that fails half-way leaves the previous output whole and no temporary file.
    write_file(output, "an earlier save");
    fs::create_directory(dir / "unreadable.webm");
    ASSERT_EQ(
        server->request("POST", "/select-take", json{{"path", dir / "unreadable.webm"}}.dump())
            .status,
        200);
    const HttpReply failed = server->request("POST", "/save-final");
    EXPECT_EQ(failed.status, 500);
    EXPECT_EQ(body_of(failed)["error"], "save failed: Is a directory (os error 21)");
    EXPECT_EQ(read_file(output), "an earlier save");
    EXPECT_EQ(testing::scratch_files_in(dir.path()), std::vector<std::string>{});

    // Right after revert-to-raw nothing is selected: nothing is copied although a take exists.
    server->request("POST", "/revert-to-raw");
    EXPECT_TRUE(body_of(server->request("POST", "/save-final")).contains("note"));
    EXPECT_EQ(read_file(output), "an earlier save");
}

// The selection can be the output itself (GET "/takes" lists it): under any spelling, saving it
// must not copy the file onto itself, which would empty it.
TEST_F(VoiceoverRoutes, SaveFinalNeverCopiesTheOutputOntoItself) {
    const fs::path sub = dir.path() / "out";
    fs::create_directory(sub);
    write_file(sub / "clip-narrated.webm", "the saved narration");
    fs::create_symlink(sub / "clip-narrated.webm", dir / "link.webm");
    auto server = start({"--output", "clip-narrated.webm"}, in_directory(sub));
    for (const std::string& spelling :
         {std::string("clip-narrated.webm"), std::string("./clip-narrated.webm"),
          (sub / "clip-narrated.webm").string(), dir / "out/../out/clip-narrated.webm",
          dir / "link.webm"}) {
        SCOPED_TRACE(spelling);
        ASSERT_EQ(server->request("POST", "/select-take", json{{"path", spelling}}.dump()).status,
                  200);
        const HttpReply saved = server->request("POST", "/save-final");
        EXPECT_EQ(saved.status, 200);
        EXPECT_TRUE(body_of(saved).contains("note")) << saved.body;
        EXPECT_EQ(read_file(sub / "clip-narrated.webm"), "the saved narration");
    }
}

TEST_F(VoiceoverRoutes, PathsWithQuotesAndBackslashesStayValidJson) {
    const fs::path odd = dir.path() / "say \"hi\" \\ there";
    fs::create_directory(odd);
    input = (odd / "demo.webm").string();
    fs::copy_file(*media / "demo-fast.webm", input);
    auto server = start();
    adopt_narration(*server);
    const json take = finalize(*server);
    ASSERT_TRUE(take.is_object());
    EXPECT_EQ(take["rawPath"], (odd / "demo-narrated-take-1.webm").string());
    EXPECT_EQ(state_of(*server)["finalizePath"], (odd / "demo-narrated-take-1.webm").string());
    const json takes = body_of(server->request("GET", "/takes"));
    ASSERT_TRUE(takes.is_object());
    EXPECT_EQ(takes["takes"][0]["path"], input);
    const json saved = body_of(server->request("POST", "/save-final"));
    EXPECT_EQ(saved["path"], (odd / "demo-narrated.webm").string());
    EXPECT_EQ(body_of(server->request("POST", "/replay"))["ok"], true);
}

TEST_F(VoiceoverRoutes, VideosAreServedInRanges) {
    auto server = start();
    const HttpReply part = server->request("GET", "/video", "", {{"Range", "bytes=0-9"}});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.header("Content-Type"), "video/webm");
    EXPECT_EQ(part.body, read_file(input).substr(0, 10));

    // Before a finalize the output is played, and there is none yet.
    const HttpReply none = server->request("GET", "/final-video");
    EXPECT_EQ(none.status, 500);
    EXPECT_EQ(none.body, "");
    EXPECT_TRUE(server_printed(*server, "webapp error on GET /final-video: open " + output +
                                            ": No such file or directory (os error 2)"))
        << server->err();

    adopt_narration(*server);
    const std::string norm = finalize(*server)["normalizedPath"];
    EXPECT_EQ(server->request("GET", "/final-video").body, read_file(norm));
    // Discarding forgets the take but keeps the selection playable.
    server->request("POST", "/discard");
    EXPECT_EQ(server->request("GET", "/final-video").body, read_file(norm));
}

TEST_F(VoiceoverRoutes, TimelineFromTheMarkersFile) {
    EXPECT_EQ(start()->request("GET", "/timeline").body,
              R"({"ok":true,"available":false,"reason":"no markers file passed to --markers"})");
    const std::string markers = dir / "markers.jsonl";
    EXPECT_EQ(body_of(start({"--markers", markers})->request("GET", "/timeline"))["reason"],
              "markers file not found: " + markers);

    write_file(markers, "{\"action\":\"speedup_end\",\"epoch\":5}\n");
    auto broken = start({"--markers", markers});
    const HttpReply unparsed = broken->request("GET", "/timeline");
    EXPECT_EQ(unparsed.status, 500);
    EXPECT_TRUE(std::string(body_of(unparsed)["error"]).starts_with("could not parse markers: "))
        << unparsed.body;

    write_file(markers, R"({"action":"recording_start","epoch":1000}
{"action":"speedup_start","epoch":1000.5,"speed":2,"label":"say \"hi\" \\ now"}
{"action":"speedup_end","epoch":1001.5}
)");
    auto server = start({"--markers", markers});
    const HttpReply reply = server->request("GET", "/timeline");
    ASSERT_EQ(reply.status, 200);
    const json timeline = body_of(reply);
    ASSERT_TRUE(timeline.is_object()) << reply.body;
    EXPECT_NEAR(timeline["inputDuration"].get<double>(), testing::probed_seconds(input) + 0.5,
                0.0011);
    EXPECT_EQ(timeline["speedupSegmentCount"], 1);
    EXPECT_EQ(timeline["segments"][1]["label"], "say \"hi\" \\ now");

    // A speed of 0, which the markers file allows, still gives numbers a client can read.
    write_file(markers, R"({"action":"recording_start","epoch":1000}
{"action":"speedup_start","epoch":1000.5,"speed":0,"label":"stalled"}
{"action":"speedup_end","epoch":1001.5}
)");
    const json stalled = body_of(server->request("GET", "/timeline"));
    ASSERT_TRUE(stalled.is_object());
    EXPECT_EQ(stalled["savedSeconds"], 0.0);
    EXPECT_EQ(stalled["segments"][1]["compressedDuration"], 1.0);

    write_file(input, "not a video");
    const HttpReply unprobed = server->request("GET", "/timeline");
    EXPECT_EQ(unprobed.status, 500);
    EXPECT_TRUE(
        std::string(body_of(unprobed)["error"]).starts_with("could not probe input duration: "))
        << unprobed.body;
}

// Width and height from a PNG's header.
std::pair<int, int> png_size(const std::string& png) {
    if (png.size() < 24 || !png.starts_with("\x89PNG")) {
        return {0, 0};
    }
    const auto be32 = [&](std::size_t at) {
        return (static_cast<unsigned char>(png[at]) << 24) |
               (static_cast<unsigned char>(png[at + 1]) << 16) |
               (static_cast<unsigned char>(png[at + 2]) << 8) |
               static_cast<unsigned char>(png[at + 3]);
    };
    return {be32(16), be32(20)};
}

TEST_F(VoiceoverRoutes, WaveformsRenderEachRequestIntoAnImageOfItsOwn) {
    TempDir temp;
    FixtureSettings settings;
    settings.env = {{"TMPDIR", temp.path().string()}};
    auto server = start({}, settings);
    EXPECT_EQ(server->request("GET", "/waveform-raw").status, 404);
    EXPECT_EQ(server->request("GET", "/waveform").body, "audio file not found");

    adopt_narration(*server);
    finalize(*server);
    const HttpReply raw = server->request("GET", "/waveform-raw");
    ASSERT_EQ(raw.status, 200) << raw.body;
    EXPECT_EQ(raw.header("Content-Type"), "image/png");
    EXPECT_EQ(png_size(raw.body), std::make_pair(1024, 144));
    const std::string preview = server->request("GET", "/waveform-preview").body;
    EXPECT_EQ(server->request("GET", "/waveform").body, preview);
    ASSERT_NE(preview, raw.body); // the levelled take looks different

    // Renders at once: each answer is the complete picture of its own source.
    std::vector<HttpReply> replies(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        threads.emplace_back([&, i] {
            replies[i] = server->request("GET", i % 2 ? "/waveform-raw" : "/waveform-preview");
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    for (std::size_t i = 0; i < replies.size(); ++i) {
        EXPECT_EQ(replies[i].body, i % 2 ? raw.body : preview) << i;
    }
    EXPECT_EQ(testing::files_starting_with(temp.path(), "tevo-reelcut-waveform"),
              std::vector<std::string>{});

    // After revert-to-raw both kinds show the raw take.
    server->request("POST", "/revert-to-raw");
    EXPECT_EQ(server->request("GET", "/waveform").body, raw.body);

    write_file(dir / "notes.webm", "not media");
    server->request("POST", "/select-take", json{{"path", dir / "notes.webm"}}.dump());
    const HttpReply failed = server->request("GET", "/waveform-preview");
    EXPECT_EQ(failed.status, 500);
    EXPECT_TRUE(failed.body.starts_with("ffmpeg showwavespic failed: ")) << failed.body;
    EXPECT_NE(failed.body.find("notes.webm"), std::string::npos);
    EXPECT_EQ(server->request("GET", "/waveform-raw").body, raw.body);
}

TEST_F(VoiceoverRoutes, RevealOpensTheCurrentFileInTheEditor) {
    const std::string standin = std::string(REELCUT_TOOLS_DIR) + "/code-server";
    TempDir editor;
    const auto with_editor = [&](testing::EnvList env) {
        FixtureSettings settings;
        settings.env = std::move(env);
        settings.env.emplace_back("CODE_SERVER_STATE_DIR", editor.path().string());
        return settings;
    };
    auto server = voiceover_server(input, {}, with_editor({}), standin);
    ASSERT_TRUE(server->ready()) << server->err();
    const HttpReply nothing = server->request("POST", "/reveal");
    EXPECT_EQ(nothing.status, 404);
    EXPECT_EQ(body_of(nothing)["error"], "no file to reveal at " + output);

    adopt_narration(*server);
    const std::string norm = finalize(*server)["normalizedPath"];
    EXPECT_EQ(body_of(server->request("POST", "/reveal")), (json{{"ok", true}, {"path", norm}}));
    EXPECT_EQ(testing::logged_calls(editor.path()), (std::vector<json>{{"--reuse-window", norm}}));

    // A tool that starts and fails still counts as revealed; one that cannot start does not.
    auto failing =
        voiceover_server(input, {}, with_editor({{"CODE_SERVER_FAIL", "--reuse-window"}}), standin);
    write_file(output, "x");
    EXPECT_EQ(failing->request("POST", "/reveal").status, 200);
    const auto moved = voiceover_server(input, {}, {}, dir / "no-such-tool");
    const auto fixed_path = start(); // nothing at the editor's own path on this machine
    for (const WebappFixture* absent : {moved.get(), fixed_path.get()}) {
        const HttpReply reply = absent->request("POST", "/reveal");
        EXPECT_EQ(reply.status, 500);
        EXPECT_EQ(body_of(reply)["error"],
                  "code-server spawn failed: No such file or directory (os error 2)");
    }
}

// Any process can send requests: no more than four media runs go at once, the rest wait.
TEST_F(VoiceoverRoutes, MediaRunsAreBounded) {
    FakeTools tools;
    const std::string log = dir / "runs.log";
    // Each run is held until the test lets them go, so that four surely run at once.
    tools.add("ffmpeg", fmt::format(R"sh(echo "+ $(date +%s%N)" >> '{0}'
{1}
/usr/bin/ffmpeg "$@"
rc=$?
echo "- $(date +%s%N)" >> '{0}'
exit $rc)sh",
                                    log, tools.hold("runs")));
    auto server = start();
    write_file(output, read_file(*media / "narration.webm"));
    std::vector<HttpReply> replies(10);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < replies.size(); ++i) {
        threads.emplace_back([&, i] {
            // Held for as long as the test needs: that may take minutes on a loaded machine.
            replies[i] = testing::http_request(server->port(), "GET", "/waveform", "", {},
                                               std::chrono::minutes(5));
        });
    }
    const auto started = [&] { return testing::lines_of(read_file(log)).size(); };
    EXPECT_TRUE(testing::eventually([&] { return started() == 4; }, std::chrono::minutes(2)));
    // A fifth run gets a moment to start, as it would if nothing bounded them.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(started(), 4u);
    tools.release("runs");
    for (auto& t : threads) {
        t.join();
    }
    for (const HttpReply& reply : replies) {
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    std::vector<std::pair<long long, int>> events;
    for (const std::string& line : testing::lines_of(read_file(log))) {
        events.emplace_back(std::stoll(line.substr(2)), line[0] == '+' ? 1 : -1);
    }
    std::sort(events.begin(), events.end());
    int running = 0;
    int most = 0;
    for (const auto& [at, step] : events) {
        running += step;
        most = std::max(most, running);
    }
    EXPECT_EQ(events.size(), 20u);
    EXPECT_EQ(most, 4);
}

std::vector<std::string> labels_of(const WebappFixture& server) {
    std::vector<std::string> labels;
    const json takes = body_of(server.request("GET", "/takes"));
    for (const json& take : takes["takes"]) {
        labels.push_back(take["label"]);
    }
    return labels;
}

// A disk that fills during the mux: the take is cut short, and a short take is no take.
TEST_F(VoiceoverRoutes, AMuxCutShortLeavesNoTake) {
    const auto limit = std::max<std::uintmax_t>(fs::file_size(input) / 2, 4096);
    FixtureSettings settings;
    settings.program = "/usr/bin/prlimit";
    settings.leading_args = {fmt::format("--fsize={}", limit), REELCUT_BIN, "voiceover", "--input",
                             input};
    WebappFixture server({"--no-open"}, settings);
    ASSERT_TRUE(server.ready()) << server.err();
    adopt_narration(server);
    const HttpReply reply = server.request("POST", "/finalize");
    EXPECT_EQ(reply.status, 500) << reply.body;
    EXPECT_TRUE(std::string(body_of(reply)["error"]).starts_with("ffmpeg mux failed:"))
        << reply.body;
    EXPECT_EQ(labels_of(server), std::vector<std::string>{"Original"});
    EXPECT_FALSE(fs::exists(dir / "demo-fast-narrated-take-1.webm"));
    EXPECT_EQ(testing::scratch_files_in(dir.path()), std::vector<std::string>{});
}

// Previews are named by the second: two of one second must still be two files, and a failure
// removes only what it wrote.
TEST_F(VoiceoverRoutes, NormalizePreviewsAreNeverShared) {
    FakeTools tools;
    const std::string flag = dir / "fail-loudnorm";
    tools.add("ffmpeg", fmt::format(R"(for last in "$@"; do :; done
case "$*" in
  *loudnorm*) if [ -e '{}' ]; then printf 'half' > "$last"; echo 'it broke' >&2; exit 1; fi ;;
esac
exec /usr/bin/ffmpeg "$@")",
                                    flag));
    auto server = start();
    adopt_narration(*server);
    finalize(*server);
    const HttpReply first = server->request("POST", "/normalize");
    ASSERT_EQ(first.status, 200) << first.body;
    const std::string preview = body_of(first)["previewPath"];
    const std::string bytes = read_file(preview);
    write_file(flag, "");
    EXPECT_EQ(server->request("POST", "/normalize").status, 500);
    EXPECT_EQ(read_file(preview), bytes);
    fs::remove(flag);

    HttpReply both[2];
    std::thread other([&] { both[1] = server->request("POST", "/normalize"); });
    both[0] = server->request("POST", "/normalize");
    other.join();
    std::set<std::string> previews = {preview};
    for (const HttpReply& reply : both) {
        ASSERT_EQ(reply.status, 200) << reply.body;
        const std::string path = body_of(reply)["previewPath"];
        previews.insert(path);
        EXPECT_EQ(testing::stream_count(path, "audio"), 1) << path;
        EXPECT_NEAR(testing::probed_seconds(path), 2.0, 0.15) << path;
    }
    EXPECT_EQ(previews.size(), 3u);
    EXPECT_EQ(testing::scratch_files_in(dir.path()), std::vector<std::string>{});
}

// volumedetect's mean volume of a file's audio, in dB.
double mean_volume(const std::string& path) {
    auto ran = run_captured(
        "ffmpeg", {"-hide_banner", "-i", path, "-af", "volumedetect", "-vn", "-f", "null", "-"});
    const auto at = ran ? ran->err.find("mean_volume: ") : std::string::npos;
    return at == std::string::npos ? -1000 : std::stod(ran->err.substr(at + 13));
}

// A video with a sound track of its own (silence, here): the takes carry the narration.
TEST_F(VoiceoverRoutes, TakesCarryTheNarrationOverAVideoWithItsOwnSound) {
    fs::remove(input);
    auto made = run_captured("ffmpeg", {"-v", "error", "-f", "lavfi", "-i",
                                        "testsrc=size=160x90:rate=30:duration=3", "-f", "lavfi",
                                        "-i", "anullsrc=r=48000:cl=mono", "-t", "3", "-c:v",
                                        "libvpx-vp9", "-c:a", "libopus", input});
    ASSERT_TRUE(made && made->status.success()) << (made ? made->err : made.error());
    ASSERT_LT(mean_volume(input), -80);
    auto server = start();
    adopt_narration(*server);
    const json take = finalize(*server);
    for (const std::string path : {take["rawPath"], take["normalizedPath"]}) {
        EXPECT_EQ(testing::stream_count(path, "audio"), 1) << path;
        EXPECT_GT(mean_volume(path), -40) << path;
    }
}

TEST_F(VoiceoverRoutes, SaveFinalOntoALongNameAndThroughALink) {
    // Names near the file-name limit: the temporary copy must still fit.
    const std::string longest = dir / (std::string(236, 'n') + ".webm");
    {
        auto server = start({"--output", longest});
        adopt_narration(*server);
        const std::string norm = finalize(*server)["normalizedPath"];
        const HttpReply saved = server->request("POST", "/save-final");
        EXPECT_EQ(saved.status, 200) << saved.body;
        EXPECT_EQ(read_file(longest), read_file(norm));
        EXPECT_EQ(testing::scratch_files_in(dir.path()), std::vector<std::string>{});
    }
    // An output that is a link keeps being one; the file it names gets the take.
    const fs::path kept = dir.path() / "kept";
    fs::create_directory(kept);
    write_file(kept / "final.webm", "an earlier save");
    const std::string link = dir / "linked-narrated.webm";
    fs::create_symlink("kept/final.webm", link);
    auto server = start({"--output", link});
    adopt_narration(*server);
    const std::string norm = finalize(*server)["normalizedPath"];
    const HttpReply saved = server->request("POST", "/save-final");
    EXPECT_EQ(body_of(saved), (json{{"ok", true}, {"path", link}, {"preservedSidecar", norm}}));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(read_file(kept / "final.webm"), read_file(norm));
    EXPECT_EQ(testing::scratch_files_in(kept), std::vector<std::string>{});
}

// The system reads a path only up to a NUL byte: such a path names no file at all.
TEST_F(VoiceoverRoutes, APathWithANulByteNamesNoFile) {
    write_file(dir / "secret.txt", "not a take");
    auto server = start();
    adopt_narration(*server);
    finalize(*server);
    const std::string sneaky = (dir / "secret.txt") + std::string(1, '\0') + ".webm";
    const HttpReply reply = server->request("POST", "/select-take", json{{"path", sneaky}}.dump());
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(body_of(reply)["error"], "file not found: " + sneaky);
    server->request("POST", "/save-final");
    EXPECT_EQ(read_file(output), read_file(dir / "demo-fast-narrated-take-1-norm.webm"));
}

// A media run that never ends (a take that is a pipe nobody writes) holds a slot only so long,
// and a request that finds them all taken gives up with a 503 instead of waiting for ever.
TEST_F(VoiceoverRoutes, StuckMediaRunsBlockNothingForEver) {
    const std::string markers = dir / "markers.jsonl";
    write_file(markers, "{\"action\":\"recording_start\",\"epoch\":1000}\n");
    const std::string fifo = dir / "stuck.webm";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto limited = [&](const std::string& wait_ms, const std::string& run_ms) {
        FixtureSettings settings;
        settings.program = REELCUT_VOICEOVER_FIXTURE;
        settings.leading_args = {"--media-limits", wait_ms, run_ms,      "voiceover",
                                 "--input",        input,   "--markers", markers};
        auto server =
            std::make_unique<WebappFixture>(std::vector<std::string>{"--no-open"}, settings);
        EXPECT_TRUE(server->ready()) << server->err();
        EXPECT_EQ(server->request("POST", "/select-take", json{{"path", fifo}}.dump()).status, 200);
        return server;
    };

    // Every slot taken for long: the probe gives up after its wait, and a shutdown ends the runs
    // and answers their clients.
    auto busy = limited("1000", "600000");
    std::vector<HttpReply> stuck(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < stuck.size(); ++i) {
        threads.emplace_back([&, i] { stuck[i] = busy->request("GET", "/waveform"); });
    }
    ASSERT_TRUE(
        testing::eventually([&] { return testing::processes_naming(fifo).size() == stuck.size(); },
                            std::chrono::seconds(30)));
    const HttpReply timeline = busy->request("GET", "/timeline");
    EXPECT_EQ(timeline.status, 503);
    EXPECT_EQ(body_of(timeline)["error"], "media tools busy: all 4 runs stayed taken; try again");
    const HttpReply picture = busy->request("GET", "/waveform-preview");
    EXPECT_EQ(picture.status, 503);
    EXPECT_EQ(picture.body, "media tools busy: all 4 runs stayed taken; try again");
    EXPECT_EQ(busy->request("GET", "/shutdown").status, 200);
    for (auto& t : threads) {
        t.join();
    }
    for (const HttpReply& reply : stuck) {
        EXPECT_EQ(reply.status, 500) << reply.error;
        EXPECT_TRUE(reply.body.starts_with("ffmpeg showwavespic failed: ")) << reply.body;
    }
    EXPECT_TRUE(busy->wait_exit(std::chrono::seconds(30)).has_value());
    EXPECT_EQ(testing::processes_naming(fifo), std::vector<std::string>{});

    // A run past its time limit is stopped.
    auto bounded = limited("600000", "2000");
    const HttpReply stopped = bounded->request("GET", "/waveform");
    EXPECT_EQ(stopped.status, 500);
    EXPECT_EQ(stopped.body, "ffmpeg showwavespic failed: ffmpeg ran past its time limit of 2 s "
                            "and was stopped");
    EXPECT_EQ(testing::processes_naming(fifo), std::vector<std::string>{});
}

// Shutting down while requests run: the server waits for them before it exits, so nothing they
// use is destroyed under them (the sanitizer builds report it if it is).
TEST_F(VoiceoverRoutes, ShutdownWhileRequestsRunExitsCleanly) {
    const std::string markers = dir / "markers.jsonl";
    write_file(markers, "{\"action\":\"recording_start\",\"epoch\":1000}\n");
    auto server = start({"--markers", markers});
    std::atomic<int> answered{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 8; ++i) {
        clients.emplace_back([&] {
            for (int n = 0; n < 40; ++n) {
                if (server->request("GET", "/timeline").status == 0) {
                    return; // the server has gone
                }
                ++answered;
            }
        });
    }
    ASSERT_TRUE(testing::eventually([&] { return answered >= 8; }, std::chrono::seconds(60)));
    EXPECT_EQ(server->request("GET", "/shutdown").status, 200);
    for (auto& c : clients) {
        c.join();
    }
    const auto status = server->wait_exit(std::chrono::seconds(30));
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->code, 1); // no take was finalized
    EXPECT_EQ(server->err().find("Sanitizer"), std::string::npos) << server->err();
    EXPECT_EQ(server->err().find("runtime error"), std::string::npos) << server->err();
    EXPECT_EQ(testing::processes_naming(input), std::vector<std::string>{});
}

} // namespace
} // namespace reelcut
