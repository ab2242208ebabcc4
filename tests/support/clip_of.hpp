// A manifest clip with only its required fields, for the manifest tests.
#pragma once

#include "storyboard/manifest.hpp"

#include <string>

namespace reelcut::testing {

inline Clip clip_of(std::string id, std::string title) {
    Clip clip;
    clip.id = std::move(id);
    clip.title = std::move(title);
    return clip;
}

} // namespace reelcut::testing
