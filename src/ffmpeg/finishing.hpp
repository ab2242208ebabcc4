// Finishing operations on encoded clips: joining them, closing with a still card, poster frames.
#pragma once

#include "result.hpp"

#include <string>
#include <vector>

namespace reelcut {

// Joins `inputs` in order by stream copy (they must share their encoding); no audio.
Status concat_videos(const std::vector<std::string>& inputs, const std::string& output);

// Fails unless `seconds` holds at least one frame of the still clip (30 fps): ffmpeg given a
// looped image and a shorter length encodes without end. NaN and infinities fail too.
Status check_still_length(double seconds);

// `video` followed by `image` held for `seconds`, scaled into the video's frame on black; no
// audio. Joined by stream copy when the encodings match, else re-encoded.
Status append_still(const std::string& video, const std::string& image, const std::string& output,
                    double seconds);

// The first frame of `video`, written in the format that `image`'s extension names.
Status make_poster(const std::string& video, const std::string& image);

} // namespace reelcut
