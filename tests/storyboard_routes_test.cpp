// The storyboard server over real HTTP: a `tevo-reelcut storyboard` process on a manifest whose
// clips are real generated videos and images; then the same server while demo scripts add clips
// during a concat, the manifest breaks under it, and clients flood it with poster requests. One
// file, so that both share the suite's rendered media and its manifest fixtures.
#include "storyboard/manifest.hpp"
#include "storyboard/poster_renders.hpp"
#include "storyboard/routes.hpp"
#include "support/clip_of.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/raw_http.hpp"
#include "support/webapp_fixture.hpp"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::clip_of;
using testing::ClipSpec;
using testing::eventually;
using testing::FakeTools;
using testing::FixtureSettings;
using testing::HttpReply;
using testing::lines_of;
using testing::make_clip;
using testing::make_image;
using testing::read_file;
using testing::storyboard_server;
using testing::TempDir;
using testing::WebappFixture;

std::uint64_t mtime_ms(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000 +
           static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 1'000'000;
}

std::uint64_t version_of(const WebappFixture& server) {
    const HttpReply state = server.request("GET", "/state");
    return state.status == 200 ? json::parse(state.body)["version"].get<std::uint64_t>() : 0;
}

// One directory of media shared by the suite: rendering them is the slow part.
class StoryboardRoutes : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media = new TempDir;
        ASSERT_TRUE(make_clip(*media / "one-raw.webm", ClipSpec{.seconds = 1}));
        ASSERT_TRUE(make_clip(*media / "one-fast.webm", ClipSpec{.seconds = 1}));
        ASSERT_TRUE(make_clip(*media / "two-fast.webm", ClipSpec{.seconds = 1}));
        ASSERT_TRUE(make_image(*media / "one.png", 64, 40));
        ASSERT_TRUE(make_image(*media / "one-console.png", 64, 40));
    }
    static void TearDownTestSuite() {
        delete media;
        media = nullptr;
    }

    // Copies a suite file into this test's directory, so a test may change or delete it.
    std::string copy(const std::string& name) {
        fs::copy_file(*media / name, dir / name, fs::copy_options::overwrite_existing);
        return dir / name;
    }

    void save(const Manifest& manifest) {
        auto saved = save_manifest(manifest, manifest_path);
        ASSERT_TRUE(saved) << saved.error();
    }

    // "one": every kind of media; "a/b": fast only; "my clip": fast only; "two": nothing;
    // "gone": paths to files that do not exist; "dir": a directory as its video.
    Manifest sample() {
        Manifest manifest = new_manifest("Review \"q\" \\ & <b>");
        Clip one = clip_of("one", "Step one");
        one.raw_path = copy("one-raw.webm");
        one.fast_path = copy("one-fast.webm");
        one.image_path = copy("one.png");
        one.console_png_path = copy("one-console.png");
        one.speedup_events = {{20, "Exporting"}};
        Clip slashed = clip_of("a/b", "Slashed");
        slashed.fast_path = copy("two-fast.webm");
        Clip spaced = clip_of("my clip", "Spaced");
        spaced.fast_path = dir / "two-fast.webm";
        Clip gone = clip_of("gone", "Gone");
        gone.raw_path = dir / "gone-raw.webm";
        gone.fast_path = dir / "gone-fast.webm";
        gone.image_path = dir / "gone.png";
        gone.console_png_path = dir / "gone-console.png";
        Clip directory = clip_of("dir", "Directory");
        directory.raw_path = dir.path().string();
        manifest.clips = {one, slashed, spaced, clip_of("two", "Step two"), gone, directory};
        manifest.final_fast_path = dir / "final-missing.webm";
        return manifest;
    }

    static TempDir* media;
    TempDir dir;
    std::string manifest_path = dir / "story.json";
};
TempDir* StoryboardRoutes::media = nullptr;

TEST_F(StoryboardRoutes, StateAndManifestDescribeTheLoadedFile) {
    save(sample());
    fs::remove(dir / "one-fast.webm"); // deleted since the manifest was written
    auto server = storyboard_server(manifest_path);
    ASSERT_TRUE(server->ready()) << server->err();

    const HttpReply state = server->request("GET", "/state");
    EXPECT_EQ(state.status, 200);
    EXPECT_EQ(state.header("Content-Type"), "application/json");
    EXPECT_EQ(state.body, R"({"version":1,"clipCount":6,"title":"Review \"q\" \\ & <b>"})");

    const HttpReply reply = server->request("GET", "/manifest");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    const json manifest = json::parse(reply.body);
    // Compact, with the keys in byte order at every level.
    EXPECT_EQ(reply.body, manifest.dump());
    const json& one = manifest["clips"][0];
    EXPECT_EQ(one["raw_mtime_ms"], mtime_ms(dir / "one-raw.webm"));
    EXPECT_FALSE(one.contains("fast_mtime_ms"));
    EXPECT_EQ(one["speedup_events"], json::parse(R"([{"label":"Exporting","speed":20}])"));
    EXPECT_EQ(manifest["clips"][1]["fast_mtime_ms"], mtime_ms(dir / "two-fast.webm"));
    EXPECT_FALSE(manifest["clips"][3].contains("raw_mtime_ms")); // no paths at all
    EXPECT_FALSE(manifest["clips"][4].contains("raw_mtime_ms")); // paths to nothing
    EXPECT_EQ(manifest["clips"][5]["raw_mtime_ms"], mtime_ms(dir.path().string()));
}

