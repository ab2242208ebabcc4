#include "main/dispatch.hpp"

#include "ctrl/ctrl.hpp"
#include "main/eval_command.hpp"
#include "main/output.hpp"
#include "main/recording_commands.hpp"

#include <fmt/format.h>

namespace reelcut {
namespace {

constexpr const char* kSubcommandNames[] = {
    "health",   "mark",         "wrap",   "inspect", "process", "app",  "voiceover", "storyboard",
    "manifest", "append-still", "concat", "publish", "eval",    "list", "ctrl",      "install"};
static_assert(std::size(kSubcommandNames) == std::variant_size_v<Commands>);

Status not_available(std::size_t index) {
    return fail(fmt::format("the `{}` subcommand is not available in this build yet",
                            kSubcommandNames[index]));
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
    if (const auto* wrap = std::get_if<WrapArgs>(&command)) {
        return run_wrap(*wrap);
    } else if (const auto* mark = std::get_if<MarkAction>(&command)) {
        outcome = run_mark(*mark);
    } else if (const auto* inspect = std::get_if<InspectArgs>(&command)) {
        outcome = run_inspect(*inspect);
    } else if (const auto* eval = std::get_if<EvalArgs>(&command)) {
        outcome = run_eval(*eval);
    } else if (std::holds_alternative<ListCmd>(command)) {
        outcome = run_list();
    } else if (const auto* ctrl = std::get_if<CtrlArgs>(&command)) {
        outcome = run_ctrl(ctrl->target, ctrl->action);
    } else {
        outcome = not_available(command.index());
    }
    return outcome ? 0 : error_tail(outcome.error());
}

} // namespace reelcut
