#include "storyboard/manifest_cli.hpp"

#include "file_io.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <algorithm>
#include <charconv>
#include <fmt/format.h>

namespace reelcut {

namespace {

std::string join(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        if (k > 0) {
            out += separator;
        }
        out += parts[k];
    }
    return out;
}

} // namespace

Result<SpeedupEvent> parse_speedup_arg(const std::string& value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string::npos) {
        return fail(fmt::format("--speedup must be formatted as 'SPEED:LABEL', got {}. Hint: try "
                                "'20:Exporting gerbers'",
                                value));
    }
    const std::string_view speed_text = std::string_view(value).substr(0, colon);
    std::string_view digits = speed_text;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
    }
    std::uint32_t speed = 0;
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), speed);
    if (digits.empty() || digits.front() == '+' || digits.front() == '-' ||
        parsed.ec != std::errc() || parsed.ptr != digits.data() + digits.size()) {
        return fail(fmt::format("--speedup speed must be an integer, got {}", speed_text));
    }
    if (speed < 2 || speed > 100) {
        return fail(fmt::format("--speedup speed must be in [2, 100], got {}. Hint: anything "
                                "above 100x looks like a glitch",
                                speed));
    }
    return SpeedupEvent{speed, value.substr(colon + 1)};
}

std::vector<std::string> format_speedup_events(const std::vector<SpeedupEvent>& events) {
    std::vector<std::string> texts;
    texts.reserve(events.size());
    for (const auto& event : events) {
        texts.push_back(fmt::format("{}x:{}", event.speed, event.label));
    }
    return texts;
}

Status manifest_init(const ManifestInit& args) {
    auto already_exists = [&] {
        return fail(fmt::format("manifest already exists at {}. Hint: delete it first, or use "
                                "`manifest add` to append.",
                                display_path(args.file)));
    };
    // Checked before the lock as well, so that a refused init waits for no one.
    if (path_exists(args.file)) {
        return already_exists();
    }
    const auto lock = ManifestLock::acquire(args.file);
    if (path_exists(args.file)) {
        return already_exists();
    }
    return save_manifest(new_manifest(args.title), args.file);
}

Status manifest_add(const ManifestAdd& args) {
    // The speed-ups need nothing from the file, so they are checked before the lock, which may
    // create the directory for a moment. A manifest that fails to load is still the error
    // reported first.
    std::vector<SpeedupEvent> speedups;
    for (const auto& value : args.speedups) {
        auto event = parse_speedup_arg(value);
        if (!event) {
            if (path_exists(args.file)) {
                if (auto loaded = load_manifest(args.file); !loaded) {
                    return fail(loaded.error());
                }
            }
            return fail(event.error());
        }
        speedups.push_back(std::move(*event));
    }

    const auto lock = ManifestLock::acquire(args.file);
    Manifest manifest = new_manifest("Untitled");
    if (path_exists(args.file)) {
        auto loaded = load_manifest(args.file);
        if (!loaded) {
            return fail(loaded.error());
        }
        manifest = std::move(*loaded);
    }

    Clip clip;
    clip.id = args.id;
    clip.title = args.title;
    clip.speedup_events = std::move(speedups);
    clip.description = args.description;
    clip.raw_path = args.raw;
    clip.fast_path = args.fast;
    clip.image_path = args.image;
    clip.console_png_path = args.console_png;
    clip.actions = args.actions;
    clip.warnings = args.warnings;
    const std::pair<const char*, const std::optional<std::string>*> given[] = {
        {"raw", &args.raw},
        {"fast", &args.fast},
        {"image", &args.image},
        {"console-png", &args.console_png}};
    for (const auto& [label, path] : given) {
        if (*path && !path_exists(**path)) {
            clip.warnings.push_back(
                fmt::format("{} path not found on disk: {}", label, display_path(**path)));
        }
    }
    clip.narration = args.narration;

    auto same_id = std::find_if(manifest.clips.begin(), manifest.clips.end(),
                                [&](const Clip& c) { return c.id == args.id; });
    if (same_id != manifest.clips.end()) {
        *same_id = std::move(clip);
    } else {
        manifest.clips.push_back(std::move(clip));
    }
    return save_manifest(manifest, args.file);
}

Status manifest_remove(const ManifestRemove& args) {
    return update_manifest(args.file, [&](Manifest& manifest) -> Status {
        const auto before = manifest.clips.size();
        std::erase_if(manifest.clips, [&](const Clip& c) { return c.id == args.id; });
        if (manifest.clips.size() == before) {
            return fail(
                fmt::format("no clip with id {} in manifest {}", args.id, display_path(args.file)));
        }
        return {};
    });
}

std::string render_manifest_summary(const Manifest& manifest) {
    auto mark = [](const std::string& path) { return path_exists(path) ? "✓" : "✗ missing"; };
    std::string out = fmt::format("title: {}\nclips: {}\n", manifest.title, manifest.clips.size());
    for (std::size_t k = 0; k < manifest.clips.size(); ++k) {
        const Clip& clip = manifest.clips[k];
        out += fmt::format("  [{}] {} — {}\n", k + 1, clip.id, clip.title);
        if (clip.raw_path) {
            out += fmt::format("        raw:  {} ({})\n", display_path(*clip.raw_path),
                               mark(*clip.raw_path));
        }
        if (clip.fast_path) {
            out += fmt::format("        fast: {} ({})\n", display_path(*clip.fast_path),
                               mark(*clip.fast_path));
        }
        if (!clip.speedup_events.empty()) {
            out += fmt::format("        speedup: {}\n",
                               join(format_speedup_events(clip.speedup_events), ", "));
        }
        for (const auto& warning : clip.warnings) {
            out += fmt::format("        ⚠ {}\n", warning);
        }
    }
    if (manifest.final_raw_path) {
        out += fmt::format("final raw:  {}\n", display_path(*manifest.final_raw_path));
    }
    if (manifest.final_fast_path) {
        out += fmt::format("final fast: {}\n", display_path(*manifest.final_fast_path));
    }
    if (manifest.publish) {
        out += fmt::format("publish → {}\n", manifest.publish->page);
    }
    return out;
}

Status manifest_inspect(const ManifestInspect& args) {
    auto manifest = load_manifest(args.file);
    if (!manifest) {
        return fail(manifest.error());
    }
    write_fd(1, render_manifest_summary(*manifest));
    return {};
}

} // namespace reelcut
