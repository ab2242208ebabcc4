// The unified app over real HTTP: `tevo-reelcut app` on manifests of generated clips, its routing
// between the storyboard and voiceover routes, how it starts (and refuses to), where its
// narration goes, and a narration session that follows a final video made while it runs.
#include "app/routes.hpp"
#include "app/unified_app.hpp"
#include "storyboard/manifest.hpp"
#include "support/clip_of.hpp"
#include "support/media_fixture.hpp"
#include "support/webapp_fixture.hpp"

#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::app_server;
using testing::clip_of;
using testing::ClipSpec;
using testing::eventually;
using testing::FixtureSettings;
using testing::HttpReply;
using testing::make_clip;
using testing::read_file;
using testing::run_reelcut;
using testing::TempDir;
using testing::WebappFixture;

const std::string kNoFinalVideo = "no final video available — run POST /concat first";

Manifest manifest_with_finals(std::optional<std::string> fast, std::optional<std::string> raw) {
    Manifest m = new_manifest("Finals");
    m.final_fast_path = std::move(fast);
    m.final_raw_path = std::move(raw);
    return m;
}

TEST(NarrationMedia, FollowsTheFinalVideos) {
    struct Case {
        std::optional<std::string> fast, raw;
        std::string input, output;
    };
    const std::vector<Case> cases = {
        {"/v/final-fast.webm", "/v/raw/final-raw.webm", "/v/final-fast.webm",
         "/v/tevo-reelcut-narrated.webm"},
        {std::nullopt, "/v/raw/final-raw.webm", "/v/raw/final-raw.webm",
         "/v/raw/tevo-reelcut-narrated.webm"},
        // A bare name narrates into the current directory.
        {"final.webm", std::nullopt, "final.webm", "tevo-reelcut-narrated.webm"},
        {"/final.webm", std::nullopt, "/final.webm", "/tevo-reelcut-narrated.webm"},
        {"/", std::nullopt, "/", "/scratch/tevo-reelcut-narrated.webm"},
        {std::nullopt, std::nullopt, "/nonexistent", "/scratch/tevo-reelcut-narrated.webm"},
    };
    for (const Case& c : cases) {
        const VoiceoverMedia media =
            narration_media(narration_video(manifest_with_finals(c.fast, c.raw)), "/scratch");
        EXPECT_EQ(media.input, c.input) << c.fast.value_or("-") << " " << c.raw.value_or("-");
        EXPECT_EQ(media.output, c.output) << c.fast.value_or("-") << " " << c.raw.value_or("-");
    }
}

// Two real fast clips and no final video, served by the app for the whole suite.
class AppRoutes : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        for (const char* name : {"a-fast.webm", "b-fast.webm"}) {
            ASSERT_TRUE(make_clip(*dir / name, ClipSpec{.seconds = 1}));
        }
        Manifest m = new_manifest("Route tour");
        Clip a = clip_of("a", "A");
        a.fast_path = *dir / "a-fast.webm";
        Clip b = clip_of("b", "B");
        b.fast_path = *dir / "b-fast.webm";
        m.clips = {a, b};
        ASSERT_TRUE(save_manifest(m, *dir / "story.json"));
        server = app_server(*dir / "story.json").release();
    }
    static void TearDownTestSuite() {
        delete server;
        delete dir;
        server = nullptr;
        dir = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(server->ready()) << server->err(); }

    static TempDir* dir;
    static WebappFixture* server;
};
TempDir* AppRoutes::dir = nullptr;
WebappFixture* AppRoutes::server = nullptr;

TEST_F(AppRoutes, EachPathReachesItsHandler) {
    const json voiceover = json::parse(server->request("GET", "/voiceover/state").body);
    EXPECT_EQ(voiceover["phase"], "idle") << voiceover;
    const json storyboard = json::parse(server->request("GET", "/state").body);
    EXPECT_EQ(storyboard["clipCount"], 2) << storyboard;
    EXPECT_EQ(storyboard["title"], "Route tour");
    EXPECT_FALSE(storyboard.contains("phase"));

    // Declined by the voiceover routes, never tried as storyboard routes.
    struct Declined {
        std::string method, target;
    };
    for (const Declined& d : std::vector<Declined>{{"POST", "/voiceover/video"},
                                                   {"HEAD", "/voiceover/video"},
                                                   {"GET", "/voiceover"},
                                                   {"GET", "/voiceover?v=1"},
                                                   {"GET", "/voiceoverx"},
                                                   {"GET", "/voiceoverstate"},
                                                   {"GET", "/voiceover/manifest"},
                                                   {"POST", "/voiceover/concat"}}) {
        const HttpReply reply = server->request(d.method, d.target);
        EXPECT_EQ(reply.status, 404) << d.method << " " << d.target;
        if (d.method != "HEAD") {
            EXPECT_EQ(reply.body, "not found") << d.method << " " << d.target;
        }
    }

    const HttpReply page = server->request("GET", "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_NE(page.body.find("id=\"phase-narrate\""), std::string::npos);
    EXPECT_EQ(page.body.find("<!-- EVAL_CLIENT -->"), std::string::npos);
    EXPECT_EQ(server->request("GET", "/favicon.svg").body,
              read_file(fs::path(REELCUT_SOURCE_DIR) / "assets/app-icon.svg"));
}

