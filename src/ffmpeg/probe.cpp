#include "ffmpeg/probe.hpp"

#include "ffmpeg/media_tools.hpp"
#include "number_syntax.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"

#include <chrono>
#include <cmath>
#include <fmt/format.h>

namespace reelcut {
namespace {

bool is_ascii_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length of the Unicode white-space character that starts `text`, or 0.
std::size_t space_length(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    if (is_ascii_space(text[0])) {
        return 1;
    }
    if (text.size() >= 2 && byte(0) == 0xC2 && (byte(1) == 0x85 || byte(1) == 0xA0)) {
        return 2;
    }
    if (text.size() >= 3) {
        const unsigned cp = (byte(0) & 0x0Fu) << 12 | (byte(1) & 0x3Fu) << 6 | (byte(2) & 0x3Fu);
        if ((byte(0) & 0xF0) == 0xE0 &&
            (cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 ||
             cp == 0x202F || cp == 0x205F || cp == 0x3000)) {
            return 3;
        }
    }
    return 0;
}

// A query's trimmed output as a duration, or nothing when it holds no positive number.
std::optional<double> positive_seconds(std::string_view text) {
    auto seconds = parse_float(text);
    if (seconds && *seconds > 0.0) { // NaN is not greater than zero either
        return *seconds;
    }
    return std::nullopt;
}

// The last line of a tool's error output, its line end removed.
std::string last_line(std::string_view err) {
    const std::string text = lossy_utf8(err);
    std::string_view rest = text;
    if (!rest.empty() && rest.back() == '\n') {
        rest.remove_suffix(1);
    }
    std::string_view line = rest.substr(rest.rfind('\n') + 1); // npos + 1 is the whole text
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return std::string(line);
}

Result<std::string> run_ffprobe(const std::vector<std::string>& args, const SpawnOptions& options) {
    auto run = run_captured("ffprobe", args, options);
    if (!run) {
        return fail(fmt::format("ffprobe spawn failed: {}", run.error()));
    }
    if (run->status.timed_out) {
        return fail(overrun_message("ffprobe", *options.time_limit));
    }
    if (!run->status.success()) {
        return fail(fmt::format("ffprobe failed: {}", lossy_utf8(run->err)));
    }
    return std::string(trim_ascii_whitespace(lossy_utf8(run->out)));
}

} // namespace

Result<std::string> ffprobe_query(const std::string& path, const std::vector<std::string>& extra,
                                  const SpawnOptions& options) {
    std::vector<std::string> args = {"-v", "error"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), {"-of", "default=noprint_wrappers=1:nokey=1", path});
    return run_ffprobe(args, options);
}

Result<double> probe_duration(const std::string& path, const SpawnOptions& options) {
    auto format = ffprobe_query(path, {"-show_entries", "format=duration"}, options);
    if (!format) {
        return fail(format.error());
    }
    if (auto seconds = positive_seconds(*format)) {
        return *seconds;
    }
    auto stream = ffprobe_query(
        path, {"-select_streams", "v:0", "-show_entries", "stream=duration"}, options);
    if (!stream) {
        return fail(stream.error());
    }
    if (auto seconds = positive_seconds(*stream)) {
        return *seconds;
    }

    // A container written without a duration (a live recording, a stream) gets one from a
    // stream copy into a fresh WebM file.
    const RemoveOnExit copy(unique_temp_path("tevo-reelcut-probe-", ".webm"));
    auto remux = run_captured("ffmpeg", {"-y", "-i", path, "-c", "copy", copy.path()}, options);
    if (!remux) {
        return fail(fmt::format("ffmpeg remux spawn failed: {}", remux.error()));
    }
    if (!remux->status.success()) {
        return fail(fmt::format("ffprobe could not determine duration (format='{}', "
                                "stream='{}') and remux fallback also failed: {}",
                                *format, *stream, last_line(remux->err)));
    }
    auto remuxed = ffprobe_query(copy.path(), {"-show_entries", "format=duration"}, options);
    if (!remuxed) {
        return fail(remuxed.error());
    }
    auto seconds = parse_float(*remuxed);
    if (!seconds) {
        return fail(fmt::format("duration still unavailable after remux: {} ({})", *remuxed,
                                seconds.error()));
    }
    return *seconds;
}

Result<FrameSize> probe_dimensions(const std::string& path) {
    auto text = run_ffprobe({"-v", "error", "-select_streams", "v:0", "-show_entries",
                             "stream=width,height", "-of", "csv=p=0:s=x", path},
                            {});
    if (!text) {
        return fail(text.error());
    }
    const std::string_view all = *text;
    const std::size_t x = all.find('x');
    auto width = parse_unsigned(all.substr(0, x), UINT32_MAX);
    if (!width) {
        return fail(fmt::format("could not parse width from '{}'", all));
    }
    std::optional<std::uint64_t> height;
    if (x != std::string_view::npos) {
        const std::string_view rest = all.substr(x + 1);
        if (auto h = parse_unsigned(rest.substr(0, rest.find('x')), UINT32_MAX)) {
            height = *h;
        }
    }
    if (!height) {
        return fail(fmt::format("could not parse height from '{}'", all));
    }
    return FrameSize{static_cast<std::uint32_t>(*width), static_cast<std::uint32_t>(*height)};
}

Result<ToolVersions> health() {
    ToolVersions versions;
    for (auto [tool, version] :
         {std::pair{"ffmpeg", &versions.ffmpeg}, std::pair{"ffprobe", &versions.ffprobe}}) {
        auto run = run_captured(tool, {"-version"});
        if (!run) {
            return fail(fmt::format("{} not found in PATH: {}. Hint: sudo apt-get install ffmpeg",
                                    tool, run.error()));
        }
        *version = version_word(run->out); // the exit status says nothing here
    }
    return versions;
}

std::string version_word(std::string_view output) {
    const std::string text = lossy_utf8(output);
    std::string_view line = std::string_view(text).substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    int index = 0;
    std::size_t at = 0;
    while (at < line.size()) {
        if (const std::size_t space = space_length(line.substr(at)); space > 0) {
            at += space;
            continue;
        }
        std::size_t end = at;
        while (end < line.size() && space_length(line.substr(end)) == 0) {
            ++end;
        }
        if (++index == 3) {
            return std::string(line.substr(at, end - at));
        }
        at = end;
    }
    return "?";
}

} // namespace reelcut
