#include "ffmpeg/media_tools.hpp"

#include "file_io.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <cstdlib>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {

std::string system_temp_dir() {
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? std::string(dir) : std::string("/tmp");
}

std::string temp_file_path(std::string_view name) {
    return join_path(system_temp_dir(), name);
}

std::string unique_temp_path(std::string_view prefix, std::string_view suffix) {
    return temp_file_path(fmt::format("{}{}{}", prefix, scratch_tag(), suffix));
}

RemoveOnExit::~RemoveOnExit() {
    ::unlink(path_.c_str());
}

Status refuse_overwriting_input(const std::vector<std::string>& inputs, const std::string& output) {
    struct stat out {};
    if (::stat(output.c_str(), &out) != 0) {
        return {};
    }
    for (const std::string& input : inputs) {
        struct stat in {};
        if (::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev && in.st_ino == out.st_ino) {
            return fail(fmt::format("output {} is the same file as input {}: ffmpeg would empty it "
                                    "before reading it. Hint: choose another output path",
                                    lossy_utf8(output), lossy_utf8(input)));
        }
    }
    return {};
}

const std::vector<std::string>& vp9_encoder_args() {
    // Never destroyed: a request thread may still be encoding while the process exits.
    static const auto* args = new std::vector<std::string>{
        "-c:v",      "libvpx-vp9", "-b:v",    "2M", "-deadline",   "realtime",
        "-cpu-used", "8",          "-row-mt", "1",  "-r",          std::to_string(kEncodeFrameRate),
        "-fps_mode", "cfr",        "-g",      "60", "-keyint_min", "60"};
    return *args;
}

namespace {

// Lines as a line iterator yields them (a final line end adds no empty line), a carriage return
// before a line feed removed; views into `text`.
std::vector<std::string_view> error_lines(const std::string& text) {
    std::vector<std::string_view> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        const bool last = end == std::string::npos;
        if (last) {
            end = text.size();
        }
        std::string_view line(text.data() + at, end - at);
        if (!last && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::string join_lines(const std::vector<std::string_view>& lines, std::size_t first,
                       std::size_t end, std::string_view separator) {
    std::string joined;
    for (std::size_t i = first; i < end; ++i) {
        if (i > first) {
            joined += separator;
        }
        joined += lines[i];
    }
    return joined;
}

} // namespace

std::string first_error_lines(std::string_view err, std::size_t count) {
    const std::string text = lossy_utf8(err);
    const auto lines = error_lines(text);
    return join_lines(lines, 0, std::min(count, lines.size()), "; ");
}

std::string last_error_lines(std::string_view err, std::size_t count, std::string_view separator) {
    const std::string text = lossy_utf8(err);
    const auto lines = error_lines(text);
    return join_lines(lines, lines.size() > count ? lines.size() - count : 0, lines.size(),
                      separator);
}

} // namespace reelcut
