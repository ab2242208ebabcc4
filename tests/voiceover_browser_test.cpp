// The voiceover page in real headless Chromium against a real `tevo-reelcut voiceover` with the
// workspace stand-in, driven through the page's eval channel the way an agent drives it.
#include "support/fake_tools.hpp"
#include "support/media_fixture.hpp"
#include "support/webapp_fixture.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <fmt/ranges.h>
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
using testing::ClipSpec;
using testing::eventually;
using testing::FakeTools;
using testing::FixtureSettings;
using testing::page_value;
using testing::read_file;
using testing::TempDir;
using testing::WebappFixture;
using testing::write_file;

// Names that break pages which build markup from text.
const std::string kMarkupDir = "Fish & <i>Chips</i> \"v2\" 'q'";
const std::string kMarkupLabel = "<b>Export</b> & \"wait\"";

// The workspace's webview plays media without a gesture: an agent's POST "/start-recording" must
// start the video in a page nobody clicked.
const std::vector<std::string> kAutoplay{"--autoplay-policy=no-user-gesture-required"};

const std::string kIdleStatus = "Click Record voiceover to start. Get a 3-2-1 countdown, then the "
                                "video plays from the top while Nimbrel captures your mic.";

// The page's steps here include ffmpeg runs, which a loaded machine slows down: a finalize
// (mux and loudness levelling) took over 15 s with every core busy.
bool page_shows_soon(const WebappFixture& server, const std::string& condition) {
    return testing::page_shows(server, condition, std::chrono::seconds(60));
}

json status_box(const WebappFixture& server) {
    return page_value(server, "const s = document.getElementById('status'); "
                              "return [s.textContent, s.className]");
}

void click(const WebappFixture& server, const std::string& element) {
    ASSERT_EQ(page_value(server, "document.getElementById('" + element + "').click(); return 1"), 1)
        << element;
}

// Clicks Record and waits until the page shows the recording under way.
void record_by_click(const WebappFixture& server) {
    click(server, "btnRecord");
    ASSERT_TRUE(page_shows_soon(server, "document.getElementById('btnRecord').classList"
                                        ".contains('recording')"))
        << status_box(server);
}

// Clicks the tab (or, with `row`, the history row) whose label is `label`.
void click_take(const WebappFixture& server, const std::string& label, bool row = false) {
    const std::string code = fmt::format(
        "const item = [...document.querySelectorAll('{}')].find(e => e.querySelector('{}')"
        ".textContent === {}); if (!item) return 0; item.click(); return 1",
        row ? "#takesList .take-row" : "#videoTabs .vtab", row ? ".t-label" : ".label",
        json(label).dump());
    ASSERT_EQ(page_value(server, code), 1) << label;
}

// [label, kind, active] per tab, in order.
json tabs(const WebappFixture& server) {
    return page_value(server, "return [...document.querySelectorAll('#videoTabs .vtab')].map(t => "
                              "[t.querySelector('.label').textContent, "
                              "[...t.classList].find(c => c.startsWith('k-')), "
                              "t.classList.contains('active')])");
}

bool phase_is(const WebappFixture& server, const std::string& phase) {
    return eventually([&] {
        const auto reply = server.request("GET", "/state");
        const json state = json::parse(reply.body, nullptr, false);
        return state.is_object() && state.value("phase", "") == phase;
    });
}

// The player's source as the page set it, and whether it is playing.
const char* const kPlayer =
    "const v = document.getElementById('vid'); return [v.getAttribute('src'), !v.paused]";

// Page-side waits for the snippets that follow: the next frame, and a condition checked every
// frame until a generous deadline (whether it came to hold).
const std::string kPageWaits = R"(
    const frame = () => new Promise(r => requestAnimationFrame(r));
    const until = async (holds) => {
      const deadline = performance.now() + 10000;
      while (!holds()) { if (performance.now() > deadline) return false; await frame(); }
      return true;
    };
)";

const std::string kSaveFinalTip =
    "Copy the currently selected tab (whichever version is playing) over the canonical output "
    "path. The tab files themselves stay on disk untouched so nothing is destroyed; this just "
    "sets the 'canonical final' slot to whichever version you picked.";

void put_narration(const WebappFixture& server, const std::string& audio) {
    const fs::path dir = server.home() / "project/audio";
    fs::create_directories(dir);
    fs::copy_file(audio, dir / "narration.webm", fs::copy_options::overwrite_existing);
}

// A 6 s silent video in a directory whose name is markup, a markers file with one speed-up
// whose label is markup, and a short narration; one server and one page per test.
class VoiceoverPage : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        media = new TempDir;
        ASSERT_TRUE(testing::make_clip(*media / "demo-fast.webm", ClipSpec{.seconds = 6}));
        ASSERT_TRUE(testing::make_audio(*media / "narration.webm", 1.5));
    }
    static void TearDownTestSuite() {
        delete media;
        media = nullptr;
    }

    void SetUp() override {
        dir = root.path() / kMarkupDir;
        fs::create_directories(dir);
        input = (dir / "demo-fast.webm").string();
        output = (dir / "demo-fast-narrated.webm").string();
        markers = (dir / "markers.jsonl").string();
        fs::copy_file(*media / "demo-fast.webm", input);
        write_file(markers, "{\"action\":\"recording_start\",\"epoch\":1000}\n"
                            "{\"action\":\"speedup_start\",\"epoch\":1001,\"speed\":4,\"label\":" +
                                json(kMarkupLabel).dump() +
                                "}\n"
                                "{\"action\":\"speedup_end\",\"epoch\":1003}\n");
    }

    // The server (with `args` after the input) and the page open on it.
    void open(std::vector<std::string> args = {}, FixtureSettings settings = {},
              std::optional<std::string> editor = {}) {
        settings.env.emplace_back("TEVO_CLI_AUDIO_SECONDS", "1.5");
        server = testing::voiceover_server(input, std::move(args), std::move(settings), editor);
        ASSERT_TRUE(server->ready()) << server->err();
        page = std::make_unique<BrowserPage>(server->url("/"), kAutoplay);
        ASSERT_TRUE(page->ready())
            << "the page did not open (run scripts/setup for Chromium and playwright-core): "
            << page->log();
        ASSERT_TRUE(
            page_shows_soon(*server, "document.getElementById('videoTabs').children.length"))
            << page->log();
    }

    void TearDown() override {
        if (page && !page_errors_expected) {
            EXPECT_EQ(page->log().find("pageerror"), std::string::npos) << page->log();
        }
        page.reset();
        server.reset();
    }

    static TempDir* media;
    TempDir root;
    fs::path dir;
    std::string input;
    std::string output;
    std::string markers;
    std::unique_ptr<WebappFixture> server;
    std::unique_ptr<BrowserPage> page;
    bool page_errors_expected = false;
};
TempDir* VoiceoverPage::media = nullptr;

