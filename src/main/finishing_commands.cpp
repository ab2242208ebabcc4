#include "main/finishing_commands.hpp"

#include "ffmpeg/finishing.hpp"
#include "file_io.hpp"
#include "storyboard/manifest.hpp"
#include "terminal.hpp"

#include <fmt/format.h>

namespace reelcut {

Status run_concat(const ConcatArgs& args) {
    auto manifest = load_manifest(args.manifest);
    if (!manifest) {
        return fail(manifest.error());
    }
    std::vector<std::string> selected;
    for (const Clip& clip : manifest->clips) {
        if (auto path = existing_clip_path_of_kind(clip, args.kind)) {
            selected.push_back(std::move(*path));
        }
    }
    if (selected.empty()) {
        return fail(fmt::format("no usable {} clips in manifest. Hint: every clip needs a {}_path "
                                "field pointing at an existing file.",
                                args.kind, args.kind));
    }
    print_info(fmt::format("{}concatenating {} clips → {}{}", ansi::dim, selected.size(),
                           display_path(args.output), ansi::reset));
    if (Status joined = concat_videos(selected, args.output); !joined) {
        return joined;
    }
    // Written back into the file as it is now, under the manifest lock: a clip that a demo script
    // added while the join ran stays in it.
    Status saved = update_manifest(args.manifest, [&](Manifest& current) -> Status {
        if (args.kind == "raw") {
            current.final_raw_path = args.output;
        } else {
            current.final_fast_path = args.output;
        }
        return {};
    });
    if (!saved) {
        return saved;
    }
    print_ok(fmt::format("wrote {} ({} clips, --kind {})", in_cyan(display_path(args.output)),
                         selected.size(), args.kind));
    return {};
}

Status run_append_still(const AppendStillArgs& args) {
    if (!path_exists(args.video)) {
        return fail(fmt::format("video not found: {}", display_path(args.video)));
    }
    if (!path_exists(args.image)) {
        return fail(fmt::format("image not found: {}", display_path(args.image)));
    }
    if (Status length = check_still_length(args.duration); !length) {
        return length;
    }
    print_info(fmt::format("{}appending {:.1f}s still ({}) to {}{}", ansi::dim, args.duration,
                           display_path(args.image), display_path(args.video), ansi::reset));
    if (Status appended = append_still(args.video, args.image, args.output, args.duration);
        !appended) {
        return appended;
    }
    print_ok(fmt::format("wrote {}", in_cyan(display_path(args.output))));
    return {};
}

} // namespace reelcut