TEST_F(AppRoutes, TheNarrationVideoIsServedOnceAConcatMadeIt) {
    const HttpReply before = server->request("GET", "/voiceover/video");
    EXPECT_EQ(before.status, 404);
    EXPECT_EQ(before.body, kNoFinalVideo);
    EXPECT_EQ(before.header("Content-Type"), "text/plain; charset=UTF-8");

    const HttpReply joined = server->request("POST", "/concat");
    ASSERT_EQ(joined.status, 200) << joined.body;
    const std::string final_video = json::parse(joined.body)["path"];
    const std::string bytes = read_file(final_video);

    const HttpReply whole = server->request("GET", "/voiceover/video");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, bytes);
    EXPECT_EQ(whole.header("Content-Type"), "video/webm");
    const HttpReply part = server->request("GET", "/voiceover/video", "", {{"Range", "bytes=4-9"}});
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.body, bytes.substr(4, 6));
    EXPECT_EQ(part.header("Content-Range"), "bytes 4-9/" + std::to_string(bytes.size()));

    // Follows the manifest: gone from disk, gone from the route.
    fs::remove(final_video);
    EXPECT_EQ(server->request("GET", "/voiceover/video").body, kNoFinalVideo);
}

struct StartCase {
    std::string name;
    std::optional<std::string> fast, raw; // relative to the test directory unless absolute
    bool bare = false;                    // the final video as a bare name, the app run inside
    std::string narrated_over;            // the voiceover's input, "" for "/nonexistent"
    std::string takes_in;                 // "dir", "cwd" or "tmp"
};

void PrintTo(const StartCase& c, std::ostream* os) {
    *os << c.name;
}

class AppStart : public ::testing::TestWithParam<StartCase> {};

