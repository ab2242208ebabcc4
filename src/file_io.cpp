#include "file_io.hpp"

#include "text_format.hpp"

#include <atomic>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {

namespace {

// stat(2) on the whole path: one with a NUL byte would be read only up to it, naming another file.
bool stat_path(const std::string& path, struct stat& st) {
    return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

bool is_directory(const std::string& path) {
    struct stat st {};
    return stat_path(path, st) && S_ISDIR(st.st_mode);
}

constexpr std::string_view kPartialMarker = ".partial-";
constexpr std::string_view kTempPrefix = "tevo-reelcut-";
// The longest file name the file systems in use take.
constexpr std::size_t kNameMax = 255;

std::uint32_t run_token() {
    static const std::uint32_t token = [] {
        std::random_device random;
        return static_cast<std::uint32_t>(random());
    }();
    return token;
}

struct ScratchWriter {
    pid_t pid = 0;
    std::uint32_t run = 0;
};

// "<pid>-<8 hex digits>-<n>" at the start of `text`, ending at a "." or the end.
std::optional<ScratchWriter> parse_tag(std::string_view text) {
    const std::string_view tag = text.substr(0, text.find('.'));
    ScratchWriter writer;
    const char* at = tag.data();
    const char* end = tag.data() + tag.size();
    auto parsed = std::from_chars(at, end, writer.pid);
    if (parsed.ec != std::errc() || parsed.ptr == at || writer.pid <= 0 || parsed.ptr == end ||
        *parsed.ptr != '-' || end - parsed.ptr < 10) {
        return std::nullopt;
    }
    at = parsed.ptr + 1;
    parsed = std::from_chars(at, at + 8, writer.run, 16);
    if (parsed.ec != std::errc() || parsed.ptr != at + 8 || at[8] != '-') {
        return std::nullopt;
    }
    at += 9;
    std::uint64_t n = 0;
    parsed = std::from_chars(at, end, n);
    if (parsed.ec != std::errc() || parsed.ptr == at || parsed.ptr != end) {
        return std::nullopt;
    }
    return writer;
}

std::optional<ScratchWriter> scratch_writer(std::string_view name) {
    if (const auto marker = name.rfind(kPartialMarker); marker != std::string_view::npos) {
        return parse_tag(name.substr(marker + kPartialMarker.size()));
    }
    if (name.starts_with(kTempPrefix)) {
        for (auto dash = name.find('-', kTempPrefix.size() - 1); dash != std::string_view::npos;
             dash = name.find('-', dash + 1)) {
            if (auto writer = parse_tag(name.substr(dash + 1))) {
                return writer;
            }
        }
    }
    return std::nullopt;
}

} // namespace

bool path_exists(const std::string& path) {
    struct stat st {};
    return stat_path(path, st);
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return stat_path(path, st) && S_ISREG(st.st_mode);
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat_path(a, sa) && stat_path(b, sb) && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

PathParts split_path(std::string_view path) {
    while (true) {
        if (path.size() > 1 && path.back() == '/') {
            path.remove_suffix(1);
        } else if (path.size() > 2 && path.ends_with("/.")) {
            path.remove_suffix(2);
        } else {
            break;
        }
    }
    if (path == "/") {
        return {path, {}};
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return {{}, path};
    }
    return {slash == 0 ? path.substr(0, 1) : path.substr(0, slash), path.substr(slash + 1)};
}

std::optional<std::string_view> PathParts::file_name() const {
    if (last.empty() || last == "." || last == "..") {
        return std::nullopt;
    }
    return last;
}

std::optional<std::string_view> file_extension(std::string_view name) {
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) {
        return std::nullopt;
    }
    return name.substr(dot + 1);
}

std::string_view file_stem(std::string_view name) {
    const auto ext = file_extension(name);
    return ext ? name.substr(0, name.size() - ext->size() - 1) : name;
}

std::string join_path(std::string_view dir, std::string_view name) {
    std::string path(dir);
    if (!path.empty() && path.back() != '/') {
        path += '/';
    }
    path += name;
    return path;
}

std::string parent_directory(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {};
    }
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

int make_directories(const std::string& dir) {
    if (dir.empty()) {
        return 0;
    }
    if (::mkdir(dir.c_str(), 0777) == 0) {
        return 0;
    }
    int err = errno;
    if (err == ENOENT) {
        const std::string parent = parent_directory(dir);
        if (parent != dir) {
            if (const int parent_err = make_directories(parent); parent_err != 0) {
                return parent_err;
            }
            if (::mkdir(dir.c_str(), 0777) == 0) {
                return 0;
            }
            err = errno;
        }
    }
    return is_directory(dir) ? 0 : err;
}

Result<std::string> read_whole_file(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(os_error_text(errno));
    }
    std::string text;
    char buf[65536];
    while (true) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            return fail(os_error_text(err));
        }
        if (n == 0) {
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return text;
}

