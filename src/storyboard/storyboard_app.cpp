#include "storyboard/storyboard_app.hpp"

#include "assets.hpp"
#include "ffmpeg/media_tools.hpp"
#include "file_io.hpp"
#include "storyboard/routes.hpp"

#include <chrono>
#include <cstdio>
#include <exception>
#include <fmt/format.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>

namespace reelcut {

StoryboardApp::StoryboardApp(std::string manifest_path, std::shared_ptr<SharedManifest> manifest,
                             std::shared_ptr<VersionCounter> version)
    : manifest_path(std::move(manifest_path)), manifest(std::move(manifest)),
      version(std::move(version)) {}

std::string StoryboardApp::html() const {
    return storyboard_html();
}

std::string StoryboardApp::favicon() const {
    return storyboard_favicon();
}

RouteOutcome StoryboardApp::handle(http::Request request, const std::string& method,
                                   const std::string& path) {
    return handle_storyboard_request(*this, std::move(request), method, path);
}

std::string storyboard_html() {
    return std::string(assets::storyboard_html());
}

std::string storyboard_favicon() {
    return std::string(assets::storyboard_icon_svg());
}

std::optional<FileTime> modification_time(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::nullopt;
    }
    return FileTime{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
}

bool check_storyboard_manifest(ManifestWatcher& watcher) {
    const auto now = modification_time(watcher.manifest_path);
    if (!now) {
        return false; // missing for a moment while a writer replaces it
    }
    std::lock_guard last_lock(*watcher.last_mtime_lock);
    if (*now == *watcher.last_mtime) {
        return false;
    }
    // Parsed outside the manifest lock: readers are kept waiting only for the swap.
    auto loaded = load_manifest(watcher.manifest_path);
    if (!loaded) {
        // Retried on the next tick, so a half-written file is picked up once it is complete.
        fmt::print(stderr, "{}: manifest reload failed: {}\n", watcher.subcommand, loaded.error());
        std::fflush(stderr);
        return false;
    }
    {
        std::unique_lock write(watcher.manifest->lock);
        watcher.manifest->value = std::move(*loaded);
    }
    watcher.version->fetch_add(1);
    *watcher.last_mtime = *now;
    return true;
}

void watch_storyboard_manifest(ManifestWatcher watcher) {
    try {
        while (true) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            check_storyboard_manifest(watcher);
        }
    } catch (const std::exception& e) {
        // Live updates stop; the server and the last good manifest stay.
        fmt::print(stderr, "{}: manifest watcher stopped: {}\n", watcher.subcommand, e.what());
    }
}

Result<std::shared_ptr<StoryboardApp>> share_manifest(const std::string& path, Manifest loaded,
                                                      bool watch, void (*body)(ManifestWatcher)) {
    auto manifest = std::make_shared<SharedManifest>(std::move(loaded));
    auto version = std::make_shared<VersionCounter>(1);
    if (watch) {
        auto last_mtime = std::make_shared<FileTime>(modification_time(path).value_or(FileTime{}));
        ManifestWatcher watcher{path, std::make_shared<std::mutex>(), last_mtime, manifest,
                                version};
        try {
            std::thread(body, std::move(watcher)).detach();
        } catch (const std::system_error& e) {
            return fail(fmt::format("start manifest watcher: {}", e.what()));
        }
    }
    return std::make_shared<StoryboardApp>(path, manifest, version);
}

void remove_abandoned_joins(const std::string& manifest_path) {
    remove_abandoned_scratch(parent_directory(manifest_path));
    remove_abandoned_scratch(system_temp_dir());
}

Status run_storyboard(const StoryboardOptions& options) {
    const std::string& path = options.manifest_path;
    if (!path_exists(path)) {
        return fail(fmt::format(
            "manifest not found: {}. Hint: create one with `tevo-reelcut manifest init`.", path));
    }
    auto loaded = load_manifest(path);
    if (!loaded) {
        return fail(loaded.error());
    }
    std::string title = loaded->title.empty() ? "Storyboard" : loaded->title;
    remove_abandoned_joins(path);
    auto app = share_manifest(path, std::move(*loaded), options.watch, watch_storyboard_manifest);
    if (!app) {
        return fail(app.error());
    }
    ServerConfig config;
    config.tab_name = options.tab_name;
    config.icon = "mdi:filmstrip-box-multiple";
    config.subcommand = "storyboard";
    config.title = std::move(title);
    config.panel_id = options.panel_id;
    config.port = options.port;
    config.no_open = options.no_open;
    Status served = serve(std::move(config), *app);
    // A poster render whose request outlived the server's wait is not left half written.
    (*app)->posters.finish(kPosterShutdownWait);
    return served;
}

} // namespace reelcut