TEST_F(VoiceoverPage, OpensIdleWithTheOriginalTabAndAProportionalTimeline) {
    open({"--markers", markers});
    EXPECT_EQ(status_box(*server), (json{kIdleStatus, ""}));
    EXPECT_EQ(tabs(*server), (json{{"Original", "k-original", false}}));
    EXPECT_EQ(page_value(*server, "return [document.title, document.getElementById('takesCard')"
                                  ".hidden, document.getElementById('wavCard').hidden, "
                                  "document.getElementById('postControls').hidden]"),
              (json{"Tevo Reelcut-Processing", true, true, true}));
    // The ids that agents' snippets rely on.
    EXPECT_EQ(page_value(*server, R"(
        return ['vid', 'videoTabs', 'wrapCountdown', 'wrapCountdownNum', 'btnRecord', 'timer',
          'btnDiscard', 'btnFinalize', 'postControls', 'btnReveal', 'btnSaveFinal', 'timelineCard',
          'timelineSummary', 'tlInputDur', 'tlOutputDur', 'tlSaved', 'tlCount', 'timelineSource',
          'timelineOutput', 'wavCard', 'wavOrigWrap', 'wavOrigMeta', 'takesCard', 'takesList',
          'status', 'app-info'].filter(id => !document.getElementById(id));)"),
              json::array());
    EXPECT_EQ(page_value(*server, "const v = document.getElementById('vid'); "
                                  "return [v.getAttribute('src'), v.controls, v.preload]"),
              (json{"video", true, "auto"}));
    EXPECT_EQ(page_value(*server, "return ['btnRecord', 'btnDiscard', 'btnFinalize'].map(id => "
                                  "[document.getElementById(id).textContent, "
                                  "document.getElementById(id).disabled])"),
              json::array({json{"Record voiceover", false}, json{"Discard & redo", true},
                           json{"Finalize & mux", true}}));

    // The summary and both bars follow the server's figures.
    const json timeline = json::parse(server->request("GET", "/timeline").body);
    ASSERT_EQ(timeline.value("available", false), true) << timeline;
    const double in = timeline["inputDuration"], out = timeline["outputDuration"];
    ASSERT_TRUE(page_shows_soon(*server, "!document.getElementById('timelineCard').hidden"));
    EXPECT_EQ(page_value(*server, "return document.getElementById('timelineSummary').textContent"
                                  ".replace(/\\s+/g, ' ').trim()"),
              fmt::format("Source {:.1f}s → After speedup {:.1f}s · Saved 1.5s ({:.1f}% shorter) · "
                          "Speedup segments 1",
                          in, out, timeline["reductionPct"].get<double>()));
    const json bars = page_value(*server, R"(
        const bar = (id) => { const b = document.getElementById(id);
          return [...b.children].map(s => [s.className, s.textContent,
            s.getBoundingClientRect().width / b.clientWidth, s.dataset.tip]); };
        return [bar('timelineSource'), bar('timelineOutput')];)");
    ASSERT_EQ(bars.size(), 2u) << bars;
    ASSERT_EQ(bars[0].size(), 3u) << bars;
    ASSERT_EQ(bars[1].size(), 3u) << bars;
    const double source_share[] = {1.0 / in, 2.0 / in, (in - 3.0) / in};
    const double output_share[] = {1.0 / out, 0.5 / out, (in - 3.0) / out};
    const char* const classes[] = {"tl-seg normal", "tl-seg speedup", "tl-seg normal"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(bars[0][i][0], classes[i]) << i;
        EXPECT_NEAR(bars[0][i][2].get<double>(), source_share[i], 0.004) << i;
        EXPECT_NEAR(bars[1][i][2].get<double>(), output_share[i], 0.004) << i;
    }
    EXPECT_EQ(bars[0][0][1], "1.0s");
    EXPECT_EQ(bars[0][1][1], "4x");
    EXPECT_EQ(bars[0][1][3], kMarkupLabel +
                                 " (4x speedup)\n\nORIGINAL  2.0s (1.0s to 3.0s)\nAFTER     0.5s\n"
                                 "SAVED     1.5s\n\nThis stretch plays at 4x speed, under a red "
                                 "caption reading \"4x SPEEDUP: " +
                                 kMarkupLabel + "\".");
    EXPECT_EQ(bars[1][0][3], "Normal segment\n\nFROM   0.0s\nTO     1.0s\nDUR    1.0s\n\nThis "
                             "stretch of the source video is played back at normal speed with "
                             "no overlay caption.");
    // Everything the page loaded came from its own server: no fonts or scripts from elsewhere.
    EXPECT_EQ(page_value(*server, "return performance.getEntriesByType('resource').map(e => e.name)"
                                  ".filter(u => !u.startsWith(location.origin + '/'))"),
              json::array());
    // The label stays text everywhere.
    EXPECT_EQ(page_value(*server, "return document.querySelectorAll('main b:not(#tlInputDur):not("
                                  "#tlOutputDur):not(#tlCount):not(#wrapCountdownNum), main i')"
                                  ".length"),
              0);
}

TEST_F(VoiceoverPage, WithoutAMarkersFileTheTimelineStaysHidden) {
    open();
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent === " +
                                             json(kIdleStatus).dump()));
    // The timeline is asked for once at start; give its answer time to land.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(page_value(*server, "return document.getElementById('timelineCard').hidden"), true);
}

