// Following the manifest file: the watcher's single check, and the running server's start and
// live reloads.
#include "storyboard/storyboard_app.hpp"
#include "support/clip_of.hpp"
#include "support/webapp_fixture.hpp"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::clip_of;
using testing::eventually;
using testing::storyboard_server;
using testing::TempDir;
using testing::WebappFixture;
using testing::write_file;

void set_mtime(const std::string& path, std::int64_t seconds) {
    const timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

Manifest titled(const std::string& title, int clips) {
    Manifest manifest = new_manifest(title);
    for (int i = 0; i < clips; ++i) {
        manifest.clips.push_back(clip_of("c" + std::to_string(i), "Clip"));
    }
    return manifest;
}

class ManifestWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(save_manifest(titled("First", 1), path));
        set_mtime(path, 1'700'000'000);
        watcher.manifest_path = path;
        watcher.last_mtime_lock = std::make_shared<std::mutex>();
        watcher.last_mtime = std::make_shared<FileTime>(*modification_time(path));
        watcher.manifest = std::make_shared<SharedManifest>(*load_manifest(path));
        watcher.version = std::make_shared<VersionCounter>(1);
    }

    // One check, with what it printed on standard error.
    std::pair<bool, std::string> check() {
        ::testing::internal::CaptureStderr();
        const bool reloaded = check_storyboard_manifest(watcher);
        return {reloaded, ::testing::internal::GetCapturedStderr()};
    }
    std::string title() const { return watcher.manifest->value.title; }

    TempDir dir;
    std::string path = dir / "story.json";
    ManifestWatcher watcher;
};

TEST_F(ManifestWatch, AnyChangeOfTimeReloadsOnce) {
    EXPECT_EQ(check(), std::make_pair(false, std::string()));

    ASSERT_TRUE(save_manifest(titled("Second", 2), path));
    set_mtime(path, 1'700'000'100);
    EXPECT_EQ(check(), std::make_pair(true, std::string()));
    EXPECT_EQ(title(), "Second");
    EXPECT_EQ(watcher.version->load(), 2u);
    EXPECT_FALSE(check().first);

    // An older time (a file restored from a backup) is a change too; same content reloads.
    set_mtime(path, 1'600'000'000);
    EXPECT_TRUE(check().first);
    EXPECT_EQ(watcher.version->load(), 3u);
}

TEST_F(ManifestWatch, AnInvalidFileKeepsTheLastGoodManifestAndIsRetried) {
    write_file(path, "{\"title\": \"Half");
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto [reloaded, err] = check();
        EXPECT_FALSE(reloaded);
        EXPECT_TRUE(err.starts_with("storyboard: manifest reload failed: parse " + path + ": "))
            << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    }
    EXPECT_EQ(title(), "First");
    EXPECT_EQ(watcher.version->load(), 1u);

    ASSERT_TRUE(save_manifest(titled("Fixed", 0), path));
    EXPECT_EQ(check(), std::make_pair(true, std::string()));
    EXPECT_EQ(title(), "Fixed");
    EXPECT_EQ(watcher.version->load(), 2u);
}

TEST_F(ManifestWatch, AMissingFileIsSkippedSilently) {
    fs::remove(path);
    EXPECT_EQ(check(), std::make_pair(false, std::string()));
    EXPECT_EQ(title(), "First");
    ASSERT_TRUE(save_manifest(titled("Back", 0), path));
    EXPECT_TRUE(check().first);
    EXPECT_EQ(title(), "Back");
}

json state_of(const WebappFixture& server) {
    const auto reply = server.request("GET", "/state");
    return reply.status == 200 ? json::parse(reply.body) : json();
}

TEST(StoryboardServer, RefusesToStartWithoutAReadableManifest) {
    TempDir dir;
    write_file(dir / "bad.json", "{\"title\": 3}");
    struct Case {
        std::string manifest;
        std::string error;
    };
    const Case cases[] = {
        {dir / "missing.json", "ERROR: manifest not found: " + dir / "missing.json" +
                                   ". Hint: create one with `tevo-reelcut manifest init`.\n"
                                   "Hint: create one with `tevo-reelcut manifest init`.\n"},
        {dir / "bad.json", "ERROR: parse " + dir / "bad.json" +
                               ": invalid type: integer `3`, expected a string at line 1 column "
                               "11\n"},
    };
    for (const Case& c : cases) {
        auto server = storyboard_server(c.manifest);
        EXPECT_FALSE(server->ready());
        const auto status = server->wait_exit(std::chrono::seconds(5));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code, 1);
        EXPECT_EQ(server->err(), c.error);
        // Nothing was bound or registered.
        EXPECT_EQ(server->out(),
                  "starting storyboard server on port " + std::to_string(server->port()) + "\n");
        EXPECT_FALSE(fs::exists(server->registry_file()));
    }
}

