// The storyboard page in real headless Chromium against a real `tevo-reelcut storyboard` on a
// manifest of generated videos, driven through the page's eval channel.
#include "storyboard/manifest.hpp"
#include "support/clip_of.hpp"
#include "support/media_fixture.hpp"
#include "support/webapp_fixture.hpp"
#include "text_format.hpp"

#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <optional>
#include <sys/stat.h>
#include <thread>

namespace reelcut {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::BrowserPage;
using testing::clip_of;
using testing::ClipSpec;
using testing::eventually;
using testing::page_shows;
using testing::page_value;
using testing::run_reelcut;
using testing::storyboard_server;
using testing::TempDir;
using testing::WebappFixture;

const std::string kTitle = "Fish & Chips <b>Demo</b> \"v2\"";

std::string pill(const WebappFixture& server) {
    const json text = page_value(server, "return document.getElementById('statePill').textContent");
    return text.is_string() ? std::string(trim_ascii_whitespace(text.get<std::string>())) : "";
}

void add_clip(const std::string& manifest, const std::vector<std::string>& args) {
    std::vector<std::string> all{"manifest", "add", manifest};
    all.insert(all.end(), args.begin(), args.end());
    const auto r = run_reelcut(all);
    ASSERT_EQ(r.status.code, 0) << r.err;
}

// Three clips with real videos (posters are made by the server on first request), a screenshot
// and a console image, with one page open for the whole suite.
class StoryboardPage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        const TempDir& d = *dir;
        const ClipSpec spec{.seconds = 1, .width = 320, .height = 200};
        for (const char* name :
             {"login-raw", "login-fast", "export-raw", "export-fast", "review-raw", "extra-raw"}) {
            ASSERT_TRUE(testing::make_clip(d / (std::string(name) + ".webm"), spec));
        }
        ASSERT_TRUE(testing::make_image(d / "login.png", 320, 200));
        ASSERT_TRUE(testing::make_image(d / "login-console.png", 320, 120));

        manifest = d / "story.json";
        Manifest m = new_manifest(kTitle);
        Clip login = clip_of("login", "Sign in & open the <project> list");
        login.description = "The reviewer signs in; the list loads in \"under\" a second.";
        login.raw_path = d / "login-raw.webm";
        login.fast_path = d / "login-fast.webm";
        login.image_path = d / "login.png";
        login.console_png_path = d / "login-console.png";
        login.actions = {"click Sign in", "type <password>"};
        login.warnings = {"cursor jumps at 0:03"};
        login.narration = "First we sign in.\nThen the list opens.";
        Clip exporting = clip_of("export", "Export the gerbers, then wait for the fab preview");
        exporting.raw_path = d / "export-raw.webm";
        exporting.fast_path = d / "export-fast.webm";
        exporting.speedup_events = {{20, "Exporting gerbers"}};
        Clip review = clip_of("review", "");
        review.raw_path = d / "review-raw.webm";
        m.clips = {login, exporting, review};
        ASSERT_TRUE(save_manifest(m, manifest));

        server = storyboard_server(manifest).release();
        if (server->ready()) {
            page = new BrowserPage(server->url("/"));
        }
    }
    static void TearDownTestSuite() {
        delete page;
        delete server;
        delete dir;
        page = nullptr;
        server = nullptr;
        dir = nullptr;
    }
    void SetUp() override {
        ASSERT_TRUE(server->ready()) << server->err();
        ASSERT_TRUE(page && page->ready())
            << "the page did not open (run scripts/setup for Chromium and playwright-core): "
            << (page ? page->log() : "");
        ASSERT_TRUE(page_shows(*server, "ctx.manifest")) << page->log();
    }
    void TearDown() override { EXPECT_EQ(page->log().find("pageerror"), std::string::npos); }

    static TempDir* dir;
    static std::string manifest;
    static WebappFixture* server;
    static BrowserPage* page;
};
TempDir* StoryboardPage::dir = nullptr;
std::string StoryboardPage::manifest;
WebappFixture* StoryboardPage::server = nullptr;
BrowserPage* StoryboardPage::page = nullptr;

