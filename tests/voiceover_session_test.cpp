// Whole narration sessions against `tevo-reelcut voiceover` and the workspace stand-in: driven with
// curl as an agent would, the loudness of levelled espeak-ng narrations, and the server under
// overlapping long requests.
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/webapp_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::ClipSpec;
using testing::eventually;
using testing::FakeTools;
using testing::FixtureSettings;
using testing::HttpReply;
using testing::make_clip;
using testing::read_file;
using testing::TempDir;
using testing::voiceover_server;
using testing::WebappFixture;

struct CurlReply {
    int status = 0;
    json body;
};

// One request with curl, as an agent drives the session.
CurlReply curl(const WebappFixture& server, const std::string& method, const std::string& route,
               const std::string& body = "") {
    std::vector<std::string> args = {"-s", "-X", method, "-w", "\n%{http_code}"};
    if (!body.empty()) {
        args.insert(args.end(), {"-H", "Content-Type: application/json", "--data", body});
    }
    args.push_back(server.url(route));
    auto ran = run_captured("curl", args);
    EXPECT_TRUE(ran && ran->status.success()) << route;
    if (!ran) {
        return {};
    }
    const auto newline = ran->out.rfind('\n');
    CurlReply reply;
    reply.status = std::atoi(ran->out.c_str() + newline + 1);
    reply.body = json::parse(ran->out.substr(0, newline), nullptr, false);
    return reply;
}

std::string codec_of(const std::string& path, const std::string& type) {
    const json probed = testing::probe_json(path);
    for (const json& stream : probed["streams"]) {
        if (stream["codec_type"] == type) {
            return stream["codec_name"];
        }
    }
    return "";
}

// The first video packet's bytes, to tell a stream copy from a re-encode.
std::string first_video_packet(const std::string& path) {
    auto ran = run_captured("ffmpeg", {"-v", "error", "-i", path, "-map", "0:v:0", "-c", "copy",
                                       "-frames:v", "1", "-f", "data", "-"});
    return ran && ran->status.success() ? ran->out : std::string();
}

std::vector<std::string> selected_labels(const WebappFixture& server) {
    std::vector<std::string> labels;
    const json takes = curl(server, "GET", "/takes").body;
    for (const json& take : takes["takes"]) {
        if (take["selected"] == true) {
            labels.push_back(take["label"]);
        }
    }
    return labels;
}

class VoiceoverSession : public ::testing::Test {
  protected:
    TempDir dir;
};

TEST_F(VoiceoverSession, AWholeSessionWithCurl) {
    const std::string input = dir / "demo-fast.webm";
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 3}));
    auto server = voiceover_server(input);
    ASSERT_TRUE(server->ready()) << server->err();

    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(curl(*server, "POST", "/start-recording").body, (json{{"ok", true}}));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(3400));
    std::vector<std::string> captions;
    for (const json& call : testing::logged_calls(server->state_dir())) {
        if (call.size() > 3 && call[1] == "caption") {
            captions.push_back(call[3]);
        }
    }
    EXPECT_EQ(captions, (std::vector<std::string>{"3", "2", "1", "GO"}));
    EXPECT_EQ(curl(*server, "GET", "/state").body["phase"], "recording");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const CurlReply stopped = curl(*server, "POST", "/stop-recording");
    ASSERT_EQ(stopped.status, 200);
    const std::string audio = stopped.body["path"];

    const CurlReply first = curl(*server, "POST", "/finalize");
    ASSERT_EQ(first.status, 200) << server->err();
    EXPECT_EQ(first.body["take"], 1);
    const std::string raw1 = first.body["rawPath"];
    const std::string norm1 = first.body["normalizedPath"];
    EXPECT_EQ(raw1, dir / "demo-fast-narrated-take-1.webm");
    EXPECT_EQ(norm1, dir / "demo-fast-narrated-take-1-norm.webm");
    const std::string packet = first_video_packet(input);
    ASSERT_FALSE(packet.empty());
    const double shorter = std::min(testing::probed_seconds(input), testing::probed_seconds(audio));
    for (const std::string& take : {raw1, norm1}) {
        SCOPED_TRACE(take);
        EXPECT_EQ(first_video_packet(take), packet); // the video stream is copied
        EXPECT_EQ(codec_of(take, "audio"), "opus");
        EXPECT_NEAR(testing::probed_seconds(take), shorter, 0.15);
    }

    const CurlReply second = curl(*server, "POST", "/finalize");
    EXPECT_EQ(second.body["take"], 2);
    const std::string raw2 = second.body["rawPath"];
    const std::string norm2 = second.body["normalizedPath"];
    std::vector<std::string> labels;
    const json takes = curl(*server, "GET", "/takes").body;
    for (const json& take : takes["takes"]) {
        labels.push_back(take["label"]);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"Original", "Take 1", "Take 1 (auto-leveled)",
                                                "Take 2", "Take 2 (auto-leveled)"}));
    EXPECT_EQ(selected_labels(*server), std::vector<std::string>{"Take 2 (auto-leveled)"});

    EXPECT_EQ(curl(*server, "POST", "/select-take", json{{"path", raw1}}.dump()).status, 200);
    EXPECT_EQ(selected_labels(*server), std::vector<std::string>{"Take 1"});
    EXPECT_EQ(curl(*server, "POST", "/revert-to-raw").status, 200);
    EXPECT_EQ(selected_labels(*server), std::vector<std::string>{"Take 2"});
    EXPECT_EQ(curl(*server, "POST", "/select-take", json{{"path", norm1}}.dump()).status, 200);
    const CurlReply saved = curl(*server, "POST", "/save-final");
    EXPECT_EQ(saved.body["preservedSidecar"], norm1);
    const std::string output = dir / "demo-fast-narrated.webm";
    EXPECT_EQ(saved.body["path"], output);
    EXPECT_EQ(read_file(output), read_file(norm1));

    EXPECT_EQ(server->request("GET", "/shutdown").status, 200);
    const auto status = server->wait_exit(std::chrono::seconds(10));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 0);
    // The runner reports the last finalize's raw take, whichever version was saved.
    EXPECT_NE(server->out().find("OK: narrated video saved to " + raw2 + "\n"), std::string::npos)
        << server->out();
}

