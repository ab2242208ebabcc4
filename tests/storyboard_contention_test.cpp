// The storyboard server while others work on the same things: demo scripts adding clips during a
// concat, a manifest broken under it, and floods of poster requests. A real `tevo-reelcut
// storyboard`, real `manifest add` processes and real ffmpeg behind a stand-in that can hold a
// run back or count the runs at once.
#include "storyboard/manifest.hpp"
#include "storyboard/poster_renders.hpp"
#include "support/clip_of.hpp"
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/raw_http.hpp"
#include "support/webapp_fixture.hpp"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <map>
#include <nlohmann/json.hpp>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::clip_of;
using testing::eventually;
using testing::FakeTools;
using testing::FixtureSettings;
using testing::HttpReply;
using testing::lines_of;
using testing::read_file;
using testing::storyboard_server;
using testing::TempDir;
using testing::WebappFixture;

std::vector<std::string> ids_in(const Manifest& manifest) {
    std::vector<std::string> ids;
    for (const Clip& clip : manifest.clips) {
        ids.push_back(clip.id);
    }
    return ids;
}

std::uint64_t version_of(const WebappFixture& server) {
    const HttpReply state = server.request("GET", "/state");
    return state.status == 200 ? json::parse(state.body)["version"].get<std::uint64_t>() : 0;
}

class StoryboardContention : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media = new TempDir;
        ASSERT_TRUE(testing::make_clip(*media / "one-fast.webm", {.seconds = 1}));
        ASSERT_TRUE(testing::make_clip(*media / "two-fast.webm", {.seconds = 1}));
    }
    static void TearDownTestSuite() {
        delete media;
        media = nullptr;
    }

    std::string copy(const std::string& name) {
        fs::copy_file(*media / name, dir / name, fs::copy_options::overwrite_existing);
        return dir / name;
    }

    // "one" and "two" with fast videos, titled "Demo".
    void save_demo() {
        Manifest manifest = new_manifest("Demo");
        Clip one = clip_of("one", "One");
        one.fast_path = copy("one-fast.webm");
        Clip two = clip_of("two", "Two");
        two.fast_path = copy("two-fast.webm");
        manifest.clips = {one, two};
        ASSERT_TRUE(save_manifest(manifest, manifest_path));
    }

    // ffmpeg as it is, except that a concat join waits until `release_concat` and says when it
    // has begun.
    void hold_concat_joins() {
        tools.add("ffmpeg", fmt::format("case \" $* \" in *\" concat \"*)\n"
                                        "  : > '{0}/join-started'\n"
                                        "  while [ ! -e '{0}/join-go' ]; do sleep 0.02; done;;\n"
                                        "esac\nexec /usr/bin/ffmpeg \"$@\"",
                                        tools.dir().string()));
    }
    bool concat_join_started() {
        return eventually([&] { return fs::exists(tools.dir() / "join-started"); });
    }
    void release_concat() { testing::write_file(tools.dir() / "join-go", ""); }

    std::unique_ptr<WebappFixture> server(std::vector<std::string> args = {}) {
        FixtureSettings settings;
        settings.path = tools.dir().string() + ":" + testing::tools_path();
        return storyboard_server(manifest_path, std::move(args), settings);
    }

    int add_clip(const std::string& id, const std::vector<std::string>& more = {}) {
        std::vector<std::string> args = {"manifest", "add",     manifest_path, "--id",
                                         id,         "--title", "Added " + id};
        args.insert(args.end(), more.begin(), more.end());
        const auto run = testing::run_reelcut(args);
        EXPECT_EQ(run.status.code, 0) << id << ": " << run.err;
        return run.status.code;
    }

    static TempDir* media;
    TempDir dir;
    std::string manifest_path = dir / "story.json";
    FakeTools tools;
};
TempDir* StoryboardContention::media = nullptr;

TEST_F(StoryboardContention, ConcatKeepsEveryClipAddedBeforeDuringAndAfterIt) {
    // Without watching, the server's copy never sees the adds; with it, the save comes within a
    // tick of them. Either way the file must keep them all.
    for (const bool watch : {false, true}) {
        SCOPED_TRACE(watch ? "watching" : "--no-watch");
        save_demo();
        fs::remove(tools.dir() / "join-started");
        fs::remove(tools.dir() / "join-go");
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
        const std::string output = dir / "demo-final-fast.webm";
        EXPECT_EQ(json::parse(joined.body),
                  (json{{"ok", true}, {"path", output}, {"clipCount", 2}}));
        add_clip("after");

        const Manifest saved = *load_manifest(manifest_path);
        std::vector<std::string> ids = ids_in(saved);
        ASSERT_EQ(ids.size(), 7u) << json(ids).dump();
        EXPECT_EQ((std::vector<std::string>(ids.begin(), ids.begin() + 3)),
                  (std::vector<std::string>{"one", "two", "before"}));
        std::sort(ids.begin() + 3, ids.end() - 1);
        EXPECT_EQ((std::vector<std::string>(ids.begin() + 3, ids.end())),
                  (std::vector<std::string>{"during-0", "during-1", "during-2", "after"}));
        EXPECT_EQ(saved.final_fast_path, output);
        if (!watch) { // a watcher's reload forgets what was recorded in memory
            EXPECT_EQ(saved.clips[0].poster_path, dir / "one-fast.poster.jpg");
        }
        EXPECT_FALSE(saved.clips[1].poster_path.has_value());
        EXPECT_TRUE(saved.clips[1].raw_path.has_value()); // the new recording of two

        // The page sees what was saved (and, when watching, what came after).
        const std::size_t shown = watch ? 7 : 6;
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
        fs::remove(tools.dir() / "join-started");
        fs::remove(tools.dir() / "join-go");
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
        const std::string output = dir / "demo-final-fast.webm";
        EXPECT_TRUE(fs::exists(output));
        EXPECT_EQ(version_of(*storyboard), 1u);
        EXPECT_EQ(json::parse(storyboard->request("GET", "/manifest").body)["final_fast_path"],
                  output);
    }
}

