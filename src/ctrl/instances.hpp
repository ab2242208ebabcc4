// Reading the instance registry: the live page servers, oldest first, with stale entries pruned.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace reelcut {

struct InstanceRecord {
    std::string subcommand;
    std::string title;
    std::uint64_t started_at = 0;
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
};

// Every registry file of a live process, sorted by start time (stable, so the last record is the
// newest). Files of dead processes are deleted; unreadable or pid-less files are skipped and kept.
Result<std::vector<InstanceRecord>> list_instances();

} // namespace reelcut
