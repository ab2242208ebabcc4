// Reading the instance registry: the live page servers, oldest first, with stale entries pruned.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

struct InstanceRecord {
    std::string subcommand;
    std::string title;
    std::uint64_t started_at = 0;
    std::uint32_t pid = 0;
    std::uint16_t port = 0;
};

// One registry file's record: nothing for text that is not UTF-8, not a JSON object, or without a
// positive "pid" (taken modulo 2^32, as the file's writer never exceeds it). Missing or mistyped
// other members read as empty or zero.
std::optional<InstanceRecord> parse_instance_record(std::string_view text);

// Every registry file of a live process, sorted by start time (stable, so the last record is the
// newest). Files of dead processes are deleted; unreadable or pid-less files are skipped and kept.
Result<std::vector<InstanceRecord>> list_instances();

} // namespace reelcut
