#include "voiceover/voiceover_app.hpp"

#include "assets.hpp"
#include "ffmpeg/media_tools.hpp"
#include "file_io.hpp"
#include "text_format.hpp"
#include "voiceover/routes.hpp"

#include <fmt/format.h>

namespace reelcut {

namespace {

constexpr const char* kCodeServerCli = "/usr/lib/code-server/lib/vscode/bin/remote-cli/code-server";

// Both never destroyed: request threads may still read them while the process exits.
std::mutex code_server_lock;
std::string& code_server_path() {
    static auto* path = new std::string(kCodeServerCli);
    return *path;
}

std::mutex media_limits_lock;
MediaLimits& media_limits_setting() {
    static auto* limits = new MediaLimits;
    return *limits;
}

} // namespace

std::optional<std::string> VoiceoverState::current_take() const {
    return preview_path ? preview_path : finalize_path;
}

std::string VoiceoverState::current_file(const std::string& output) const {
    return current_take().value_or(output);
}

std::string VoiceoverState::raw_file(const std::string& output) const {
    return finalize_path.value_or(output);
}

std::string VoiceoverState::playback_file(const std::string& output) const {
    return preview_path.value_or(output);
}

VoiceoverApp::VoiceoverApp(VoiceoverOptions args, std::shared_ptr<FinalResultSlot> final_result)
    : args(std::move(args)), final_result(std::move(final_result)),
      media_limits(default_media_limits()), media_{this->args.input, this->args.output} {}

VoiceoverMedia VoiceoverApp::media() const {
    std::lock_guard guard(media_lock_);
    return media_;
}

void VoiceoverApp::set_media(VoiceoverMedia media) {
    std::lock_guard guard(media_lock_);
    media_ = std::move(media);
}

std::string VoiceoverApp::html() const {
    return voiceover_html();
}

std::string VoiceoverApp::favicon() const {
    return voiceover_favicon();
}

RouteOutcome VoiceoverApp::handle(http::Request request, const std::string& method,
                                  const std::string& path) {
    return handle_voiceover_request(*this, std::move(request), method, path);
}

std::shared_ptr<VoiceoverApp> new_voiceover_app(VoiceoverOptions args,
                                                std::shared_ptr<FinalResultSlot> final_result) {
    return std::make_shared<VoiceoverApp>(std::move(args), std::move(final_result));
}

std::string voiceover_html() {
    return std::string(assets::voiceover_html());
}

std::string voiceover_favicon() {
    return std::string(assets::voiceover_icon_svg());
}

std::string escape_json_text(std::string_view text) {
    std::string quoted = json_string(lossy_utf8(text));
    return quoted.substr(1, quoted.size() - 2);
}

std::string code_server_cli() {
    std::lock_guard guard(code_server_lock);
    return code_server_path();
}

void set_code_server_cli(std::string path) {
    std::lock_guard guard(code_server_lock);
    code_server_path() = std::move(path);
}

MediaLimits default_media_limits() {
    std::lock_guard guard(media_limits_lock);
    return media_limits_setting();
}

void set_default_media_limits(MediaLimits limits) {
    std::lock_guard guard(media_limits_lock);
    media_limits_setting() = limits;
}

Result<std::string> run_voiceover(VoiceoverOptions args) {
    if (!path_exists(args.input)) {
        return fail(fmt::format("input video not found: {}. Hint: run `tevo-reelcut process` "
                                "first to produce a sped-up video.",
                                lossy_utf8(args.input)));
    }
    const auto name = split_path(args.input).file_name();
    std::string title = name ? lossy_utf8(*name) : std::string("voiceover");

    // What a run of this server killed while writing left behind: partial takes beside the
    // output, waveform images and probe copies in the temporary directory.
    remove_abandoned_scratch(take_names(args.output).dir);
    remove_abandoned_scratch(system_temp_dir());

    auto slot = std::make_shared<FinalResultSlot>();
    ServerConfig config;
    config.tab_name = args.tab_name;
    config.icon = "mdi:microphone-variant";
    config.subcommand = "voiceover";
    config.title = std::move(title);
    config.panel_id = args.panel_id;
    config.port = args.port;
    config.no_open = args.no_open;
    if (Status served = serve(std::move(config), new_voiceover_app(std::move(args), slot));
        !served) {
        return fail(served.error());
    }
    std::optional<FinalOutcome> outcome;
    {
        std::lock_guard guard(slot->lock);
        outcome.swap(slot->value);
    }
    if (!outcome) {
        return fail("voiceover session ended without producing a final video");
    }
    if (!outcome->ok) {
        return fail(outcome->text);
    }
    return outcome->text;
}

} // namespace reelcut
