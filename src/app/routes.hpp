// The unified app's router. It adds a single route of its own, GET "/voiceover/video", which
// serves the manifest's final video as it is at each request. Every other path that begins with
// "/voiceover" goes to the voiceover routes with those ten characters removed (a plain prefix
// test: "/voiceoverx" arrives there as "x"); the rest goes to the storyboard routes.
//
// Before each voiceover request the session is pointed at the manifest's current final video, so
// a final video made while the app runs (POST "/concat", a `concat` from the command line) is
// narrated over at once; takes already recorded stay where they were written. The manifest's
// read lock is held only to copy the final paths, never while a file is sent.
#pragma once

#include "storyboard/manifest.hpp"
#include "voiceover/voiceover_app.hpp"
#include "webapp/server.hpp"

#include <optional>
#include <string>

namespace reelcut {

class StoryboardApp;
class UnifiedApp;

// The final video to narrate over: final_fast_path, else final_raw_path, else nothing.
std::optional<std::string> narration_video(const Manifest& manifest);

// The same, read from the shared manifest under its read lock.
std::optional<std::string> current_narration_video(const StoryboardApp& storyboard);

// The voiceover's input and output for that choice: the video (or "/nonexistent") and
// "tevo-reelcut-narrated.webm" in its directory ("" for a bare file name: the current
// directory), or in `temp_dir` when there is no video or it has no parent.
VoiceoverMedia narration_media(const std::optional<std::string>& video,
                               const std::string& temp_dir);

RouteOutcome handle_app_request(UnifiedApp& app, http::Request request, const std::string& method,
                                const std::string& path);

} // namespace reelcut