// ffmpeg behind a stand-in that notes each run's input and how many runs were going on when it
// began, and takes a little longer than a poster does, so that requests pile up.
class PosterFlood : public StoryboardContention {
  protected:
    void count_runs() {
        tools.add("ffmpeg",
                  fmt::format("d='{0}'\nprev=\nfor a in \"$@\"; do\n"
                              "  if [ \"$prev\" = -i ]; then echo \"$a\" >> \"$d/inputs\"; fi\n"
                              "  prev=$a\ndone\n"
                              ": > \"$d/running.$$\"\nc=0\n"
                              "for f in \"$d\"/running.*; do c=$((c+1)); done\n"
                              "echo $c >> \"$d/at-once\"\nsleep 0.2\n"
                              "/usr/bin/ffmpeg \"$@\"; s=$?\nrm -f \"$d/running.$$\"\nexit $s",
                              tools.dir().string()));
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
};

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
    ASSERT_TRUE(save_manifest(manifest, manifest_path));
    count_runs();
    auto storyboard = server();
    ASSERT_TRUE(storyboard->ready()) << storyboard->err();

    // A normal client polls the state throughout.
    std::atomic<bool> flooding{true};
    std::vector<int> state_statuses;
    std::chrono::milliseconds slowest{0};
    std::thread watcher([&] {
        while (flooding) {
            const auto start = std::chrono::steady_clock::now();
            state_statuses.push_back(storyboard->request("GET", "/state").status);
            slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - start));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    std::vector<HttpReply> replies(100);
    std::vector<std::thread> clients;
    for (std::size_t k = 0; k < replies.size(); ++k) {
        const std::string id = k % 20 == 19 ? "good" : fmt::format("bad{}", k % 5);
        clients.emplace_back(
            [&, k, id] { replies[k] = storyboard->request("GET", "/poster/" + id); });
    }
    for (auto& client : clients) {
        client.join();
    }
    flooding = false;
    watcher.join();

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
    EXPECT_EQ(state_statuses, std::vector<int>(state_statuses.size(), 200));
    EXPECT_FALSE(state_statuses.empty());
    EXPECT_LT(slowest, std::chrono::milliseconds(1000));

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

int thread_count(pid_t pid) {
    int threads = 0;
    for ([[maybe_unused]] const auto& task :
         fs::directory_iterator(fmt::format("/proc/{}/task", pid))) {
        ++threads;
    }
    return threads;
}

TEST_F(PosterFlood, WaitersWhoseClientLeftGoAndShutdownLeavesNoHalfPoster) {
    Manifest manifest = new_manifest("Held");
    Clip clip = clip_of("held", "Held");
    clip.fast_path = copy("one-fast.webm");
    manifest.clips = {clip};
    ASSERT_TRUE(save_manifest(manifest, manifest_path));
    // Opens its output at once, as ffmpeg does, and is still writing it much later.
    tools.add("ffmpeg", fmt::format("for a; do out=$a; done\nexec 3> \"$out\"\n"
                                    ": > '{0}/poster-started'\nsleep 4\necho late >&3",
                                    tools.dir().string()));
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
        EXPECT_TRUE(eventually([&] { return thread_count(storyboard->pid()) > idle_threads + 40; },
                               std::chrono::seconds(5)));
    } // all 50 hang up while the run goes on
    EXPECT_TRUE(eventually([&] { return thread_count(storyboard->pid()) <= idle_threads + 4; },
                           std::chrono::seconds(3)));
    EXPECT_EQ(storyboard->request("GET", "/state").status, 200);
    EXPECT_EQ(tools.calls("ffmpeg").size(), 1u);

    // Shut down mid-run: the half-written poster goes with the server.
    EXPECT_EQ(storyboard->request("GET", "/shutdown").status, 200);
    EXPECT_TRUE(storyboard->wait_exit(std::chrono::seconds(5)).has_value());
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
    const std::string abandoned = dir / fmt::format("a.poster.partial-{}-0.jpg", ended);
    const std::string running = dir / "a.poster.partial-1-0.jpg";
    testing::write_file(abandoned, "half");
    testing::write_file(running, "half");
    FakeTools tools;
    tools.add("ffmpeg", "for a; do out=$a; done; sleep 0.5; printf jpeg > \"$out\"");

    PosterRenders posters({.max_encodes = 1,
                           .wait_limit = std::chrono::milliseconds(150),
                           .gone_check = std::chrono::milliseconds(20)});
    const auto stays = [] { return false; };
    PosterOutcome first;
    std::thread runner(
        [&] { first = posters.render(dir / "a.webm", dir / "a.poster.jpg", stays); });
    ASSERT_TRUE(eventually([&] { return tools.calls("ffmpeg").size() == 1; }));

    // The only slot is taken: a wait ends at its limit, or as soon as its caller has left.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(posters.render(dir / "b.webm", dir / "b.poster.jpg", stays).kind,
              PosterOutcome::Kind::busy);
    EXPECT_EQ(posters.render(dir / "b.webm", dir / "b.poster.jpg", [] { return true; }).kind,
              PosterOutcome::Kind::caller_gone);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    runner.join();

    EXPECT_EQ(first.kind, PosterOutcome::Kind::ready) << first.error;
    EXPECT_EQ(read_file(dir / "a.poster.jpg"), "jpeg");
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(running));
    EXPECT_EQ(tools.calls("ffmpeg").size(), 1u);
}

} // namespace
} // namespace reelcut