TEST_F(StoryboardRoutes, MediaRoutesAnswerWithTheFileOrSayWhatIsMissing) {
    save(sample());
    auto server = storyboard_server(manifest_path);
    ASSERT_TRUE(server->ready()) << server->err();
    const std::string d = dir.path().string();

    struct Case {
        std::string method;
        std::string target;
        int status;
        std::string body_or_type; // the text of a 404, or the content type of a file
        std::string file;         // the file expected as the body
    };
    const Case cases[] = {
        {"GET", "/video/one/raw", 200, "video/webm", d + "/one-raw.webm"},
        {"GET", "/video/one/fast", 200, "video/webm", d + "/one-fast.webm"},
        {"GET", "/video/a/b/fast", 200, "video/webm", d + "/two-fast.webm"},
        {"GET", "/image/one", 200, "image/png", d + "/one.png"},
        {"GET", "/console-png/one", 200, "image/png", d + "/one-console.png"},
        {"GET", "/video/one", 404, "not found", ""},
        {"GET", "/video/one/thumb", 404, "not found", ""},
        {"GET", "/video/one/RAW", 404, "not found", ""},
        {"GET", "/final-video/raw/x", 404, "not found", ""},
        {"GET", "/final-video/", 404, "not found", ""},
        {"GET", "/video/nope/raw", 404, "no clip with id nope", ""},
        {"GET", "/video/my%20clip/fast", 404, "no clip with id my%20clip", ""},
        {"GET", "/video/two/raw", 404, "clip two has no raw path", ""},
        {"GET", "/video/a/b/raw", 404, "clip a/b has no raw path", ""},
        {"GET", "/video/gone/fast", 404,
         "clip gone fast file missing on disk: " + d + "/gone-fast.webm", ""},
        {"GET", "/final-video/raw", 404, "no final_raw_path in manifest", ""},
        {"GET", "/final-video/fast", 404, "final fast file missing: " + d + "/final-missing.webm",
         ""},
        {"GET", "/image/nope", 404, "no clip with id nope", ""},
        {"GET", "/image/two", 404, "clip two has no image_path", ""},
        {"GET", "/image/gone", 404, "clip gone image missing: " + d + "/gone.png", ""},
        {"GET", "/console-png/two", 404, "clip two has no console_png_path", ""},
        {"GET", "/console-png/gone", 404,
         "clip gone console-png missing: " + d + "/gone-console.png", ""},
        {"GET", "/poster/nope", 404, "no clip with id nope", ""},
        {"GET", "/poster/two", 404, "clip two has no video path to generate poster from", ""},
        {"GET", "/poster/gone", 404, "clip gone has no video path to generate poster from", ""},
        {"PUT", "/state", 404, "not found", ""},
        {"DELETE", "/video/one/raw", 404, "not found", ""},
        {"POST", "/manifest", 404, "not found", ""},
        {"GET", "/concat", 404, "not found", ""},
        {"GET", "/state/", 404, "not found", ""},
    };
    for (const Case& c : cases) {
        const HttpReply reply = server->request(c.method, c.target);
        EXPECT_EQ(reply.status, c.status) << c.method << " " << c.target << ": " << reply.body;
        if (c.file.empty()) {
            EXPECT_EQ(reply.body, c.body_or_type) << c.target;
            EXPECT_EQ(reply.header("Content-Type"), "text/plain") << c.target;
        } else {
            EXPECT_EQ(reply.header("Content-Type"), c.body_or_type) << c.target;
            EXPECT_EQ(reply.body, read_file(c.file)) << c.target;
        }
    }

    // HEAD is not a storyboard method either; its 404 carries no body.
    EXPECT_EQ(server->request("HEAD", "/state").status, 404);
    // Ranges reach the file answer.
    const HttpReply range = server->request("GET", "/video/one/raw", "", {{"Range", "bytes=0-9"}});
    EXPECT_EQ(range.status, 206);
    EXPECT_EQ(range.body, read_file(dir / "one-raw.webm").substr(0, 10));
    // A directory where a video should be cannot be sent; the server goes on.
    EXPECT_EQ(server->request("GET", "/video/dir/raw").status, 500);
    EXPECT_EQ(server->request("GET", "/state").status, 200);
}

