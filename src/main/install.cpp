#include "main/install.hpp"

#include "assets.hpp"
#include "file_io.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <cstdlib>
#include <filesystem>
#include <fmt/format.h>

namespace reelcut {

namespace fs = std::filesystem;

Result<std::string> install_skill() {
    const char* home = std::getenv("HOME");
    // An empty HOME is no home at all: the skill would land in whatever the current directory
    // is, where the agent never looks.
    if (home == nullptr || *home == '\0' || !valid_utf8(home)) {
        return fail("HOME env var not set");
    }
    const fs::path dir = fs::path(home) / ".claude" / "skills" / "tevo-reelcut";
    if (int err = make_directories(dir.string()); err != 0) {
        return fail(fmt::format("create {}: {}", display_path(dir.string()), os_error_text(err)));
    }
    const fs::path file = dir / "SKILL.md";
    if (auto written = write_whole_file(file.string(), assets::skill_md()); !written) {
        return fail(fmt::format("write {}: {}", display_path(file.string()), written.error()));
    }
    return file.string();
}

} // namespace reelcut
