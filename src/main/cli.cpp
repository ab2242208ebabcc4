#include "main/cli.hpp"

#include "markers.hpp"
#include "number_syntax.hpp"
#include "text_format.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <fmt/format.h>
#include <limits>
#include <map>
#include <memory>

namespace reelcut {
namespace {

constexpr const char* kProgram = "tevo-reelcut";
constexpr const char* kVersion = "1.0.2";
constexpr const char* kAbout = "AI-driven demo-finishing studio: review every captured clip, "
                               "flag & re-record the weak ones, speed up dead air, narrate, mux "
                               "+ auto-level, validate the final cut, and publish to the wiki";

// ---------------------------------------------------------------------------------------------
// The declaration: one table drives the matcher, the help pages and the typed records.

enum class Kind { Option, Flag, List, Positional, Trailing };
enum class Type { Text, Path, U16, U32, U64, Size, Float };

struct ArgDef {
    std::string id;
    Kind kind = Kind::Option;
    Type type = Type::Text;
    bool required = false;
    std::optional<std::string> default_value;
    std::string help;
    std::string long_name; // empty for positionals

    std::string value_name() const {
        std::string upper = id;
        std::transform(upper.begin(), upper.end(), upper.begin(),
                       [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        return upper;
    }
    bool positional() const { return kind == Kind::Positional || kind == Kind::Trailing; }
    // The form used in usage lines and error messages: "--port <PORT>", "<FILE>", "[COMMAND]...".
    std::string display() const {
        switch (kind) {
        case Kind::Flag:
            return "--" + long_name;
        case Kind::Positional:
            return "<" + value_name() + ">";
        case Kind::Trailing:
            return "[" + value_name() + "]...";
        default:
            return "--" + long_name + " <" + value_name() + ">";
        }
    }
};

struct CommandDef {
    std::string name;
    std::string about;
    std::vector<ArgDef> args;
    std::vector<CommandDef> subcommands; // non-empty: one of them is required

    const CommandDef* find_sub(std::string_view wanted) const {
        for (const auto& sub : subcommands) {
            if (sub.name == wanted) {
                return &sub;
            }
        }
        return nullptr;
    }
};

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

// ---------------------------------------------------------------------------------------------
// Help and usage pages.

std::string path_text(const std::vector<const CommandDef*>& path) {
    std::string out;
    for (const auto* cmd : path) {
        out += (out.empty() ? "" : " ") + cmd->name;
    }
    return out;
}

std::string usage_line(const std::vector<const CommandDef*>& path) {
    const CommandDef& cmd = *path.back();
    std::string out;
    for (const auto* step : path) {
        out += (out.empty() ? "" : " ") + step->name;
        if (step != &cmd) {
            for (const auto& arg : step->args) {
                out += arg.positional() ? " " + arg.display() : "";
            }
        }
    }
    bool has_optional = std::any_of(cmd.args.begin(), cmd.args.end(),
                                    [](const ArgDef& a) { return !a.positional() && !a.required; });
    if (has_optional) {
        out += " [OPTIONS]";
    }
    for (const auto& arg : cmd.args) {
        if (!arg.positional() && arg.required) {
            out += " " + arg.display();
        }
    }
    for (const auto& arg : cmd.args) {
        if (arg.positional()) {
            out += " " + arg.display();
        }
    }
    if (!cmd.subcommands.empty()) {
        out += " <COMMAND>";
    }
    return out;
}

struct HelpRow {
    std::string left;
    std::string right;
};

void render_rows(std::string& out, const std::string& heading, const std::vector<HelpRow>& rows) {
    if (rows.empty()) {
        return;
    }
    std::size_t width = 0;
    for (const auto& row : rows) {
        width = std::max(width, row.left.size());
    }
    out += heading + ":\n";
    for (const auto& row : rows) {
        std::string line = "  " + row.left;
        if (!row.right.empty()) {
            line += std::string(width - row.left.size() + 2, ' ') + row.right;
        }
        out += line + "\n";
    }
}

std::string help_page(const std::vector<const CommandDef*>& path) {
    const CommandDef& cmd = *path.back();
    const bool top = path.size() == 1;
    std::string out = cmd.about + "\n\nUsage: " + usage_line(path) + "\n\n";

    std::vector<HelpRow> commands;
    for (const auto& sub : cmd.subcommands) {
        commands.push_back({sub.name, sub.about});
    }
    if (!cmd.subcommands.empty()) {
        commands.push_back({"help", "Print this message or the help of the given subcommand(s)"});
    }

    std::vector<HelpRow> positionals;
    std::vector<HelpRow> options;
    for (const auto& arg : cmd.args) {
        std::string right = arg.help;
        if (arg.default_value) {
            right += (right.empty() ? "" : " ") + fmt::format("[default: {}]", *arg.default_value);
        }
        if (arg.positional()) {
            positionals.push_back({arg.display(), right});
        } else {
            options.push_back({"    " + arg.display(), right});
        }
    }
    options.push_back({"-h, --help", "Print help"});
    if (top) {
        options.push_back({"-V, --version", "Print version"});
    }

    std::string sections;
    auto section = [&](const std::string& heading, const std::vector<HelpRow>& rows) {
        std::string block;
        render_rows(block, heading, rows);
        if (!block.empty()) {
            sections += (sections.empty() ? "" : "\n") + block;
        }
    };
    section("Commands", commands);
    section("Arguments", positionals);
    section("Options", options);
    return out + sections;
}

// ---------------------------------------------------------------------------------------------
// Values.

Status check_value(const ArgDef& arg, const std::string& value) {
    switch (arg.type) {
    case Type::Text:
        return valid_utf8(value) ? Status{} : fail("invalid UTF-8 was detected");
    case Type::Path:
        return {};
    case Type::U16:
        return parse_unsigned(value, std::numeric_limits<std::uint16_t>::max()).map([](auto) {});
    case Type::U32:
        return parse_unsigned(value, std::numeric_limits<std::uint32_t>::max()).map([](auto) {});
    case Type::U64:
    case Type::Size:
        return parse_unsigned(value, std::numeric_limits<std::uint64_t>::max()).map([](auto) {});
    case Type::Float:
        return parse_float(value).map([](auto) {});
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Matching with CLI11, then the rules CLI11 does not know about.

struct ArgState {
    const ArgDef* def = nullptr;
    std::vector<std::string> values;
    std::int64_t flag_count = 0;
    CLI::Option* option = nullptr;
    std::size_t given() const {
        return def->kind == Kind::Flag ? static_cast<std::size_t>(flag_count) : option->count();
    }
};

struct Node {
    const CommandDef* def = nullptr;
    CLI::App* app = nullptr;
    std::int64_t help_count = 0;
    std::int64_t version_count = 0;
    std::deque<ArgState> args;
    std::vector<std::unique_ptr<Node>> children;
    bool shallow = false; // known by name only: its arguments were not declared to CLI11
};

// Declares `def` to CLI11. Declaring every option of every subcommand would cost more than a
// small subcommand's whole run, so below the top only the branch named by `chosen` is declared
// in full; the others are there by name, so that a second subcommand is still recognised.
void declare(Node& node, CLI::App* app, const CommandDef& def, bool top,
             std::string_view chosen = {}) {
    node.def = &def;
    node.app = app;
    app->allow_extras(true);
    app->set_help_flag();
    if (node.shallow) {
        return;
    }
    app->add_flag("-h,--help", node.help_count);
    if (top) {
        app->add_flag("-V,--version", node.version_count);
    }
    for (const auto& arg : def.args) {
        auto& state = node.args.emplace_back();
        state.def = &arg;
        switch (arg.kind) {
        case Kind::Flag:
            state.option = app->add_flag("--" + arg.long_name, state.flag_count);
            break;
        case Kind::Option:
        case Kind::List:
            state.option = app->add_option("--" + arg.long_name, state.values)
                               ->expected(1)
                               ->allow_extra_args(false)
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            break;
        case Kind::Positional:
            // Without allow_extra_args(false) the first of two positionals (`call`'s METHOD
            // and PATH) would swallow the second's value.
            state.option = app->add_option(arg.id, state.values)
                               ->expected(1)
                               ->allow_extra_args(false)
                               ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            break;
        case Kind::Trailing:
            // Filled before matching (see split_trailing); declared for completeness only.
            state.option = app->add_option(arg.id, state.values)->expected(0, 1 << 30);
            break;
        }
    }
    for (const auto& sub : def.subcommands) {
        auto child = std::make_unique<Node>();
        child->shallow = top && sub.name != chosen;
        declare(*child, app->add_subcommand(sub.name), sub, false);
        node.children.push_back(std::move(child));
    }
}

// The parser's error page: message, optional tip, usage, pointer to --help.
ParserExit usage_error(const std::vector<const CommandDef*>& path, const std::string& message,
                       const std::string& tip = {}) {
    std::string err = "error: " + message + "\n\n";
    if (!tip.empty()) {
        err += "  tip: " + tip + "\n\n";
    }
    err += "Usage: " + usage_line(path) + "\n\nFor more information, try '--help'.\n";
    return ParserExit{2, "", err};
}

std::optional<std::string> best_match(std::string_view typed,
                                      const std::vector<std::string>& candidates) {
    double best = 0.7;
    std::optional<std::string> found;
    for (const auto& candidate : candidates) {
        double score = jaro_similarity(typed, candidate);
        if (score > best) {
            best = score;
            found = candidate;
        }
    }
    return found;
}

ParserExit unexpected(const std::vector<const CommandDef*>& path, const std::string& token,
                      const std::string& value_tip = {}) {
    const CommandDef& cmd = *path.back();
    if (token.rfind("--", 0) == 0 && token.size() > 2) {
        std::string name = token.substr(
            2, token.find('=') == std::string::npos ? std::string::npos : token.find('=') - 2);
        std::vector<std::string> longs{"help"};
        if (path.size() == 1) {
            longs.push_back("version");
        }
        for (const auto& arg : cmd.args) {
            if (!arg.positional()) {
                longs.push_back(arg.long_name);
            }
        }
        auto match = best_match(name, longs);
        return usage_error(path, fmt::format("unexpected argument '{}' found", token),
                           match ? fmt::format("a similar argument exists: '--{}'", *match)
                                 : value_tip);
    }
    if (!cmd.subcommands.empty() && token.rfind('-', 0) != 0) {
        std::vector<std::string> names;
        for (const auto& sub : cmd.subcommands) {
            names.push_back(sub.name);
        }
        names.push_back("help");
        auto match = best_match(token, names);
        return usage_error(path, fmt::format("unrecognized subcommand '{}'", token),
                           match ? fmt::format("a similar subcommand exists: '{}'", *match)
                                 : std::string{});
    }
    return usage_error(path, fmt::format("unexpected argument '{}' found", token), value_tip);
}

// What the parser reads as an option or "--", never as a value: "-" alone is a value. No argument
// is declared to take values that begin with "-", negative numbers included; "--name=-x" gives
// one.
bool looks_like_option(const std::string& token) {
    return token.size() > 1 && token[0] == '-';
}

// The top level takes only flags, so its first word that is no option names the subcommand.
std::vector<std::string>::const_iterator subcommand_word(const std::vector<std::string>& args) {
    return std::find_if(args.begin(), args.end(),
                        [](const std::string& a) { return a.empty() || a[0] != '-'; });
}

// `wrap` takes everything from the first token that is not one of its own options as the
// command to run, even tokens that look like options; CLI11 never sees those tokens.
std::vector<std::string> split_trailing(const std::vector<std::string>& args,
                                        std::vector<std::string>& command) {
    auto sub = subcommand_word(args);
    if (sub == args.end() || *sub != "wrap") {
        return args;
    }
    static const std::vector<std::string> with_value{"--speed", "--label", "--file"};
    auto it = sub + 1;
    while (it != args.end()) {
        const std::string& token = *it;
        if (std::find(with_value.begin(), with_value.end(), token) != with_value.end()) {
            // A token that looks like an option is no value: the option is left without one.
            const bool has_value = it + 1 != args.end() && !looks_like_option(*(it + 1));
            it += has_value ? 2 : 1;
            continue;
        }
        bool inline_value = std::any_of(with_value.begin(), with_value.end(), [&](const auto& o) {
            return token.rfind(o + "=", 0) == 0;
        });
        if (inline_value || token == "-h" || token == "--help") {
            ++it;
            continue;
        }
        if (token == "--") {
            command.assign(it + 1, args.end());
        } else {
            command.assign(it, args.end());
        }
        break;
    }
    return {args.begin(), it};
}

// "help [COMMAND]..." in the place of a subcommand prints the page of the named command.
std::optional<ParserExit> help_subcommand(const CommandDef& root,
                                          const std::vector<std::string>& args) {
    std::vector<const CommandDef*> path{&root};
    std::size_t i = 0;
    while (i < args.size() && !path.back()->subcommands.empty()) {
        if (args[i] == "help") {
            for (++i; i < args.size(); ++i) {
                const CommandDef* sub = path.back()->find_sub(args[i]);
                if (sub == nullptr) {
                    return usage_error(path, fmt::format("unrecognized subcommand '{}'", args[i]));
                }
                path.push_back(sub);
            }
            return ParserExit{0, help_page(path), ""};
        }
        const CommandDef* sub = path.back()->find_sub(args[i]);
        if (sub == nullptr) {
            return std::nullopt;
        }
        path.push_back(sub);
        ++i;
        if (sub->name == "ctrl" && i < args.size() && args[i] != "help") {
            ++i; // the target comes before the action
        }
    }
    return std::nullopt;
}

void collect_flags(const CommandDef& cmd, std::vector<std::string>& flags) {
    for (const auto& arg : cmd.args) {
        if (arg.kind == Kind::Flag) {
            flags.push_back(arg.long_name);
        }
    }
    for (const auto& sub : cmd.subcommands) {
        collect_flags(sub, flags);
    }
}

// "--name=" gives the empty value, which CLI11 would take for a missing one; a flag takes no
// value at all.
std::optional<ParserExit> normalise_inline_values(const CommandDef& root,
                                                  std::vector<std::string>& args) {
    std::vector<std::string> flags{"help", "version"};
    collect_flags(root, flags);
    for (std::size_t i = 0; i < args.size() && args[i] != "--"; ++i) {
        const std::string& token = args[i];
        std::size_t eq = token.find('=');
        if (token.rfind("--", 0) != 0 || eq == std::string::npos) {
            continue;
        }
        std::string name = token.substr(2, eq - 2);
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            return usage_error({&root}, fmt::format("unexpected value '{}' for '--{}' found; no "
                                                    "more were expected",
                                                    token.substr(eq + 1), name));
        }
        if (eq + 1 == token.size()) {
            args[i] = token.substr(0, eq);
            args.insert(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, "");
            ++i;
        }
    }
    return std::nullopt;
}

const ArgState& arg_of(const Node& node, std::string_view id) {
    for (const auto& state : node.args) {
        if (state.def->id == id) {
            return state;
        }
    }
    std::abort(); // every record field has a declared argument
}

std::string text_of(const Node& node, std::string_view id) {
    const ArgState& state = arg_of(node, id);
    if (!state.values.empty()) {
        return state.values.front();
    }
    return state.def->default_value.value_or("");
}

std::optional<std::string> maybe_text(const Node& node, std::string_view id) {
    const ArgState& state = arg_of(node, id);
    if (state.values.empty()) {
        return std::nullopt;
    }
    return state.values.front();
}

std::vector<std::string> list_of(const Node& node, std::string_view id) {
    return arg_of(node, id).values;
}

bool flag_of(const Node& node, std::string_view id) {
    return arg_of(node, id).flag_count > 0;
}

template <class T> T number_of(const Node& node, std::string_view id) {
    // Values were checked before the records are built.
    auto value = parse_unsigned(text_of(node, id), std::numeric_limits<T>::max());
    return static_cast<T>(value.value_or(0));
}

template <class T> std::optional<T> maybe_number(const Node& node, std::string_view id) {
    auto text = maybe_text(node, id);
    if (!text) {
        return std::nullopt;
    }
    return static_cast<T>(parse_unsigned(*text, std::numeric_limits<T>::max()).value_or(0));
}

double float_of(const Node& node, std::string_view id) {
    return parse_float(text_of(node, id)).value_or(0.0);
}

Commands build_record(const Node& sub, const Node* action, std::vector<std::string> trailing) {
    const std::string& name = sub.def->name;
    if (name == "health") {
        return HealthCmd{};
    }
    if (name == "mark") {
        const std::string& act = action->def->name;
        if (act == "init") {
            return MarkAction{MarkInit{text_of(*action, "file")}};
        }
        if (act == "start") {
            return MarkAction{MarkStart{number_of<std::uint32_t>(*action, "speed"),
                                        text_of(*action, "label"), text_of(*action, "file")}};
        }
        return MarkAction{MarkEnd{text_of(*action, "file")}};
    }
    if (name == "wrap") {
        return WrapArgs{number_of<std::uint32_t>(sub, "speed"), text_of(sub, "label"),
                        text_of(sub, "file"), std::move(trailing)};
    }
    if (name == "inspect") {
        return InspectArgs{text_of(sub, "file")};
    }
    if (name == "process") {
        return ProcessArgs{text_of(sub, "input"),
                           text_of(sub, "markers"),
                           maybe_text(sub, "output"),
                           number_of<std::uint32_t>(sub, "max_speed"),
                           maybe_text(sub, "trim_start"),
                           maybe_text(sub, "trim_end"),
                           float_of(sub, "base_speed"),
                           flag_of(sub, "no_overlay"),
                           number_of<std::uint32_t>(sub, "max_width")};
    }
    if (name == "app") {
        return AppArgs{text_of(sub, "manifest"), number_of<std::uint16_t>(sub, "port"),
                       text_of(sub, "tab_name"), maybe_text(sub, "panel_id"),
                       flag_of(sub, "no_watch"), flag_of(sub, "no_open")};
    }
    if (name == "voiceover") {
        return VoiceoverArgs{text_of(sub, "input"),
                             maybe_text(sub, "output"),
                             number_of<std::uint16_t>(sub, "port"),
                             text_of(sub, "tab_name"),
                             maybe_text(sub, "panel_id"),
                             maybe_text(sub, "markers"),
                             flag_of(sub, "no_open")};
    }
    if (name == "storyboard") {
        return StoryboardArgs{text_of(sub, "manifest"), number_of<std::uint16_t>(sub, "port"),
                              text_of(sub, "tab_name"), maybe_text(sub, "panel_id"),
                              flag_of(sub, "no_watch"), flag_of(sub, "no_open")};
    }
    if (name == "manifest") {
        const Node& a = *action;
        const std::string& act = a.def->name;
        if (act == "init") {
            return ManifestAction{ManifestInit{text_of(a, "file"), text_of(a, "title")}};
        }
        if (act == "add") {
            return ManifestAction{ManifestAdd{
                text_of(a, "file"), text_of(a, "id"), text_of(a, "title"),
                maybe_text(a, "description"), maybe_text(a, "raw"), maybe_text(a, "fast"),
                maybe_text(a, "image"), maybe_text(a, "console_png"), list_of(a, "speedups"),
                list_of(a, "actions"), list_of(a, "warnings"), maybe_text(a, "narration")}};
        }
        if (act == "inspect") {
            return ManifestAction{ManifestInspect{text_of(a, "file")}};
        }
        return ManifestAction{ManifestRemove{text_of(a, "file"), text_of(a, "id")}};
    }
    if (name == "append-still") {
        return AppendStillArgs{text_of(sub, "video"), text_of(sub, "image"),
                               float_of(sub, "duration"), text_of(sub, "output")};
    }
    if (name == "concat") {
        return ConcatArgs{text_of(sub, "manifest"), text_of(sub, "output"), text_of(sub, "kind")};
    }
    if (name == "publish") {
        return PublishArgs{text_of(sub, "input"), text_of(sub, "page"), maybe_text(sub, "caption"),
                           text_of(sub, "asset_type")};
    }
    if (name == "eval") {
        return EvalArgs{text_of(sub, "code"), number_of<std::uint16_t>(sub, "port"),
                        number_of<std::uint64_t>(sub, "timeout")};
    }
    if (name == "list") {
        return ListCmd{};
    }
    if (name == "ctrl") {
        const Node& a = *action;
        const std::string& act = a.def->name;
        CtrlAction ctrl_action = CtrlState{};
        if (act == "console") {
            ctrl_action =
                CtrlConsole{maybe_number<std::size_t>(a, "tail"),
                            maybe_number<std::uint64_t>(a, "since"), flag_of(a, "follow")};
        } else if (act == "eval") {
            ctrl_action = CtrlEval{text_of(a, "code"), number_of<std::uint64_t>(a, "timeout")};
        } else if (act == "shutdown") {
            ctrl_action = CtrlShutdown{};
        } else if (act == "call") {
            ctrl_action = CtrlCall{text_of(a, "method"), text_of(a, "path"), maybe_text(a, "body")};
        }
        return CtrlArgs{text_of(sub, "target"), std::move(ctrl_action)};
    }
    return InstallCmd{};
}

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

double jaro_similarity(std::string_view a_text, std::string_view b_text) {
    auto code_points = [](std::string_view s) {
        std::vector<std::uint32_t> out;
        for (std::size_t i = 0; i < s.size();) {
            auto c = static_cast<unsigned char>(s[i]);
            std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : 4;
            std::uint32_t cp = 0;
            for (std::size_t k = 0; k < len && i + k < s.size(); ++k) {
                cp = (cp << 8) | static_cast<unsigned char>(s[i + k]);
            }
            out.push_back(cp);
            i += len;
        }
        return out;
    };
    const auto a = code_points(a_text);
    const auto b = code_points(b_text);
    if (a.empty() && b.empty()) {
        return 1.0;
    }
    if (a.empty() || b.empty()) {
        return 0.0;
    }
    const std::size_t window = std::max<std::size_t>(std::max(a.size(), b.size()) / 2, 1) - 1;
    std::vector<bool> a_hit(a.size()), b_hit(b.size());
    std::size_t matches = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        std::size_t lo = i > window ? i - window : 0;
        std::size_t hi = std::min(i + window + 1, b.size());
        for (std::size_t j = lo; j < hi; ++j) {
            if (!b_hit[j] && a[i] == b[j]) {
                a_hit[i] = b_hit[j] = true;
                ++matches;
                break;
            }
        }
    }
    if (matches == 0) {
        return 0.0;
    }
    std::size_t transpositions = 0;
    for (std::size_t i = 0, j = 0; i < a.size(); ++i) {
        if (!a_hit[i]) {
            continue;
        }
        while (!b_hit[j]) {
            ++j;
        }
        if (a[i] != b[j]) {
            ++transpositions;
        }
        ++j;
    }
    const double m = static_cast<double>(matches);
    return (m / static_cast<double>(a.size()) + m / static_cast<double>(b.size()) +
            (m - static_cast<double>(transpositions) / 2.0) / m) /
           3.0;
}

// Values that CLI11 would mistake for subcommand names, each replaced in the argument list by a
// stand-in that names nothing.
struct ProtectedWords {
    std::vector<std::string> originals;

    static std::string stand_in(std::size_t k) { return fmt::format("\x1f{}\x1f", k); }

    // The text with every stand-in put back.
    std::string restore(std::string text) const {
        for (std::size_t k = 0; k < originals.size(); ++k) {
            const std::string mark = stand_in(k);
            for (auto at = text.find(mark); at != std::string::npos;
                 at = text.find(mark, at + originals[k].size())) {
                text.replace(at, mark.size(), originals[k]);
            }
        }
        return text;
    }
    void restore_values(Node& node) const {
        for (auto& state : node.args) {
            for (auto& value : state.values) {
                value = restore(std::move(value));
            }
        }
        for (auto& child : node.children) {
            restore_values(*child);
        }
    }
};

void collect_names(const CommandDef& cmd, std::vector<std::string>& names) {
    for (const auto& sub : cmd.subcommands) {
        names.push_back(sub.name);
        collect_names(sub, names);
    }
}

// Whether `token` is one of the options `cmd` declares, as "--name" or "--name=value".
bool declared_option(const std::vector<const CommandDef*>& path, const std::string& token) {
    if (token == "-h" || token == "--help" ||
        (path.size() == 1 && (token == "-V" || token == "--version"))) {
        return true;
    }
    if (!token.starts_with("--")) {
        return false;
    }
    const std::string name = token.substr(2, token.find('=') - 2);
    const auto& args = path.back()->args;
    return std::any_of(args.begin(), args.end(),
                       [&](const ArgDef& a) { return !a.positional() && a.long_name == name; });
}

// Walks the arguments the way the grammar reads them: options (and the values of those that take
// one), positionals, and the subcommand word after a command's positionals. Every value that
// names a subcommand anywhere is swapped for a stand-in. An option followed by nothing, by "--"
// or by a token that looks like an option has no value; a token that looks like an option but is
// none of the command's is refused, so that a negative number never slips in as a positional.
std::variant<ProtectedWords, ParserExit> protect_values(const CommandDef& root,
                                                        std::vector<std::string>& args) {
    std::vector<std::string> names;
    collect_names(root, names);
    ProtectedWords words;
    auto protect = [&](std::string& token) {
        if (std::find(names.begin(), names.end(), token) != names.end()) {
            words.originals.push_back(token);
            token = ProtectedWords::stand_in(words.originals.size() - 1);
        }
    };
    std::vector<const CommandDef*> path{&root};
    std::size_t positionals = 0;
    bool only_values = false; // after "--"
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string& token = args[i];
        const CommandDef* cmd = path.back();
        const auto declared = static_cast<std::size_t>(std::count_if(
            cmd->args.begin(), cmd->args.end(), [](const ArgDef& a) { return a.positional(); }));
        if (!only_values && token == "--") {
            only_values = true;
            continue;
        }
        if (!only_values && looks_like_option(token)) {
            if (!declared_option(path, token)) {
                const bool value_wanted = positionals < declared && !token.starts_with("--");
                return unexpected(path, token,
                                  value_wanted ? fmt::format("to pass '{0}' as a value, use "
                                                             "'-- {0}'",
                                                             token)
                                               : std::string{});
            }
            if (token.find('=') != std::string::npos) {
                continue;
            }
            for (const auto& arg : cmd->args) {
                if ((arg.kind == Kind::Option || arg.kind == Kind::List) &&
                    token == "--" + arg.long_name) {
                    if (i + 1 == args.size() || looks_like_option(args[i + 1])) {
                        return usage_error(path, fmt::format("a value is required for '{}' but "
                                                             "none was supplied",
                                                             arg.display()));
                    }
                    protect(args[++i]);
                    break;
                }
            }
            continue;
        }
        if (!only_values && positionals >= declared) {
            if (const CommandDef* sub = cmd->find_sub(token)) {
                path.push_back(sub);
                positionals = 0;
                continue;
            }
        }
        ++positionals;
        protect(token);
    }
    return words;
}

ParseOutcome parse_command_line(const std::vector<std::string>& raw_args) {
    const CommandDef root_def = build_cli();
    std::vector<const CommandDef*> path{&root_def};

    // No argument at all: the help, but as an error.
    if (raw_args.empty()) {
        return ParserExit{2, "", help_page(path)};
    }
    if (raw_args.size() == 1) {
        const CommandDef* sub = root_def.find_sub(raw_args[0]);
        if (sub != nullptr && !sub->subcommands.empty()) {
            return ParserExit{2, "", help_page({&root_def, sub})};
        }
    }

    if (auto help = help_subcommand(root_def, raw_args)) {
        return *help;
    }

    std::vector<std::string> trailing;
    std::vector<std::string> args = split_trailing(raw_args, trailing);
    if (auto refused = normalise_inline_values(root_def, args)) {
        return *refused;
    }

    CLI::App app{root_def.about, kProgram};
    Node root;
    auto first_word = subcommand_word(args);
    // CLI11 takes any word that names a subcommand somewhere in the tree for that subcommand,
    // even where only a value can stand ("ctrl storyboard state", "call GET state", "--label
    // list"); such words are hidden from it behind stand-ins and put back after matching.
    auto read = protect_values(root_def, args);
    if (auto* refused = std::get_if<ParserExit>(&read)) {
        return *refused;
    }
    const ProtectedWords words = std::get<ProtectedWords>(std::move(read));
    declare(root, &app, root_def, true, first_word == args.end() ? "" : *first_word);

    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        // What is left for CLI11 to reject is an option without its value.
        std::string what = words.restore(e.what());
        std::string name = what.substr(0, what.find(':'));
        const Node* deepest = &root;
        for (bool descended = true; descended;) {
            descended = false;
            for (const auto& child : deepest->children) {
                if (child->app->parsed()) {
                    deepest = child.get();
                    path.push_back(child->def);
                    descended = true;
                    break;
                }
            }
        }
        for (const auto& state : deepest->args) {
            if ("--" + state.def->long_name == name) {
                return usage_error(path, fmt::format("a value is required for '{}' but none was "
                                                     "supplied",
                                                     state.def->display()));
            }
        }
        return usage_error(path, what);
    }

