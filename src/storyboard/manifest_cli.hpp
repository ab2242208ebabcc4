// The `manifest` actions: init, add, inspect and remove on a storyboard manifest file.
#pragma once

#include "main/cli.hpp"
#include "result.hpp"
#include "storyboard/manifest.hpp"

#include <string>
#include <vector>

namespace reelcut {

Status manifest_init(const ManifestInit& args);
// Adds the clip, or replaces the clip with the same id in place; creates the manifest (titled
// "Untitled") when the file is missing.
Status manifest_add(const ManifestAdd& args);
// Prints the summary on standard output.
Status manifest_inspect(const ManifestInspect& args);
Status manifest_remove(const ManifestRemove& args);

// The summary that `manifest_inspect` prints.
std::string render_manifest_summary(const Manifest& manifest);

// "SPEED:LABEL" with a speed from 2 to 100.
Result<SpeedupEvent> parse_speedup_arg(const std::string& value);

// "20x:Exporting" for each event.
std::vector<std::string> format_speedup_events(const std::vector<SpeedupEvent>& events);

} // namespace reelcut
