// Stand-in for the Nimbrel workspace tool `tevo-cli`, for tests and demos on machines without the
// workspace. It accepts the `nimbrel` command lines that tevo-reelcut runs, keeps the workspace
// layout, the caption and the recording in a state directory, and logs every call there.
//
// Environment:
//   TEVO_CLI_STATE_DIR     state directory (default $HOME/.tevo-cli-standin)
//   TEVO_CLI_AUDIO_SOURCE  ffmpeg lavfi source recorded by `audio`; without it the recording is
//                          espeak-ng speaking TEVO_CLI_SPEECH_TEXT over and over, or a 440 Hz sine
//                          where espeak-ng is not installed
//   TEVO_CLI_SPEECH_TEXT   what the speech says (default a sentence about the demo)
//   TEVO_CLI_AUDIO_GAIN_DB gain applied to the recording, in dB (default 0)
//   TEVO_CLI_AUDIO_SECONDS length of the recording (default the time between start and stop)
//   TEVO_CLI_FAIL          fail every call whose arguments, joined by spaces, begin with these
//                          words; the answer is TEVO_CLI_FAIL_STDOUT (default empty) on standard
//                          output, TEVO_CLI_FAIL_STDERR (default "tevo-cli: injected failure" and a
//                          newline) on standard error, exit status TEVO_CLI_FAIL_STATUS (default 1)
//   TEVO_CLI_DELAY_MS      wait this long before answering
//   TEVO_CLI_GET_OUTPUT    printed verbatim by `workspace get` instead of the layout
//
// Files in the state directory: calls.log (one JSON array of the arguments per call),
// timed-calls.log (one {"ms":UNIX_MS,"args":[...]} per call that is answered normally),
// layout.json, caption.json, recording.json (while a recording runs) and lock.
#include "standin.hpp"
#include "subprocess.hpp"
#include "terminal.hpp"
#include "text_format.hpp"

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <sys/file.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace reelcut {
namespace {

constexpr const char* kEditorPanel = "tevo/a1b2c3d4-eeee-4000-a000-00000000000e";
constexpr double kMinRecordingSeconds = 0.5;
// A recording left running for days must not make `audio stop` encode days of audio.
constexpr double kMaxRecordingSeconds = 600;

constexpr const char* kUsage = R"(usage:
  tevo-cli nimbrel caption show TEXT [-d SECONDS] [-s small|medium|large] [-p top|center|bottom]
  tevo-cli nimbrel caption hide
  tevo-cli nimbrel audio enable [--reason TEXT]
  tevo-cli nimbrel audio start
  tevo-cli nimbrel audio stop
  tevo-cli nimbrel workspace get
  tevo-cli nimbrel workspace add-tab --panel-id ID --panel-type TYPE --display-name NAME
                                     [--display-icon ICON] [--initial-state JSON]
  tevo-cli nimbrel workspace remove-tab --name NAME
)";

// How a call ends.
using standin::Answer;
using standin::env;

const standin::Tool kTool{"tevo-cli", "TEVO_CLI"};

Answer usage_error() {
    return kTool.usage_error(kUsage);
}
Answer error(const std::string& message) {
    return kTool.error(message);
}

fs::path home_dir() {
    return env("HOME").value_or("/root");
}

std::string dump(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

long long now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<long long> parse_integer(const std::string& text) {
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::string> read_text(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return text;
}

// Readers never see a half-written file: write beside it, then rename over it.
Status write_atomically(const fs::path& path, const std::string& content) {
    const fs::path temp = path.string() + fmt::format(".tmp-{}", ::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return fail(fmt::format("open {}: {}", temp.string(), os_error_text(errno)));
    }
    size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int saved = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return fail(fmt::format("write {}: {}", temp.string(), os_error_text(saved)));
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        return fail(fmt::format("rename {}: {}", path.string(), os_error_text(saved)));
    }
    return {};
}

// Serialises the read-modify-write of the state files between concurrent calls.
class StateLock {
  public:
    explicit StateLock(const fs::path& dir)
        : fd_(::open((dir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
        if (fd_ >= 0) {
            while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
            }
        }
    }
    ~StateLock() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;

  private:
    int fd_;
};

// Options after the command words: each a name from `known` followed by its value, none twice.
// Everything else is positional. Empty on a malformed command line.
struct Parsed {
    std::map<std::string, std::string> options; // by canonical name
    std::vector<std::string> positional;
};

std::optional<Parsed> parse_options(const std::vector<std::string>& args, size_t from,
                                    const std::map<std::string, std::string>& known) {
    Parsed parsed;
    for (size_t i = from; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-') {
            parsed.positional.push_back(arg);
            continue;
        }
        const auto it = known.find(arg);
        if (it == known.end() || i + 1 >= args.size() || parsed.options.count(it->second)) {
            return std::nullopt;
        }
        parsed.options[it->second] = args[++i];
    }
    return parsed;
}

json default_layout() {
    return json::parse(fmt::format(R"({{"focusedPanelId":"pane-1","root":{{
        "first":{{"id":"pane-1","tabs":[{{"panelType":"{}","displayName":"VS Code"}}]}},
        "second":{{"id":"pane-2","tabs":[]}}}}}})",
                                   kEditorPanel));
}