TEST_F(VoiceoverPage, RecoveredTakesShowAsTabsAndRowsWithTheirFacts) {
    const std::string raw = (dir / "demo-fast-narrated-take-1.webm").string();
    const std::string norm = (dir / "demo-fast-narrated-take-1-norm.webm").string();
    const std::string legacy = (dir / "demo-fast-narrated-norm-1700000000.webm").string();
    write_file(raw, std::string(2048, 'r'));
    write_file(norm, std::string(3 * 1024 * 1024 + 1, 'n'));
    write_file(output, "c");
    write_file(legacy, "");
    const auto age = [](const std::string& path, long seconds) {
        const timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - seconds, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
    };
    open();
    // Aged just before a redraw, each near the start of its minute: a page slow to open must not
    // carry an age into the next one.
    age(raw, 3 * 3600 + 5);
    age(norm, 61);
    age(output, 2 * 86400 + 60);
    age(legacy, 5 * 60 + 1);
    ASSERT_EQ(page_value(*server, "await loadTakes(); return 1"), 1);

    EXPECT_EQ(tabs(*server), (json{{"Original", "k-original", false},
                                   {"Take 1", "k-raw", false},
                                   {"Take 1 (auto-leveled)", "k-normalized", false},
                                   {"Recovered mux", "k-committed", false},
                                   {"Legacy #1", "k-legacy", false}}));
    const json rows = page_value(*server, R"(
        return [...document.querySelectorAll('#takesList .take-row')].map(r => [
          r.querySelector('.kind-pill').textContent, r.querySelector('.t-label').textContent,
          r.querySelector('.t-label').title, r.querySelector('.t-size').textContent,
          r.querySelector('.t-age').textContent, !!r.querySelector('.badge')]);)");
    EXPECT_EQ(rows,
              (json{{"raw", "Take 1", raw, "2.0 KB", "3h ago", false},
                    {"auto-leveled", "Take 1 (auto-leveled)", norm, "3.00 MB", "1m ago", false},
                    {"committed", "Recovered mux", output, "1 B", "2d ago", false},
                    {"legacy", "Legacy #1", legacy, "0 B", "5m ago", false}}))
        << rows;
    EXPECT_EQ(page_value(*server, "return document.getElementById('takesCard').hidden"), false);

    // Tooltips: the blurb, then the facts of the file.
    const json tips =
        page_value(*server, "return [...document.querySelectorAll('#videoTabs .vtab')]"
                            ".map(t => t.dataset.tip)");
    ASSERT_EQ(tips.size(), 5u);
    const std::string raw_tip = tips[1];
    EXPECT_TRUE(raw_tip.starts_with("Take 1 - RAW MUX.\n")) << raw_tip;
    EXPECT_NE(raw_tip.find("\n----------\nFILE   " + raw + "\nSIZE   2.0 KB\nSAVED  "),
              std::string::npos)
        << raw_tip;
    EXPECT_TRUE(raw_tip.ends_with(" (3h ago)\nTAKE   #1 (raw mux)\nKIND   raw")) << raw_tip;
    const std::string norm_tip = tips[2];
    EXPECT_TRUE(norm_tip.starts_with("Take 1 - AUTO-LEVELED.\n")) << norm_tip;
    EXPECT_NE(norm_tip.find("-16 LUFS"), std::string::npos);
    EXPECT_TRUE(norm_tip.ends_with("\nTAKE   #1 (auto-leveled)\nKIND   normalized")) << norm_tip;
    EXPECT_TRUE(tips[3].get<std::string>().starts_with("Canonical final file.\n"));
    EXPECT_TRUE(tips[4].get<std::string>().starts_with("Legacy auto-leveled pass.\n"));
    // An empty file shows no size; the Original has no time.
    EXPECT_EQ(tips[4].get<std::string>().find("SIZE"), std::string::npos);
    EXPECT_TRUE(tips[0].get<std::string>().ends_with(
        "\nFILE   " + input + "\nSIZE   " +
        page_value(*server, "return formatSize(" + std::to_string(fs::file_size(input)) + ")")
            .get<std::string>() +
        "\nKIND   original"))
        << tips[0];
    // The SAVED line is the local time of the file.
    EXPECT_EQ(page_value(*server, "return /SAVED  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(/"
                                  ".test(" +
                                      json(raw_tip).dump() + ")"),
              true);
    EXPECT_EQ(page_value(*server, "return document.querySelectorAll('#videoTabs i, #takesList i')"
                                  ".length"),
              0);
}

TEST_F(VoiceoverPage, NumbersSizesAgesAndTheTimerFormat) {
    open();
    const json shown = page_value(*server, R"(
        const now = Math.floor(Date.now() / 1000);
        return {
          durations: [0, 0.04, 5.25, 59.94, 59.96, 60, 61.25, 3599.9, -1, NaN, Infinity]
            .map(formatDuration),
          sizes: [0, 1023, 1024, 1536, 1048575, 1048576, 5 * 1048576 + 1].map(formatSize),
          ages: [now, now - 59, now - 60, now - 3599, now - 3600, now - 86399, now - 86400,
                 now - 3 * 86400, now + 30].map(formatAge),
          timer: [0, 999, 1000, 59999, 60000, 754000, 6000000].map(formatTimer),
        };)");
    EXPECT_EQ(shown["durations"], (json{"0.0s", "0.0s", "5.3s", "59.9s", "1m 0.0s", "1m 0.0s",
                                        "1m 1.3s", "59m 59.9s", "--", "--", "--"}));
    EXPECT_EQ(shown["sizes"],
              (json{"0 B", "1023 B", "1.0 KB", "1.5 KB", "1024.0 KB", "1.00 MB", "5.00 MB"}));
    EXPECT_EQ(shown["ages"], (json{"0s ago", "59s ago", "1m ago", "59m ago", "1h ago", "23h ago",
                                   "1d ago", "3d ago", "0s ago"}));
    EXPECT_EQ(shown["timer"],
              (json{"00:00", "00:00", "00:01", "00:59", "01:00", "12:34", "100:00"}));
}

