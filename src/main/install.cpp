#include "main/install.hpp"

#include "assets.hpp"
#include "main/output.hpp"
#include "text_format.hpp"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {
namespace {

namespace fs = std::filesystem;

bool names_directory(const fs::path& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// mkdir -p that reports the errno of the step that failed: a plain file in the way gives
// "Not a directory", a read-only parent "Permission denied".
int create_dir_all(const fs::path& dir) {
    if (dir.empty() || ::mkdir(dir.c_str(), 0777) == 0) {
        return 0;
    }
    int err = errno;
    if (err == ENOENT && dir.has_relative_path() && dir.parent_path() != dir) {
        if (int parent = create_dir_all(dir.parent_path()); parent != 0) {
            return parent;
        }
        if (::mkdir(dir.c_str(), 0777) == 0) {
            return 0;
        }
        err = errno;
    }
    // Someone else's directory (or one made meanwhile) is as good as our own.
    return names_directory(dir) ? 0 : err;
}

int write_whole(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return ::close(fd) == 0 ? 0 : errno;
}

} // namespace

Result<std::string> install_skill() {
    const char* home = std::getenv("HOME");
    // An empty HOME is no home at all: the skill would land in whatever the current directory
    // is, where the agent never looks.
    if (home == nullptr || *home == '\0' || !valid_utf8(home)) {
        return fail("HOME env var not set");
    }
    const fs::path dir = fs::path(home) / ".claude" / "skills" / "tevo-reelcut";
    if (int err = create_dir_all(dir); err != 0) {
        return fail(fmt::format("create {}: {}", display_path(dir.string()), os_error_text(err)));
    }
    const fs::path file = dir / "SKILL.md";
    if (int err = write_whole(file, assets::skill_md()); err != 0) {
        return fail(fmt::format("write {}: {}", display_path(file.string()), os_error_text(err)));
    }
    return file.string();
}

} // namespace reelcut
