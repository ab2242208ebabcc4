// Page servers stopped while ffmpeg writes: Ctrl-C to the terminal's process group, SIGTERM to the
// server alone, and GET "/shutdown", during a take's mux, its levelling and the app's concat.
// Real ffmpeg runs at the media's own pace (-re), so that each stop lands in the middle of a run.
#include "storyboard/manifest.hpp"
#include "support/clip_of.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/webapp_fixture.hpp"

#include <csignal>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
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
using testing::TempDir;
using testing::WebappFixture;

enum class Stop { ctrl_c, sigterm, shutdown_route };
enum class Step { mux, levelling, concat };

struct InterruptCase {
    Stop stop;
    Step step;
};

std::string case_name(const ::testing::TestParamInfo<InterruptCase>& info) {
    static const char* const stops[] = {"CtrlC", "Sigterm", "ShutdownRoute"};
    static const char* const steps[] = {"Mux", "Levelling", "Concat"};
    return std::string(stops[static_cast<int>(info.param.stop)]) +
           steps[static_cast<int>(info.param.step)];
}

// ffmpeg as it is, except the runs whose arguments hold `word`: those read their first input at
// its own pace, so they last as long as the media does.
std::string ffmpeg_at_media_pace(const std::string& word) {
    return fmt::format(R"(case "$*" in
  *{}*) exec /usr/bin/ffmpeg -re "$@" ;;
esac
exec /usr/bin/ffmpeg "$@")",
                       word);
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void stop_server(WebappFixture& server, Stop stop) {
    switch (stop) {
    case Stop::ctrl_c: // the terminal signals its whole foreground group: ffmpeg too
        ::kill(-server.pid(), SIGINT);
        break;
    case Stop::sigterm:
        ::kill(server.pid(), SIGTERM);
        break;
    case Stop::shutdown_route:
        EXPECT_EQ(server.request("GET", "/shutdown").status, 200);
        break;
    }
}

// Media shared by the cases: an 8 s video with a 6 s narration; the app joins two such videos.
class ServerInterrupted : public ::testing::TestWithParam<InterruptCase> {
  protected:
    static void SetUpTestSuite() {
        media = new TempDir;
        ASSERT_TRUE(testing::make_clip(*media / "demo-fast.webm", ClipSpec{.seconds = 8}));
        ASSERT_TRUE(testing::make_audio(*media / "narration.webm", 6));
    }
    static void TearDownTestSuite() {
        delete media;
        media = nullptr;
    }

    FixtureSettings settings() const {
        FixtureSettings s;
        s.env = {{"TMPDIR", temp.path().string()}};
        return s;
    }

    static TempDir* media;
    TempDir dir;
    TempDir temp;
};
TempDir* ServerInterrupted::media = nullptr;