Result<json> load_layout(const fs::path& dir) {
    const auto text = read_text(dir / "layout.json");
    if (!text) {
        return default_layout();
    }
    json layout = json::parse(*text, nullptr, false);
    if (layout.is_discarded()) {
        return fail(fmt::format("{} holds no valid JSON", (dir / "layout.json").string()));
    }
    return layout;
}

Status save_layout(const fs::path& dir, const json& layout) {
    return write_atomically(dir / "layout.json", dump(layout) + "\n");
}

// Visits every leaf pane (a node with "tabs"), first side before second.
template <class Visit> void for_each_leaf(json& node, Visit&& visit) {
    if (!node.is_object()) {
        return;
    }
    if (node.contains("tabs")) {
        visit(node);
        return;
    }
    for (const char* side : {"first", "second"}) {
        if (node.contains(side)) {
            for_each_leaf(node[side], visit);
        }
    }
}

Answer workspace_get(const fs::path& dir) {
    if (auto forced = env("TEVO_CLI_GET_OUTPUT")) {
        return {0, *forced, ""};
    }
    if (auto text = read_text(dir / "layout.json")) {
        return {0, *text, ""};
    }
    return {0, dump(default_layout()) + "\n", ""};
}

Answer workspace_add_tab(const fs::path& dir, const Parsed& parsed) {
    for (const char* required : {"--panel-id", "--panel-type", "--display-name"}) {
        if (!parsed.options.count(required)) {
            return error(fmt::format("add-tab: missing required option {}", required));
        }
    }
    json tab = {{"panelType", parsed.options.at("--panel-type")},
                {"displayName", parsed.options.at("--display-name")}};
    if (auto icon = parsed.options.find("--display-icon"); icon != parsed.options.end()) {
        tab["displayIcon"] = icon->second;
    }
    if (auto state = parsed.options.find("--initial-state"); state != parsed.options.end()) {
        json value = json::parse(state->second, nullptr, false);
        if (value.is_discarded()) {
            return error(
                fmt::format("add-tab: --initial-state is not valid JSON: {}", state->second));
        }
        tab["initialState"] = std::move(value);
    }

    auto layout = load_layout(dir);
    if (!layout) {
        return error(layout.error());
    }
    const std::string& pane_id = parsed.options.at("--panel-id");
    bool added = false;
    if (layout->contains("root")) {
        for_each_leaf((*layout)["root"], [&](json& leaf) {
            const auto id = leaf.find("id");
            if (added || id == leaf.end() || *id != pane_id) {
                return;
            }
            if (!leaf["tabs"].is_array()) {
                leaf["tabs"] = json::array();
            }
            leaf["tabs"].push_back(tab);
            added = true;
        });
    }
    if (!added) {
        return error(fmt::format("add-tab: no pane with id {}", pane_id));
    }
    if (auto saved = save_layout(dir, *layout); !saved) {
        return error(saved.error());
    }
    return {};
}

Answer workspace_remove_tab(const fs::path& dir, const Parsed& parsed) {
    const auto name = parsed.options.find("--name");
    if (name == parsed.options.end()) {
        return error("remove-tab: missing required option --name");
    }
    auto layout = load_layout(dir);
    if (!layout) {
        return error(layout.error());
    }
    bool removed = false;
    if (layout->contains("root")) {
        for_each_leaf((*layout)["root"], [&](json& leaf) {
            json& tabs = leaf["tabs"];
            if (!tabs.is_array()) {
                return;
            }
            const auto size = tabs.size();
            tabs.erase(std::remove_if(tabs.begin(), tabs.end(),
                                      [&](const json& tab) {
                                          const auto shown = tab.find("displayName");
                                          return tab.is_object() && shown != tab.end() &&
                                                 *shown == name->second;
                                      }),
                       tabs.end());
            removed = removed || tabs.size() != size;
        });
    }
    if (removed) {
        if (auto saved = save_layout(dir, *layout); !saved) {
            return error(saved.error());
        }
    }
    return {};
}

