#include "app/unified_app.hpp"
#include "app/routes.hpp"

#include "assets.hpp"
#include "ffmpeg/media_tools.hpp"
#include "file_io.hpp"
#include "text_format.hpp"
#include "voiceover/routes.hpp"

#include <fmt/format.h>

namespace reelcut {

UnifiedApp::UnifiedApp(std::shared_ptr<StoryboardApp> storyboard,
                       std::shared_ptr<VoiceoverApp> voiceover)
    : storyboard(std::move(storyboard)), voiceover(std::move(voiceover)) {}

std::string UnifiedApp::html() const {
    return app_html();
}

std::string UnifiedApp::favicon() const {
    return app_favicon();
}

RouteOutcome UnifiedApp::handle(http::Request request, const std::string& method,
                                const std::string& path) {
    return handle_app_request(*this, std::move(request), method, path);
}

std::string app_html() {
    return std::string(assets::app_html());
}

std::string app_favicon() {
    return std::string(assets::app_icon_svg());
}

void watch_app_manifest(ManifestWatcher watcher) {
    watcher.subcommand = "app";
    watch_storyboard_manifest(std::move(watcher));
}

Status run_app(const AppOptions& options) {
    const std::string& path = options.manifest_path;
    if (!path_exists(path)) {
        return fail(fmt::format("manifest not found: {}. Hint: create one with `tevo-reelcut "
                                "manifest init`, then add clips with `tevo-reelcut manifest add`.",
                                lossy_utf8(path)));
    }
    auto loaded = load_manifest(path);
    if (!loaded) {
        return fail(loaded.error());
    }
    std::string title = loaded->title.empty() ? "Tevo Reelcut" : loaded->title;
    auto storyboard = share_manifest(path, std::move(*loaded), options.watch, watch_app_manifest);
    if (!storyboard) {
        return fail(storyboard.error());
    }
    VoiceoverMedia media =
        narration_media(current_narration_video(**storyboard), system_temp_dir());
    remove_abandoned_joins(path);
    // The takes usually lie beside the manifest's video or in TMPDIR, both already swept.
    const std::string take_dir = take_names(media.output).dir;
    if (!same_file(take_dir, parent_directory(path)) && !same_file(take_dir, system_temp_dir())) {
        remove_abandoned_scratch(take_dir);
    }
    // Nothing checks that the input exists: the app starts before any final video is made.
    VoiceoverOptions voiceover_options{std::move(media.input), std::move(media.output),
                                       options.port,           options.tab_name,
                                       options.panel_id,       std::nullopt,
                                       options.no_open};
    auto voiceover =
        new_voiceover_app(std::move(voiceover_options), std::make_shared<FinalResultSlot>());
    auto app = std::make_shared<UnifiedApp>(*storyboard, std::move(voiceover));

    ServerConfig config;
    config.tab_name = options.tab_name;
    config.icon = "mdi:movie-edit-outline";
    config.subcommand = "app";
    config.title = std::move(title);
    config.panel_id = options.panel_id;
    config.port = options.port;
    config.no_open = options.no_open;
    Status served = serve(std::move(config), app);
    // A poster render whose request outlived the server's wait is not left half written.
    app->storyboard->posters.finish(kPosterShutdownWait);
    return served;
}

} // namespace reelcut
