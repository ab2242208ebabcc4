#include "ctrl/instances.hpp"

#include "subprocess.hpp"
#include "text_format.hpp"
#include "webapp/registry.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <system_error>

namespace reelcut {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::optional<std::string> read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        return std::nullopt;
    }
    return std::move(buffer).str();
}

// A non-negative JSON integer, or nothing.
std::optional<std::uint64_t> non_negative_integer(const json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    if (it->is_number_unsigned()) {
        return it->get<std::uint64_t>();
    }
    if (it->is_number_integer() && it->get<std::int64_t>() >= 0) {
        return static_cast<std::uint64_t>(it->get<std::int64_t>());
    }
    return std::nullopt;
}

std::string string_or_empty(const json& object, const char* key) {
    const auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool process_alive(std::uint32_t pid) {
    auto run = run_captured("kill", {"-0", std::to_string(pid)});
    return run && run->status.success();
}

} // namespace

std::optional<InstanceRecord> parse_instance_record(std::string_view text) {
    if (!valid_utf8(text)) {
        return std::nullopt;
    }
    const json object = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!object.is_object()) {
        return std::nullopt;
    }
    const auto raw_pid = non_negative_integer(object, "pid");
    const auto pid = static_cast<std::uint32_t>(raw_pid.value_or(0));
    if (pid == 0) {
        return std::nullopt;
    }
    InstanceRecord record;
    record.subcommand = string_or_empty(object, "subcommand");
    record.title = string_or_empty(object, "title");
    record.started_at = non_negative_integer(object, "startedAt").value_or(0);
    record.port = static_cast<std::uint16_t>(non_negative_integer(object, "port").value_or(0));
    record.pid = pid;
    return record;
}

Result<std::vector<InstanceRecord>> list_instances() {
    auto dir = instances_dir();
    if (!dir) {
        return fail(dir.error());
    }
    std::error_code ec;
    (void)fs::status(*dir, ec);
    if (ec) {
        return std::vector<InstanceRecord>{};
    }
    fs::directory_iterator entries(*dir, ec);
    if (ec) {
        return fail("read_dir " + lossy_utf8(dir->string()) + ": " + os_error_text(ec.value()));
    }

    std::vector<InstanceRecord> records;
    for (; entries != fs::directory_iterator(); entries.increment(ec)) {
        if (ec) {
            break;
        }
        const fs::path& path = entries->path();
        if (path.extension() != ".json") {
            continue;
        }
        const auto text = read_text(path);
        if (!text) {
            continue;
        }
        auto record = parse_instance_record(*text);
        if (!record) {
            continue;
        }
        if (!process_alive(record->pid)) {
            std::error_code ignored;
            fs::remove(path, ignored);
            continue;
        }
        records.push_back(std::move(*record));
    }
    std::stable_sort(records.begin(), records.end(),
                     [](const InstanceRecord& a, const InstanceRecord& b) {
                         return a.started_at < b.started_at;
                     });
    return records;
}

} // namespace reelcut
