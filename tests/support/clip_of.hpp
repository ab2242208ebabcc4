// A manifest clip with only its required fields, for the manifest tests, and the smallest
// manifest a page server can show.
#pragma once

#include "storyboard/manifest.hpp"
#include "support/media_fixture.hpp"

#include <filesystem>
#include <string>

namespace reelcut::testing {

inline Clip clip_of(std::string id, std::string title) {
    Clip clip;
    clip.id = std::move(id);
    clip.title = std::move(title);
    return clip;
}

// A manifest titled `title` whose one clip "a" ("A") has a generated fast video of `seconds` at
// DIR/a-fast.webm, saved as DIR/story.json: that path, or "" when a step failed.
inline std::string one_clip_manifest(const std::filesystem::path& dir, const std::string& title,
                                     double seconds = 1) {
    const std::string video = dir / "a-fast.webm";
    if (!make_clip(video, ClipSpec{.seconds = seconds})) {
        return "";
    }
    Manifest manifest = new_manifest(title);
    Clip a = clip_of("a", "A");
    a.fast_path = video;
    manifest.clips = {a};
    const std::string path = dir / "story.json";
    return save_manifest(manifest, path) ? path : "";
}

} // namespace reelcut::testing
