// Files embedded into the executable at build time (embed_asset in cmake/embed_asset.cmake).
// Each accessor gives the whole file, byte for byte, for the life of the process.
#pragma once

#include <string_view>

namespace reelcut::assets {

// assets/SKILL.md: the agent's skill document, deployed by `install`.
std::string_view skill_md();

// assets/eval-client.html: the script element that lets `eval` run code in a page.
std::string_view eval_client_html();

// assets/storyboard.html and assets/storyboard-icon.svg: the storyboard review page and its icon.
std::string_view storyboard_html();
std::string_view storyboard_icon_svg();

// assets/voiceover.html and assets/voiceover-icon.svg: the narration page and its icon.
std::string_view voiceover_html();
std::string_view voiceover_icon_svg();

// assets/app.html and assets/app-icon.svg: the unified app's page and its icon.
std::string_view app_html();
std::string_view app_icon_svg();

} // namespace reelcut::assets