Answer caption_show(const fs::path& dir, const Parsed& parsed) {
    if (parsed.positional.size() != 1) {
        return usage_error();
    }
    json caption = {{"visible", true}, {"text", parsed.positional[0]}};

    const std::string duration =
        parsed.options.count("duration") ? parsed.options.at("duration") : std::string("0");
    double seconds = 0;
    const auto [end, ec] =
        std::from_chars(duration.data(), duration.data() + duration.size(), seconds);
    if (ec != std::errc() || end != duration.data() + duration.size() || seconds < 0) {
        return error(fmt::format("caption: invalid duration {}", duration));
    }
    // Whole seconds stay integers, as they were given.
    if (const auto whole = parse_integer(duration)) {
        caption["duration"] = *whole;
    } else {
        caption["duration"] = seconds;
    }

    struct Choice {
        const char* option;
        const char* fallback;
        std::vector<std::string> allowed;
    };
    for (const auto& choice : {Choice{"size", "medium", {"small", "medium", "large"}},
                               Choice{"position", "top", {"top", "center", "bottom"}}}) {
        const std::string value = parsed.options.count(choice.option)
                                      ? parsed.options.at(choice.option)
                                      : std::string(choice.fallback);
        if (std::find(choice.allowed.begin(), choice.allowed.end(), value) ==
            choice.allowed.end()) {
            return error(fmt::format("caption: invalid {} {}", choice.option, value));
        }
        caption[choice.option] = value;
    }
    if (auto saved = write_atomically(dir / "caption.json", dump(caption) + "\n"); !saved) {
        return error(saved.error());
    }
    return {};
}

Answer caption_hide(const fs::path& dir) {
    json caption = json::object();
    if (auto text = read_text(dir / "caption.json")) {
        caption = json::parse(*text, nullptr, false);
        if (!caption.is_object()) {
            caption = json::object();
        }
    }
    caption["visible"] = false;
    if (auto saved = write_atomically(dir / "caption.json", dump(caption) + "\n"); !saved) {
        return error(saved.error());
    }
    return {};
}

constexpr const char* kSpeech =
    "This is the narration of the demo. First we open the project, then we export the report "
    "and share it with the team.";

// Speech in a WAV file when espeak-ng is installed; whether it was made.
bool speak(const fs::path& wav) {
    const auto spoken = run_captured(
        "espeak-ng", {"-w", wav.string(), env("TEVO_CLI_SPEECH_TEXT").value_or(kSpeech)});
    return spoken && spoken->status.success();
}

double recorded_seconds(double elapsed) {
    const std::string forced = env("TEVO_CLI_AUDIO_SECONDS").value_or("");
    double seconds = 0;
    const auto [end, ec] = std::from_chars(forced.data(), forced.data() + forced.size(), seconds);
    if (forced.empty() || ec != std::errc() || end != forced.data() + forced.size() ||
        !(seconds > 0)) {
        return elapsed;
    }
    return std::min(seconds, kMaxRecordingSeconds);
}

