// The declaration table: every subcommand, its arguments, their types, defaults and help texts,
// in the order the help pages list them. Data only; the help pages (cli_help.cpp) and the matcher
// (cli.cpp) read it, so a change here shows in both.
#include "main/cli_internal.hpp"

#include "markers.hpp"

#include <algorithm>

namespace reelcut::cli_internal {
namespace {

constexpr const char* kAbout = "AI-driven demo-finishing studio: review every captured clip, "
                               "flag & re-record the weak ones, speed up dead air, narrate, mux "
                               "+ auto-level, validate the final cut, and publish to the wiki";

std::string long_of(const std::string& id) {
    std::string out = id;
    std::replace(out.begin(), out.end(), '_', '-');
    return out;
}

ArgDef option(std::string id, Type type, std::optional<std::string> def, std::string help = {}) {
    ArgDef a{id, Kind::Option, type, false, std::move(def), std::move(help), long_of(id)};
    return a;
}
ArgDef required(std::string id, Type type, std::string help = {}) {
    ArgDef a{id, Kind::Option, type, true, std::nullopt, std::move(help), long_of(id)};
    return a;
}
ArgDef optional(std::string id, Type type, std::string help = {}) {
    return option(std::move(id), type, std::nullopt, std::move(help));
}
ArgDef flag(std::string id, std::string help) {
    ArgDef a{id, Kind::Flag, Type::Text, false, std::nullopt, std::move(help), long_of(id)};
    return a;
}
ArgDef list(std::string id, std::string long_name, std::string help) {
    ArgDef a{id,           Kind::List,      Type::Text,          false,
             std::nullopt, std::move(help), std::move(long_name)};
    return a;
}
ArgDef positional(std::string id, Type type, std::string help = {}) {
    ArgDef a{id, Kind::Positional, type, true, std::nullopt, std::move(help), {}};
    return a;
}

const char* kNoOpenHelp = "Run HTTP server only — skip opening a Nimbrel webview tab. Use when "
                          "reviewing in wenlo or driving via trovane";
const char* kManifestPathHelp =
    "Path to the manifest JSON file (typically /tmp/storyboard-manifest.json)";
const char* kPanelPickHelp =
    "Force a specific Nimbrel pane id. Omit to auto-pick a pane that does NOT contain VS Code";
const char* kTabNameHelp = "Nimbrel webview tab name";

} // namespace

CommandDef build_cli() {
    const std::string markers = default_markers_path();
    auto markers_file = [&] { return option("file", Type::Text, markers); };

    CommandDef root{kProgram, kAbout, {}, {}};
    auto& subs = root.subcommands;

    subs.push_back({"health", "Verify ffmpeg + ffprobe are installed", {}, {}});

    subs.push_back(
        {"mark",
         "Drop a speedup_start, speedup_end, or recording_start event in the markers file",
         {},
         {
             {"init",
              "Clear the markers file and write a recording_start event",
              {markers_file()},
              {}},
             {"start",
              "Drop a speedup_start event",
              {required("speed", Type::U32), required("label", Type::Text), markers_file()},
              {}},
             {"end", "Drop a speedup_end event", {markers_file()}, {}},
         }});

    ArgDef command{
        "command", Kind::Trailing, Type::Text,
        false,     std::nullopt,   "Command to run after the markers (everything after `--`)",
        {}};
    subs.push_back(
        {"wrap",
         "Wrap a command with start/end markers and execute it",
         {required("speed", Type::U32), required("label", Type::Text), markers_file(), command},
         {}});

    subs.push_back(
        {"inspect", "Print a human-readable summary of the markers file", {markers_file()}, {}});

    subs.push_back(
        {"process",
         "Speedup post-process: read markers + input video, produce sped-up output",
         {
             required("input", Type::Path),
             option("markers", Type::Text, markers),
             optional("output", Type::Path, "Output path. Default: <input-stem>-fast.<ext>"),
             option("max_speed", Type::U32, "100",
                    "Cap the speed multiplier (defensive, anything above 100 looks like a glitch)"),
             optional(
                 "trim_start", Type::Text,
                 "Trim dead air from the start of the video. Values: \"auto\"      = trim to "
                 "first speedup marker minus 2s buffer \"<float>\"   = trim the first N "
                 "seconds literally (unset)     = do not trim anything The \"auto\" mode is the "
                 "most useful: it cuts the pre-first-caption setup time off the front so the "
                 "final video starts right where the first meaningful content is"),
             optional(
                 "trim_end", Type::Text,
                 "Trim dead air from the end of the video. Values: \"auto\"      = trim to last "
                 "speedup_end marker plus 4s buffer \"<float>\"   = keep only the first N "
                 "seconds from the (post trim-start) video (unset)     = do not trim anything "
                 "The \"auto\" mode handles the common case of the AI doing cleanup work after "
                 "the final caption, which is boring dead air the viewer does not care about"),
             option("base_speed", Type::Float, "1",
                    "Apply a global base speed multiplier to the ENTIRE video, on top of any "
                    "per-segment speedup markers. Normal (unmarked) sections run at this rate; "
                    "marked sections still run at their own marker speed (the marker dominates). "
                    "Use this to crunch out the AI's natural slow pacing across the whole "
                    "recording. 2.0 is a good default that stays readable. Set to 1.0 (or omit) to "
                    "disable"),
             flag(
                 "no_overlay",
                 "Disable the red \"Nx SPEEDUP: label\" drawtext overlay on speedup sections. "
                 "Useful when the caller is already burning in its own captions (e.g. tazzik step "
                 "markers) during recording, so the tevo-reelcut overlay would just cover them up. "
                 "When set, the speedup still happens — only the drawtext caption is skipped"),
             option(
                 "max_width", Type::U32, "1280",
                 "Downscale output to this max width in pixels. Default 1280. Set to 0 to keep "
                 "original resolution. Wiki demos don't need 2546px wide video; 1280 encodes ~4x "
                 "faster and looks fine"),
         },
         {}});

    subs.push_back(
        {"app",
         "Unified Tevo Reelcut app: opens one Nimbrel tab with all three post-production phases "
         "(Review / Narrate / Publish) behind a phase selector. Takes a manifest like `storyboard` "
         "does. This is the recommended entrypoint — the standalone `storyboard` and `voiceover` "
         "subcommands still exist for direct launches but the unified app is what most users "
         "should use",
         {
             positional("manifest", Type::Path, kManifestPathHelp),
             option("port", Type::U16, "8798",
                    "HTTP server port. Defaults to 8798 for the unified app (8796 = voiceover, "
                    "8797 = storyboard)"),
             option("tab_name", Type::Text, "Tevo Reelcut", kTabNameHelp),
             optional("panel_id", Type::Text, kPanelPickHelp),
             flag("no_watch", "Disable the manifest file-watcher"),
             flag("no_open", kNoOpenHelp),
         },
         {}});

    subs.push_back(
        {"voiceover",
         "Voiceover overlay: open a Nimbrel webview, narrate over the video, mux audio",
         {
             required("input", Type::Path, "Input video (typically the -fast.webm from `process`)"),
             optional("output", Type::Path, "Output path. Default: <input-stem>-narrated.<ext>"),
             option("port", Type::U16, "8796", "HTTP server port for the voiceover UI"),
             option("tab_name", Type::Text, "Tevo Reelcut-Processing", kTabNameHelp),
             optional(
                 "panel_id", Type::Text,
                 "Nimbrel panel ID to host the tab. Defaults to the focused panel. Use this to "
                 "host the tab on a specific pane instead of whatever is currently focused"),
             optional("markers", Type::Path,
                      "Optional markers file from an earlier `tevo-reelcut process` run. When "
                      "present, the app shows a Speedup Timeline card with the source video "
                      "timeline, highlighted speedup regions, and summary stats (input vs output "
                      "duration, % saved)"),
             flag("no_open", kNoOpenHelp),
         },
         {}});

    subs.push_back(
        {"storyboard",
         "Storyboard review: open a Nimbrel webview pointed at a clip manifest. Live-watches the "
         "manifest file by default so the UI updates as the demo script appends new clips",
         {
             positional("manifest", Type::Path, kManifestPathHelp),
             option("port", Type::U16, "8797",
                    "HTTP server port. Defaults to 8797 (storyboard); voiceover lives on 8796"),
             option("tab_name", Type::Text, "Storyboard", kTabNameHelp),
             optional("panel_id", Type::Text, kPanelPickHelp),
             flag("no_watch", "Disable the file-watcher (which by default polls the manifest every "
                              "500ms and live-updates the UI when it changes)"),
             flag("no_open", kNoOpenHelp),
         },
         {}});

    subs.push_back(
        {"manifest",
         "Manifest CRUD: init / add / inspect / remove. Demo scripts call `manifest add` once per "
         "completed step",
         {},
         {
             {"init",
              "Create an empty manifest file",
              {positional("file", Type::Path), option("title", Type::Text, "Untitled")},
              {}},
             {"add",
              "Append a clip entry to the manifest. Auto-creates the file if it doesn't exist (so "
              "the demo script doesn't have to call `init` first)",
              {
                  positional("file", Type::Path),
                  required("id", Type::Text),
                  required("title", Type::Text),
                  optional("description", Type::Text),
                  optional("raw", Type::Path),
                  optional("fast", Type::Path),
                  optional("image", Type::Path),
                  optional("console_png", Type::Path),
                  list("speedups", "speedup",
                       "`SPEED:LABEL`, repeatable. e.g. `--speedup \"20:Exporting gerbers\"`"),
                  list("actions", "action", "Free-form bullet for the action log, repeatable"),
                  list("warnings", "warning", "Per-clip warning shown in the UI, repeatable"),
                  optional("narration", Type::Text,
                           "TTS narration script (the spoken text that was muxed into the clip's "
                           "audio track). Surfaced in the storyboard UI as a collapsible "
                           "disclosure, distinct from `--description` (which captures the demo "
                           "author's INTENT for the clip)"),
              },
              {}},
             {"inspect",
              "Print a human-readable summary of the manifest",
              {positional("file", Type::Path)},
              {}},
             {"remove",
              "Remove a clip by id (for re-shoots)",
              {positional("file", Type::Path), required("id", Type::Text)},
              {}},
         }});

    subs.push_back(
        {"append-still",
         "Append a still image (held for `--duration` seconds) to the end of a video. Used by demo "
         "workflows for data-heavy steps where a sped-up clip blurs through the actual exported "
         "values",
         {
             required("video", Type::Path, "Source video"),
             required("image", Type::Path, "Image to append (PNG, JPG, etc.)"),
             option("duration", Type::Float, "3", "How long to hold the still, in seconds"),
             required("output", Type::Path, "Output webm path"),
         },
         {}});

    subs.push_back({"concat",
                    "Concat all `--kind raw` or `--kind fast` clips from a manifest into a single "
                    "output webm and write the path back into the manifest's `final_<kind>_path` "
                    "field",
                    {
                        required("manifest", Type::Path, "Manifest to read clips from"),
                        required("output", Type::Path, "Output webm"),
                        option("kind", Type::Text, "fast",
                               "`raw` or `fast` — which path on each clip to concat"),
                    },
                    {}});

    subs.push_back(
        {"publish",
         "Publish a final video to a wiki page (wraps tevo-wiki asset upload)",
         {
             required("input", Type::Path, "Final video to upload"),
             required("page", Type::Text,
                      "Wiki page ref like apps/tevo-desktop, skills/hespin, molecules/zentho"),
             optional("caption", Type::Text, "Caption shown next to the video on the wiki page"),
             option("asset_type", Type::Text, "video",
                    "Asset type. Default: video. Other valid: hero_image, screenshot"),
         },
         {}});

    subs.push_back(
        {"eval",
         "Run a JavaScript snippet inside a running tevo-reelcut web UI and print the result. Uses "
         "the /eval hot-patch channel from the kestrin skill — works against voiceover, "
         "storyboard, and any future webapp subcommand without a rebuild",
         {
             positional(
                 "code", Type::Text,
                 "JavaScript snippet. Evaluated inside the UI as the body of an `async "
                 "function (ctx) { ... }`, so `await` works and `return` at the top level is "
                 "valid. `ctx` is the UI's `window.__appCtx`"),
             option("port", Type::U16, "8796",
                    "Port of the running tevo-reelcut web UI. Defaults to 8796 (voiceover). For "
                    "storyboard, pass `--port 8797`"),
             option("timeout", Type::U64, "30",
                    "Give up after N seconds waiting for the snippet's result"),
         },
         {}});

    subs.push_back({"list",
                    "List every running tevo-reelcut web UI (reads the instance registry in "
                    "`~/.tevo/tevo-reelcut/instances/`, filters out stale PIDs). Shows PID, port, "
                    "subcommand, title, age",
                    {},
                    {}});

    subs.push_back(
        {"ctrl",
         "One-stop control surface for a running tevo-reelcut web UI. Target can be `latest`, a "
         "subcommand name (`voiceover`, `storyboard`), a port, `pid:<pid>`, or a bare pid. Actions "
         "include `state`, `console [--tail --since --follow]`, `eval <code>`, `shutdown`, and "
         "`call <METHOD> <PATH>`",
         {positional("target", Type::Text,
                     "Target instance: `latest`, a subcommand name (`voiceover`, `storyboard`), a "
                     "port number (e.g. `8796`), a bare pid, or `pid:<pid>`")},
         {
             {"state", "GET /state — print the target's current state JSON", {}, {}},
             {"console",
              "GET /console — print the in-app log buffer",
              {
                  optional("tail", Type::Size, "Only print the last N messages"),
                  optional("since", Type::U64,
                           "Only print messages whose `seq` is strictly greater than this"),
                  flag("follow", "Long-poll the console endpoint and stream new messages as they "
                                 "arrive (blocks until Ctrl-C)"),
              },
              {}},
             {"eval",
              "POST /eval + poll result — run a JS snippet in the target UI",
              {positional("code", Type::Text), option("timeout", Type::U64, "30")},
              {}},
             {"shutdown", "POST /shutdown — exit the target instance cleanly", {}, {}},
             {"call",
              "Raw HTTP call against an app-specific endpoint (GET/POST/ PUT/DELETE). Use for "
              "handlers not covered by the built-in actions above (e.g. voiceover's "
              "/start-recording)",
              {positional("method", Type::Text), positional("path", Type::Text),
               optional("body", Type::Text, "Optional JSON request body")},
              {}},
         }});

    subs.push_back(
        {"install", "Deploy the embedded SKILL.md to ~/.claude/skills/tevo-reelcut/", {}, {}});
    return root;
}

} // namespace reelcut::cli_internal

namespace reelcut {
namespace {

using namespace cli_internal;

DeclaredCommand declared(const CommandDef& def) {
    static constexpr const char* kTypeNames[] = {"text", "path", "u16",  "u32",
                                                 "u64",  "size", "float"};
    DeclaredCommand out{def.name, {}, {}};
    for (const auto& arg : def.args) {
        const bool takes_value = arg.kind == Kind::Option || arg.kind == Kind::List;
        out.arguments.push_back(DeclaredArgument{
            arg.long_name, arg.display(),
            arg.kind == Kind::Flag ? "flag" : kTypeNames[static_cast<int>(arg.type)],
            arg.positional(), arg.kind == Kind::Trailing, takes_value, arg.required});
    }
    for (const auto& sub : def.subcommands) {
        out.subcommands.push_back(declared(sub));
    }
    return out;
}

} // namespace

DeclaredCommand declared_command_line() {
    return declared(build_cli());
}

} // namespace reelcut
