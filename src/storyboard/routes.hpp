// The storyboard's own routes: live state, the manifest with file times, clip media, posters made
// on first use, and the join of the sped-up clips into the final video.
// Posters are made through the app's `PosterRenders` (one run per poster, a few at once, failures
// remembered); a wait that outlasts its bound is answered 503 "poster generation busy; try again".
// POST "/concat" joins with no lock held, then writes final_fast_path (and the poster paths
// recorded in memory) into the manifest as it is on disk, under the manifest's file lock, so clips
// that `manifest add` wrote meanwhile stay; a manifest that cannot be read by then is answered 500
// "manifest save failed: ..." with the load's message and left as it is.
#pragma once

#include "storyboard/manifest.hpp"
#include "webapp/server.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace reelcut {

class StoryboardApp;

// `path` is not percent-decoded: clip ids are compared byte for byte as the page sent them.
RouteOutcome handle_storyboard_request(StoryboardApp& app, http::Request request,
                                       const std::string& method, const std::string& path);

// A copy of the first clip with that id, taken under the read lock.
std::optional<Clip> find_clip(const StoryboardApp& app, std::string_view id);

// Per character (not byte): ASCII letters and digits in lower case, anything else "-"; "-" at
// either end removed; "tevo-reelcut" when nothing is left.
std::string slugify_title(std::string_view title);

// The clip's fast_path when it is set and something exists there.
std::optional<std::string> existing_fast_clip_path(const Clip& clip);

// The video path with its extension replaced by "poster.jpg" ("a/step1.webm" gives
// "a/step1.poster.jpg"; a name without one gets ".poster.jpg").
std::string poster_path_for(std::string_view video_path);

} // namespace reelcut