// A line per answered call with its time, so that tests can measure the pauses between calls.
void log_timed_call(const fs::path& dir, const std::vector<std::string>& args) {
    const int fd =
        ::open((dir / "timed-calls.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        return;
    }
    write_fd(fd, dump(json{{"ms", now_ms()}, {"args", args}}) + "\n");
    ::close(fd);
}

// Recording only notes its start; `audio stop` renders the elapsed time from the lavfi source.
// That makes a real file of the right length without a background process to look after.
Answer audio_start(const fs::path& dir) {
    const long long started = now_ms();
    const json recording = {{"startedMs", started},
                            {"filePath", fmt::format("audio/recording-{}.webm", started)}};
    // A second start replaces the first, as restarting the microphone would.
    if (auto saved = write_atomically(dir / "recording.json", dump(recording) + "\n"); !saved) {
        return error(saved.error());
    }
    return {};
}

Answer audio_stop(const fs::path& dir) {
    const fs::path state = dir / "recording.json";
    const auto text = read_text(state);
    const json recording = text ? json::parse(*text, nullptr, false) : json();
    if (!recording.is_object() || !recording.contains("startedMs") ||
        !recording["startedMs"].is_number_integer() || !recording.contains("filePath") ||
        !recording["filePath"].is_string()) {
        return {1, "", "no recording in progress\n"};
    }
    const auto started = recording["startedMs"].get<long long>();
    const auto relative = recording["filePath"].get<std::string>();
    const double seconds = std::clamp(static_cast<double>(now_ms() - started) / 1000.0,
                                      kMinRecordingSeconds, kMaxRecordingSeconds);

    const fs::path project = home_dir() / "project";
    const fs::path target = project / relative;
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        return error(
            fmt::format("create {}: {}", target.parent_path().string(), os_error_text(ec.value())));
    }
    // Finished files only: the adopt search must never pick up half an encode.
    const fs::path partial = target.parent_path() / ("." + target.filename().string() + ".part");
    std::vector<std::string> args = {"-hide_banner", "-nostdin", "-loglevel", "error", "-y"};
    const fs::path speech = dir / fmt::format("speech-{}.wav", ::getpid());
    if (auto lavfi = env("TEVO_CLI_AUDIO_SOURCE")) {
        args.insert(args.end(), {"-f", "lavfi", "-i", *lavfi});
    } else if (speak(speech)) {
        args.insert(args.end(), {"-stream_loop", "-1", "-i", speech.string()});
    } else {
        args.insert(args.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000"});
    }
    args.insert(args.end(),
                {"-t", fmt::format("{:.3f}", recorded_seconds(seconds)), "-af",
                 fmt::format("volume={}dB", env("TEVO_CLI_AUDIO_GAIN_DB").value_or("0")), "-ar",
                 "48000", "-c:a", "libopus", "-b:a", "64k", "-f", "webm", partial.string()});
    auto ran = run_captured("ffmpeg", args);
    fs::remove(speech, ec);
    if (!ran) {
        return error(fmt::format("ffmpeg spawn failed: {}", ran.error()));
    }
    if (!ran->status.success()) {
        fs::remove(partial, ec);
        return error(fmt::format("recording failed: {}", lossy_utf8(ran->err)));
    }
    fs::rename(partial, target, ec);
    if (ec) {
        return error(fmt::format("rename {}: {}", target.string(), os_error_text(ec.value())));
    }
    const auto size = fs::file_size(target, ec);
    if (ec) {
        return error(fmt::format("stat {}: {}", target.string(), os_error_text(ec.value())));
    }
    fs::remove(state, ec);
    return {0, dump(json{{"filePath", relative}, {"size", size}}) + "\n", ""};
}

Answer dispatch(const fs::path& dir, const std::vector<std::string>& args) {
    auto is = [&](std::initializer_list<const char*> words) {
        if (args.size() < words.size()) {
            return false;
        }
        return std::equal(words.begin(), words.end(), args.begin());
    };
    log_timed_call(dir, args);
    StateLock lock(dir);
    if (is({"nimbrel", "caption", "show"})) {
        const auto parsed = parse_options(args, 3,
                                          {{"-d", "duration"},
                                           {"--duration", "duration"},
                                           {"-s", "size"},
                                           {"--size", "size"},
                                           {"-p", "position"},
                                           {"--position", "position"}});
        return parsed ? caption_show(dir, *parsed) : usage_error();
    }
    if (is({"nimbrel", "caption", "hide"}) && args.size() == 3) {
        return caption_hide(dir);
    }
    if (is({"nimbrel", "audio", "enable"})) {
        const auto parsed = parse_options(args, 3, {{"--reason", "--reason"}});
        return parsed && parsed->positional.empty() ? Answer{} : usage_error();
    }
    if (is({"nimbrel", "audio", "start"}) && args.size() == 3) {
        return audio_start(dir);
    }
    if (is({"nimbrel", "audio", "stop"}) && args.size() == 3) {
        return audio_stop(dir);
    }
    if (is({"nimbrel", "workspace", "get"}) && args.size() == 3) {
        return workspace_get(dir);
    }
    if (is({"nimbrel", "workspace", "add-tab"})) {
        std::map<std::string, std::string> known;
        for (const char* name : {"--panel-id", "--panel-type", "--display-name", "--display-icon",
                                 "--initial-state"}) {
            known[name] = name;
        }
        const auto parsed = parse_options(args, 3, known);
        return parsed && parsed->positional.empty() ? workspace_add_tab(dir, *parsed)
                                                    : usage_error();
    }
    if (is({"nimbrel", "workspace", "remove-tab"})) {
        const auto parsed = parse_options(args, 3, {{"--name", "--name"}});
        return parsed && parsed->positional.empty() ? workspace_remove_tab(dir, *parsed)
                                                    : usage_error();
    }
    return usage_error();
}

} // namespace
} // namespace reelcut

int main(int argc, char** argv) {
    using namespace reelcut;
    const auto delay = [] {
        if (const auto ms = parse_integer(env("TEVO_CLI_DELAY_MS").value_or("0")); ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::max(0LL, *ms)));
        }
    };
    return standin::run(argc, argv, kTool, delay, dispatch);
}
