#include "main/process_command.hpp"

#include "ffmpeg/media_tools.hpp"
#include "ffmpeg/probe.hpp"
#include "ffmpeg/speedup.hpp"
#include "file_io.hpp"
#include "number_syntax.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

namespace reelcut {
namespace {

std::string dim_line(std::string_view text) {
    return fmt::format("{}{}{}", ansi::dim, text, ansi::reset);
}

// Width / 30, kept between 20 and 80 pixels.
std::uint32_t caption_font_px(std::uint32_t width) {
    const double px = std::trunc(static_cast<double>(width) / 30.0);
    return static_cast<std::uint32_t>(std::clamp(px, 20.0, 80.0));
}

// The trim option's value: "auto", or a number of seconds.
struct TrimValue {
    bool automatic = false;
    double seconds = 0.0;
};

Result<TrimValue> read_trim(const std::string& text, std::string_view option) {
    if (text == "auto") {
        return TrimValue{true, 0.0};
    }
    auto seconds = parse_float(text);
    if (!seconds) {
        return fail(fmt::format("{} must be 'auto' or a number of seconds, got '{}': {}", option,
                                text, seconds.error()));
    }
    return TrimValue{false, *seconds};
}

Result<double> apply_trim_start(const std::optional<std::string>& option,
                                std::vector<Segment>& segments) {
    if (!option) {
        return 0.0;
    }
    auto value = read_trim(*option, "--trim-start");
    if (!value) {
        return fail(value.error());
    }
    double trim_start = value->seconds;
    if (value->automatic) {
        trim_start = segments.empty() ? 0.0 : std::max(segments.front().start - 2.0, 0.0);
    }
    if (trim_start > 0.0) {
        print_info(dim_line(fmt::format(
            "--trim-start {}: cutting {:.1f}s off the front of the video", *option, trim_start)));
        retain_segments_ending_after(segments, trim_start);
        for (Segment& segment : segments) {
            segment.start = std::max(segment.start, trim_start);
        }
    }
    return trim_start;
}

Result<double> apply_trim_end(const std::optional<std::string>& option, double duration,
                              std::vector<Segment>& segments) {
    if (!option) {
        return duration;
    }
    auto value = read_trim(*option, "--trim-end");
    if (!value) {
        return fail(value.error());
    }
    double trim_end;
    if (value->automatic) {
        trim_end = segments.empty() ? duration : std::min(segments.back().end + 4.0, duration);
    } else {
        trim_end = std::isnan(value->seconds) ? duration : std::min(value->seconds, duration);
    }
    if (trim_end < duration - 0.001) {
        print_info(dim_line(
            fmt::format("--trim-end {}: cutting {:.1f}s off the end of the video (ends at {:.1f}s)",
                        *option, duration - trim_end, trim_end)));
        retain_segments_starting_before(segments, trim_end);
        for (Segment& segment : segments) {
            segment.end = std::min(segment.end, trim_end);
        }
    }
    return trim_end;
}

void list_segments(const std::vector<Segment>& segments) {
    if (segments.empty()) {
        print_info(fmt::format("{}no speedup segments, copying input to output unchanged{}",
                               ansi::yellow, ansi::reset));
        return;
    }
    print_info(dim_line(fmt::format("{} speedup segments to process", segments.size())));
    std::string listing;
    for (const Segment& segment : segments) {
        const double length = segment.end - segment.start;
        listing += fmt::format("  - {:6.1f}s @ {:>3}x: \"{}\"  ->  {:.1f}s\n", length,
                               segment.speed, segment.label, length / segment.speed);
    }
    write_fd(1, listing);
}

} // namespace

void retain_segments_ending_after(std::vector<Segment>& segments, double t) {
    std::erase_if(segments, [t](const Segment& s) { return !(s.end > t + 0.001); });
}

void retain_segments_starting_before(std::vector<Segment>& segments, double t) {
    std::erase_if(segments, [t](const Segment& s) { return !(s.start < t - 0.001); });
}

bool cmp_segment_start(const Segment& a, const Segment& b) {
    return a.start < b.start;
}

Status run_process(const ProcessArgs& args) {
    if (!path_exists(args.input)) {
        return fail(fmt::format("input file not found: {}. Hint: check the path with ls",
                                display_path(args.input)));
    }
    auto parsed = read_events(args.markers).and_then(parse_segments);
    if (!parsed) {
        return fail(parsed.error());
    }
    for (const std::string& warning : parsed->warnings) {
        print_warn(warning);
    }
    std::vector<Segment> segments = std::move(parsed->segments);
    for (Segment& segment : segments) {
        if (segment.speed > args.max_speed) {
            print_warn(fmt::format("capping segment '{}' speed from {}x to {}x", segment.label,
                                   segment.speed, args.max_speed));
            segment.speed = args.max_speed;
        }
    }

    auto duration = probe_duration(args.input);
    if (!duration) {
        return fail(duration.error());
    }
    auto size = probe_dimensions(args.input);
    if (!size) {
        return fail(size.error());
    }
    const std::uint32_t font_px = caption_font_px(size->width);
    print_info(dim_line(fmt::format("input: {}x{} {:.1f}s, caption font {}px", size->width,
                                    size->height, *duration, font_px)));

    // Left open while recording: runs to the end, at the recorded speed (after the cap).
    for (const UnclosedStart& open : parsed->unclosed) {
        print_warn(fmt::format("unclosed speedup_start '{}' will end at end-of-video ({:.1f}s)",
                               open.label, *duration));
        segments.push_back(Segment{open.label, open.start, *duration, open.speed});
    }
    if (segments.size() >= 2) {
        std::stable_sort(segments.begin(), segments.end(), cmp_segment_start);
    }

    auto trim_start = apply_trim_start(args.trim_start, segments);
    if (!trim_start) {
        return fail(trim_start.error());
    }
    auto trim_end = apply_trim_end(args.trim_end, *duration, segments);
    if (!trim_end) {
        return fail(trim_end.error());
    }
    // Trims that leave nothing would otherwise encode the whole input while claiming to cut it;
    // less than a frame gives an output with no frame at all, or a one-frame "success".
    const double kept_from = *trim_start > 0.0 ? *trim_start : 0.0; // NaN keeps everything
    if ((args.trim_start || args.trim_end) && *duration > 0.001 &&
        !((*trim_end - kept_from) * kEncodeFrameRate >= 1.0)) {
        return fail(fmt::format(
            "--trim-start and --trim-end leave nothing of the video: it would start at {:.1f}s "
            "and end at {:.1f}s. Hint: --trim-end is a time on the input's timeline, not a length",
            kept_from, *trim_end));
    }
    list_segments(segments);

    const std::string output = args.output ? *args.output : default_output_path(args.input, "fast");

    // NaN is no speed either.
    if (!(args.base_speed >= 0.5 && args.base_speed <= 10.0)) {
        return fail(
            fmt::format("--base-speed must be in [0.5, 10], got {}", display_f64(args.base_speed)));
    }
    if (std::abs(args.base_speed - 1.0) > 0.001) {
        print_info(dim_line(fmt::format(
            "--base-speed {:.2f}: applying global {:.2f}x speedup to all unmarked sections",
            args.base_speed, args.base_speed)));
    }

    const std::string graph =
        speedup_filter(segments, font_px, args.no_overlay, *trim_end, *trim_start, args.base_speed);
    print_info(dim_line(
        fmt::format("filter graph: {} chars, {} segments", graph.size(), segments.size() + 1)));
    if (args.max_width != 0 && size->width > args.max_width) {
        const double ratio = static_cast<double>(size->width) / args.max_width;
        print_info(
            dim_line(fmt::format("downscaling from {}px to {}px wide (~{:.0f}x faster encode)",
                                 size->width, args.max_width, ratio * ratio)));
    }
    print_info(fmt::format("{}running ffmpeg...{}", ansi::cyan, ansi::reset));

    if (Status encoded = run_speedup(args.input, output, graph, *trim_end, args.max_width);
        !encoded) {
        return encoded;
    }
    auto output_duration = probe_duration(output);
    if (!output_duration) {
        return fail(output_duration.error());
    }
    const double saved = *duration - *output_duration;
    const double percent = *duration > 0.0 ? saved * 100.0 / *duration : 0.0;
    print_ok(
        fmt::format("{}\n  input:  {:.1f}s  →  output: {:.1f}s  ({:.1f}% shorter, {:.1f}s saved)",
                    in_cyan(display_path(output)), *duration, *output_duration, percent, saved));
    return {};
}

} // namespace reelcut
