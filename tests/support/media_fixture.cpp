#include "support/media_fixture.hpp"

#include "subprocess.hpp"

#include <cmath>
#include <fmt/format.h>
#include <gtest/gtest.h>

namespace reelcut::testing {
namespace {

bool run_ffmpeg(const std::vector<std::string>& args) {
    std::vector<std::string> full = {"-y", "-hide_banner", "-loglevel", "error"};
    full.insert(full.end(), args.begin(), args.end());
    auto run = run_captured("ffmpeg", full);
    if (!run) {
        ADD_FAILURE() << "ffmpeg did not start: " << run.error();
        return false;
    }
    if (!run->status.success()) {
        ADD_FAILURE() << "ffmpeg failed: " << run->err;
        return false;
    }
    return true;
}

} // namespace

bool make_clip(const std::string& path, const ClipSpec& spec) {
    std::vector<std::string> args = {"-f", "lavfi", "-i",
                                     fmt::format("testsrc2=size={}x{}:rate={}:duration={}",
                                                 spec.width, spec.height, spec.fps, spec.seconds)};
    if (spec.audio) {
        args.insert(args.end(), {"-f", "lavfi", "-i",
                                 fmt::format("sine=frequency=440:duration={}", spec.seconds)});
    }
    args.insert(args.end(), {"-c:v", spec.codec, "-pix_fmt", "yuv420p"});
    if (spec.codec == "libvpx-vp9") {
        args.insert(args.end(), {"-deadline", "realtime", "-cpu-used", "8", "-b:v", "200k"});
    } else if (spec.codec == "libx264") {
        args.insert(args.end(), {"-preset", "ultrafast"});
    }
    if (spec.audio) {
        args.insert(args.end(), {"-c:a", spec.codec == "libvpx-vp9" ? "libopus" : "aac"});
    }
    args.push_back(path);
    return run_ffmpeg(args);
}

bool make_audio(const std::string& path, double seconds) {
    return run_ffmpeg({"-f", "lavfi", "-i", fmt::format("sine=frequency=330:duration={}", seconds),
                       "-c:a", "libopus", path});
}

bool make_image(const std::string& path, int width, int height) {
    return run_ffmpeg({"-f", "lavfi", "-i", fmt::format("testsrc2=size={}x{}", width, height),
                       "-frames:v", "1", path});
}

nlohmann::json probe_json(const std::string& path) {
    auto run = run_captured(
        "ffprobe", {"-v", "error", "-print_format", "json", "-show_format", "-show_streams", path});
    if (!run || !run->status.success()) {
        return nullptr;
    }
    return nlohmann::json::parse(run->out, nullptr, false);
}

double probed_seconds(const std::string& path) {
    const auto info = probe_json(path);
    if (!info.is_object() || !info.contains("format") || !info["format"].contains("duration")) {
        return std::nan("");
    }
    return std::stod(info["format"]["duration"].get<std::string>());
}

int stream_count(const std::string& path, const std::string& type) {
    const auto info = probe_json(path);
    int count = 0;
    if (info.is_object() && info.contains("streams")) {
        for (const auto& stream : info["streams"]) {
            count += stream.value("codec_type", "") == type ? 1 : 0;
        }
    }
    return count;
}

std::pair<int, int> video_size(const std::string& path) {
    const auto info = probe_json(path);
    if (info.is_object() && info.contains("streams")) {
        for (const auto& stream : info["streams"]) {
            if (stream.value("codec_type", "") == "video") {
                return {stream.value("width", 0), stream.value("height", 0)};
            }
        }
    }
    return {0, 0};
}

std::vector<std::string> files_starting_with(const std::filesystem::path& dir,
                                             const std::string& prefix) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind(prefix, 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

} // namespace reelcut::testing
