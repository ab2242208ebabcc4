#include "ffmpeg/speedup.hpp"

#include "ffmpeg/media_tools.hpp"
#include "file_io.hpp"
#include "number_syntax.hpp"
#include "subprocess.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <deque>
#include <fmt/format.h>

namespace reelcut {
namespace {

// Linux refuses a single argument of 128 KiB or more (the terminating NUL counts).
constexpr std::size_t kMaxArgumentBytes = 128 * 1024 - 1;

constexpr std::size_t kErrorTailLines = 60;

// The caption passes three parsers before it is drawn: drawtext's own expansion (backslash and
// "%" are special), the filter's option list (backslash, ":" and "'"), then the graph, where it
// sits inside '...' and only an apostrophe needs leaving and re-entering the quotes.
std::string escape_caption(std::string_view text) {
    const auto escape = [](std::string_view in, std::string_view special) {
        std::string out;
        out.reserve(in.size() + 8);
        for (char c : in) {
            if (special.find(c) != std::string_view::npos) {
                out += '\\';
            }
            out += c;
        }
        return out;
    };
    const std::string option = escape(escape(text, "\\%"), "\\:'");
    std::string quoted;
    quoted.reserve(option.size() + 8);
    for (char c : option) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted;
}

std::string retimed_trim(double start, double end, double factor, const std::string& label) {
    return fmt::format("[0:v]trim=start={:.3f}:end={:.3f},setpts={:.6f}*(PTS-STARTPTS)[{}]", start,
                       end, factor, label);
}

std::string normal_piece(double start, double end, double base_speed, const std::string& label) {
    if (std::abs(base_speed - 1.0) < 0.001) {
        return fmt::format("[0:v]trim=start={:.3f}:end={:.3f},setpts=PTS-STARTPTS[{}]", start, end,
                           label);
    }
    return retimed_trim(start, end, 1.0 / base_speed, label);
}

std::string sped_up_piece(const Segment& segment, std::uint32_t font_px, bool no_overlay,
                          const std::string& label) {
    const double factor = 1.0 / static_cast<double>(segment.speed);
    if (no_overlay) {
        return retimed_trim(segment.start, segment.end, factor, label);
    }
    const std::string caption =
        escape_caption(fmt::format("{}x SPEEDUP: {}", segment.speed, segment.label));
    return fmt::format(
        "[0:v]trim=start={:.3f}:end={:.3f},setpts={:.6f}*(PTS-STARTPTS),drawtext=text='{}':"
        "fontfile={}:fontsize={}:fontcolor=white:box=1:boxcolor=red@0.85:boxborderw=20:"
        "x=(w-text_w)/2:y=80[{}]",
        segment.start, segment.end, factor, caption, kCaptionFont, font_px, label);
}

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

// Splits a stream into lines as it arrives; `on_line` gets each line without its terminator.
class LineSplitter {
  public:
    explicit LineSplitter(std::string_view breaks) : breaks_(breaks) {}

    template <class OnLine> void feed(std::string_view chunk, OnLine&& on_line) {
        while (!chunk.empty()) {
            const std::size_t end = chunk.find_first_of(breaks_);
            if (end == std::string_view::npos) {
                partial_.append(chunk);
                return;
            }
            partial_.append(chunk.substr(0, end));
            on_line(std::string_view(partial_));
            partial_.clear();
            chunk.remove_prefix(end + 1);
        }
    }
    template <class OnLine> void finish(OnLine&& on_line) {
        if (!partial_.empty()) {
            on_line(std::string_view(partial_));
            partial_.clear();
        }
    }

  private:
    std::string_view breaks_;
    std::string partial_;
};

// The live progress line: at most one print a second, overwriting the previous one.
class ProgressLine {
  public:
    using Clock = std::chrono::steady_clock;
    explicit ProgressLine(std::optional<double> total)
        : total_(total), start_(Clock::now()), last_print_(start_) {}

    void on_stdout_line(std::string_view line) {
        constexpr std::string_view key = "out_time_ms=";
        if (line.substr(0, key.size()) != key) {
            return;
        }
        auto micros = parse_signed(trim_ascii_whitespace(line.substr(key.size())));
        if (!micros) {
            return; // N/A before the first frame is out
        }
        const auto now = Clock::now();
        if (now - last_print_ < std::chrono::seconds(1)) {
            return;
        }
        last_print_ = now;
        const double encoded = static_cast<double>(*micros) / 1'000'000.0;
        const double elapsed = std::chrono::duration<double>(now - start_).count();
        if (!total_) {
            write_fd(2, fmt::format("\r{}  {}{:.0f}s{} encoded  {}{:.0f}s elapsed{}",
                                    ansi::erase_line, ansi::cyan, encoded, ansi::reset, ansi::dim,
                                    elapsed, ansi::reset));
            return;
        }
        const double total = *total_;
        if (!(encoded > 0.1 && total > 0.1)) {
            return;
        }
        const double percent = std::min(encoded / total * 100.0, 100.0);
        const double speed = encoded / elapsed;
        const double remaining = speed > 0.01 ? (total - encoded) / speed : 0.0;
        write_fd(2, fmt::format("\r{}  {}{:.0f}%{}  {:.0f}s/{:.0f}s encoded  {}{:.1f}x speed  "
                                "~{:.0f}s remaining{}",
                                ansi::erase_line, ansi::cyan, percent, ansi::reset, encoded, total,
                                ansi::dim, speed, remaining, ansi::reset));
    }

