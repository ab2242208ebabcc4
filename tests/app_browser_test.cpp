// The unified app's page in headless Chromium against a real `tevo-reelcut app`: a demo walked
// from Review through Narrate (join, record with the workspace stand-in, mux) to Publish, driven
// through the page's eval channel and the command line's `eval`.
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
using testing::BrowserPage;
using testing::clip_of;
using testing::ClipSpec;
using testing::eventually;
using testing::page_shows;
using testing::page_value;
using testing::run_reelcut;
using testing::TempDir;
using testing::WebappFixture;

const fs::path kShots = fs::path(REELCUT_SOURCE_DIR) / "tests/output";

// How long a step that runs tools (the join, the countdown and capture, the mux) may take before
// it counts as missing: with every core busy, under the sanitizers, they take their time.
constexpr std::chrono::seconds kToolStep{60};

std::string text_of(const WebappFixture& server, const std::string& id) {
    const json text =
        page_value(server, "return document.getElementById('" + id + "').textContent");
    return text.is_string() ? text.get<std::string>() : text.dump();
}

// `tevo-reelcut eval CODE --port P`: the value the page gave, or what the command printed.
json command_line_eval(const WebappFixture& server, const std::string& code) {
    const auto r = run_reelcut({"eval", code, "--port", std::to_string(server.port())});
    const json printed = json::parse(r.out, nullptr, false);
    return r.status.code == 0 && printed.is_object() ? printed["value"] : json(r.out + r.err);
}

void click(const WebappFixture& server, const std::string& id) {
    ASSERT_EQ(page_value(server, "document.getElementById('" + id + "').click(); return 1"), 1);
}

void add_clip(const std::string& manifest, const std::string& id, const std::string& fast) {
    const auto r =
        run_reelcut({"manifest", "add", manifest, "--id", id, "--title", id, "--fast", fast});
    ASSERT_EQ(r.status.code, 0) << r.err;
}

std::string prompt(const std::string& title, const std::string& video_sentence,
                   const std::string& page, const std::string& caption) {
    return "Publish my narrated \"" + title + "\" demo video to the Tevo wiki.\n\n" +
           video_sentence + "\n\nUpload it to the `" + page + "` wiki page with the caption:\n\"" +
           caption +
           "\"\n\nUse the `tevo-reelcut` and `tevo-wiki` skills. Confirm the upload succeeded by "
           "returning the wiki asset URL.";
}

const std::string kNoTakeSentence =
    "The narrated final video is whatever came out of the Narrate phase of the Tevo Reelcut app "
    "— look in the same directory as the manifest for the most recent `*-narrated*.webm` or "
    "`*-take-*-norm.webm`.";

std::string take_sentence(const std::string& path) {
    return "The narrated final video is at `" + path +
           "` (if that's missing, use whatever the latest narrated take is under the same "
           "directory).";
}

class AppPage : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directories(kShots); }
    void open(const std::string& manifest, std::vector<std::string> args = {},
              testing::EnvList env = {}) {
        testing::FixtureSettings settings;
        settings.env = {{"TEVO_CLI_AUDIO_SECONDS", "2"}};
        settings.env.insert(settings.env.end(), env.begin(), env.end());
        server = app_server(manifest, std::move(args), settings);
        ASSERT_TRUE(server->ready()) << server->err();
        page = std::make_unique<BrowserPage>(server->url("/"));
        ASSERT_TRUE(page->ready()) << "the page did not open (run scripts/setup): " << page->log();
        ASSERT_TRUE(page_shows(*server, "ctx.manifest")) << page->log();
    }
    void TearDown() override {
        if (page) {
            EXPECT_EQ(page->log().find("pageerror"), std::string::npos) << page->log();
        }
    }

    TempDir dir;
    std::unique_ptr<WebappFixture> server;
    std::unique_ptr<BrowserPage> page;
};

