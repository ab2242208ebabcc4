#include "main/dispatch.hpp"

#include "app/unified_app.hpp"
#include "ctrl/ctrl.hpp"
#include "ffmpeg/probe.hpp"
#include "file_io.hpp"
#include "main/eval_command.hpp"
#include "main/finishing_commands.hpp"
#include "main/install.hpp"
#include "main/process_command.hpp"
#include "main/publish.hpp"
#include "main/recording_commands.hpp"
#include "storyboard/manifest_cli.hpp"
#include "storyboard/storyboard_app.hpp"
#include "terminal.hpp"
#include "voiceover/voiceover_app.hpp"

#include <fmt/format.h>

namespace reelcut {
namespace {

Status run_manifest(const ManifestAction& action) {
    if (const auto* init = std::get_if<ManifestInit>(&action)) {
        Status done = manifest_init(*init);
        if (done) {
            print_ok(fmt::format("manifest initialized at {} (title: {})",
                                 in_cyan(display_path(init->file)), init->title));
        }
        return done;
    }
    if (const auto* add = std::get_if<ManifestAdd>(&action)) {
        Status done = manifest_add(*add);
        if (done) {
            print_ok(fmt::format("added clip {} to {}", in_cyan(add->id), display_path(add->file)));
        }
        return done;
    }
    if (const auto* remove = std::get_if<ManifestRemove>(&action)) {
        Status done = manifest_remove(*remove);
        if (done) {
            print_ok(fmt::format("removed clip {} from {}", in_cyan(remove->id),
                                 display_path(remove->file)));
        }
        return done;
    }
    return manifest_inspect(std::get<ManifestInspect>(action));
}

// Checks the input, resolves the default output, then runs the session; the path of its last
// raw take.
Result<std::string> run_voiceover_command(const VoiceoverArgs& args) {
    if (!path_exists(args.input)) {
        return fail(fmt::format(
            "input video not found: {}. Hint: produce it with `tevo-reelcut process` first.",
            display_path(args.input)));
    }
    VoiceoverOptions options{
        args.input,    args.output.value_or(default_output_path(args.input, "narrated")),
        args.port,     args.tab_name,
        args.panel_id, args.markers,
        args.no_open};
    print_info(fmt::format("{}starting voiceover server on port {}{}", ansi::cyan, args.port,
                           ansi::reset));
    return run_voiceover(std::move(options));
}

} // namespace

int error_tail(const std::string& message) {
    print_error(message);
    if (auto at = message.find("Hint: "); at != std::string::npos) {
        print_hint(std::string_view(message).substr(at + 6));
    }
    return 1;
}

int dispatch(const Cli& cli) {
    const Commands& command = cli.command;
    Status outcome;
    if (std::holds_alternative<HealthCmd>(command)) {
        auto versions = health();
        if (!versions) {
            return error_tail(versions.error());
        }
        print_ok(fmt::format("ffmpeg {} + ffprobe {} ready.", versions->ffmpeg, versions->ffprobe));
    } else if (const auto* wrap = std::get_if<WrapArgs>(&command)) {
        return run_wrap(*wrap);
    } else if (const auto* mark = std::get_if<MarkAction>(&command)) {
        outcome = run_mark(*mark);
    } else if (const auto* inspect = std::get_if<InspectArgs>(&command)) {
        outcome = run_inspect(*inspect);
    } else if (const auto* process = std::get_if<ProcessArgs>(&command)) {
        outcome = run_process(*process);
    } else if (const auto* app = std::get_if<AppArgs>(&command)) {
        print_info(fmt::format("{}starting tevo-reelcut app on port {}{}", ansi::cyan, app->port,
                               ansi::reset));
        outcome = run_app(
            {app->manifest, app->port, app->tab_name, app->panel_id, !app->no_watch, app->no_open});
        if (outcome) {
            print_ok("app session ended");
        }
    } else if (const auto* voiceover = std::get_if<VoiceoverArgs>(&command)) {
        auto saved = run_voiceover_command(*voiceover);
        if (!saved) {
            return error_tail(saved.error());
        }
        print_ok(fmt::format("narrated video saved to {}", in_cyan(display_path(*saved))));
    } else if (const auto* storyboard = std::get_if<StoryboardArgs>(&command)) {
        print_info(fmt::format("{}starting storyboard server on port {}{}", ansi::cyan,
                               storyboard->port, ansi::reset));
        outcome =
            run_storyboard({storyboard->manifest, storyboard->port, storyboard->tab_name,
                            storyboard->panel_id, !storyboard->no_watch, storyboard->no_open});
        if (outcome) {
            print_ok("storyboard session ended");
        }
    } else if (const auto* manifest = std::get_if<ManifestAction>(&command)) {
        outcome = run_manifest(*manifest);
    } else if (const auto* still = std::get_if<AppendStillArgs>(&command)) {
        outcome = run_append_still(*still);
    } else if (const auto* concat = std::get_if<ConcatArgs>(&command)) {
        outcome = run_concat(*concat);
    } else if (const auto* publish_args = std::get_if<PublishArgs>(&command)) {
        auto url = publish(*publish_args);
        if (!url) {
            return error_tail(url.error());
        }
        print_ok(fmt::format("uploaded to wiki: {}", in_cyan(*url)));
    } else if (std::holds_alternative<InstallCmd>(command)) {
        auto path = install_skill();
        if (!path) {
            return error_tail(path.error());
        }
        print_ok(fmt::format("SKILL.md deployed to {}", in_cyan(display_path(*path))));
    } else if (const auto* eval = std::get_if<EvalArgs>(&command)) {
        outcome = run_eval(*eval);
    } else if (std::holds_alternative<ListCmd>(command)) {
        outcome = run_list();
    } else {
        const auto& ctrl = std::get<CtrlArgs>(command);
        outcome = run_ctrl(ctrl.target, ctrl.action);
    }
    return outcome ? 0 : error_tail(outcome.error());
}

int run_command_line(const std::vector<std::string>& args) {
    auto outcome = parse_command_line(args);
    if (const auto* exit = std::get_if<ParserExit>(&outcome)) {
        write_fd(1, exit->out);
        write_fd(2, exit->err);
        return exit->status;
    }
    return dispatch(std::get<Cli>(outcome));
}

} // namespace reelcut