TEST_F(VoiceoverPage, PopoverAndHelpTooltipsWaitForAResting) {
    open();
    const json popover = page_value(*server, R"(
        const wait = (ms) => new Promise(r => setTimeout(r, ms));
        const brand = document.getElementById('brand');
        const pop = document.getElementById('app-info');
        const open = () => pop.classList.contains('show');
        const seen = [];
        brand.dispatchEvent(new PointerEvent('pointerenter'));
        await wait(380); seen.push(open());
        await wait(260); seen.push(open());
        brand.dispatchEvent(new PointerEvent('pointerleave'));
        await wait(120); seen.push(open());
        await wait(250); seen.push(open());
        brand.click(); seen.push(open());
        brand.click(); seen.push(open());
        return [seen, pop.querySelector('h3').textContent, pop.textContent.includes('v0.3.0')];)");
    EXPECT_EQ(popover,
              (json{{false, true, true, false, true, false}, "tevo-reelcut · voiceover", true}));

    const json tip = page_value(*server, R"(
        const wait = (ms) => new Promise(r => setTimeout(r, ms));
        const box = document.getElementById('tooltip');
        const record = document.getElementById('btnRecord');
        const seen = [];
        record.dispatchEvent(new PointerEvent('pointerover', {bubbles: true}));
        await wait(380); seen.push(box.classList.contains('show'));
        await wait(260); seen.push(box.classList.contains('show'));
        const text = box.textContent;
        record.dispatchEvent(new PointerEvent('pointerout', {bubbles: true}));
        seen.push(box.classList.contains('show'));
        return [seen, text];)");
    ASSERT_EQ(tip.size(), 2u) << tip;
    EXPECT_EQ(tip[0], (json{false, true, false}));
    EXPECT_TRUE(
        tip[1].get<std::string>().starts_with("Start a fresh voiceover take. You will get a "
                                              "3-2-1 caption countdown"))
        << tip[1];
}

// The real pointer rests on a button the viewport cuts in half; the view scrolls a little, as
// a page does when its content grows, and the button stays under the pointer.
TEST_F(VoiceoverPage, AScrollLetsAWaitingTipAppearAndHidesAShownOne) {
    open();
    // The player's size is known: no scroll anchoring moves the view on its own from here.
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('vid').readyState >= 1"));
    const json seen = page_value(*server, kPageWaits + R"(
        await harnessViewport(1280, 400);
        const b = document.getElementById('btnRecord');
        const box = document.getElementById('tooltip');
        // What happens, in order: scroll events and the tip's showing and hiding. The page's
        // scroll listener came first, so a hide it makes is logged before the scroll.
        const log = [];
        let scrolls = 0;
        addEventListener('scroll', () => { scrolls++; log.push('scroll'); }, {capture: true});
        let shown = false;
        new MutationObserver(() => {
          if (box.classList.contains('show') === shown) return;
          shown = !shown;
          log.push(shown ? 'shown: ' + box.textContent : 'hidden');
        }).observe(box, {attributes: true, attributeFilter: ['class']});
        const scrollBy = async (dy) => {
          const before = scrolls;
          window.scrollBy(0, dy);
          await until(() => scrolls > before);
        };

        await scrollBy(b.getBoundingClientRect().top - innerHeight + 16);
        const cut = b.getBoundingClientRect();
        // The pointer comes to rest and the view scrolls 4 px from the pointerover itself. The
        // scroll's event comes with the next frame, which a loaded machine can hold past the
        // tip's 500 ms: a try where the tip came first is made again.
        let tries = 0;
        do {
          if (tries++ > 0) {
            await harnessMouseMove(0, 0);
            await until(() => !shown);
            await scrollBy(-4);
          }
          log.length = 0;
          const before = scrolls;
          b.addEventListener('pointerover', () => window.scrollBy(0, 4), {once: true});
          await harnessMouseMove(cut.left + cut.width / 2, innerHeight - 6);
          await until(() => scrolls > before);
        } while (log[0] !== 'scroll' && tries < 5);
        await until(() => shown);
        const above = box.getBoundingClientRect().bottom <= b.getBoundingClientRect().top;
        await scrollBy(4);
        await until(() => !shown);
        return [cut.top < innerHeight && cut.bottom > innerHeight, log, above];)");
    ASSERT_EQ(seen.size(), 3u) << seen;
    EXPECT_EQ(seen[0], true) << "the button is cut by the viewport's edge";
    EXPECT_EQ(seen[1], (json{"scroll",
                             "shown: Start a fresh voiceover take. You will get a 3-2-1 caption "
                             "countdown, then the source video plays from the top (silent) while "
                             "Nimbrel captures your mic. The previous takes stay as tabs above the "
                             "video so you can come back to them any time.",
                             "hidden", "scroll"}));
    EXPECT_EQ(seen[2], true) << "the tip sits above the button";
}

// The Stop button is a red, pulsing alarm whatever the pointer does; never the teal of the
// primary buttons.
TEST_F(VoiceoverPage, TheStopButtonStaysPulsingRedUnderThePointer) {
    open();
    ASSERT_NO_FATAL_FAILURE(record_by_click(*server));
    const json looks = page_value(*server, kPageWaits + R"(
        const b = document.getElementById('btnRecord');
        const look = () => { const s = getComputedStyle(b);
          return [b.matches(':hover'), s.backgroundColor, s.borderColor, s.animationName]; };
        b.scrollIntoView({block: 'center'});
        await frame();
        await frame();
        const seen = [look()];
        const r = b.getBoundingClientRect();
        await harnessMouseMove(r.left + r.width / 2, r.top + r.height / 2);
        await until(() => b.matches(':hover'));
        seen.push(look());
        await harnessMouseMove(0, 0);
        await until(() => !b.matches(':hover'));
        seen.push(look());
        return seen;)");
    const json red = {"rgb(248, 81, 73)", "rgb(248, 81, 73)", "pulse-red"};
    ASSERT_EQ(looks.size(), 3u) << looks;
    for (std::size_t i = 0; i < looks.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(looks[i][0], i == 1) << "hovered";
        EXPECT_EQ(json(looks[i].begin() + 1, looks[i].end()), red) << looks[i];
    }
}

