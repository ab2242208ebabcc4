// publish: attaches a finished video or still to a wiki page through the wiki's own tool,
// `tevo-wiki`, and gives back the address at which the wiki serves the file.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"

#include <string>
#include <string_view>

namespace reelcut {

// The wiki's web server. Pages are browsed below it and uploaded files are served at
// "{base}/api/v1/pages/{slug}/files/{file name}".
inline constexpr std::string_view kWikiBaseUrl = "https://wiki.tevo.internal";

// Checks the arguments (nothing is printed or uploaded until all checks pass), prints the
// "uploading" line, runs `tevo-wiki repo push` and gives the uploaded file's address.
Result<std::string> publish(const PublishArgs& args);

} // namespace reelcut
