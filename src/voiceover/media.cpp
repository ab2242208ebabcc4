// Media routes: the input and selected videos, the speed-up timeline, waveform images and
// revealing the current file in the editor.
#include "ffmpeg/media_tools.hpp"
#include "ffmpeg/probe.hpp"
#include "file_io.hpp"
#include "markers.hpp"
#include "subprocess.hpp"
#include "text_format.hpp"
#include "voiceover/routes.hpp"
#include "voiceover/routes_internal.hpp"
#include "webapp/video.hpp"

#include <fmt/format.h>

namespace reelcut {

namespace {

constexpr const char* kWaveformFilter =
    "showwavespic=s=1024x144:colors=0x00b8b0|0x8C6BF7:split_channels=0";
// Stretches shorter than this are not worth a normal item of their own.
constexpr double kTimelineSlack = 0.001;

std::string normal_item(double start, double end) {
    return fmt::format(R"({{"kind":"normal","start":{:.3f},"end":{:.3f},"duration":{:.3f}}})",
                       start, end, end - start);
}

} // namespace

std::string timeline_json(const std::vector<Segment>& segments, double probed_duration) {
    // Speed 0 would divide by zero and fill the reply with infinities no client can parse.
    const auto speed_of = [](const Segment& s) { return s.speed == 0 ? 1u : s.speed; };
    double input_duration = probed_duration;
    for (const Segment& s : segments) {
        const double d = s.end - s.start;
        input_duration += d - d / static_cast<double>(speed_of(s));
    }
    std::string items;
    const auto add = [&](const std::string& item) { items += (items.empty() ? "" : ",") + item; };
    double cursor = 0;
    double sum_d = 0;
    double sum_c = 0;
    for (const Segment& s : segments) {
        if (s.start > cursor + kTimelineSlack) {
            add(normal_item(cursor, s.start));
        }
        const double d = s.end - s.start;
        const double c = d / static_cast<double>(speed_of(s));
        add(fmt::format(
            R"({{"kind":"speedup","start":{:.3f},"end":{:.3f},"duration":{:.3f},"speed":{},"label":"{}","compressedDuration":{:.3f}}})",
            s.start, s.end, d, speed_of(s), escape_json_text(s.label), c));
        sum_d += d;
        sum_c += c;
        cursor = s.end; // also backwards, for overlapping segments
    }
    if (input_duration - kTimelineSlack > cursor) {
        add(normal_item(cursor, input_duration));
    }
    const double output_duration = input_duration - sum_d + sum_c;
    const double saved = input_duration - output_duration;
    const double pct = input_duration > 0 ? saved / input_duration * 100 : 0;
    return fmt::format(
        R"({{"ok":true,"available":true,"inputDuration":{:.3f},"outputDuration":{:.3f},"savedSeconds":{:.3f},"reductionPct":{:.2f},"speedupSegmentCount":{},"segments":[{}]}})",
        input_duration, output_duration, saved, pct, segments.size(), items);
}

namespace voiceover {

RouteOutcome input_video(VoiceoverApp& app, http::Request& request) {
    return Handled{serve_file_with_range(std::move(request), app.media().input, "video/webm")};
}

RouteOutcome final_video(VoiceoverApp& app, http::Request& request) {
    const std::string path = snapshot(app).playback_file(app.media().output);
    return Handled{serve_file_with_range(std::move(request), path, "video/webm")};
}

RouteOutcome timeline(VoiceoverApp& app, http::Request& request) {
    if (!app.args.markers) {
        return send_json(
            request, 200,
            R"({"ok":true,"available":false,"reason":"no markers file passed to --markers"})");
    }
    const std::string& markers = *app.args.markers;
    if (!path_exists(markers)) {
        return send_json(
            request, 200,
            fmt::format(R"({{"ok":true,"available":false,"reason":"markers file not found: {}"}})",
                        escape_json_text(markers)));
    }
    auto parsed = read_events(markers).and_then(parse_segments);
    if (!parsed) {
        return send_failure(request, 500, "could not parse markers: " + parsed.error());
    }
    auto slot = MediaSlot::acquire(app, request);
    if (const NoSlot* none = std::get_if<NoSlot>(&slot)) {
        return refuse_media(request, *none, true);
    }
    auto duration = probe_duration(app.media().input, media_run_options(app));
    if (!duration) {
        return send_failure(request, 500, "could not probe input duration: " + duration.error());
    }
    return send_json(request, 200, timeline_json(parsed->segments, *duration));
}

// Each render writes an image of its own, read and removed before the reply: two renders at once
// never answer each other's (or half a) picture.
RouteOutcome waveform(VoiceoverApp& app, http::Request& request, bool raw) {
    const VoiceoverState state = snapshot(app);
    const std::string output = app.media().output;
    const std::string source = raw ? state.raw_file(output) : state.current_file(output);
    if (!path_exists(source)) {
        return send_text(request, 404, "audio file not found");
    }
    auto slot = MediaSlot::acquire(app, request);
    if (const NoSlot* none = std::get_if<NoSlot>(&slot)) {
        return refuse_media(request, *none, false);
    }
    const RemoveOnExit image(unique_temp_path(
        raw ? "tevo-reelcut-waveform-raw-" : "tevo-reelcut-waveform-preview-", ".png"));
    const SpawnOptions options = media_run_options(app);
    auto ran = run_captured(
        "ffmpeg",
        {"-y", "-i", source, "-filter_complex", kWaveformFilter, "-frames:v", "1", image.path()},
        options);
    if (!ran) {
        return send_text(request, 500, "ffmpeg spawn failed: " + ran.error());
    }
    if (ran->status.timed_out) {
        return send_text(request, 500,
                         "ffmpeg showwavespic failed: " +
                             overrun_message("ffmpeg", *options.time_limit));
    }
    if (!ran->status.success()) {
        return send_text(request, 500, "ffmpeg showwavespic failed: " + lossy_utf8(ran->err));
    }
    auto png = read_whole_file(image.path());
    if (!png) {
        return send_text(request, 500, "waveform read failed: " + png.error());
    }
    http::Response response(200, std::move(*png));
    response.with_header("Content-Type", "image/png");
    (void)request.respond(std::move(response));
    return Handled{};
}

RouteOutcome reveal(VoiceoverApp& app, http::Request& request) {
    const std::string target = snapshot(app).current_file(app.media().output);
    if (!path_exists(target)) {
        return send_failure(request, 404, "no file to reveal at " + target);
    }
    // Only whether the editor's tool starts matters; what it says is its own business.
    if (auto ran = run_captured(code_server_cli(), {"--reuse-window", target}); !ran) {
        return send_failure(request, 500, "code-server spawn failed: " + ran.error());
    }
    return send_json(request, 200,
                     fmt::format(R"({{"ok":true,"path":"{}"}})", escape_json_text(target)));
}

} // namespace voiceover

} // namespace reelcut