// Narrow rows keep everything they show (kind, label, size, age, the "selected" badge) by
// wrapping onto more lines; the kind pill never breaks.
TEST_F(VoiceoverPage, HistoryRowsShowAgeAndBadgeAtAnyWidth) {
    write_file(dir / "demo-fast-narrated-take-1.webm", "raw");
    write_file(dir / "demo-fast-narrated-take-1-norm.webm", "normalized");
    write_file(output, "committed");
    open();
    click_take(*server, "Take 1 (auto-leveled)", true);
    ASSERT_TRUE(page_shows_soon(*server, "document.querySelector('#takesList .take-row.active "
                                         ".badge')"));
    for (const int width : {1280, 721, 720, 480, 360}) {
        SCOPED_TRACE(width);
        const json rows = page_value(*server, fmt::format(R"(
            await harnessViewport({}, 800);
            const inside = (cell, row) => {{ const p = cell.getBoundingClientRect();
              return p.width > 0 && p.height > 0 && p.left >= row.left && p.right <= row.right &&
                     p.top >= row.top && p.bottom <= row.bottom; }};
            const lines = (e) => {{ const range = document.createRange();
              range.selectNodeContents(e);
              return new Set([...range.getClientRects()].map(q => Math.round(q.top))).size; }};
            return [...document.querySelectorAll('#takesList .take-row')].map(r => {{
              const box = r.getBoundingClientRect();
              const cells = ['.kind-pill', '.t-label', '.t-size', '.t-age', '.badge']
                .map(sel => r.querySelector(sel)).filter(Boolean);
              return [r.querySelector('.t-label').textContent,
                      cells.filter(c => !inside(c, box)).map(c => c.className),
                      lines(r.querySelector('.kind-pill')), box.right <= innerWidth,
                      !!r.querySelector('.badge')];
            }});)",
                                                          width));
        EXPECT_EQ(rows, (json{{"Take 1", json::array(), 1, true, false},
                              {"Take 1 (auto-leveled)", json::array(), 1, true, true},
                              {"Recovered mux", json::array(), 1, true, false}}))
            << rows;
    }
}

TEST_F(VoiceoverPage, TheCommandLineReachesThePageThroughEvalAndCtrl) {
    open();
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent === " +
                                             json(kIdleStatus).dump()));
    const auto evaluated = testing::run_reelcut({"eval",
                                                 "return document.getElementById(\"status\")"
                                                 ".textContent",
                                                 "--port", std::to_string(server->port())});
    EXPECT_EQ(evaluated.status.code, 0) << evaluated.err;
    EXPECT_EQ(json::parse(evaluated.out, nullptr, false),
              (json{{"ok", true}, {"value", kIdleStatus}}))
        << evaluated.out;

    EXPECT_EQ(page_value(*server, "return ctx.subcommand"), "voiceover");

    page_errors_expected = true;
    ASSERT_EQ(page_value(*server, "console.warn('from the page', {n: 1}, [2]); "
                                  "setTimeout(() => { throw new Error('boom'); }, 0); "
                                  "Promise.reject(new Error('nope')); Promise.reject('plain'); "
                                  "return 1"),
              1);
    const auto console_has = [&](const std::string& line) {
        return eventually([&] {
            SpawnOptions options;
            options.set_env = {{"HOME", server->home().string()}};
            const auto r = testing::run_reelcut(
                {"ctrl", std::to_string(server->port()), "console", "--tail", "50"}, options);
            return r.out.find(line) != std::string::npos;
        });
    };
    for (const std::string line :
         {R"("level":"log","message":"voiceover UI loaded")",
          R"("message":"iframe depth: 0 | atTop: true | parentIsTop: true")",
          R"("message":"phase transition: null -> idle")",
          R"("level":"warn","message":"from the page {\"n\":1} [2]")",
          R"("level":"error","message":"Uncaught Error: boom at )",
          R"("level":"error","message":"unhandledrejection: nope")",
          R"("level":"error","message":"unhandledrejection: plain")"}) {
        EXPECT_TRUE(console_has(line)) << line;
    }
}

