#include "webapp/registry.hpp"

#include "file_io.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"

#include <chrono>
#include <cstdlib>
#include <system_error>

namespace reelcut {

namespace fs = std::filesystem;

Result<fs::path> instances_dir() {
    const char* home = std::getenv("HOME");
    if (home == nullptr || !valid_utf8(home)) {
        return fail("HOME not set");
    }
    return fs::path(home) / ".tevo/tevo-reelcut/instances";
}

std::string render_instance_json(const InstanceInfo& info, std::uint64_t started_at,
                                 const std::string& cwd) {
    std::string out = "{\"pid\":" + std::to_string(info.pid);
    out += ",\"port\":" + std::to_string(info.port);
    out += ",\"subcommand\":";
    append_json_string(out, lossy_utf8(info.subcommand));
    out += ",\"title\":";
    append_json_string(out, lossy_utf8(info.title));
    out += ",\"startedAt\":" + std::to_string(started_at);
    out += ",\"cwd\":";
    append_json_string(out, lossy_utf8(cwd));
    out += '}';
    return out;
}

namespace {

std::uint64_t unix_seconds_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

std::string current_dir_text() {
    std::error_code ec;
    const fs::path cwd = fs::current_path(ec);
    return ec ? std::string() : cwd.string();
}

} // namespace

Result<fs::path> register_instance(const InstanceInfo& info) {
    auto dir = instances_dir();
    if (!dir) {
        return fail(dir.error());
    }
    std::error_code ec;
    fs::create_directories(*dir, ec);
    if (ec) {
        return fail("mkdir " + lossy_utf8(dir->string()) + ": " + os_error_text(ec.value()));
    }
    const fs::path file = *dir / (std::to_string(info.pid) + ".json");
    const std::string json = render_instance_json(info, unix_seconds_now(), current_dir_text());
    if (auto written = write_whole_file(file.string(), json); !written) {
        return fail("write " + lossy_utf8(file.string()) + ": " + written.error());
    }
    return file;
}

void unregister_instance(const fs::path& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

} // namespace reelcut
