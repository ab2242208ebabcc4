// The unified app: one server over one manifest that walks a demo through Review (the storyboard
// routes), Narrate (a voiceover session under "/voiceover") and Publish (composed in the page).
// Its router is in app/routes.hpp.
//
// The voiceover session narrates over the manifest's final fast video, else its final raw
// video, else the placeholder "/nonexistent"; the takes are named after
// "tevo-reelcut-narrated.webm" beside that video (the system temporary directory when there is
// none). The choice is made at start and again before every voiceover request, so a final video
// made while the app runs (POST "/concat", a `concat` from the command line) is narrated over at
// once; takes already recorded stay where they were written.
//
// Threads: the request threads and the manifest watcher share the storyboard's state; the app
// holds the manifest's read lock only to copy the final paths.
#pragma once

#include "result.hpp"
#include "storyboard/manifest.hpp"
#include "storyboard/storyboard_app.hpp"
#include "voiceover/voiceover_app.hpp"
#include "webapp/server.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace reelcut {

struct AppOptions {
    std::string manifest_path;
    std::uint16_t port = 8798;
    std::string tab_name = "Tevo Reelcut";
    std::optional<std::string> panel_id;
    bool watch = true;
    bool no_open = false;
};

class UnifiedApp : public WebApp {
  public:
    UnifiedApp(std::shared_ptr<StoryboardApp> storyboard, std::shared_ptr<VoiceoverApp> voiceover);

    std::string html() const override;
    std::string favicon() const override;
    RouteOutcome handle(http::Request request, const std::string& method,
                        const std::string& path) override;

    const std::shared_ptr<StoryboardApp> storyboard;
    const std::shared_ptr<VoiceoverApp> voiceover;
};

std::string app_html();
std::string app_favicon();

// The app's watcher thread: the storyboard's, with "app: manifest reload failed: ..." messages.
void watch_app_manifest(ManifestWatcher watcher);

// Loads the manifest, starts the watcher (unless told not to) and serves until "/shutdown".
// Fails with "manifest not found: ..." or the manifest's load error before binding anything.
Status run_app(const AppOptions& options);

} // namespace reelcut
