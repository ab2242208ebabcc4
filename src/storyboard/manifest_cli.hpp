// The `manifest` actions: init, add, inspect and remove on a storyboard manifest file.
#pragma once

#include "result.hpp"
#include "storyboard/manifest.hpp"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace reelcut {

// What each action takes; the command line fills these.
struct ManifestInit {
    std::string file;
    std::string title;
};
struct ManifestAdd {
    std::string file;
    std::string id;
    std::string title;
    std::optional<std::string> description;
    std::optional<std::string> raw;
    std::optional<std::string> fast;
    std::optional<std::string> image;
    std::optional<std::string> console_png;
    std::vector<std::string> speedups;
    std::vector<std::string> actions;
    std::vector<std::string> warnings;
    std::optional<std::string> narration;
};
struct ManifestInspect {
    std::string file;
};
struct ManifestRemove {
    std::string file;
    std::string id;
};
using ManifestAction = std::variant<ManifestInit, ManifestAdd, ManifestInspect, ManifestRemove>;

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
