#include "storyboard/routes.hpp"

#include "ffmpeg/finishing.hpp"
#include "file_io.hpp"
#include "json_text.hpp"
#include "storyboard/storyboard_app.hpp"
#include "terminal.hpp"
#include "text_format.hpp"
#include "webapp/video.hpp"

#include <atomic>
#include <chrono>
#include <fmt/format.h>
#include <mutex>
#include <shared_mutex>
#include <unistd.h>
#include <vector>

namespace reelcut {

namespace {

// Text replies are best effort: a client that went away is not an error of the server.
RouteOutcome send_text(http::Request& request, std::uint16_t status, std::string body) {
    (void)request.respond(text_response(status, std::move(body)));
    return Handled{};
}

RouteOutcome send_json(http::Request& request, std::uint16_t status, std::string body) {
    return Handled{request.respond(json_response(status, std::move(body)))};
}

RouteOutcome send_file(http::Request& request, const std::string& path, const char* type) {
    return Handled{serve_file_with_range(std::move(request), path, type)};
}

// Body of GET "/state"; formatted under the read lock, sent after it is released so that a client
// that stops reading cannot hold up the watcher's swap.
std::string state_json(const StoryboardApp& app) {
    std::shared_lock read(app.manifest->lock);
    return fmt::format("{{\"version\":{},\"clipCount\":{},\"title\":{}}}", app.version->load(),
                       app.manifest->value.clips.size(), json_string(app.manifest->value.title));
}

void add_file_time(nlohmann::json& clip, const char* path_key, const char* time_key) {
    const auto path = clip.find(path_key);
    if (path == clip.end() || !path->is_string()) {
        return;
    }
    const auto time = modification_time(path->get<std::string>());
    if (!time || time->seconds < 0) {
        return;
    }
    clip[time_key] = static_cast<std::uint64_t>(time->seconds) * 1000 +
                     static_cast<std::uint64_t>(time->nanoseconds) / 1'000'000;
}

Result<std::string> manifest_json(const StoryboardApp& app) {
    std::shared_lock read(app.manifest->lock);
    auto value = manifest_to_value(app.manifest->value);
    if (!value) {
        return fail(value.error());
    }
    if (auto clips = value->find("clips"); clips != value->end() && clips->is_array()) {
        for (nlohmann::json& clip : *clips) {
            add_file_time(clip, "raw_path", "raw_mtime_ms");
            add_file_time(clip, "fast_path", "fast_mtime_ms");
        }
    }
    return compact_json(*value);
}

RouteOutcome clip_video(StoryboardApp& app, http::Request& request, std::string_view rest) {
    const auto slash = rest.rfind('/');
    if (slash == std::string_view::npos) {
        return Declined{std::move(request)};
    }
    const std::string_view id = rest.substr(0, slash);
    const std::string_view kind = rest.substr(slash + 1);
    if (kind != "raw" && kind != "fast") {
        return Declined{std::move(request)};
    }
    const auto clip = find_clip(app, id);
    if (!clip) {
        return send_text(request, 404, fmt::format("no clip with id {}", id));
    }
    const auto& path = kind == "raw" ? clip->raw_path : clip->fast_path;
    if (!path) {
        return send_text(request, 404, fmt::format("clip {} has no {} path", id, kind));
    }
    if (!path_exists(*path)) {
        return send_text(request, 404,
                         fmt::format("clip {} {} file missing on disk: {}", id, kind, *path));
    }
    return send_file(request, *path, "video/webm");
}

RouteOutcome final_video(StoryboardApp& app, http::Request& request, std::string_view kind) {
    if (kind != "raw" && kind != "fast") {
        return Declined{std::move(request)};
    }
    std::optional<std::string> path;
    {
        std::shared_lock read(app.manifest->lock);
        const Manifest& manifest = app.manifest->value;
        path = kind == "raw" ? manifest.final_raw_path : manifest.final_fast_path;
    }
    if (!path) {
        return send_text(request, 404, fmt::format("no final_{}_path in manifest", kind));
    }
    if (!path_exists(*path)) {
        return send_text(request, 404, fmt::format("final {} file missing: {}", kind, *path));
    }
    return send_file(request, *path, "video/webm");
}

RouteOutcome clip_poster(StoryboardApp& app, http::Request& request, std::string_view id) {
    const auto clip = find_clip(app, id);
    if (!clip) {
        return send_text(request, 404, fmt::format("no clip with id {}", id));
    }
    if (clip->poster_path && path_exists(*clip->poster_path)) {
        return send_file(request, *clip->poster_path, "image/jpeg");
    }
    std::optional<std::string> source;
    if (clip->fast_path && path_exists(*clip->fast_path)) {
        source = clip->fast_path;
    } else if (clip->raw_path && path_exists(*clip->raw_path)) {
        source = clip->raw_path;
    } else {
        return send_text(request, 404,
                         fmt::format("clip {} has no video path to generate poster from", id));
    }
    const std::string poster = poster_path_for(*source);
    if (!path_exists(poster)) {
        const PosterOutcome made =
            app.posters.render(*source, poster, [&] { return request.client_gone(); });
        switch (made.kind) {
        case PosterOutcome::Kind::ready:
            break;
        case PosterOutcome::Kind::failed:
            return send_text(request, 500, fmt::format("poster generation failed: {}", made.error));
        case PosterOutcome::Kind::busy:
            return send_text(request, 503, "poster generation busy; try again");
        case PosterOutcome::Kind::caller_gone:
            return Handled{};
        }
    }
    {
        // Kept in memory only: the next reload forgets it and finds the file again by its name.
        std::unique_lock write(app.manifest->lock);
        for (Clip& c : app.manifest->value.clips) {
            if (c.id == id) {
                c.poster_path = poster;
                break;
            }
        }
    }
    return send_file(request, poster, "image/jpeg");
}

RouteOutcome clip_picture(StoryboardApp& app, http::Request& request, std::string_view id,
                          bool console) {
    const auto clip = find_clip(app, id);
    if (!clip) {
        return send_text(request, 404, fmt::format("no clip with id {}", id));
    }
    const auto& path = console ? clip->console_png_path : clip->image_path;
    if (!path) {
        return send_text(
            request, 404,
            fmt::format("clip {} has no {}", id, console ? "console_png_path" : "image_path"));
    }
    if (!path_exists(*path)) {
        return send_text(
            request, 404,
            fmt::format("clip {} {} missing: {}", id, console ? "console-png" : "image", *path));
    }
    return send_file(request, *path, "image/png");
}

// The poster paths this server recorded in memory, carried into `target` for the clips that are
// still there with the same videos and have none in the file.
void carry_recorded_posters(const Manifest& recorded, Manifest& target) {
    for (Clip& clip : target.clips) {
        if (clip.poster_path) {
            continue;
        }
        for (const Clip& known : recorded.clips) {
            if (known.id == clip.id) {
                if (known.poster_path && known.raw_path == clip.raw_path &&
                    known.fast_path == clip.fast_path) {
                    clip.poster_path = known.poster_path;
                }
                break;
            }
        }
    }
}

// Writes the joined video's path into the manifest as it is on disk now, under the manifest's
// file lock: the in-memory copy is up to a watcher tick old, and saving it would erase clips that
// `manifest add` wrote meanwhile. The in-memory manifest becomes the saved one while the file lock
// is still held, so that a later file that the watcher has already loaded is never replaced by
// this older one. When the file cannot be read or saved, it stays as it is and the path is kept
// in memory only.
Status save_final_fast_path(StoryboardApp& app, const std::string& output) {
    Status saved = update_manifest(app.manifest_path, [&](Manifest& current) -> Status {
        current.final_fast_path = output;
        std::unique_lock write(app.manifest->lock);
        carry_recorded_posters(app.manifest->value, current);
        app.manifest->value = current;
        return {};
    });
    if (!saved) {
        std::unique_lock write(app.manifest->lock);
        app.manifest->value.final_fast_path = output;
    }
    return saved;
}

// The join is written beside its output and renamed onto it, so that a join cut short, and the
// final video served while a new one is written, are never a half-written file.
Status join_in_place(const std::vector<std::string>& inputs, const std::string& output) {
    const std::string partial = partial_path_beside(output);
    return rename_into_place(partial, output, concat_videos(inputs, partial));
}

RouteOutcome concat_clips(StoryboardApp& app, http::Request& request) {
    // A client that leaves while an earlier join runs gets nothing joined for it.
    std::unique_lock joining(app.concat_runs, std::defer_lock);
    while (!joining.try_lock_for(std::chrono::milliseconds(250))) {
        if (request.client_gone()) {
            return Handled{};
        }
    }
    std::vector<std::string> inputs;
    std::string slug;
    {
        std::shared_lock read(app.manifest->lock);
        for (const Clip& clip : app.manifest->value.clips) {
            if (auto path = existing_fast_clip_path(clip)) {
                inputs.push_back(std::move(*path));
            }
        }
        slug = slugify_title(app.manifest->value.title);
    }
    if (inputs.empty()) {
        return send_json(request, 400,
                         json_failure("no fast clips in manifest — every clip needs a fast_path "
                                      "pointing at an existing file"));
    }
    const std::string output =
        join_path(parent_directory(app.manifest_path), slug + "-final-fast.webm");
    write_fd(STDOUT_FILENO, fmt::format("concat: {} clips -> {}\n", inputs.size(), output));

    if (Status joined = join_in_place(inputs, output); !joined) {
        return send_json(request, 500, json_failure("ffmpeg concat failed: " + joined.error()));
    }
    Status saved = save_final_fast_path(app, output);
    if (!saved) {
        return send_json(request, 500, json_failure("manifest save failed: " + saved.error()));
    }
    app.version->fetch_add(1);
    return send_json(request, 200,
                     fmt::format("{{\"ok\":true,\"path\":{},\"clipCount\":{}}}",
                                 json_string(display_path(output)), inputs.size()));
}

} // namespace

std::optional<Clip> find_clip(const StoryboardApp& app, std::string_view id) {
    std::shared_lock read(app.manifest->lock);
    for (const Clip& clip : app.manifest->value.clips) {
        if (clip.id == id) {
            return clip;
        }
    }
    return std::nullopt;
}

std::string slugify_title(std::string_view title) {
    std::string slug;
    for (std::size_t i = 0; i < title.size();) {
        const auto c = static_cast<unsigned char>(title[i]);
        if (c < 0x80) {
            slug += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '-';
            ++i;
            continue;
        }
        // One "-" per character: skip the continuation bytes of a multi-byte sequence.
        slug += '-';
        ++i;
        while (i < title.size() && (static_cast<unsigned char>(title[i]) & 0xC0) == 0x80) {
            ++i;
        }
    }
    const auto first = slug.find_first_not_of('-');
    if (first == std::string::npos) {
        return "tevo-reelcut";
    }
    return slug.substr(first, slug.find_last_not_of('-') - first + 1);
}

std::optional<std::string> existing_fast_clip_path(const Clip& clip) {
    return existing_clip_path_of_kind(clip, "fast");
}

std::string poster_path_for(std::string_view video_path) {
    const PathParts parts = split_path(video_path);
    const auto name = parts.file_name();
    if (!name) {
        return std::string(video_path) + ".poster.jpg";
    }
    return join_path(parts.parent, std::string(file_stem(*name)) + ".poster.jpg");
}

RouteOutcome handle_storyboard_request(StoryboardApp& app, http::Request request,
                                       const std::string& method, const std::string& path) {
    const std::string_view p = path;
    if (method == "GET") {
        if (p == "/state") {
            return send_json(request, 200, state_json(app));
        }
        if (p == "/manifest") {
            auto body = manifest_json(app);
            if (!body) {
                return Handled{fail(body.error())}; // dropped: the layer answers 500
            }
            return send_json(request, 200, std::move(*body));
        }
        if (p.starts_with("/video/")) {
            return clip_video(app, request, p.substr(7));
        }
        if (p.starts_with("/final-video/")) {
            return final_video(app, request, p.substr(13));
        }
        if (p.starts_with("/poster/")) {
            return clip_poster(app, request, p.substr(8));
        }
        if (p.starts_with("/image/")) {
            return clip_picture(app, request, p.substr(7), false);
        }
        if (p.starts_with("/console-png/")) {
            return clip_picture(app, request, p.substr(13), true);
        }
    }
    if (method == "POST" && p == "/concat") {
        return concat_clips(app, request);
    }
    return Declined{std::move(request)};
}

} // namespace reelcut
