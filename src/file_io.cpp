#include "file_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace reelcut {

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

} // namespace reelcut