    words.restore_values(root);

    // The chain of matched commands, top to bottom.
    std::vector<const Node*> chain{&root};
    while (true) {
        const Node* node = chain.back();
        std::vector<CLI::App*> parsed = node->app->get_subcommands();
        if (parsed.empty()) {
            break;
        }
        const Node* next = nullptr;
        for (const auto& child : node->children) {
            if (child->app == parsed.front()) {
                next = child.get();
            }
        }
        if (next->shallow) {
            return unexpected(path, next->def->name);
        }
        chain.push_back(next);
        path.push_back(next->def);
        if (parsed.size() > 1) {
            return unexpected(path, parsed[1]->get_name());
        }
    }

    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        if ((*it)->help_count > 0) {
            std::vector<const CommandDef*> help_path(path.begin(),
                                                     path.begin() + (chain.rend() - it));
            return ParserExit{0, help_page(help_path), ""};
        }
    }
    if (root.version_count > 0) {
        return ParserExit{0, fmt::format("{} {}\n", kProgram, kVersion), ""};
    }

    for (const Node* node : chain) {
        for (const auto& extra : node->app->remaining()) {
            if (extra != "--") {
                return unexpected(path, words.restore(extra));
            }
        }
    }

    for (const Node* node : chain) {
        for (const auto& state : node->args) {
            if (state.def->kind == Kind::Positional && state.values.size() > 1) {
                return unexpected(path, state.values[1]);
            }
            if (state.def->kind != Kind::List && state.def->kind != Kind::Trailing &&
                state.given() > 1) {
                return usage_error(path, fmt::format("the argument '{}' cannot be used multiple "
                                                     "times",
                                                     state.def->display()));
            }
            for (const auto& value : state.values) {
                if (auto ok = check_value(*state.def, value); !ok) {
                    return usage_error(path, fmt::format("invalid value '{}' for '{}': {}", value,
                                                         state.def->display(), ok.error()));
                }
            }
        }
    }
    for (const auto& value : trailing) {
        if (!valid_utf8(value)) {
            return usage_error(path, "invalid UTF-8 was detected");
        }
    }

    for (const Node* node : chain) {
        std::string missing;
        for (const auto& state : node->args) {
            if (state.def->required && state.given() == 0) {
                missing += "\n  " + state.def->display();
            }
        }
        if (!missing.empty()) {
            return usage_error(path,
                               "the following required arguments were not provided:" + missing);
        }
    }

    const CommandDef& last = *path.back();
    if (!last.subcommands.empty()) {
        std::string names;
        for (const auto& sub : last.subcommands) {
            names += sub.name + ", ";
        }
        return usage_error(path, fmt::format("'{}' requires a subcommand but one was not "
                                             "provided\n  [subcommands: {}help]",
                                             path_text(path), names));
    }
    if (chain.size() == 1) {
        return usage_error(path, "'tevo-reelcut' requires a subcommand but one was not provided");
    }

    const Node* action = chain.size() > 2 ? chain[2] : nullptr;
    return Cli{build_record(*chain[1], action, std::move(trailing))};
}

} // namespace reelcut
