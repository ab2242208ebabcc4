#include "file_io.hpp"

#include "text_format.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {

namespace {

bool is_directory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

bool path_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
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

std::string partial_path_beside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const PathParts parts = split_path(path);
    const auto name = parts.file_name();
    const auto extension = name ? file_extension(*name) : std::nullopt;
    const std::string_view stem =
        extension ? std::string_view(path).substr(0, path.size() - extension->size() - 1) : path;
    return fmt::format("{}.partial-{}-{}{}{}", stem, ::getpid(), counter.fetch_add(1),
                       extension ? "." : "", extension.value_or(""));
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