TEST(StoryboardServer, RegistersUnderTheManifestTitleOrStoryboard) {
    TempDir dir;
    for (const auto& [title, registered] :
         {std::pair<std::string, std::string>{"", "Storyboard"}, {"Launch demo", "Launch demo"}}) {
        ASSERT_TRUE(save_manifest(titled(title, 0), dir / "story.json"));
        auto server = storyboard_server(dir / "story.json");
        ASSERT_TRUE(server->ready()) << server->err();
        const json entry = json::parse(testing::read_file(server->registry_file()));
        EXPECT_EQ(entry["title"], registered);
        EXPECT_EQ(entry["subcommand"], "storyboard");
    }
}

TEST(StoryboardServer, FollowsTheFileWhileItRuns) {
    TempDir dir;
    const std::string path = dir / "story.json";
    ASSERT_TRUE(save_manifest(titled("Live", 1), path));
    auto server = storyboard_server(path);
    ASSERT_TRUE(server->ready()) << server->err();
    EXPECT_EQ(state_of(*server)["version"], 1);

    // Touched without a change: one reload.
    set_mtime(path, 1'800'000'000);
    EXPECT_TRUE(eventually([&] { return state_of(*server)["version"] == 2; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(state_of(*server)["version"], 2);

    // A half-written file: retried every tick, the last good manifest stays.
    write_file(path, "{\"title\": \"Li");
    EXPECT_TRUE(eventually([&] {
        const std::string err = server->err();
        std::size_t count = 0;
        for (auto at = err.find("storyboard: manifest reload failed: parse ");
             at != std::string::npos; at = err.find("manifest reload failed", at + 1)) {
            ++count;
        }
        return count >= 2;
    }));
    EXPECT_EQ(state_of(*server), (json{{"version", 2}, {"clipCount", 1}, {"title", "Live"}}));

    ASSERT_TRUE(save_manifest(titled("Live", 3), path));
    EXPECT_TRUE(eventually([&] { return state_of(*server)["clipCount"] == 3; }));
    EXPECT_EQ(state_of(*server)["version"], 3);

    // Gone for a while: silent, still serving; back with a new time: reloaded.
    const std::string err_before = server->err();
    fs::remove(path);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(server->err(), err_before);
    EXPECT_EQ(state_of(*server)["clipCount"], 3);
    ASSERT_TRUE(save_manifest(titled("Live", 4), path));
    EXPECT_TRUE(eventually([&] { return state_of(*server)["clipCount"] == 4; }));
    EXPECT_EQ(state_of(*server)["version"], 4);
}

TEST(StoryboardServer, WithoutWatchingTheFileIsReadOnce) {
    TempDir dir;
    const std::string path = dir / "story.json";
    ASSERT_TRUE(save_manifest(titled("Fixed", 1), path));
    auto server = storyboard_server(path, {"--no-watch"});
    ASSERT_TRUE(server->ready()) << server->err();
    ASSERT_TRUE(save_manifest(titled("Fixed", 5), path));
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    EXPECT_EQ(state_of(*server), (json{{"version", 1}, {"clipCount", 1}, {"title", "Fixed"}}));
}

} // namespace
} // namespace reelcut