// The latency of following the server: run alone (see tests/CMakeLists.txt).
TEST_F(VoiceoverPage, AnOutsideStartPlaysTheSourceAndTheVideosEndStopsTheRecording) {
    open();
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('vid').readyState >= 1"));
    // Watch for the page's reaction from inside it, so the eval round trips do not count.
    ASSERT_EQ(page_value(*server, R"(
        const v = document.getElementById('vid');
        v.currentTime = 2;
        window.seen = {};
        const note = (what, extra) => { if (!(what in seen)) seen[what] = [Date.now(), extra]; };
        const record = document.getElementById('btnRecord');
        const timer = document.getElementById('timer');
        new MutationObserver(() => {
          if (record.textContent === 'Stop') note('stop', record.disabled);
          if (timer.classList.contains('running')) note('timer', timer.textContent);
        }).observe(document.body, {subtree: true, childList: true, attributes: true,
                                   characterData: true});
        v.addEventListener('playing', () => note('playing', v.currentTime));
        return 1;)"),
              1);
    const auto reply = server->request("POST", "/start-recording");
    const auto started = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    ASSERT_EQ(reply.status, 200) << reply.body;
    ASSERT_TRUE(page_shows_soon(*server, "'stop' in seen && 'timer' in seen && 'playing' in seen"))
        << page_value(*server, "return seen") << page->log();
    const json seen = page_value(*server, "return seen");
    EXPECT_LT(seen["stop"][0].get<std::int64_t>() - started, 400 + 50) << seen;
    EXPECT_LT(seen["timer"][0].get<std::int64_t>() - started, 400 + 50) << seen;
    EXPECT_EQ(seen["stop"][1], false);
    EXPECT_EQ(seen["timer"][1], "00:00");
    EXPECT_LT(seen["playing"][1].get<double>(), 0.5) << "rewound before playing: " << seen;
    EXPECT_EQ(status_box(*server),
              (json{"Recording... narrate over the video. Click Stop to finish.", ""}));
    EXPECT_TRUE(
        page_shows_soon(*server, "document.getElementById('timer').textContent === '00:01'"));

    // The wrap-up pill counts the last five seconds up to the next whole second.
    const json pill = page_value(*server, R"(
        const v = document.getElementById('vid');
        const at = (t) => new Promise(r => { v.addEventListener('seeked', () =>
          setTimeout(r, 0), {once: true}); v.currentTime = t; });
        const shown = () => { const p = document.getElementById('wrapCountdown');
          return p.hidden ? null : p.textContent.replace(/\s+/g, ' ').trim(); };
        v.pause();
        const seen = [];
        for (const left of [5.5, 3.2, 0.4]) { await at(v.duration - left); seen.push(shown()); }
        v.play();
        return seen;)");
    EXPECT_EQ(pill, (json{nullptr, "Wrap up in 4", "Wrap up in 1"}));
    // The video's end stops the recording without a click.
    EXPECT_TRUE(phase_is(*server, "recorded")) << server->out();
    EXPECT_TRUE(page_shows_soon(*server,
                                "document.getElementById('status').textContent === "
                                "'Recorded. Click Finalize to mux with the video, or Discard "
                                "to redo.'"));
    EXPECT_EQ(page_value(*server, "return [document.getElementById('wrapCountdown').hidden, "
                                  "document.getElementById('btnRecord').textContent, "
                                  "document.getElementById('btnFinalize').disabled, "
                                  "document.getElementById('btnDiscard').disabled]"),
              (json{true, "Record voiceover", false, false}));
    EXPECT_NE(page->log().find("video ended while recording, auto-stopping"), std::string::npos)
        << page->log();
}

TEST_F(VoiceoverPage, TwoTakesRecordedByClicksThenComparedAndSaved) {
    open({"--markers", markers});
    const std::string raw1 = (dir / "demo-fast-narrated-take-1.webm").string();
    const std::string norm2 = (dir / "demo-fast-narrated-take-2-norm.webm").string();

    for (int take = 1; take <= 2; ++take) {
        SCOPED_TRACE(take);
        click(*server, "btnRecord");
        EXPECT_EQ(status_box(*server), (json{"Requesting 3-2-1 countdown from Nimbrel...", ""}));
        EXPECT_EQ(page_value(*server, "return document.getElementById('btnRecord').disabled"),
                  true);
        ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('btnRecord').textContent === "
                                             "'Stop'"))
            << page->log();
        // Never the previous take's voice while narrating.
        const json player = page_value(*server, kPlayer);
        EXPECT_TRUE(player[0] == "video" || player[0].get<std::string>().starts_with("video?t="))
            << player;
        EXPECT_TRUE(page_shows_soon(*server, "!document.getElementById('vid').paused"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        // The first time the video's end comes with the click: the capture stops once.
        ASSERT_EQ(page_value(*server, fmt::format("document.getElementById('btnRecord').click(); "
                                                  "if ({}) document.getElementById('vid')"
                                                  ".dispatchEvent(new Event('ended')); return 1",
                                                  take == 1)),
                  1);
        EXPECT_EQ(status_box(*server), (json{"Stopping audio recording...", ""}));
        ASSERT_TRUE(page_shows_soon(*server, "!document.getElementById('btnFinalize').disabled"));
        EXPECT_EQ(status_box(*server)[1], "");
        const auto calls = server->tevo_cli_calls();
        EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                                [](const std::string& call) {
                                    return call.find(R"("audio","stop")") != std::string::npos;
                                }),
                  take)
            << fmt::format("{}", fmt::join(calls, "\n"));
        click(*server, "btnFinalize");
        ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').className === "
                                             "'success'"))
            << status_box(*server) << server->err();
        const json status = status_box(*server);
        const std::string raw =
            (dir / fmt::format("demo-fast-narrated-take-{}.webm", take)).string();
        EXPECT_NE(status[0].get<std::string>().find(raw), std::string::npos) << status;
        // The auto-levelled take plays; its waveform and both new tabs are there.
        EXPECT_TRUE(page_shows_soon(*server, "!document.getElementById('vid').paused"));
        EXPECT_TRUE(
            page_value(*server, kPlayer)[0].get<std::string>().starts_with("final-video?t="));
        EXPECT_TRUE(
            page_shows_soon(*server, "document.getElementById('wavOrigImg').naturalWidth > 0"));
        const json shown = tabs(*server);
        ASSERT_EQ(shown.size(), 1u + 2 * take) << shown;
        EXPECT_EQ(shown.back(),
                  (json{fmt::format("Take {} (auto-leveled)", take), "k-normalized", true}));
        EXPECT_EQ(page_value(*server, "return [document.getElementById('postControls').hidden, "
                                      "document.getElementById('btnSaveFinal').disabled, "
                                      "document.getElementById('wavCard').hidden]"),
                  (json{false, false, false}));
    }
    EXPECT_EQ(
        page_value(*server, "return document.querySelectorAll('#takesList .take-row').length"), 4);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(
        page->screenshot(fs::path(REELCUT_SOURCE_DIR) / "tests/output/voiceover-two-takes.png"));

    // The second row's tooltips open below their buttons, right edges aligned. The button is
    // below the fold: its scroll event lands in the next frame, before the pointer comes.
    const json placed = page_value(*server, kPageWaits + R"(
        const b = document.getElementById('btnSaveFinal');
        const box = document.getElementById('tooltip');
        b.scrollIntoView({block: 'center'});
        await frame();
        await frame();
        b.dispatchEvent(new PointerEvent('pointerover', {bubbles: true}));
        await until(() => box.classList.contains('show'));
        const t = box.getBoundingClientRect();
        const r = b.getBoundingClientRect();
        const text = box.classList.contains('show') ? box.textContent : '(hidden) ' + box.textContent;
        b.dispatchEvent(new PointerEvent('pointerout', {bubbles: true}));
        return [text, t.top >= r.bottom, Math.abs(t.right - r.right) < 1.5];)");
    EXPECT_EQ(placed, (json{kSaveFinalTip, true, true}));

    // The Original: the source plays, and saving it is a no-op the server explains.
    click_take(*server, "Original");
    EXPECT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Playing the original silent sped-up video')"));
    EXPECT_TRUE(page_value(*server, kPlayer)[0].get<std::string>().starts_with("video?t="));
    ASSERT_TRUE(page_shows_soon(*server, "document.querySelector('#videoTabs .vtab.active .label')"
                                         ".textContent === 'Original'"));
    click(*server, "btnSaveFinal");
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Saved.')"));
    EXPECT_EQ(status_box(*server),
              (json{"Saved. Canonical final video is at:\n  " + output +
                        "\n\n(nothing to save, output already holds the raw mux)",
                    "success"}));
    EXPECT_FALSE(fs::exists(output));

    // A take picked from the history rows is what Save copies.
    click_take(*server, "Take 1", true);
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Playing: Take 1')"));
    EXPECT_EQ(status_box(*server)[0],
              "Playing: Take 1\n(demo-fast-narrated-take-1.webm)\n\nClick Save as final to commit "
              "this version to the canonical output path, or keep clicking tabs to compare.");
    EXPECT_TRUE(page_value(*server, kPlayer)[0].get<std::string>().starts_with("final-video?t="));
    click(*server, "btnSaveFinal");
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Saved.')"));
    EXPECT_EQ(status_box(*server),
              (json{"Saved. Canonical final video is at:\n  " + output, "success"}));
    EXPECT_EQ(read_file(output), read_file(raw1));
    // The saved file joins the list; the clicked take stays highlighted.
    ASSERT_TRUE(
        page_shows_soon(*server, "document.querySelectorAll('#videoTabs .vtab').length === 6"));
    const json after = tabs(*server);
    EXPECT_EQ(after[1], (json{"Take 1", "k-raw", true})) << after;
    EXPECT_EQ(after[5], (json{"Recovered mux", "k-committed", false})) << after;
    EXPECT_TRUE(fs::exists(norm2));
    EXPECT_EQ(
        page_value(*server, "return document.querySelectorAll('main i, #videoTabs b').length"), 0);
}

