// File answers with single byte-range support, for the video and image routes of the pages.
#pragma once

#include "result.hpp"
#include "webapp/http.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace reelcut {

struct ByteRange {
    std::uint64_t start;
    std::uint64_t end; // inclusive
};

// The one range a "Range" header value asks of a file of `size` bytes: "bytes=START-END" (END
// optional, anything after a further "-" ignored), or nothing when it is not plain or not
// satisfiable (no suffix ranges, no clipping of an END past the file).
std::optional<ByteRange> parse_range_header(std::string_view header, std::uint64_t size);

// Answers `request` with the file at `path`: 206 and the asked bytes for one satisfiable
// "Range: bytes=START-END" (END optional), otherwise 200 and the whole file; never 416. The body
// is streamed from the open file. When the file cannot be opened or sized the request is dropped
// (the HTTP layer answers 500) and the error is returned; so is the layer's text when the answer
// cannot be written.
Status serve_file_with_range(http::Request request, const std::string& path,
                             const std::string& content_type);

} // namespace reelcut
