// File answers with single byte-range support, for the video and image routes of the pages.
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"

#include <string>

namespace reelcut {

// Answers `request` with the file at `path`: 206 and the asked bytes for one satisfiable
// "Range: bytes=START-END" (END optional), otherwise 200 and the whole file; never 416. The body
// is streamed from the open file. When the file cannot be opened or sized the request is dropped
// (the HTTP layer answers 500) and the error is returned; so is the layer's text when the answer
// cannot be written.
Status serve_file_with_range(http::Request request, const std::string& path,
                             const std::string& content_type);

} // namespace reelcut