// The server has answered the stop, but the page's poll has not yet seen the phase change when
// the video ends: the capture must not be stopped a second time.
TEST_F(VoiceoverPage, TheVideosEndAfterAnsweredStopStopsNothingMore) {
    open();
    ASSERT_NO_FATAL_FAILURE(record_by_click(*server));
    const json stops = page_value(*server, kPageWaits + R"(
        const real = window.fetch;
        const held = [];
        let answered = 0;
        window.fetch = (url, init) => {
          if (url === 'state') return new Promise(r => held.push(r));
          const reply = real(url, init);
          if (url === 'stop-recording') reply.then(r => r.clone().text()).then(() => answered++);
          return reply;
        };
        document.getElementById('btnRecord').click();
        await until(() => answered > 0);
        await frame();
        await frame();
        document.getElementById('vid').dispatchEvent(new Event('ended'));
        await frame();
        window.fetch = real;
        held.forEach(r => r(real('state')));
        return answered;)");
    EXPECT_EQ(stops, 1);
    ASSERT_TRUE(page_shows_soon(*server, "!document.getElementById('btnFinalize').disabled"));
    const auto calls = server->tevo_cli_calls();
    EXPECT_EQ(std::count_if(calls.begin(), calls.end(),
                            [](const std::string& call) {
                                return call.find(R"("audio","stop")") != std::string::npos;
                            }),
              1)
        << fmt::format("{}", fmt::join(calls, "\n"));
}

TEST_F(VoiceoverPage, AFinalizeWhoseLevellingFailsStillEndsDoneOnTheRawTake) {
    FakeTools tools;
    tools.add("ffmpeg",
              R"(case "$*" in *loudnorm*) echo 'loudnorm: injected failure' >&2; exit 1 ;; esac
exec /usr/bin/ffmpeg "$@")");
    TempDir editor;
    FixtureSettings settings;
    settings.env = {{"CODE_SERVER_STATE_DIR", editor.path().string()}};
    open({}, settings, std::string(REELCUT_TOOLS_DIR) + "/code-server");
    put_narration(*server, *media / "narration.webm");
    ASSERT_EQ(server->request("POST", "/adopt-latest-audio").status, 200);
    ASSERT_TRUE(page_shows_soon(*server, "!document.getElementById('btnFinalize').disabled"));
    click(*server, "btnFinalize");
    ASSERT_TRUE(
        page_shows_soon(*server, "document.getElementById('status').className === 'success'"))
        << status_box(*server) << server->out();
    EXPECT_TRUE(page_shows_soon(*server, "!document.getElementById('vid').paused"));
    EXPECT_TRUE(page_value(*server, kPlayer)[0].get<std::string>().starts_with("final-video?t="));
    EXPECT_EQ(tabs(*server), (json{{"Original", "k-original", false}, {"Take 1", "k-raw", true}}));
    // What the player streams is the raw take.
    const std::string raw = (dir / "demo-fast-narrated-take-1.webm").string();
    EXPECT_EQ(server->request("GET", "/final-video").body, read_file(raw));

    click(*server, "btnReveal");
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Opened')"));
    EXPECT_EQ(status_box(*server), (json{"Opened in VS Code:\n  " + raw, "success"}));
}

