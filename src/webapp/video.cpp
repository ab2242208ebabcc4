#include "webapp/video.hpp"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <fcntl.h>
#include <fmt/format.h>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {

namespace {

// Decimal digits after at most one "+", no blanks, and it must fit.
std::optional<std::uint64_t> parse_u64(std::string_view text) {
    std::uint64_t value = 0;
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty() || text.front() == '+') {
        return std::nullopt;
    }
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (err != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

// Only the first Range header counts; anything it does not make plain gives the whole file.
std::optional<ByteRange> requested_range(const http::Request& request, std::uint64_t size) {
    const std::optional<std::string> header = request.header("Range");
    if (!header) {
        return std::nullopt;
    }
    return parse_range_header(*header, size);
}

} // namespace

std::optional<ByteRange> parse_range_header(std::string_view header, std::uint64_t size) {
    constexpr std::string_view unit = "bytes=";
    std::string_view ranges = header;
    if (ranges.substr(0, unit.size()) != unit) {
        return std::nullopt;
    }
    ranges.remove_prefix(unit.size());
    const std::size_t dash = ranges.find('-');
    const std::optional<std::uint64_t> start = parse_u64(ranges.substr(0, dash));
    if (!start) {
        return std::nullopt;
    }
    std::uint64_t end = size == 0 ? 0 : size - 1;
    if (dash != std::string_view::npos) {
        std::string_view rest = ranges.substr(dash + 1);
        rest = rest.substr(0, rest.find('-'));
        if (const std::optional<std::uint64_t> given = parse_u64(rest)) {
            end = *given;
        }
    }
    if (*start > end || end >= size) {
        return std::nullopt;
    }
    return ByteRange{*start, end};
}

Status serve_file_with_range(http::Request request, const std::string& path,
                             const std::string& content_type) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(fmt::format("open {}: {}", path, os_error_text(errno)));
    }
    http::FileBody file{fd, 0, 0};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        return fail(os_error_text(err));
    }
    // A directory opens fine but cannot be read: refuse it before promising its size.
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        return fail(fmt::format("open {}: {}", path, os_error_text(EISDIR)));
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::optional<ByteRange> range = requested_range(request, size);
    if (range) {
        file.offset = range->start;
        file.length = range->end - range->start + 1;
    } else {
        file.length = size;
    }
    // The layer sends from `offset` with positioned reads; the file position itself is unused.
    http::Response response(range ? 206 : 200, file);
    response.with_header("Content-Type", content_type);
    response.with_header("Accept-Ranges", "bytes");
    response.with_header("Cache-Control", "no-cache");
    if (range) {
        response.with_header("Content-Range",
                             fmt::format("bytes {}-{}/{}", range->start, range->end, size));
    }
    return request.respond(std::move(response));
}

} // namespace reelcut