TEST_F(AppPage, ReviewNarrateAndPublishAFreshDemo) {
    const std::string title = "Chips & <b>Dips</b>";
    const std::string long_title = "Export & wait for the fab preview to come back";
    for (const char* name : {"a-fast.webm", "b-fast.webm", "c-fast.webm"}) {
        ASSERT_TRUE(testing::make_clip(dir / name, ClipSpec{.seconds = 1}));
    }
    Manifest m = new_manifest(title);
    Clip a = clip_of("a", long_title);
    a.fast_path = dir / "a-fast.webm";
    a.speedup_events = {{20, "Exporting"}};
    a.warnings = {"cursor <jumps>"};
    Clip b = clip_of("b", "");
    b.fast_path = dir / "b-fast.webm";
    m.clips = {a, b};
    const std::string manifest = dir / "story.json";
    ASSERT_TRUE(save_manifest(m, manifest));
    open(manifest);

    // Review: both cards, manifest text kept as text.
    EXPECT_EQ(page_value(*server, "return [...document.querySelectorAll('#steps .step-card')].map("
                                  "c => c.id)"),
              (json{"clip-a", "clip-b"}));
    EXPECT_EQ(text_of(*server, "title"), title);
    EXPECT_EQ(page_value(*server, "return document.title"), "Tevo Reelcut");
    EXPECT_EQ(page_value(*server, "return document.querySelectorAll('#title b, #steps b').length"),
              0);
    EXPECT_EQ(text_of(*server, "stats"), "2 clips · 1 speedup · 2 sped-up");
    const std::string card = text_of(*server, "clip-a");
    for (const std::string& shown :
         {long_title, std::string("⚡ 20x Exporting"), std::string("⚠ cursor <jumps>"),
          std::string("Fast (after speedup)")}) {
        EXPECT_NE(card.find(shown), std::string::npos) << shown << " in " << card;
    }
    EXPECT_EQ(page_value(*server, "return [...document.querySelectorAll('#timeline .tl-step')].map("
                                  "e => [e.getAttribute('href'), e.textContent])"),
              json::array({json::array({"#clip-a", "1Export & wait for the fab prev⚡ 20x"}),
                           json::array({"#clip-b", "2b"})}));
    EXPECT_EQ(page_value(*server, "return document.getElementById('finals').hidden"), true);
    EXPECT_EQ(command_line_eval(*server, "return ctx.phase"), "review");
    EXPECT_TRUE(page->screenshot(kShots / "app-review.png"));

    // Narrate before any final video: nothing to record over.
    EXPECT_EQ(command_line_eval(*server, "switchPhase('narrate'); return ctx.phase"), "narrate");
    EXPECT_EQ(page_value(*server, "return [document.getElementById('narrateNotReady').hidden, "
                                  "document.getElementById('narrateRecord').disabled]"),
              (json{false, true}));
    EXPECT_EQ(text_of(*server, "pubPrompt"),
              prompt(title, kNoTakeSentence, "apps/tevo-desktop", title));
    EXPECT_EQ(page_value(*server, "return document.getElementById('pubNoVideo').hidden"), false);

    // Prepare: the join is made, and the next poll pass makes the phase ready and reloads the
    // player, which 404ed until now.
    click(*server, "prepareBtn");
    ASSERT_TRUE(page_shows(*server,
                           "document.getElementById('prepareBtn').textContent === "
                           "'Concatenated 2 clips ✓'",
                           kToolStep))
        << text_of(*server, "prepareBtn") << page->log();
    EXPECT_TRUE(page_shows(*server, "document.getElementById('narrateNotReady').hidden && "
                                    "!document.getElementById('narrateRecord').disabled && "
                                    "document.getElementById('narrateVideo').readyState >= 1 && "
                                    "document.getElementById('narrateVideo').duration > 1.5"))
        << page->log();
    EXPECT_EQ(page_value(*server, "return document.getElementById('prepareBtn').disabled"), true);

    // Record, stop, mux.
    click(*server, "narrateRecord");
    ASSERT_TRUE(page_shows(*server,
                           "document.getElementById('narrateRecord').classList."
                           "contains('recording')",
                           kToolStep))
        << text_of(*server, "narrateStatus");
    EXPECT_EQ(text_of(*server, "narrateRecord"), "Stop recording");
    EXPECT_EQ(text_of(*server, "narrateStatus"), "Recording — narrate while the video plays.");
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    click(*server, "narrateRecord");
    ASSERT_TRUE(
        page_shows(*server, "!document.getElementById('narrateFinalize').disabled", kToolStep))
        << text_of(*server, "narrateStatus");
    EXPECT_EQ(text_of(*server, "narrateRecord"), "Record voiceover");
    EXPECT_EQ(text_of(*server, "narrateStatus"),
              "Recorded. Click Finalize & mux to produce the narrated video.");
    EXPECT_TRUE(page->screenshot(kShots / "app-narrate.png"));
    click(*server, "narrateFinalize");
    const std::string take = dir / "tevo-reelcut-narrated-take-1.webm";
    EXPECT_TRUE(page_shows(*server,
                           "document.getElementById('narrateStatus').textContent === " +
                               json("Done. Final path: " + take).dump(),
                           kToolStep))
        << text_of(*server, "narrateStatus") << server->err();
    EXPECT_EQ(testing::stream_count(take, "audio"), 1);
    EXPECT_GT(testing::probed_seconds(take), 1.5);
    // The levelled take plays in the browser as the voiceover serves it.
    EXPECT_EQ(page_value(*server, R"(
        const v = document.createElement('video');
        v.muted = true;
        v.src = 'voiceover/final-video';
        document.body.appendChild(v);
        await v.play();
        await new Promise(r => setTimeout(r, 300));
        const played = v.currentTime > 0;
        v.remove();
        return played;)"),
              true);

    // Publish names the take that exists.
    EXPECT_EQ(command_line_eval(*server, "switchPhase('publish')"), nullptr);
    EXPECT_EQ(command_line_eval(*server, "return ctx.phase"), "publish");
    const std::string levelled = dir / "tevo-reelcut-narrated-take-1-norm.webm";
    EXPECT_TRUE(page_shows(
        *server,
        "document.getElementById('pubPrompt').textContent === " +
            json(prompt(title, take_sentence(levelled), "apps/tevo-desktop", title)).dump()))
        << text_of(*server, "pubPrompt");
    EXPECT_EQ(page_value(*server, "return document.getElementById('pubNoVideo').hidden"), true);
    EXPECT_EQ(page_value(*server, R"(
        const set = (id, value) => {
          const input = document.getElementById(id);
          input.value = value;
          input.dispatchEvent(new Event('input'));
        };
        set('pubPage', '  apps/boards ');
        set('pubCaption', ' Fab in a minute  ');
        return document.getElementById('pubPrompt').textContent;)"),
              prompt(title, take_sentence(levelled), "apps/boards", "Fab in a minute"));
    EXPECT_TRUE(page->screenshot(kShots / "app-publish.png"));

    // The label's changes are timed in the page: the test's polls see them late on a busy machine.
    ASSERT_EQ(page_value(*server, R"(
        const button = document.getElementById('pubCopyBtn');
        window.labels = [];
        new MutationObserver(() => labels.push([button.textContent, performance.now()]))
          .observe(button, {childList: true, characterData: true, subtree: true});
        return 1;)"),
              1);
    click(*server, "pubCopyBtn");
    ASSERT_TRUE(page_shows(*server, "document.getElementById('pubCopyBtn').textContent === "
                                    "'Copied ✓'"))
        << text_of(*server, "pubPromptHint");
    EXPECT_EQ(page_value(*server, "return navigator.clipboard.readText()"),
              text_of(*server, "pubPrompt"));
    EXPECT_EQ(text_of(*server, "pubPromptHint"), "Paste it into your Claude Code chat.");
    ASSERT_TRUE(page_shows(*server, "document.getElementById('pubCopyBtn').textContent === "
                                    "'Copy prompt'"));
    const json labels = page_value(*server, "return labels");
    ASSERT_EQ(labels.size(), 2u) << labels;
    EXPECT_EQ(labels[0][0], "Copied ✓");
    EXPECT_EQ(labels[1][0], "Copy prompt");
    EXPECT_GE(labels[1][1].get<double>() - labels[0][1].get<double>(), 1800.0) << labels;

    // A clip added by a demo script shows up in Review.
    add_clip(manifest, "c", dir / "c-fast.webm");
    EXPECT_TRUE(page_shows(*server, "document.querySelectorAll('#steps .step-card').length === 3"));
}