// Where the takes go shows in the take listing: a take left in that directory is listed.
TEST_P(AppStart, NarratesOverTheChosenVideoIntoItsDirectory) {
    const StartCase& c = GetParam();
    TempDir dir, tmp;
    fs::create_directories(dir.path() / "finals");
    const auto place = [&](const std::optional<std::string>& name) -> std::optional<std::string> {
        if (!name) {
            return std::nullopt;
        }
        testing::write_file(dir.path() / "finals" / *name, "video");
        return c.bare ? *name : dir / ("finals/" + *name);
    };
    Manifest m = new_manifest("");
    m.final_fast_path = place(c.fast);
    m.final_raw_path = place(c.raw);
    ASSERT_TRUE(save_manifest(m, dir / "story.json"));
    const fs::path takes_dir = c.takes_in == "tmp" ? tmp.path() : dir.path() / "finals";
    testing::write_file(takes_dir / "tevo-reelcut-narrated-take-7.webm", "");

    FixtureSettings settings;
    settings.env = {{"TMPDIR", tmp.path().string()}};
    if (c.bare) {
        settings.cwd = dir.path() / "finals";
    }
    auto server = app_server(dir / "story.json", {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();
    const json takes = json::parse(server->request("GET", "/voiceover/takes").body)["takes"];
    ASSERT_EQ(takes.size(), 2u) << takes;
    const std::string input = c.narrated_over.empty() ? "/nonexistent"
                              : c.bare                ? c.narrated_over
                                                      : dir / ("finals/" + c.narrated_over);
    EXPECT_EQ(takes[0]["path"], input);
    const std::string take = c.takes_in == "cwd"
                                 ? "./tevo-reelcut-narrated-take-7.webm"
                                 : (takes_dir / "tevo-reelcut-narrated-take-7.webm").string();
    EXPECT_EQ(takes[1]["path"], take);

    // An empty title gives the app's own name.
    const json registered = json::parse(read_file(server->registry_file()));
    EXPECT_EQ(registered["title"], "Tevo Reelcut");
    EXPECT_EQ(registered["subcommand"], "app");
    EXPECT_EQ(json::parse(server->request("GET", "/state").body)["title"], "");
}

INSTANTIATE_TEST_SUITE_P(
    Finals, AppStart,
    ::testing::Values(StartCase{"FastAndRaw", "fast.webm", "raw.webm", false, "fast.webm", "dir"},
                      StartCase{"OnlyRaw", std::nullopt, "raw.webm", false, "raw.webm", "dir"},
                      StartCase{"BareName", "fast.webm", std::nullopt, true, "fast.webm", "cwd"},
                      StartCase{"None", std::nullopt, std::nullopt, false, "", "tmp"}),
    [](const auto& info) { return info.param.name; });

TEST(AppStartFailure, NothingIsBoundOrRegistered) {
    TempDir dir;
    testing::write_file(dir.path() / "broken.json", "{\"title\": 3}");
    struct Case {
        std::string manifest;
        std::string error;
    };
    const std::vector<Case> cases = {
        {dir / "missing.json",
         "ERROR: manifest not found: " + (dir / "missing.json") +
             ". Hint: create one with `tevo-reelcut manifest init`, then add clips with "
             "`tevo-reelcut manifest add`.\nHint: create one with `tevo-reelcut manifest init`, "
             "then add clips with `tevo-reelcut manifest add`.\n"},
        {dir / "broken.json", ""},
    };
    SpawnOptions home;
    home.set_env = {{"HOME", dir.path().string()}};
    for (const Case& c : cases) {
        const std::uint16_t port = testing::free_port();
        const auto r =
            run_reelcut({"app", c.manifest, "--no-open", "--port", std::to_string(port)}, home);
        EXPECT_EQ(r.status.code, 1) << c.manifest;
        EXPECT_EQ(r.out, "starting tevo-reelcut app on port " + std::to_string(port) + "\n");
        if (!c.error.empty()) {
            EXPECT_EQ(r.err, c.error);
        } else {
            // The manifest's own load error, not a generic one.
            EXPECT_EQ(r.err.find("manifest not found"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("invalid type"), std::string::npos) << r.err;
        }
        EXPECT_FALSE(fs::exists(dir.path() / ".tevo")) << c.manifest;
    }
}

class AppWatch : public ::testing::TestWithParam<bool> {};

// With the watcher a clip added from the command line reaches the state and a broken manifest is
// reported under the app's name; without it nothing changes but what the server itself saves.
TEST_P(AppWatch, AddedClipsAndReloadFailures) {
    const bool watch = GetParam();
    TempDir dir;
    ASSERT_FALSE(testing::one_clip_manifest(dir.path(), "Watched").empty());
    auto server = app_server(dir / "story.json", watch ? std::vector<std::string>{}
                                                       : std::vector<std::string>{"--no-watch"});
    ASSERT_TRUE(server->ready()) << server->err();
    const auto state = [&] { return json::parse(server->request("GET", "/state").body); };

    const auto added = run_reelcut({"manifest", "add", dir / "story.json", "--id", "b", "--title",
                                    "B", "--fast", dir / "a-fast.webm"});
    ASSERT_EQ(added.status.code, 0) << added.err;
    if (watch) {
        EXPECT_TRUE(eventually([&] { return state()["clipCount"] == 2; }));
        EXPECT_EQ(state()["version"], 2);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        EXPECT_EQ(state(), (json{{"version", 1}, {"clipCount", 1}, {"title", "Watched"}}));
    }
    const std::uint64_t before = state()["version"];
    ASSERT_EQ(server->request("POST", "/concat").status, 200);
    // The save raises the version; the watcher's reload of the saved file may already have raised
    // it once more.
    const std::uint64_t after = state()["version"];
    EXPECT_GE(after, before + 1);
    EXPECT_LE(after, before + (watch ? 2 : 1));

    testing::write_file(dir.path() / "story.json", "{ not json");
    if (watch) {
        EXPECT_TRUE(eventually([&] {
            return server->err().find("app: manifest reload failed: ") != std::string::npos;
        }));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        EXPECT_EQ(server->err().find("reload failed"), std::string::npos) << server->err();
    }
}

INSTANTIATE_TEST_SUITE_P(Watching, AppWatch, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Watch" : "NoWatch"; });

// A session started before any final video exists muxes over the one that POST "/concat" makes,
// beside it, without a restart.
TEST(AppNarration, FinalizeFollowsAFinalVideoMadeWhileRunning) {
    TempDir dir;
    ASSERT_FALSE(testing::one_clip_manifest(dir.path(), "Narrated", 2).empty());
    FixtureSettings settings;
    settings.env = {{"TEVO_CLI_AUDIO_SECONDS", "2"}};
    auto server = app_server(dir / "story.json", {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();

    ASSERT_EQ(server->request("POST", "/voiceover/start-recording").status, 200);
    const HttpReply stopped = server->request("POST", "/voiceover/stop-recording");
    ASSERT_EQ(stopped.status, 200) << stopped.body;
    // Nothing to narrate over yet.
    const HttpReply early = server->request("POST", "/voiceover/finalize");
    EXPECT_EQ(early.status, 500);
    EXPECT_NE(early.body.find("ffmpeg mux failed"), std::string::npos) << early.body;

    const HttpReply joined = server->request("POST", "/concat");
    ASSERT_EQ(joined.status, 200) << joined.body;
    const std::string final_video = json::parse(joined.body)["path"];
    const HttpReply done = server->request("POST", "/voiceover/finalize");
    ASSERT_EQ(done.status, 200) << done.body;
    const json reply = json::parse(done.body);
    const std::string take = dir / "tevo-reelcut-narrated-take-1.webm";
    EXPECT_EQ(reply["rawPath"], take);
    EXPECT_EQ(reply["normalizedPath"], dir / "tevo-reelcut-narrated-take-1-norm.webm");
    EXPECT_EQ(testing::stream_count(take, "video"), 1);
    EXPECT_EQ(testing::stream_count(take, "audio"), 1);
    EXPECT_EQ(testing::video_size(take), testing::video_size(final_video));
    const json takes = json::parse(server->request("GET", "/voiceover/takes").body)["takes"];
    EXPECT_EQ(takes[0]["path"], final_video);
}

} // namespace
} // namespace reelcut