TEST_F(VoiceoverSession, EndingWithoutAFinalizeFailsAndAMissingInputStartsNothing) {
    const std::string input = dir / "step-fast.webm";
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 1}));
    auto server = voiceover_server(input);
    ASSERT_TRUE(server->ready()) << server->err();
    const json registry = json::parse(read_file(server->registry_file()));
    EXPECT_EQ(registry["title"], "step-fast.webm");
    EXPECT_EQ(registry["subcommand"], "voiceover");
    EXPECT_NE(
        server->out().find("starting voiceover server on port " + std::to_string(server->port())),
        std::string::npos);
    server->request("GET", "/shutdown");
    const auto status = server->wait_exit(std::chrono::seconds(10));
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, 1);
    EXPECT_NE(
        server->err().find("ERROR: voiceover session ended without producing a final video\n"),
        std::string::npos);

    const auto missing = testing::run_reelcut({"voiceover", "--input", dir / "gone.webm"});
    EXPECT_EQ(missing.status.code, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "ERROR: input video not found: " + (dir / "gone.webm") +
                               ". Hint: produce it with `tevo-reelcut process` first.\n"
                               "Hint: produce it with `tevo-reelcut process` first.\n");
}

struct Loudness {
    double integrated = NAN; // LUFS
    double true_peak = NAN;  // dBTP
};

// ffmpeg's EBU R128 meter over the whole file: the summary's integrated loudness and true peak.
Loudness measure(const std::string& path) {
    auto ran = run_captured("ffmpeg", {"-nostats", "-hide_banner", "-i", path, "-map", "0:a", "-af",
                                       "ebur128=peak=true", "-f", "null", "-"});
    Loudness loudness;
    if (!ran) {
        return loudness;
    }
    const std::string& err = ran->err;
    const auto summary = err.rfind("Summary:");
    if (summary == std::string::npos) {
        return loudness;
    }
    std::smatch m;
    const std::string tail = err.substr(summary);
    if (std::regex_search(tail, m, std::regex(R"(I:\s+(-?[0-9.]+) LUFS)"))) {
        loudness.integrated = std::stod(m[1]);
    }
    if (std::regex_search(tail, m, std::regex(R"(True peak:\s+Peak:\s+(-?[0-9.]+|-inf) dBFS)"))) {
        loudness.true_peak = m[1] == "-inf" ? -INFINITY : std::stod(m[1]);
    }
    return loudness;
}

TEST_F(VoiceoverSession, AutoLevellingBringsQuietAndLoudNarrationsToBroadcastLoudness) {
    const std::string input = dir / "long-fast.webm";
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 17, .width = 64, .height = 36, .fps = 10}));
    ASSERT_TRUE(run_captured("espeak-ng", {"--version"})) << "espeak-ng is needed for speech";
    struct Case {
        const char* name;
        const char* gain_db; // espeak-ng speaks at about -20 LUFS
    };
    for (const Case& c : {Case{"quiet", "-8"}, Case{"loud", "8"}}) {
        SCOPED_TRACE(c.name);
        FixtureSettings settings;
        settings.env = {{"TEVO_CLI_AUDIO_GAIN_DB", c.gain_db}, {"TEVO_CLI_AUDIO_SECONDS", "16"}};
        auto server =
            voiceover_server(input, {"--output", dir / (std::string(c.name) + ".webm")}, settings);
        ASSERT_TRUE(server->ready()) << server->err();
        ASSERT_EQ(server->request("POST", "/start-recording").status, 200);
        ASSERT_EQ(server->request("POST", "/stop-recording").status, 200) << server->err();
        const HttpReply reply = server->request("POST", "/finalize");
        ASSERT_EQ(reply.status, 200) << server->err();
        const json take = json::parse(reply.body);
        ASSERT_EQ(take["normalizedOk"], true);
        EXPECT_GE(testing::probed_seconds(take["rawPath"]), 15.0);

        const Loudness raw = measure(take["rawPath"]);
        const Loudness levelled = measure(take["normalizedPath"]);
        std::printf(
            "[ loudness ] %-5s raw %6.1f LUFS %5.1f dBTP -> levelled %6.1f LUFS %5.1f dBTP\n",
            c.name, raw.integrated, raw.true_peak, levelled.integrated, levelled.true_peak);
        EXPECT_NEAR(levelled.integrated, -16.0, 2.0);
        EXPECT_LT(std::abs(levelled.integrated + 16), std::abs(raw.integrated + 16));
        EXPECT_LE(levelled.true_peak, -1.0);
    }
}

