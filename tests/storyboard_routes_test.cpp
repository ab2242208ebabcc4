// The storyboard server over real HTTP: a `tevo-reelcut storyboard` process on a manifest whose
// clips are real generated videos and images.
#include "storyboard/manifest.hpp"
#include "storyboard/routes.hpp"
#include "support/clip_of.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/raw_http.hpp"
#include "support/webapp_fixture.hpp"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

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

} // namespace
} // namespace reelcut