TEST_F(VoiceoverPage, FailedRequestsEndInTheirStatusAndPollingGoesOn) {
    FixtureSettings settings;
    settings.env = {{"TEVO_CLI_FAIL", "nimbrel audio start"},
                    {"TEVO_CLI_FAIL_STDERR", "mic <b>busy</b> & \"gone\"\n"}};
    write_file(dir / "demo-fast-narrated-take-1.webm", "r");
    open({}, settings);

    click(*server, "btnRecord");
    ASSERT_TRUE(
        page_shows_soon(*server, "document.getElementById('status').className === 'error'"));
    EXPECT_EQ(status_box(*server),
              (json{"Nimbrel audio start failed:\naudio start failed: mic <b>busy</b> & \"gone\"\n",
                    "error"}));
    EXPECT_EQ(page_value(*server, "return document.getElementById('btnRecord').disabled"), false);

    // A take whose file went away cannot be selected.
    fs::remove(dir / "demo-fast-narrated-take-1.webm");
    click_take(*server, "Take 1");
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Select failed: ')"));
    EXPECT_EQ(status_box(*server), (json{"Select failed: file not found: " +
                                             (dir / "demo-fast-narrated-take-1.webm").string(),
                                         "error"}));

    // A narration whose file is gone by the time of the finalize.
    put_narration(*server, *media / "narration.webm");
    ASSERT_EQ(server->request("POST", "/adopt-latest-audio").status, 200);
    ASSERT_TRUE(page_shows_soon(*server, "!document.getElementById('btnFinalize').disabled"));
    fs::remove(server->home() / "project/audio/narration.webm");
    click(*server, "btnFinalize");
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Finalize failed')"));
    EXPECT_EQ(status_box(*server),
              (json{"Finalize failed:\nno audio recorded yet, click Record first", "error"}));
    EXPECT_EQ(page_value(*server, "return ['btnRecord', 'btnDiscard', 'btnFinalize'].map(id => "
                                  "document.getElementById(id).disabled)"),
              (json{false, false, false}));

    // Nothing played or saved yet: nothing to reveal.
    click(*server, "btnReveal");
    ASSERT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent.startsWith("
                                         "'Reveal failed: ')"));
    EXPECT_EQ(status_box(*server),
              (json{"Reveal failed: no file to reveal at " + output, "error"}));

    // State polls that fail (refused, then answered 500) do not stop the polling.
    ASSERT_EQ(page_value(*server, R"(
        const real = window.fetch;
        let calls = 0;
        window.fetch = (url, init) => {
          if (url === 'state') {
            calls++;
            if (calls <= 3) return Promise.reject(new TypeError('network down'));
            if (calls <= 6) return Promise.resolve(new Response('oops', {status: 500}));
            window.fetch = real;
          }
          return real(url, init);
        };
        return 1;)"),
              1);
    ASSERT_EQ(server->request("POST", "/discard").status, 200);
    EXPECT_TRUE(page_shows_soon(*server, "document.getElementById('status').textContent === " +
                                             json(kIdleStatus).dump()))
        << page->log();

    // A slow reply that lands after newer ones never takes the page back to an old phase.
    ASSERT_EQ(page_value(*server, R"(
        const real = window.fetch;
        window.fetch = (url, init) => {
          if (url !== 'state') return real(url, init);
          window.fetch = real;
          return new Promise(r => setTimeout(() => r(new Response(
            '{"phase":"recording","recording":true}',
            {headers: {'Content-Type': 'application/json'}})), 1200));
        };
        return 1;)"),
              1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1800));
    EXPECT_EQ(page->log().find("phase transition: idle -> recording"), std::string::npos)
        << page->log();
    EXPECT_EQ(page_value(*server, "return document.getElementById('btnRecord').textContent"),
              "Record voiceover");
}

TEST(VoiceoverPageScale, TwoHundredTakesStayResponsive) {
    TempDir dir;
    ASSERT_TRUE(testing::make_clip(dir / "demo-fast.webm", ClipSpec{.seconds = 1}));
    for (int take = 1; take <= 100; ++take) {
        write_file(dir / fmt::format("demo-fast-narrated-take-{}.webm", take), "raw");
        write_file(dir / fmt::format("demo-fast-narrated-take-{}-norm.webm", take), "norm");
    }
    auto server = testing::voiceover_server(dir / "demo-fast.webm");
    ASSERT_TRUE(server->ready()) << server->err();
    BrowserPage page(server->url("/"), kAutoplay);
    ASSERT_TRUE(page.ready()) << page.log();
    ASSERT_TRUE(
        page_shows_soon(*server, "document.querySelectorAll('#videoTabs .vtab').length === 201"))
        << page.log();
    // A redraw replaces each list once, whatever its length: no layout per take. The time is
    // shown, not judged: a loaded machine sets it.
    const json measured = page_value(*server, R"(
        const strip = document.getElementById('videoTabs');
        const rows = document.getElementById('takesList');
        const changes = new Map([[strip, 0], [rows, 0]]);
        const watch = new MutationObserver(records => records.forEach(
          r => changes.set(r.target, changes.get(r.target) + 1)));
        watch.observe(strip, {childList: true});
        watch.observe(rows, {childList: true});
        const t0 = performance.now();
        await loadTakes();
        const ms = performance.now() - t0;
        watch.takeRecords().forEach(r => changes.set(r.target, changes.get(r.target) + 1));
        watch.disconnect();
        return [ms, rows.querySelectorAll('.take-row').length, [...changes.values()],
                strip.scrollWidth > strip.clientWidth, getComputedStyle(strip).overflowX,
                strip.getBoundingClientRect().width <= document.documentElement.clientWidth];)");
    ASSERT_EQ(measured.size(), 6u) << measured;
    std::printf("[ measure  ] fetch and draw 200 takes: %.1f ms\n", measured[0].get<double>());
    EXPECT_EQ(measured[1], 200);
    EXPECT_EQ(measured[2], (json{1, 1})) << "child list changes of the tab strip and the rows";
    EXPECT_EQ(measured[3], true);
    EXPECT_EQ(measured[4], "auto");
    EXPECT_EQ(measured[5], true);
    // Still following the server.
    ASSERT_EQ(server->request("POST", "/replay").status, 404);
    testing::write_file(dir / "demo-fast-narrated.webm", "x");
    ASSERT_EQ(server->request("POST", "/replay").status, 200);
    EXPECT_TRUE(page_shows_soon(*server, "!document.getElementById('postControls').hidden"));
    EXPECT_EQ(page.log().find("pageerror"), std::string::npos) << page.log();
}

} // namespace
} // namespace reelcut
