// The instance registry: one small JSON file per running page server, named after its pid, in
// ~/.tevo/tevo-reelcut/instances. The directory listing is the registry; nothing else indexes it.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <filesystem>
#include <string>

namespace reelcut {

// What a starting server registers.
struct InstanceInfo {
    std::string subcommand; // "voiceover", "storyboard" or "app"
    std::string title;
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
};

// HOME joined with ".tevo/tevo-reelcut/instances"; "HOME not set" when HOME is unset or not
// valid UTF-8. Creates nothing.
Result<std::filesystem::path> instances_dir();

// Writes "{pid}.json" into the registry directory (created on demand) and returns its path.
Result<std::filesystem::path> register_instance(const InstanceInfo& info);

// Removes a registry file; a file already gone or not removable is not an error.
void unregister_instance(const std::filesystem::path& path);

// The compact JSON object of a registry file, keys in the file's fixed order.
std::string render_instance_json(const InstanceInfo& info, std::uint64_t started_at,
                                 const std::string& cwd);

} // namespace reelcut