// Without a title and without the watcher: the prompt says "this demo", a clip added on disk
// never shows, and the server's own join still moves the page on.
TEST_F(AppPage, AnUnwatchedUntitledManifest) {
    const std::string manifest = testing::one_clip_manifest(dir.path(), "");
    ASSERT_FALSE(manifest.empty());
    open(manifest, {"--no-watch"});

    EXPECT_EQ(text_of(*server, "title"), "Tevo Reelcut");
    EXPECT_EQ(text_of(*server, "pubPrompt"),
              prompt("this demo", kNoTakeSentence, "apps/tevo-desktop", "this demo"));

    // A refused clipboard leaves the label and says how to copy by hand.
    EXPECT_EQ(page_value(*server, R"(
        navigator.clipboard.writeText = () => Promise.reject(new Error('denied'));
        document.getElementById('pubCopyBtn').click();
        await new Promise(r => setTimeout(r, 100));
        return [document.getElementById('pubCopyBtn').textContent,
                document.getElementById('pubPromptHint').textContent];)"),
              (json{"Copy prompt", "Copy failed: denied — select the text above manually."}));

    // The overlay plays the clip from where its card's player stands, and Escape closes it.
    EXPECT_EQ(page_value(*server, R"(
        const video = document.querySelector('#clip-a video');
        video.muted = true;
        await new Promise(r => video.readyState >= 1 ? r() : video.addEventListener('loadedmetadata', r));
        video.currentTime = 0.5;
        await new Promise(r => video.addEventListener('seeked', r, { once: true }));
        video.parentElement.querySelector('.expand-btn').click();
        const player = document.getElementById('video-fs-player');
        const shown = [document.getElementById('video-fs').classList.contains('open'),
                       player.getAttribute('src'), player.currentTime];
        document.dispatchEvent(new KeyboardEvent('keydown', { key: 'Escape' }));
        return [...shown, document.getElementById('video-fs').classList.contains('open'),
                player.hasAttribute('src')];)"),
              (json{true, server->url("/video/a/fast"), 0.5, false, false}));

    add_clip(manifest, "b", dir / "a-fast.webm");
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(page_value(*server, "return document.querySelectorAll('#steps .step-card').length"),
              1);

    const json before = page_value(*server, "return ctx.version");
    ASSERT_EQ(server->request("POST", "/concat").status, 200);
    EXPECT_TRUE(page_shows(*server, "ctx.version === " + std::to_string(before.get<int>() + 1) +
                                        " && !document.getElementById('finals').hidden"));
    // While no take exists the prompt guesses the first levelled take's name from the join's.
    const std::string joined = dir / "tevo-reelcut-final-fast.webm";
    EXPECT_EQ(text_of(*server, "pubPrompt"),
              prompt("this demo",
                     take_sentence(joined.substr(0, joined.size() - 5) + "-take-1-norm.webm"),
                     "apps/tevo-desktop", "this demo"));
}