Status write_whole_file(const std::string& path, std::string_view content, mode_t mode) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        return fail(os_error_text(errno));
    }
    while (!content.empty()) {
        const ssize_t n = ::write(fd, content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            const int err = errno;
            ::close(fd);
            return fail(os_error_text(err));
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::close(fd) != 0) {
        return fail(os_error_text(errno));
    }
    return {};
}

std::string scratch_tag() {
    static std::atomic<unsigned long> counter{0};
    return fmt::format("{}-{:08x}-{}", ::getpid(), run_token(),
                       counter.fetch_add(1, std::memory_order_relaxed));
}

std::string partial_path_beside(const std::string& path) {
    const PathParts parts = split_path(path);
    const auto name = parts.file_name();
    const auto extension = name ? file_extension(*name) : std::nullopt;
    const std::string suffix = fmt::format("{}{}{}{}", kPartialMarker, scratch_tag(),
                                           extension ? "." : "", extension.value_or(""));
    std::string_view stem =
        extension ? std::string_view(path).substr(0, path.size() - extension->size() - 1) : path;
    // Only the file name counts against the limit; a shortened stem loses its end, never its
    // directory.
    const std::size_t dir_length = stem.size() - (name ? file_stem(*name).size() : 0);
    if (name && stem.size() - dir_length + suffix.size() > kNameMax && suffix.size() < kNameMax) {
        std::size_t keep = dir_length + kNameMax - suffix.size();
        while (keep > dir_length && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80) {
            --keep; // not inside a UTF-8 sequence
        }
        stem = stem.substr(0, keep);
    }
    return std::string(stem) + suffix;
}

bool is_scratch_name(std::string_view name) {
    return scratch_writer(name).has_value();
}

bool is_abandoned_scratch(std::string_view name) {
    const auto writer = scratch_writer(name);
    if (!writer) {
        return false;
    }
    if (writer->pid == ::getpid()) {
        return writer->run != run_token();
    }
    return ::kill(writer->pid, 0) != 0 && errno == ESRCH;
}

void remove_abandoned_scratch(const std::string& dir) {
    const std::string where = dir.empty() ? "." : dir;
    DIR* listing = ::opendir(where.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (is_abandoned_scratch(entry->d_name)) {
            ::unlink(join_path(where, entry->d_name).c_str());
        }
    }
    ::closedir(listing);
}

Status rename_into_place(const std::string& partial, const std::string& target, Status written) {
    if (written && std::rename(partial.c_str(), target.c_str()) != 0) {
        written = fail(fmt::format("rename {} to {}: {}", lossy_utf8(partial), lossy_utf8(target),
                                   os_error_text(errno)));
    }
    if (!written) {
        std::remove(partial.c_str());
    }
    return written;
}

Result<bool> rename_if_free(const std::string& partial, const std::string& target) {
    if (::renameat2(AT_FDCWD, partial.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        return true;
    }
    int err = errno;
    if (err == EINVAL || err == ENOSYS) {
        // A file system without the flag: a hard link is just as exclusive.
        if (::link(partial.c_str(), target.c_str()) == 0) {
            ::unlink(partial.c_str());
            return true;
        }
        err = errno;
    }
    if (err == EEXIST) {
        return false;
    }
    return fail(fmt::format("rename {} to {}: {}", lossy_utf8(partial), lossy_utf8(target),
                            os_error_text(err)));
}

std::string through_links(const std::string& path) {
    std::string at = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (at.find('\0') != std::string::npos || ::lstat(at.c_str(), &st) != 0 ||
            !S_ISLNK(st.st_mode)) {
            return at;
        }
        std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 4096), '\0');
        const ssize_t n = ::readlink(at.c_str(), target.data(), target.size());
        if (n <= 0 || static_cast<std::size_t>(n) > target.size()) {
            return at;
        }
        target.resize(static_cast<std::size_t>(n));
        at = target.starts_with('/') ? target : join_path(parent_directory(at), target);
    }
    return path;
}

std::string default_output_path(const std::string& input, std::string_view suffix) {
    const PathParts parts = split_path(input);
    if (parts.last.empty()) {
        return fmt::format("./-{}.webm", suffix); // no parent at all: the current directory
    }
    // "." and ".." name no file: empty stem, no extension.
    const std::string_view name = parts.file_name().value_or(std::string_view{});
    const std::optional<std::string_view> ext = file_extension(name);
    return join_path(parts.parent, fmt::format("{}-{}.{}", lossy_utf8(file_stem(name)), suffix,
                                               ext ? lossy_utf8(*ext) : std::string("webm")));
}

} // namespace reelcut
