#include "main/recording_commands.hpp"

#include "subprocess.hpp"
#include "terminal.hpp"

#include <fmt/format.h>

namespace reelcut {
namespace {

bool speed_in_range(std::uint32_t speed) {
    return speed >= 2 && speed <= 100;
}

std::string speed_range_error(std::uint32_t speed) {
    return fmt::format("speed must be in [2, 100], got {}", speed);
}

// Caption calls are best effort: a missing or failing workspace tool must not stop a recording.
void workspace_caption(const std::vector<std::string>& args) {
    (void)run_captured("tevo-cli", args);
}

} // namespace

Status run_mark(const MarkAction& action) {
    if (const auto* init = std::get_if<MarkInit>(&action)) {
        auto epoch = init_markers(init->file);
        if (!epoch) {
            return fail(epoch.error());
        }
        print_ok(fmt::format("markers initialized at {} (recording_start epoch={:.3f})",
                             in_cyan(init->file), *epoch));
        return {};
    }
    if (const auto* start = std::get_if<MarkStart>(&action)) {
        if (!speed_in_range(start->speed)) {
            return fail(speed_range_error(start->speed));
        }
        auto written =
            append_event(start->file, SpeedupStart{now_epoch(), start->speed, start->label});
        if (!written) {
            return written;
        }
        print_ok(fmt::format("dropped speedup_start (speed={}, label={})",
                             in_cyan(fmt::format("{}x", start->speed)), in_cyan(start->label)));
        return {};
    }
    const auto& end = std::get<MarkEnd>(action);
    auto written = append_event(end.file, SpeedupEnd{now_epoch()});
    if (!written) {
        return written;
    }
    print_ok("dropped speedup_end");
    return {};
}

int run_wrap(const WrapArgs& args) {
    if (!speed_in_range(args.speed)) {
        print_error(speed_range_error(args.speed));
        return 1;
    }
    if (args.command.empty()) {
        print_error("wrap requires a command after `--`");
        print_hint("Example: tevo-reelcut wrap --speed 20 --label 'Exporting' -- tevo-desktop "
                   "plarnet");
        return 1;
    }
    const std::string caption = fmt::format("{}x SPEEDUP: {}", args.speed, args.label);
    workspace_caption(
        {"nimbrel", "caption", "show", caption, "-d", "0", "-s", "medium", "-p", "top"});
    const std::vector<std::string> hide{"nimbrel", "caption", "hide"};

    if (auto started = append_event(args.file, SpeedupStart{now_epoch(), args.speed, args.label});
        !started) {
        print_error(fmt::format("failed to write start marker: {}", started.error()));
        workspace_caption(hide);
        return 1;
    }

    const std::vector<std::string> program_args(args.command.begin() + 1, args.command.end());
    auto status = run_inherited(args.command.front(), program_args);

    if (auto ended = append_event(args.file, SpeedupEnd{now_epoch()}); !ended) {
        print_warn(
            fmt::format("failed to write end marker: {} (the command did finish)", ended.error()));
    }
    workspace_caption(hide);

    if (!status) {
        print_error(fmt::format("failed to spawn '{}': {}", args.command.front(), status.error()));
        return 1;
    }
    return status->exited ? (status->code & 0xFF) : 1;
}

double sum_source_seconds(const std::vector<Segment>& segments) {
    double total = 0.0;
    for (const auto& s : segments) {
        total += s.end - s.start;
    }
    return total;
}

double sum_output_seconds(const std::vector<Segment>& segments) {
    double total = 0.0;
    for (const auto& s : segments) {
        total += (s.end - s.start) / static_cast<double>(s.speed);
    }
    return total;
}

Status run_inspect(const InspectArgs& args) {
    auto parsed = read_events(args.file).and_then(parse_segments);
    if (!parsed) {
        return fail(parsed.error());
    }
    const double age = now_epoch() - parsed->recording_start;
    const double source = sum_source_seconds(parsed->segments);
    const double output = sum_output_seconds(parsed->segments);
    const double reduction = source > 0.0 ? (1.0 - output / source) * 100.0 : 0.0;

    print_ok(fmt::format("Recording started {} ago, {} speedup segments, ~{} of source video → ~{} "
                         "after speedup ({:.1f}% reduction)",
                         in_cyan(fmt::format("{:.1f}s", age)),
                         in_cyan(fmt::format("{}", parsed->segments.size())),
                         in_cyan(fmt::format("{:.1f}s", source)),
                         in_cyan(fmt::format("{:.1f}s", output)), reduction));
    for (const auto& s : parsed->segments) {
        const double length = s.end - s.start;
        print_info(fmt::format("  - {}{:6.1f}s{} @ {}{:>3}x{}: \"{}\"  →  {}{:.1f}s{}", ansi::dim,
                               length, ansi::reset, ansi::cyan, s.speed, ansi::reset, s.label,
                               ansi::dim, length / static_cast<double>(s.speed), ansi::reset));
    }
    for (const auto& warning : parsed->warnings) {
        print_warn(warning);
    }
    if (!parsed->unclosed.empty()) {
        print_warn(fmt::format(
            "{} unclosed speedup_start markers (will be ended at end-of-video on process)",
            parsed->unclosed.size()));
    }
    return {};
}

} // namespace reelcut
