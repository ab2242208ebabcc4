#include "app/routes.hpp"

#include "app/unified_app.hpp"
#include "ffmpeg/media_tools.hpp"
#include "file_io.hpp"
#include "storyboard/routes.hpp"
#include "voiceover/routes.hpp"
#include "webapp/video.hpp"

#include <shared_mutex>
#include <string_view>

namespace reelcut {
namespace {

constexpr std::string_view kVoiceoverPrefix = "/voiceover";
constexpr const char* kNoFinalVideo = "no final video available — run POST /concat first";

RouteOutcome final_video(UnifiedApp& app, http::Request request) {
    const auto video = current_narration_video(*app.storyboard);
    if (video && path_exists(*video)) {
        return Handled{serve_file_with_range(std::move(request), *video, "video/webm")};
    }
    http::Response response(404, kNoFinalVideo);
    response.with_header("Content-Type", "text/plain; charset=UTF-8");
    return Handled{request.respond(std::move(response))};
}

} // namespace

std::optional<std::string> narration_video(const Manifest& manifest) {
    if (manifest.final_fast_path) {
        return manifest.final_fast_path;
    }
    return manifest.final_raw_path;
}

std::optional<std::string> current_narration_video(const StoryboardApp& storyboard) {
    std::shared_lock read(storyboard.manifest->lock);
    return narration_video(storyboard.manifest->value);
}

VoiceoverMedia narration_media(const std::optional<std::string>& video,
                               const std::string& temp_dir) {
    constexpr std::string_view kOutputName = "tevo-reelcut-narrated.webm";
    if (!video) {
        return {"/nonexistent", join_path(temp_dir, kOutputName)};
    }
    const PathParts parts = split_path(*video);
    // Only the root (or an empty path) has no last component, and so no parent.
    const std::string dir = parts.last.empty() ? temp_dir : std::string(parts.parent);
    return {*video, join_path(dir, kOutputName)};
}

RouteOutcome handle_app_request(UnifiedApp& app, http::Request request, const std::string& method,
                                const std::string& path) {
    if (method == "GET" && path == "/voiceover/video") {
        return final_video(app, std::move(request));
    }
    if (path.starts_with(kVoiceoverPrefix)) {
        const std::string rest = path.size() == kVoiceoverPrefix.size()
                                     ? std::string("/")
                                     : path.substr(kVoiceoverPrefix.size());
        // The session follows the manifest: a final video made since the last request is what
        // the next finalize muxes over.
        app.voiceover->set_media(
            narration_media(current_narration_video(*app.storyboard), system_temp_dir()));
        return handle_voiceover_request(*app.voiceover, std::move(request), method, rest);
    }
    return handle_storyboard_request(*app.storyboard, std::move(request), method, path);
}

} // namespace reelcut