    double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  private:
    std::optional<double> total_;
    Clock::time_point start_;
    Clock::time_point last_print_;
};

} // namespace

std::string speedup_filter(const std::vector<Segment>& segments, std::uint32_t font_px,
                           bool no_overlay, double range_end, double range_start,
                           double base_speed) {
    std::vector<std::string> chains;
    std::string inputs;
    const auto add = [&](auto&& make) {
        const std::string label = fmt::format("v{}", chains.size());
        chains.push_back(make(label));
        inputs += fmt::format("[{}]", label);
    };
    double cursor = range_start > 0.0 ? range_start : 0.0;
    for (const Segment& segment : segments) {
        if (segment.start - cursor > 0.001) {
            add([&](const std::string& l) {
                return normal_piece(cursor, segment.start, base_speed, l);
            });
        }
        add([&](const std::string& l) { return sped_up_piece(segment, font_px, no_overlay, l); });
        cursor = segment.end;
    }
    if (range_end - cursor > 0.001) {
        add([&](const std::string& l) { return normal_piece(cursor, range_end, base_speed, l); });
    }
    if (chains.empty()) {
        return "[0:v]copy[out]";
    }
    std::string graph;
    for (const std::string& chain : chains) {
        graph += chain;
        graph += ';';
    }
    graph += fmt::format("{}concat=n={}:v=1:a=0[out]", inputs, chains.size());
    return graph;
}

bool keep_stderr_line(std::string_view line) {
    return !line.empty() && !line.starts_with("frame=") && !line.starts_with("size=") &&
           !line.starts_with("Press [q]");
}

Status run_speedup(const std::string& input, const std::string& output, const std::string& graph,
                   std::optional<double> progress_total, std::uint32_t max_width) {
    if (Status distinct = refuse_overwriting_input({input}, output); !distinct) {
        return distinct;
    }
    std::string filter = graph;
    if (max_width != 0) {
        replace_all(filter, "[out]", "[pre]");
        filter = fmt::format("{};[pre]scale='min({},iw)':-2[out]", filter, max_width);
    }

    std::vector<std::string> args = {"-y", "-i", input};
    // A graph of thousands of sections outgrows one argument; ffmpeg then reads it from a file.
    std::optional<RemoveOnExit> script;
    if (filter.size() > kMaxArgumentBytes) {
        script.emplace(unique_temp_path("tevo-reelcut-filter-", ".txt"));
        if (Status written = write_whole_file(script->path(), filter); !written) {
            return fail(fmt::format("write filter script {}: {}", script->path(), written.error()));
        }
        args.insert(args.end(), {"-filter_complex_script", script->path()});
    } else {
        args.insert(args.end(), {"-filter_complex", filter});
    }
    args.insert(args.end(), {"-map", "[out]"});
    const auto& vp9 = vp9_encoder_args();
    args.insert(args.end(), vp9.begin(), vp9.end());
    args.insert(args.end(), {"-an", "-progress", "pipe:1", output});

    ProgressLine progress(progress_total);
    LineSplitter out_lines("\n");
    LineSplitter err_lines("\r\n");
    std::deque<std::string> tail; // only the last kept lines: statistics can run to megabytes
    const auto keep = [&](std::string_view line) {
        const std::string text = lossy_utf8(line);
        if (keep_stderr_line(text)) {
            tail.push_back(text);
            if (tail.size() > kErrorTailLines) {
                tail.pop_front();
            }
        }
    };
    const auto on_out_line = [&](std::string_view line) { progress.on_stdout_line(line); };
    auto status = run_streaming(
        "ffmpeg", args, [&](std::string_view chunk) { out_lines.feed(chunk, on_out_line); },
        [&](std::string_view chunk) { err_lines.feed(chunk, keep); });
    if (!status) {
        return fail(fmt::format("ffmpeg spawn failed: {}", status.error()));
    }
    out_lines.finish(on_out_line);
    err_lines.finish(keep);
    write_fd(2, "\n");
    if (status->success()) {
        write_fd(2, fmt::format("  {}done{} in {:.0f}s\n", ansi::green, ansi::reset,
                                progress.elapsed()));
        return {};
    }
    std::string message = "ffmpeg failed:\n";
    for (std::size_t k = 0; k < tail.size(); ++k) {
        if (k > 0) {
            message += '\n';
        }
        message += tail[k];
    }
    return fail(message);
}

} // namespace reelcut