// Long requests run on threads of their own and never hold the session: with a countdown's
// capture, finalizes and waveform renders all held at their tools, GET "/state" still answers.
TEST_F(VoiceoverSession, StateAnswersWhileLongRequestsRunAndFinalizesGetTheirOwnTakes) {
    const std::string input = dir / "demo-fast.webm";
    ASSERT_TRUE(make_clip(input, ClipSpec{.seconds = 4}));
    FakeTools tools;
    FixtureSettings settings;
    settings.path = tools.dir().string() + ":" + testing::tools_path();
    auto server = voiceover_server(input, {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();
    const fs::path audio_dir = server->home() / "project/audio";
    fs::create_directories(audio_dir);
    ASSERT_TRUE(testing::make_audio(audio_dir / "narration.webm", 4));
    ASSERT_EQ(server->request("POST", "/adopt-latest-audio").status, 200);
    ASSERT_EQ(server->request("POST", "/finalize").status, 200); // a take for the waveforms

    // From here every media run, and the capture's start after the countdown, waits for the test.
    const std::string hold = tools.hold("long");
    tools.add("ffmpeg", hold + "\nexec /usr/bin/ffmpeg \"$@\"");
    tools.add("tevo-cli", fmt::format("case \" $* \" in *\" audio start \"*)\n{}\n;;\nesac\n"
                                      "exec '{}/tevo-cli' \"$@\"",
                                      hold, REELCUT_TOOLS_DIR));
    // Held for as long as the test needs: they may take minutes on a loaded machine.
    const auto held_request = [&](const std::string& method, const std::string& target) {
        return testing::http_request(server->port(), method, target, "", {},
                                     std::chrono::minutes(5));
    };
    HttpReply started;
    std::vector<HttpReply> finals(2);
    std::vector<HttpReply> waves(2);
    std::vector<std::thread> long_requests;
    long_requests.emplace_back([&] { started = held_request("POST", "/start-recording"); });
    for (int i = 0; i < 2; ++i) {
        long_requests.emplace_back([&, i] { finals[i] = held_request("POST", "/finalize"); });
        long_requests.emplace_back(
            [&, i] { waves[i] = held_request("GET", i == 0 ? "/waveform-raw" : "/waveform"); });
    }
    const std::vector<std::string> capture_start = {"nimbrel", "audio", "start"};
    const auto all_held = [&] {
        const auto calls = tools.calls("tevo-cli");
        return tools.calls("ffmpeg").size() == 4 &&
               std::find(calls.begin(), calls.end(), capture_start) != calls.end();
    };
    EXPECT_TRUE(eventually(all_held, std::chrono::minutes(2)));
    // Far below the hold: a state that waited for any of them fails here.
    for (int i = 0; i < 5; ++i) {
        const HttpReply state = testing::http_request(server->port(), "GET", "/state", "", {},
                                                      std::chrono::seconds(10));
        EXPECT_EQ(state.status, 200) << state.error;
        EXPECT_NE(state.body.find(R"("recording":false)"), std::string::npos) << state.body;
    }
    tools.release("long");
    for (auto& t : long_requests) {
        t.join();
    }
    EXPECT_EQ(started.status, 200) << started.body;

    std::set<int> numbers;
    for (const HttpReply& reply : finals) {
        ASSERT_EQ(reply.status, 200) << reply.body;
        const json take = json::parse(reply.body);
        numbers.insert(take["take"].get<int>());
        EXPECT_EQ(testing::stream_count(take["rawPath"], "audio"), 1);
        EXPECT_EQ(testing::stream_count(take["normalizedPath"], "audio"), 1);
    }
    EXPECT_EQ(numbers, (std::set<int>{2, 3}));
    for (const HttpReply& wave : waves) {
        ASSERT_EQ(wave.status, 200) << wave.body;
        EXPECT_EQ(wave.header("Content-Type"), "image/png");
        EXPECT_TRUE(wave.body.starts_with("\x89PNG"));
    }
}

} // namespace
} // namespace reelcut