TEST_F(StoryboardRoutes, PostersAreMadeOnceBesideTheVideoAndThenServed) {
    Manifest manifest = new_manifest("Posters");
    Clip raw_only = clip_of("raw", "Raw only");
    raw_only.raw_path = copy("one-raw.webm");
    Clip preferred = clip_of("fast", "Fast first");
    preferred.raw_path = dir / "one-raw.webm";
    preferred.fast_path = copy("two-fast.webm");
    Clip ready = clip_of("ready", "Poster waiting");
    ready.fast_path = copy("one-fast.webm");
    manifest.clips = {raw_only, preferred, ready};
    save(manifest);
    // Present before any request, older than its video: used as it is.
    testing::write_file(dir / "one-fast.poster.jpg", "not really a jpeg");

    // ffmpeg creates its output at once and fills it a moment later, as with a long video.
    FakeTools tools;
    tools.add("ffmpeg",
              "for a; do out=$a; done; : > \"$out\"; sleep 0.3; exec /usr/bin/ffmpeg \"$@\"");
    FixtureSettings settings;
    settings.path = tools.dir().string() + ":" + testing::tools_path();
    auto server = storyboard_server(manifest_path, {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();

    // The page asks for a card's poster twice at once (one per video); no request may see a
    // poster that is still being written.
    std::vector<HttpReply> first(4);
    std::vector<std::thread> threads;
    for (HttpReply& reply : first) {
        threads.emplace_back([&] { reply = server->request("GET", "/poster/raw"); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    for (auto& t : threads) {
        t.join();
    }
    const std::string poster = dir / "one-raw.poster.jpg";
    const std::string jpeg = read_file(poster);
    ASSERT_GE(jpeg.size(), 2u);
    EXPECT_EQ(jpeg.substr(0, 2), "\xFF\xD8");
    for (const HttpReply& reply : first) {
        EXPECT_EQ(reply.status, 200);
        EXPECT_EQ(reply.header("Content-Type"), "image/jpeg");
        EXPECT_EQ(reply.body, jpeg);
    }
    // The requests that came while it ran waited for it.
    const auto runs = tools.calls("ffmpeg").size();
    EXPECT_EQ(runs, 1u);

    // Recorded in memory (and visible to the page), not saved.
    const json served = json::parse(server->request("GET", "/manifest").body);
    EXPECT_EQ(served["clips"][0]["poster_path"], poster);
    EXPECT_FALSE(load_manifest(manifest_path)->clips[0].poster_path.has_value());

    EXPECT_EQ(server->request("GET", "/poster/raw").body, jpeg);
    EXPECT_EQ(server->request("GET", "/poster/ready").body, "not really a jpeg");
    EXPECT_EQ(tools.calls("ffmpeg").size(), runs);

    // The fast video is the source when there is one.
    EXPECT_EQ(server->request("GET", "/poster/fast").status, 200);
    EXPECT_TRUE(fs::exists(dir / "two-fast.poster.jpg"));
    EXPECT_FALSE(fs::exists(dir / "one-raw.poster.poster.jpg"));
    // No half-made poster is left behind.
    EXPECT_EQ(testing::files_starting_with(dir.path(), "one-raw.poster.partial").size(), 0u);
}

TEST_F(StoryboardRoutes, PosterFailureIsAnsweredWithFfmpegsReason) {
    Manifest manifest = new_manifest("Posters");
    Clip broken = clip_of("broken", "Not a video");
    broken.raw_path = dir / "broken.webm";
    testing::write_file(broken.raw_path.value(), "garbage");
    manifest.clips = {broken};
    save(manifest);
    auto server = storyboard_server(manifest_path);
    ASSERT_TRUE(server->ready()) << server->err();

    const HttpReply reply = server->request("GET", "/poster/broken");
    EXPECT_EQ(reply.status, 500);
    EXPECT_TRUE(reply.body.starts_with("poster generation failed: ")) << reply.body;
    EXPECT_FALSE(fs::exists(dir / "broken.poster.jpg"));
    EXPECT_EQ(testing::files_starting_with(dir.path(), "broken.poster").size(), 0u);
    EXPECT_FALSE(
        json::parse(server->request("GET", "/manifest").body)["clips"][0].contains("poster_path"));
}

TEST(StoryboardNames, PosterPathsAndTitleSlugs) {
    const std::pair<const char*, const char*> posters[] = {
        {"demo/step1-fast.webm", "demo/step1-fast.poster.jpg"},
        {"step1", "step1.poster.jpg"},
        {"/abs/a.b.webm", "/abs/a.b.poster.jpg"},
        {"dir.d/.hidden", "dir.d/.hidden.poster.jpg"},
        {"clips/", "clips.poster.jpg"},
    };
    for (const auto& [video, poster] : posters) {
        EXPECT_EQ(poster_path_for(video), poster) << video;
    }
    const std::pair<const char*, const char*> slugs[] = {
        {"My Demo #2", "my-demo--2"},     {"", "tevo-reelcut"},
        {"!!! ???", "tevo-reelcut"},      {"--Export--Gerbers--", "export--gerbers"},
        {"Café Ünïcode", "caf---n-code"}, {"日本", "tevo-reelcut"},
        {"v2.1 (beta)", "v2-1--beta"},
    };
    for (const auto& [title, slug] : slugs) {
        EXPECT_EQ(slugify_title(title), slug) << title;
    }
}

class StoryboardConcat : public StoryboardRoutes {
  protected:
    // Two fast clips and one without a fast video, titled "My Demo #2".
    void save_demo() {
        Manifest manifest = new_manifest("My Demo #2");
        Clip one = clip_of("one", "One");
        one.fast_path = copy("one-fast.webm");
        Clip raw_only = clip_of("raw", "Raw only");
        raw_only.raw_path = copy("one-raw.webm");
        Clip two = clip_of("two", "Two");
        two.fast_path = copy("two-fast.webm");
        manifest.clips = {one, raw_only, two};
        save(manifest);
    }
};

TEST_F(StoryboardConcat, JoinsTheFastClipsBesideTheManifestAndRaisesTheVersionTwice) {
    save_demo();
    auto server = storyboard_server(manifest_path);
    ASSERT_TRUE(server->ready()) << server->err();

    const HttpReply reply = server->request("POST", "/concat", "ignored");
    ASSERT_EQ(reply.status, 200) << reply.body;
    const std::string output = dir / "my-demo--2-final-fast.webm";
    EXPECT_EQ(json::parse(reply.body), (json{{"ok", true}, {"path", output}, {"clipCount", 2}}));
    EXPECT_NEAR(testing::probed_seconds(output), 2.0, 0.1);
    EXPECT_NE(server->out().find(fmt::format("concat: 2 clips -> {}\n", output)), std::string::npos)
        << server->out();
    EXPECT_EQ(load_manifest(manifest_path)->final_fast_path, output);

    // The save raised it; the watcher's reload of the saved file raises it once more.
    EXPECT_GE(version_of(*server), 2u);
    EXPECT_TRUE(eventually([&] { return version_of(*server) == 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(version_of(*server), 3u);
    EXPECT_EQ(server->request("GET", "/final-video/fast").body, read_file(output));
}

TEST_F(StoryboardConcat, WithoutWatchingOnlyTheSaveRaisesTheVersion) {
    save_demo();
    auto server = storyboard_server(manifest_path, {"--no-watch"});
    ASSERT_TRUE(server->ready()) << server->err();
    ASSERT_EQ(server->request("POST", "/concat").status, 200);
    EXPECT_EQ(version_of(*server), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(version_of(*server), 2u);
}

TEST_F(StoryboardConcat, AFailedSaveKeepsTheJoinInMemoryOnly) {
    save_demo();
    auto server = storyboard_server(manifest_path, {"--no-watch"});
    ASSERT_TRUE(server->ready()) << server->err();
    // Something that cannot be replaced by a file now stands where the manifest was.
    fs::remove(manifest_path);
    fs::create_directories(fs::path(manifest_path) / "occupied");

    const HttpReply reply = server->request("POST", "/concat");
    EXPECT_EQ(reply.status, 500);
    const json body = json::parse(reply.body);
    EXPECT_EQ(body["ok"], false);
    EXPECT_TRUE(body["error"].get<std::string>().starts_with("manifest save failed: "))
        << reply.body;
    EXPECT_EQ(version_of(*server), 1u);
    const std::string output = dir / "my-demo--2-final-fast.webm";
    EXPECT_EQ(json::parse(server->request("GET", "/manifest").body)["final_fast_path"], output);
    EXPECT_TRUE(fs::exists(output));
}

TEST_F(StoryboardConcat, NothingToJoinRunsNothing) {
    Manifest manifest = new_manifest("Empty");
    Clip raw_only = clip_of("raw", "Raw only");
    raw_only.raw_path = copy("one-raw.webm");
    Clip gone = clip_of("gone", "Gone");
    gone.fast_path = dir / "gone.webm";
    manifest.clips = {raw_only, gone};
    save(manifest);
    FakeTools tools;
    tools.add("ffmpeg", "exit 1");
    FixtureSettings settings;
    settings.path = tools.dir().string() + ":" + testing::tools_path();
    auto server = storyboard_server(manifest_path, {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();

    const HttpReply reply = server->request("POST", "/concat");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.header("Content-Type"), "application/json");
    EXPECT_EQ(reply.body,
              "{\"ok\":false,\"error\":\"no fast clips in manifest — every clip needs a "
              "fast_path pointing at an existing file\"}");
    EXPECT_TRUE(tools.calls("ffmpeg").empty());
    EXPECT_EQ(version_of(*server), 1u);
}

TEST_F(StoryboardConcat, RepliesStayValidJsonForAnyPathOrMessage) {
    // A directory whose name needs escaping, and an ffmpeg that fails with several lines.
    const fs::path odd = dir.path() / "say \"hi\" \\ there";
    fs::create_directories(odd);
    manifest_path = (odd / "story.json").string();
    save_demo();
    auto server = storyboard_server(manifest_path, {"--no-watch"});
    ASSERT_TRUE(server->ready()) << server->err();
    const HttpReply joined = server->request("POST", "/concat");
    ASSERT_EQ(joined.status, 200) << joined.body;
    EXPECT_EQ(json::parse(joined.body)["path"], (odd / "my-demo--2-final-fast.webm").string());

    FakeTools tools;
    tools.add("ffmpeg", "printf 'first line\\nsecond \"line\"\\n' >&2; exit 1");
    FixtureSettings settings;
    settings.path = tools.dir().string() + ":" + testing::tools_path();
    auto failing = storyboard_server(manifest_path, {"--no-watch"}, settings);
    ASSERT_TRUE(failing->ready()) << failing->err();
    const HttpReply failed = failing->request("POST", "/concat");
    EXPECT_EQ(failed.status, 500);
    const json body = json::parse(failed.body);
    EXPECT_EQ(body["ok"], false);
    const std::string error = body["error"];
    EXPECT_TRUE(error.starts_with("ffmpeg concat failed: ")) << error;
    EXPECT_NE(error.find("second \"line\""), std::string::npos) << error;
    EXPECT_EQ(version_of(*failing), 1u);
}

TEST_F(StoryboardRoutes, AReaderThatStopsReadingDoesNotHoldUpLiveUpdates) {
    // Large enough that its answer cannot sit in the socket buffers.
    Manifest manifest = new_manifest("Big");
    for (int i = 0; i < 64; ++i) {
        Clip clip = clip_of("c" + std::to_string(i), "Clip");
        clip.description = std::string(512 * 1024, 'x');
        manifest.clips.push_back(clip);
    }
    save(manifest);
    auto server = storyboard_server(manifest_path);
    ASSERT_TRUE(server->ready()) << server->err();

    testing::RawClient stalled(server->port());
    ASSERT_TRUE(stalled.send("GET /manifest HTTP/1.1\r\nHost: 127.0.0.1:" +
                             std::to_string(server->port()) + "\r\n\r\n"));
    EXPECT_EQ(stalled.read_some(12), "HTTP/1.1 200");
    manifest.clips.resize(1);
    save(manifest);
    EXPECT_TRUE(eventually([&] { return version_of(*server) == 2; }));
    EXPECT_EQ(json::parse(server->request("GET", "/state").body)["clipCount"], 1);
}

std::vector<std::string> ids_in(const Manifest& manifest) {
    std::vector<std::string> ids;
    for (const Clip& clip : manifest.clips) {
        ids.push_back(clip.id);
    }
    return ids;
}

// Demo scripts and other clients working on the same things as the server: ffmpeg behind a
// stand-in that can hold a run back or count the runs going on at once.
class StoryboardContention : public StoryboardConcat {
  protected:
    // ffmpeg as it is, except that a concat join waits until `release_concat` and says when it
    // has begun.
    void hold_concat_joins() {
        fs::remove(tools.dir() / "join-started");
        tools.add("ffmpeg", fmt::format("case \" $* \" in *\" concat \"*)\n"
                                        "  : > '{0}/join-started'\n"
                                        "{1};;\n"
                                        "esac\nexec /usr/bin/ffmpeg \"$@\"",
                                        tools.dir().string(), tools.hold("join")));
    }
    bool concat_join_started() {
        return eventually([&] { return fs::exists(tools.dir() / "join-started"); });
    }
    void release_concat() { tools.release("join"); }

    std::unique_ptr<WebappFixture> server(std::vector<std::string> args = {}) {
        FixtureSettings settings;
        settings.path = tools.dir().string() + ":" + testing::tools_path();
        return storyboard_server(manifest_path, std::move(args), settings);
    }

    // `tevo-reelcut manifest add` in a process of its own, as a demo script runs it.
    void add_clip(const std::string& id, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {"manifest", "add",     manifest_path, "--id",
                                         id,         "--title", "Added " + id};
        args.insert(args.end(), more.begin(), more.end());
        const auto run = testing::run_reelcut(args);
        EXPECT_EQ(run.status.code, 0) << id << ": " << run.err;
    }

    // ffmpeg behind a stand-in that notes each run's input and how many runs were going on when
    // it began, and takes a little longer than a poster does, so that requests pile up; with
    // `held`, each run waits until `tools.release("runs")`.
    void count_runs(bool held = false) {
        tools.add("ffmpeg",
                  fmt::format("d='{0}'\nprev=\nfor a in \"$@\"; do\n"
                              "  if [ \"$prev\" = -i ]; then echo \"$a\" >> \"$d/inputs\"; fi\n"
                              "  prev=$a\ndone\n"
                              ": > \"$d/running.$$\"\nc=0\n"
                              "for f in \"$d\"/running.*; do c=$((c+1)); done\n"
                              "echo $c >> \"$d/at-once\"\n{1}\n"
                              "/usr/bin/ffmpeg \"$@\"; s=$?\nrm -f \"$d/running.$$\"\nexit $s",
                              tools.dir().string(), held ? tools.hold("runs") : "sleep 0.2"));
    }
    std::map<std::string, int> runs_per_input() const {
        std::map<std::string, int> runs;
        for (const std::string& input : lines_of(read_file(tools.dir() / "inputs"))) {
            ++runs[input];
        }
        return runs;
    }
    int most_at_once() const {
        int most = 0;
        for (const std::string& count : lines_of(read_file(tools.dir() / "at-once"))) {
            most = std::max(most, std::stoi(count));
        }
        return most;
    }

    FakeTools tools;
};

TEST_F(StoryboardContention, ConcatKeepsEveryClipAddedBeforeDuringAndAfterIt) {
    // Without watching, the server's copy never sees the adds; with it, the save comes within a
    // tick of them. Either way the file must keep them all.
    for (const bool watch : {false, true}) {
        SCOPED_TRACE(watch ? "watching" : "--no-watch");
        save_demo();
        hold_concat_joins();
        auto storyboard =
            server(watch ? std::vector<std::string>{} : std::vector<std::string>{"--no-watch"});
        ASSERT_TRUE(storyboard->ready()) << storyboard->err();
        // Posters recorded in memory: one's is carried into the file; two's is not, because
        // two is replaced by another recording while the join runs.
        ASSERT_EQ(storyboard->request("GET", "/poster/one").status, 200);
        ASSERT_EQ(storyboard->request("GET", "/poster/two").status, 200);

        add_clip("before");
        HttpReply joined;
        std::thread concat([&] { joined = storyboard->request("POST", "/concat"); });
        ASSERT_TRUE(concat_join_started());
        std::vector<std::thread> adds;
        for (int k = 0; k < 3; ++k) {
            adds.emplace_back([&, k] { add_clip(fmt::format("during-{}", k)); });
        }
        adds.emplace_back([&] {
            add_clip("two", {"--fast", dir / "two-fast.webm", "--raw", dir / "two-fast.webm"});
        });
        for (auto& add : adds) {
            add.join();
        }
        release_concat();
        concat.join();
        ASSERT_EQ(joined.status, 200) << joined.body;
        const std::string output = dir / "my-demo--2-final-fast.webm";
        EXPECT_EQ(json::parse(joined.body),
                  (json{{"ok", true}, {"path", output}, {"clipCount", 2}}));
        add_clip("after");

        const Manifest saved = *load_manifest(manifest_path);
        std::vector<std::string> ids = ids_in(saved);
        ASSERT_EQ(ids.size(), 8u) << json(ids).dump();
        EXPECT_EQ((std::vector<std::string>(ids.begin(), ids.begin() + 4)),
                  (std::vector<std::string>{"one", "raw", "two", "before"}));
        std::sort(ids.begin() + 4, ids.end() - 1);
        EXPECT_EQ((std::vector<std::string>(ids.begin() + 4, ids.end())),
                  (std::vector<std::string>{"during-0", "during-1", "during-2", "after"}));
        EXPECT_EQ(saved.final_fast_path, output);
        if (!watch) { // a watcher's reload forgets what was recorded in memory
            EXPECT_EQ(saved.clips[0].poster_path, dir / "one-fast.poster.jpg");
        }
        EXPECT_FALSE(saved.clips[2].poster_path.has_value());
        EXPECT_TRUE(saved.clips[2].raw_path.has_value()); // the new recording of two

        // The page sees what was saved (and, when watching, what came after).
        const std::size_t shown = watch ? 8 : 7;
        EXPECT_TRUE(eventually([&] {
            const json page = json::parse(storyboard->request("GET", "/manifest").body);
            return page["clips"].size() == shown && page["final_fast_path"] == output;
        }));
        EXPECT_EQ(storyboard->request("GET", "/final-video/fast").body, read_file(output));
    }
}

TEST_F(StoryboardContention, AManifestBrokenDuringTheConcatIsLeftAsItIs) {
    struct Case {
        const char* what;
        std::optional<std::string> content; // none: the file is deleted
        std::string error_start;
    };
    const Case cases[] = {
        {"invalid", "{\"title\": \"half written", "manifest save failed: parse " + manifest_path},
        {"deleted", std::nullopt, "manifest save failed: read " + manifest_path},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        save_demo();
        hold_concat_joins();
        auto storyboard = server({"--no-watch"});
        ASSERT_TRUE(storyboard->ready()) << storyboard->err();

        HttpReply joined;
        std::thread concat([&] { joined = storyboard->request("POST", "/concat"); });
        ASSERT_TRUE(concat_join_started());
        if (c.content) {
            testing::write_file(manifest_path, *c.content);
        } else {
            fs::remove(manifest_path);
        }
        release_concat();
        concat.join();

        EXPECT_EQ(joined.status, 500);
        const json body = json::parse(joined.body);
        EXPECT_EQ(body["ok"], false);
        EXPECT_TRUE(body["error"].get<std::string>().starts_with(c.error_start)) << joined.body;
        if (c.content) {
            EXPECT_EQ(read_file(manifest_path), *c.content);
        } else {
            EXPECT_FALSE(fs::exists(manifest_path));
        }
        // The join itself is kept, and known to this server only.
        const std::string output = dir / "my-demo--2-final-fast.webm";
        EXPECT_TRUE(fs::exists(output));
        EXPECT_EQ(version_of(*storyboard), 1u);
        EXPECT_EQ(json::parse(storyboard->request("GET", "/manifest").body)["final_fast_path"],
                  output);
    }
}

TEST_F(StoryboardContention, ConcatsAtOnceJoinOneAfterAnotherIntoAWholeFile) {
    save_demo();
    count_runs();
    auto storyboard = server({"--no-watch"});
    ASSERT_TRUE(storyboard->ready()) << storyboard->err();
    std::vector<HttpReply> joins(4);
    std::vector<std::thread> clients;
    for (HttpReply& reply : joins) {
        clients.emplace_back([&] { reply = storyboard->request("POST", "/concat"); });
    }
    for (auto& client : clients) {
        client.join();
    }
    for (const HttpReply& reply : joins) {
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    EXPECT_EQ(most_at_once(), 1);
    const std::string output = dir / "my-demo--2-final-fast.webm";
    EXPECT_NEAR(testing::probed_seconds(output), 2.0, 0.1);
    // Only the output and the inputs are left: no partial join.
    for (const auto& entry : fs::directory_iterator(dir.path())) {
        EXPECT_EQ(entry.path().string().find(".partial-"), std::string::npos) << entry.path();
    }
}

int thread_count(pid_t pid) {
    int threads = 0;
    for ([[maybe_unused]] const auto& task :
         fs::directory_iterator(fmt::format("/proc/{}/task", pid))) {
        ++threads;
    }
    return threads;
}

// Many clients asking for posters at once.
class PosterFlood : public StoryboardContention {};

TEST_F(PosterFlood, OneRunPerClipAFewAtOnceAndFailuresRemembered) {
    // Five clips that no decoder reads, and one real one.
    Manifest manifest = new_manifest("Flood");
    std::vector<std::string> broken;
    for (int k = 0; k < 5; ++k) {
        Clip clip = clip_of(fmt::format("bad{}", k), "Broken");
        clip.fast_path = dir / fmt::format("bad{}.webm", k);
        testing::write_file(*clip.fast_path, "not a video " + std::to_string(k));
        broken.push_back(*clip.fast_path);
        manifest.clips.push_back(clip);
    }
    Clip good = clip_of("good", "Good");
    good.fast_path = copy("one-fast.webm");
    manifest.clips.push_back(good);
    save(manifest);
    count_runs(/*held=*/true);
    auto storyboard = server();
    ASSERT_TRUE(storyboard->ready()) << storyboard->err();
    const int idle_threads = thread_count(storyboard->pid());

    std::vector<HttpReply> replies(100);
    std::vector<std::thread> clients;
    for (std::size_t k = 0; k < replies.size(); ++k) {
        const std::string id = k % 20 == 19 ? "good" : fmt::format("bad{}", k % 5);
        clients.emplace_back([&, k, id] {
            // Held for as long as the test needs: that may take minutes on a loaded machine.
            replies[k] = testing::http_request(storyboard->port(), "GET", "/poster/" + id, "", {},
                                               std::chrono::minutes(5));
        });
    }
    // With every run slot held and the flood's connections open, a normal client is still
    // answered: its limit is far below the hold, so a state that waited for the runs fails here.
    const std::size_t slots = PosterRenderLimits{}.max_encodes;
    EXPECT_TRUE(
        eventually([&] { return lines_of(read_file(tools.dir() / "at-once")).size() == slots; },
                   std::chrono::minutes(2)));
    EXPECT_TRUE(eventually([&] { return thread_count(storyboard->pid()) > idle_threads + 90; },
                           std::chrono::minutes(2)));
    for (int k = 0; k < 5; ++k) {
        const HttpReply state = testing::http_request(storyboard->port(), "GET", "/state", "", {},
                                                      std::chrono::seconds(10));
        EXPECT_EQ(state.status, 200) << state.error;
    }
    EXPECT_EQ(lines_of(read_file(tools.dir() / "at-once")).size(), slots);
    tools.release("runs");
    for (auto& client : clients) {
        client.join();
    }

    std::map<std::string, std::string> failures; // one shared message per clip
    for (std::size_t k = 0; k < replies.size(); ++k) {
        if (k % 20 == 19) {
            EXPECT_EQ(replies[k].status, 200);
            EXPECT_EQ(replies[k].header("Content-Type"), "image/jpeg");
            continue;
        }
        const std::string id = fmt::format("bad{}", k % 5);
        EXPECT_EQ(replies[k].status, 500) << id << ": " << replies[k].body;
        EXPECT_TRUE(replies[k].body.starts_with("poster generation failed: ffmpeg poster failed: "))
            << replies[k].body;
        auto [known, added] = failures.emplace(id, replies[k].body);
        EXPECT_EQ(known->second, replies[k].body) << id;
    }
    std::map<std::string, int> expected;
    for (const std::string& path : broken) {
        expected[path] = 1;
    }
    expected[dir / "one-fast.webm"] = 1;
    EXPECT_EQ(runs_per_input(), expected);
    EXPECT_LE(most_at_once(), static_cast<int>(PosterRenderLimits{}.max_encodes));

    // Remembered: answered at once, nothing run. A changed video is tried again, once.
    EXPECT_EQ(storyboard->request("GET", "/poster/bad0").body, failures["bad0"]);
    EXPECT_EQ(runs_per_input(), expected);
    testing::write_file(broken[0], "still not a video, but another file");
    EXPECT_EQ(storyboard->request("GET", "/poster/bad0").status, 500);
    EXPECT_EQ(storyboard->request("GET", "/poster/bad0").status, 500);
    ++expected[broken[0]];
    EXPECT_EQ(runs_per_input(), expected);
    EXPECT_TRUE(testing::files_starting_with(dir.path(), "bad0.poster").empty());
    EXPECT_TRUE(testing::files_starting_with(dir.path(), "one-fast.poster.partial").empty());
}

TEST_F(PosterFlood, WaitersWhoseClientLeftGoAndShutdownLeavesNoHalfPoster) {
    Manifest manifest = new_manifest("Held");
    Clip clip = clip_of("held", "Held");
    clip.fast_path = copy("one-fast.webm");
    manifest.clips = {clip};
    save(manifest);
    // Opens its output at once, as ffmpeg does, and is still writing it when the test is done.
    tools.add("ffmpeg", fmt::format("for a; do out=$a; done\nexec 3> \"$out\"\n"
                                    ": > '{0}/poster-started'\n{1}\necho late >&3",
                                    tools.dir().string(), tools.hold("poster")));
    auto storyboard = server();
    ASSERT_TRUE(storyboard->ready()) << storyboard->err();
    const int idle_threads = thread_count(storyboard->pid());

    HttpReply first;
    std::thread runner([&] { first = storyboard->request("GET", "/poster/held"); });
    ASSERT_TRUE(eventually([&] { return fs::exists(tools.dir() / "poster-started"); }));
    {
        std::vector<std::unique_ptr<testing::RawClient>> leaving;
        for (int k = 0; k < 50; ++k) {
            leaving.push_back(std::make_unique<testing::RawClient>(storyboard->port()));
            ASSERT_TRUE(leaving.back()->send(fmt::format(
                "GET /poster/held HTTP/1.1\r\nHost: 127.0.0.1:{}\r\n\r\n", storyboard->port())));
        }
        EXPECT_TRUE(
            eventually([&] { return thread_count(storyboard->pid()) > idle_threads + 40; }));
    } // all 50 hang up while the run is held
    EXPECT_TRUE(eventually([&] { return thread_count(storyboard->pid()) <= idle_threads + 4; }));
    EXPECT_EQ(storyboard->request("GET", "/state").status, 200);
    EXPECT_EQ(tools.calls("ffmpeg").size(), 1u);

    // Shut down mid-run: the half-written poster goes with the server, which ends without waiting
    // for the held run.
    EXPECT_EQ(storyboard->request("GET", "/shutdown").status, 200);
    EXPECT_TRUE(storyboard->wait_exit(std::chrono::seconds(30)).has_value());
    tools.release("poster");
    runner.join();
    EXPECT_NE(first.status, 200);
    EXPECT_TRUE(testing::files_starting_with(dir.path(), "one-fast.poster").empty());
}

TEST(PosterRenders, WaitsAreBoundedAndAbandonedPartialsAreCleared) {
    TempDir dir;
    testing::write_file(dir / "a.webm", "a");
    testing::write_file(dir / "b.webm", "b");
    // One left by a server that has ended, one by a server still running (pid 1).
    const pid_t ended = ::fork();
    if (ended == 0) {
        ::_exit(0);
    }
    ASSERT_GT(ended, 0);
    ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
    const std::string abandoned = dir / fmt::format("a.poster.partial-{}-0badcafe-0.jpg", ended);
    const std::string running = dir / "a.poster.partial-1-0badcafe-0.jpg";
    testing::write_file(abandoned, "half");
    testing::write_file(running, "half");
    FakeTools tools;
    tools.add("ffmpeg",
              "for a; do out=$a; done\n" + tools.hold("run") + "\nprintf jpeg > \"$out\"");

    PosterRenders posters({.max_encodes = 1,
                           .wait_limit = std::chrono::milliseconds(150),
                           .gone_check = std::chrono::milliseconds(20)});
    const auto stays = [] { return false; };
    PosterOutcome first;
    std::thread runner(
        [&] { first = posters.render(dir / "a.webm", dir / "a.poster.jpg", stays); });
    ASSERT_TRUE(eventually([&] { return tools.calls("ffmpeg").size() == 1; }));

    // The only slot is held until the test releases it: a wait ends at its limit, or when its
    // caller has left, never with the run.
    EXPECT_EQ(posters.render(dir / "b.webm", dir / "b.poster.jpg", stays).kind,
              PosterOutcome::Kind::busy);
    EXPECT_EQ(posters.render(dir / "b.webm", dir / "b.poster.jpg", [] { return true; }).kind,
              PosterOutcome::Kind::caller_gone);
    tools.release("run");
    runner.join();

    EXPECT_EQ(first.kind, PosterOutcome::Kind::ready) << first.error;
    EXPECT_EQ(read_file(dir / "a.poster.jpg"), "jpeg");
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(running));
    EXPECT_EQ(tools.calls("ffmpeg").size(), 1u);
}

} // namespace
} // namespace reelcut