TEST_P(ServerInterrupted, LeavesOnlyWholeFilesAndNoRunningTool) {
    const InterruptCase c = GetParam();
    FakeTools tools;
    tools.add("ffmpeg", ffmpeg_at_media_pace(c.step == Step::mux         ? "-shortest"
                                             : c.step == Step::levelling ? "loudnorm"
                                                                         : "concat"));
    std::unique_ptr<WebappFixture> server;
    std::string route;
    std::string partial_mark;
    const std::string input = dir / "demo-fast.webm";
    if (c.step == Step::concat) {
        const std::string manifest = dir / "story.json";
        Manifest m = new_manifest("Interrupted");
        for (const char* id : {"a", "b"}) {
            const std::string clip = dir / fmt::format("{}-fast.webm", id);
            fs::copy_file(*media / "demo-fast.webm", clip);
            Clip added = testing::clip_of(id, id);
            added.fast_path = clip;
            m.clips.push_back(added);
        }
        ASSERT_TRUE(save_manifest(m, manifest));
        server = testing::app_server(manifest, {}, settings());
        route = "/concat";
        partial_mark = "interrupted-final-fast.partial-";
    } else {
        fs::copy_file(*media / "demo-fast.webm", input);
        server = testing::voiceover_server(input, {}, settings());
        const fs::path audio = server->home() / "project/audio";
        fs::create_directories(audio);
        fs::copy_file(*media / "narration.webm", audio / "narration.webm");
        ASSERT_EQ(server->request("POST", "/adopt-latest-audio").status, 200);
        route = "/finalize";
        partial_mark = c.step == Step::mux ? "-take-1.partial-" : "-take-1-norm.partial-";
    }
    ASSERT_TRUE(server->ready()) << server->err();
    const fs::path registry = server->registry_file();
    ASSERT_TRUE(fs::exists(registry));

    HttpReply reply;
    std::thread client([&] { reply = server->request("POST", route); });
    const bool writing = eventually(
        [&] {
            for (const std::string& name : names_in(dir.path())) {
                if (name.find(partial_mark) != std::string::npos) {
                    return true;
                }
            }
            return false;
        },
        std::chrono::seconds(30));
    EXPECT_TRUE(writing) << server->err();
    stop_server(*server, c.stop);
    client.join();
    const auto exit = server->wait_exit(std::chrono::seconds(60));
    ASSERT_TRUE(exit.has_value()) << server->err();

    // The waiting client was answered: a failed run, or a raw take without its levelled copy.
    if (c.step == Step::levelling) {
        EXPECT_EQ(reply.status, 200) << reply.body;
        EXPECT_EQ(json::parse(reply.body, nullptr, false)["normalizedOk"], false) << reply.body;
    } else {
        EXPECT_EQ(reply.status, 500) << reply.body << server->err();
    }
    EXPECT_EQ(testing::processes_naming(dir.path().string()), std::vector<std::string>{});
    EXPECT_EQ(testing::processes_naming(temp.path().string()), std::vector<std::string>{});
    EXPECT_EQ(testing::scratch_files_in(dir.path()), std::vector<std::string>{});
    EXPECT_EQ(testing::scratch_files_in(temp.path()), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(registry));
    EXPECT_EQ(server->err().find("Sanitizer"), std::string::npos) << server->err();

    if (c.step == Step::concat) {
        EXPECT_FALSE(fs::exists(dir / "interrupted-final-fast.webm"));
        auto manifest = load_manifest(dir / "story.json");
        ASSERT_TRUE(manifest);
        EXPECT_FALSE(manifest->final_fast_path.has_value());
        return;
    }
    // Every file under a take's name is a whole take: as long as the narration.
    std::vector<std::string> takes;
    for (const std::string& name : names_in(dir.path())) {
        if (name.starts_with("demo-fast-narrated-take-")) {
            takes.push_back(name);
            EXPECT_NEAR(testing::probed_seconds(dir / name), 6.0, 0.15) << name;
        }
    }
    EXPECT_EQ(takes, c.step == Step::levelling
                         ? std::vector<std::string>{"demo-fast-narrated-take-1.webm"}
                         : std::vector<std::string>{});

    // A restart lists exactly those.
    auto again = testing::voiceover_server(input, {}, settings());
    ASSERT_TRUE(again->ready()) << again->err();
    std::vector<std::string> labels;
    const json listed = json::parse(again->request("GET", "/takes").body);
    for (const json& take : listed["takes"]) {
        labels.push_back(take["label"]);
    }
    const std::vector<std::string> whole = c.step == Step::levelling
                                               ? std::vector<std::string>{"Original", "Take 1"}
                                               : std::vector<std::string>{"Original"};
    EXPECT_EQ(labels, whole);
}

INSTANTIATE_TEST_SUITE_P(EachStopDuringEachRun, ServerInterrupted,
                         ::testing::Values(InterruptCase{Stop::ctrl_c, Step::mux},
                                           InterruptCase{Stop::sigterm, Step::mux},
                                           InterruptCase{Stop::shutdown_route, Step::mux},
                                           InterruptCase{Stop::ctrl_c, Step::levelling},
                                           InterruptCase{Stop::sigterm, Step::levelling},
                                           InterruptCase{Stop::shutdown_route, Step::levelling},
                                           InterruptCase{Stop::ctrl_c, Step::concat},
                                           InterruptCase{Stop::sigterm, Step::concat},
                                           InterruptCase{Stop::shutdown_route, Step::concat}),
                         case_name);

// What a killed run left is removed by the next start, and only that: the partial files of a
// process that is still running are its own.
TEST(AbandonedScratch, ANewServerRemovesWhatAKilledOneLeft) {
    TempDir dir;
    TempDir temp;
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    ASSERT_GT(ended, 0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::vector<std::string> abandoned = {
        fmt::format("demo-narrated-take-3.partial-{}-0badcafe-0.webm", ended),
        fmt::format("demo-narrated.partial-{}-0badcafe-7.webm", ended)};
    const std::vector<std::string> kept = {
        "demo-narrated-take-4.partial-1-0badcafe-0.webm", // pid 1 is running
        "demo-narrated-take-2.webm", "notes.partial.txt"};
    for (const auto& name : abandoned) {
        testing::write_file(dir / name, "half");
    }
    for (const auto& name : kept) {
        testing::write_file(dir / name, "mine");
    }
    const std::string list = fmt::format("tevo-reelcut-concat-list-{}-0badcafe-2.txt", ended);
    testing::write_file(temp / list, "file 'x'\n");
    testing::write_file(temp / "tevo-reelcut-waveform-raw.png", "an old render");

    ASSERT_TRUE(testing::make_clip(dir / "demo.webm", ClipSpec{.seconds = 1}));
    FixtureSettings settings;
    settings.env = {{"TMPDIR", temp.path().string()}};
    auto server = testing::voiceover_server(dir / "demo.webm", {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();
    for (const auto& name : abandoned) {
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    }
    for (const auto& name : kept) {
        EXPECT_TRUE(fs::exists(dir / name)) << name;
    }
    EXPECT_FALSE(fs::exists(temp / list));
    EXPECT_TRUE(fs::exists(temp / "tevo-reelcut-waveform-raw.png"));
}

} // namespace
} // namespace reelcut
