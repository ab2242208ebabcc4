#include "ffmpeg/finishing.hpp"

#include "ffmpeg/media_tools.hpp"
#include "ffmpeg/probe.hpp"
#include "file_io.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"

#include <cmath>
#include <cstdlib>
#include <fmt/format.h>
#include <unistd.h>

namespace reelcut {
namespace {

// One line of a concat list. The demuxer reads '\'' inside a quoted path as an apostrophe, and
// resolves a relative path against the list's own directory (the temporary one), so relative
// paths are made absolute from ours. The bytes stay as they are: the file must be found.
std::string list_line(const std::string& path) {
    std::string line = "file '";
    std::string full = path;
    if (!path.starts_with('/')) {
        if (char* cwd = ::getcwd(nullptr, 0)) {
            full = fmt::format("{}/{}", cwd, path);
            std::free(cwd);
        }
    }
    for (char c : full) {
        if (c == '\'') {
            line += "'\\''";
        } else {
            line += c;
        }
    }
    line += "'\n";
    return line;
}

Status write_list(const std::string& path, const std::string& text) {
    if (Status written = write_whole_file(path, text); !written) {
        return fail(fmt::format("write concat list: {}", written.error()));
    }
    return {};
}

// Runs ffmpeg to completion; a non-zero exit becomes "<what>: <first error lines>".
Status run_ffmpeg(const std::vector<std::string>& args, std::string_view what,
                  std::size_t error_lines) {
    auto run = run_captured("ffmpeg", args);
    if (!run) {
        return fail(fmt::format("ffmpeg spawn failed: {}", run.error()));
    }
    if (!run->status.success()) {
        return fail(fmt::format("{}: {}", what, first_error_lines(run->err, error_lines)));
    }
    return {};
}

std::vector<std::string> concat_join_args(const std::string& list,
                                          const std::vector<std::string>& codec,
                                          const std::string& output) {
    std::vector<std::string> args = {"-y",    "-loglevel", "error", "-f", "concat",
                                     "-safe", "0",         "-i",    list};
    args.insert(args.end(), codec.begin(), codec.end());
    args.insert(args.end(), {"-an", output});
    return args;
}

std::vector<std::string> reencode_args() {
    std::vector<std::string> args = vp9_encoder_args();
    args.insert(args.end(), {"-pix_fmt", "yuv420p"});
    return args;
}

} // namespace

Status concat_videos(const std::vector<std::string>& inputs, const std::string& output) {
    if (inputs.empty()) {
        return fail("concat: no input videos");
    }
    std::string list;
    for (const std::string& input : inputs) {
        if (!path_exists(input)) {
            return fail(fmt::format("concat: input missing: {}", lossy_utf8(input)));
        }
        list += list_line(input);
    }
    if (Status distinct = refuse_overwriting_input(inputs, output); !distinct) {
        return distinct;
    }
    // Unique per call: the storyboard's concat route may run twice at once in one process.
    const RemoveOnExit list_file(unique_temp_path("tevo-reelcut-concat-list-", ".txt"));
    if (Status written = write_list(list_file.path(), list); !written) {
        return written;
    }
    return run_ffmpeg(concat_join_args(list_file.path(), {"-c", "copy"}, output),
                      "ffmpeg concat failed", 10);
}

Status check_still_length(double seconds) {
    if (!(seconds * kEncodeFrameRate >= 1.0) || std::isinf(seconds)) {
        return fail(fmt::format("--duration must be a number of seconds of at least one frame "
                                "(1/{} s), got {}",
                                kEncodeFrameRate, display_f64(seconds)));
    }
    return {};
}

Status append_still(const std::string& video, const std::string& image, const std::string& output,
                    double seconds) {
    if (Status length = check_still_length(seconds); !length) {
        return length;
    }
    if (Status distinct = refuse_overwriting_input({video, image}, output); !distinct) {
        return distinct;
    }
    auto size = probe_dimensions(video);
    if (!size) {
        return fail(size.error());
    }
    const RemoveOnExit still(unique_temp_path("tevo-reelcut-still-", ".webm"));
    const std::string fit = fmt::format(
        "scale={0}:{1}:force_original_aspect_ratio=decrease,pad={0}:{1}:(ow-iw)/2:(oh-ih)/2:black,"
        "setsar=1",
        size->width, size->height);
    std::vector<std::string> encode = {"-y",
                                       "-loglevel",
                                       "error",
                                       "-loop",
                                       "1",
                                       "-framerate",
                                       std::to_string(kEncodeFrameRate),
                                       "-t",
                                       display_f64(seconds),
                                       "-i",
                                       image,
                                       "-vf",
                                       fit};
    const std::vector<std::string> codec = reencode_args();
    encode.insert(encode.end(), codec.begin(), codec.end());
    encode.insert(encode.end(), {"-an", still.path()});
    if (Status encoded = run_ffmpeg(encode, "ffmpeg still encode failed", 5); !encoded) {
        return encoded;
    }

    const RemoveOnExit list_file(unique_temp_path("tevo-reelcut-concat-", ".txt"));
    if (Status written = write_list(list_file.path(), list_line(video) + list_line(still.path()));
        !written) {
        return written;
    }
    // A stream copy when the video is VP9 at the still's settings. Otherwise the join re-encodes;
    // the concat demuxer would decode the still with the video's decoder and silently drop it
    // after an H.264 video, so each file gets its own input and the concat filter joins them.
    if (auto copied =
            run_captured("ffmpeg", concat_join_args(list_file.path(), {"-c", "copy"}, output));
        copied && copied->status.success()) {
        return {};
    }
    constexpr const char* kJoin = "[0:v]setsar=1[a];[1:v]setsar=1[b];[a][b]concat=n=2:v=1:a=0[out]";
    std::vector<std::string> join = {"-y",         "-loglevel",       "error", "-i",   video,  "-i",
                                     still.path(), "-filter_complex", kJoin,   "-map", "[out]"};
    join.insert(join.end(), codec.begin(), codec.end());
    join.insert(join.end(), {"-an", output});
    return run_ffmpeg(join, "ffmpeg concat re-encode failed", 10);
}

Status make_poster(const std::string& video, const std::string& image) {
    if (Status distinct = refuse_overwriting_input({video}, image); !distinct) {
        return distinct;
    }
    return run_ffmpeg(
        {"-y", "-loglevel", "error", "-i", video, "-frames:v", "1", "-q:v", "3", image},
        "ffmpeg poster failed", 5);
}

} // namespace reelcut