// Markup is built from manifest values, where a missing or false value shows as nothing.
TEST_F(AppPage, EscapeShowsFalseValuesAsNothingAndQuotesMarkup) {
    const std::string manifest = testing::one_clip_manifest(dir.path(), "");
    ASSERT_FALSE(manifest.empty());
    open(manifest, {"--no-watch"});
    EXPECT_EQ(page_value(*server, "return [null, undefined, 0, -0, false, '', NaN, 0n].map(esc)"),
              (json{"", "", "", "", "", "", "", ""}));
    EXPECT_EQ(page_value(*server, "return [1, -1, 0.5, true, '0', 'false', ' ', "
                                  "'<a href=\"x\">&amp;</a>'].map(esc)"),
              (json{"1", "-1", "0.5", "true", "0", "false", " ",
                    "&lt;a href=&quot;x&quot;&gt;&amp;amp;&lt;/a&gt;"}));
}

// Without a final video the takes listing is the temporary directory every such demo shares: a
// take there is this demo's only when this session finalized it. A final video puts the takes
// beside it, and those are the manifest's.
TEST_F(AppPage, PublishNamesOnlyTheManifestsOwnTake) {
    TempDir shared_tmp;
    for (const char* name :
         {"tevo-reelcut-narrated-take-6.webm", "tevo-reelcut-narrated-take-6-norm.webm",
          "tevo-reelcut-narrated-take-7.webm", "tevo-reelcut-narrated-take-7-norm.webm"}) {
        testing::write_file(shared_tmp / name, "another demo's take");
    }
    const std::string manifest = dir / "story.json";
    ASSERT_TRUE(save_manifest(new_manifest("Solo"), manifest));
    open(manifest, {}, {{"TMPDIR", shared_tmp.path().string()}});
    const std::string take7 = shared_tmp / "tevo-reelcut-narrated-take-7-norm.webm";
    ASSERT_NE(server->request("GET", "/voiceover/takes").body.find(take7), std::string::npos)
        << "the listing shows the shared directory";

    // Publish shows after a fresh look at the takes: [warning hidden, prompt].
    const std::string publish = R"(
        switchPhase('publish');
        await refreshNarratedTake();
        return [document.getElementById('pubNoVideo').hidden,
                document.getElementById('pubPrompt').textContent];)";
    EXPECT_EQ(page_value(*server, publish),
              (json{false, prompt("Solo", kNoTakeSentence, "apps/tevo-desktop", "Solo")}));

    // This session's own finalize made take 6: its levelled file is named, not the newer 7.
    const std::string raw6 = shared_tmp / "tevo-reelcut-narrated-take-6.webm";
    ASSERT_EQ(page_value(*server, R"(
        const real = window.fetch;
        window.fetch = (url, init) => url !== 'voiceover/state' ? real(url, init)
          : Promise.resolve(new Response(JSON.stringify({phase: 'done', finalizePath: )" +
                                      json(raw6).dump() + R"(}),
              {headers: {'Content-Type': 'application/json'}}));
        return 1;)"),
              1);
    EXPECT_EQ(
        page_value(*server, publish),
        (json{false,
              prompt("Solo", take_sentence(shared_tmp / "tevo-reelcut-narrated-take-6-norm.webm"),
                     "apps/tevo-desktop", "Solo")}));

    // A raw join beside the manifest: its newest levelled take is named, and the warning stays
    // while there is no fast join.
    for (const char* name :
         {"tevo-reelcut-narrated-take-1-norm.webm", "tevo-reelcut-narrated-take-2-norm.webm"}) {
        testing::write_file(dir / name, "this demo's take");
    }
    Manifest joined = new_manifest("Solo");
    joined.final_raw_path = dir / "tevo-reelcut-final-raw.webm";
    const json version = page_value(*server, "return ctx.version");
    ASSERT_TRUE(save_manifest(joined, manifest));
    ASSERT_TRUE(page_shows(*server, "ctx.version !== " + version.dump()));
    EXPECT_EQ(
        page_value(*server, publish),
        (json{false, prompt("Solo", take_sentence(dir / "tevo-reelcut-narrated-take-2-norm.webm"),
                            "apps/tevo-desktop", "Solo")}));
}

} // namespace
} // namespace reelcut