TEST_F(StoryboardPage, ShowsEveryClipWithItsTextIntact) {
    const json cards = page_value(*server, R"(
        return [...document.querySelectorAll('#steps .step-card')].map(c => ({
          id: c.dataset.clipId, dom: c.id, isNew: c.classList.contains('is-new'),
          text: c.textContent, videos: [...c.querySelectorAll('.video-wrap')].map(v => v.dataset.label),
          thumbs: c.querySelectorAll('img.thumb').length }));)");
    ASSERT_TRUE(cards.is_array()) << cards;
    ASSERT_EQ(cards.size(), 3u) << page->log();
    EXPECT_EQ(cards[0]["id"], "login");
    EXPECT_EQ(cards[0]["dom"], "clip-login");
    const std::string login = cards[0]["text"];
    for (const char* shown : {"Sign in & open the <project> list", "\"under\"", "⚠ cursor jumps",
                              "• type <password>", "TTS narration", "Recorded clip"}) {
        EXPECT_NE(login.find(shown), std::string::npos) << shown << " in " << login;
    }
    EXPECT_EQ(cards[0]["videos"], (json{"Sign in & open the <project> list raw",
                                        "Sign in & open the <project> list fast"}));
    EXPECT_EQ(cards[0]["thumbs"], 2);
    EXPECT_NE(cards[1]["text"].get<std::string>().find("⚡ 20x Exporting gerbers"),
              std::string::npos);
    EXPECT_NE(cards[2]["text"].get<std::string>().find("review"), std::string::npos); // id as title
    for (const json& card : cards) {
        EXPECT_FALSE(card["isNew"]) << "nothing is new on a first visit";
    }

    EXPECT_EQ(page_value(*server, "return [document.getElementById('title').textContent, "
                                  "document.title]"),
              (json{kTitle, kTitle}));
    // Markup in manifest text stays text.
    EXPECT_EQ(page_value(*server, "return document.querySelectorAll('#steps b, #title b').length"),
              0);
    const json strip = page_value(
        *server, "return [...document.querySelectorAll('#timeline .tl-step')].map(e => "
                 "[e.getAttribute('href'), e.textContent, e.classList.contains('speedup')])");
    ASSERT_EQ(strip.size(), 3u) << strip;
    EXPECT_EQ(strip[0][0], "#clip-login");
    // Cut to 30 characters of text, never inside an entity.
    EXPECT_NE(strip[0][1].get<std::string>().find("Sign in & open the <project> l"),
              std::string::npos)
        << strip[0][1];
    EXPECT_EQ(strip[0][1].get<std::string>().find("list"), std::string::npos) << strip[0][1];
    EXPECT_EQ(strip[1][2], true);
    EXPECT_EQ(pill(*server), "Preview"); // the last clip has no fast video
    EXPECT_TRUE(
        page_value(*server, "return localStorage.getItem('qz:everseen:fish-chips-b-demo-b-v2-')")
            .is_string());

    // What a reviewer sees: kept for review, not compared.
    ASSERT_TRUE(page_shows(
        *server, "[...document.querySelectorAll('video')].every(v => v.readyState >= 1)"));
    ASSERT_TRUE(page_shows(*server, "[...document.querySelectorAll('img.thumb')].every(i => "
                                    "i.complete && i.naturalWidth > 0)"));
    // Posters are made by the server when the page first asks for them: ffmpeg runs, which take
    // many seconds on a loaded machine.
    for (const char* poster : {"login-fast", "export-fast", "review-raw"}) {
        EXPECT_TRUE(
            eventually([&] { return fs::exists(*dir / (std::string(poster) + ".poster.jpg")); },
                       std::chrono::seconds(60)))
            << poster;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(
        page->screenshot(fs::path(REELCUT_SOURCE_DIR) / "tests/output/storyboard-three-clips.png"));
}

TEST(StoryboardPageEval, TheCommandLineEvalSeesTheManifestOnTheStoryboardPort) {
    TempDir dir;
    Manifest m = new_manifest("Counted");
    m.clips = {clip_of("a", "A"), clip_of("b", "B")};
    ASSERT_TRUE(save_manifest(m, dir / "story.json"));
    testing::FixtureSettings settings;
    settings.port = 8797; // the storyboard's default port; no other test binds it
    auto server = storyboard_server(dir / "story.json", {}, settings);
    ASSERT_TRUE(server->ready()) << server->err();
    BrowserPage page(server->url("/"));
    ASSERT_TRUE(page.ready()) << page.log();
    ASSERT_TRUE(page_shows(*server, "ctx.manifest"));

    const auto r = run_reelcut({"eval", "return ctx.manifest.clips.length", "--port", "8797"});
    EXPECT_EQ(r.status.code, 0) << r.err;
    EXPECT_EQ(json::parse(r.out), (json{{"ok", true}, {"value", 2}}));
}

TEST_F(StoryboardPage, AClipAddedWhileThePageIsOpenAppearsLive) {
    const std::size_t before = page_value(*server, "return ctx.manifest.clips.length");
    add_clip(manifest, {"--id", "extra-" + std::to_string(before), "--title", "Added live", "--raw",
                        *dir / "extra-raw.webm"});
    const auto added = std::chrono::steady_clock::now();
    // The new card and the Live pill in one look, however long the change took to arrive: the
    // pill lasts 5 s from the page's render, far longer than one look.
    const std::string count = std::to_string(before + 1);
    EXPECT_TRUE(page_shows(*server, "document.querySelectorAll('.step-card').length === " + count +
                                        " && document.getElementById('statePill')"
                                        ".textContent.trim() === 'Live'"));
    EXPECT_TRUE(eventually([&] { return pill(*server) == "Preview"; }, std::chrono::seconds(20)));
    EXPECT_GE(std::chrono::steady_clock::now() - added, std::chrono::milliseconds(4500));
}

TEST_F(StoryboardPage, AClipReRecordedSinceTheLastVisitIsMarkedJustUpdated) {
    // Re-recorded while nobody looked: the file is newer than what this browser saw.
    const std::string raw = *dir / "export-raw.webm";
    const timespec later[2] = {{0, UTIME_OMIT}, {::time(nullptr) + 5, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, raw.c_str(), later, 0), 0);
    // Reloaded once the new page says on the console that it has loaded the manifest, however
    // long that takes: a snippet sent earlier could go to the old page and be lost with it. Its
    // line is looked for after the old page's own, so that one is not taken for it.
    const auto loaded_since = [&](const std::string& since) {
        const json console = json::parse(server->request("GET", "/console?since=" + since).body);
        return console["messages"].dump().find("manifest loaded") != std::string::npos
                   ? std::optional<std::string>(console["seq"].dump())
                   : std::nullopt;
    };
    std::optional<std::string> old_page;
    ASSERT_TRUE(eventually([&] { return (old_page = loaded_since("0")).has_value(); }));
    EXPECT_EQ(page_value(*server, "setTimeout(() => location.reload(), 50); return 1"), 1);
    ASSERT_TRUE(
        eventually([&] { return loaded_since(*old_page).has_value(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(page_shows(*server, "ctx.manifest && document.querySelector('.step-card')"));

    // Only the re-recorded clip among those seen before (a clip added by an earlier test of this
    // suite is new as well).
    const json flagged = page_value(
        *server, "return Object.fromEntries([...document.querySelectorAll('.step-card')].map(c => "
                 "[c.dataset.clipId, [c.classList.contains('is-new'), "
                 "c.textContent.includes('Just updated')]]))");
    EXPECT_EQ(flagged["export"], json({true, true})) << flagged << page->log();
    EXPECT_EQ(flagged["login"], json({false, false})) << flagged;
    EXPECT_EQ(flagged["review"], json({false, false})) << flagged;
    int fresh = 0;
    for (const auto& [id, flags] : flagged.items()) {
        fresh += flags[0] == true;
    }
    EXPECT_NE(page_value(*server, "return document.getElementById('stats').textContent")
                  .get<std::string>()
                  .find(std::to_string(fresh) + " new"),
              std::string::npos);
}

TEST(StoryboardPageScale, TwoThousandClipsStayResponsive) {
    TempDir dir;
    ASSERT_TRUE(testing::make_clip(dir / "clip.webm", ClipSpec{.seconds = 1}));
    Manifest m = new_manifest("Long tour");
    for (int i = 0; i < 2000; ++i) {
        Clip clip = clip_of("step-" + std::to_string(i), "Step number " + std::to_string(i));
        clip.description = "What happens in step " + std::to_string(i);
        clip.raw_path = dir / "clip.webm";
        clip.fast_path = dir / (i % 2 ? "clip.webm" : "missing.webm");
        clip.actions = {"click", "type"};
        m.clips.push_back(clip);
    }
    ASSERT_TRUE(save_manifest(m, dir / "story.json"));
    auto server = storyboard_server(dir / "story.json");
    ASSERT_TRUE(server->ready()) << server->err();
    const auto reply = server->request("GET", "/manifest");
    ASSERT_EQ(reply.status, 200);
    EXPECT_EQ(json::parse(reply.body)["clips"].size(), 2000u);

    BrowserPage page(server->url("/"));
    ASSERT_TRUE(page.ready()) << page.log();
    EXPECT_TRUE(page_shows(*server, "document.querySelectorAll('.step-card').length === 2000",
                           std::chrono::seconds(30)))
        << page.log();
    // Still answering snippets while it polls.
    EXPECT_EQ(page_value(*server, "return document.querySelectorAll('.tl-step').length"), 2000);
    EXPECT_EQ(page.log().find("pageerror"), std::string::npos) << page.log();
}

} // namespace
} // namespace reelcut
