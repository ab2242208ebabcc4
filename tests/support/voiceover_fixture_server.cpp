// `tevo-reelcut` with test settings of the voiceover that have no command-line option:
//
//   voiceover-fixture-server [--code-server-cli PATH] [--media-limits WAIT_MS RUN_MS] ARGS...
//
// runs the command line ARGS exactly as tevo-reelcut would, with POST "/reveal" starting PATH
// instead of the editor's tool, and media runs that wait WAIT_MS for a slot and run RUN_MS at most.
#include "main/dispatch.hpp"
#include "terminal.hpp"
#include "voiceover/voiceover_app.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    while (!args.empty()) {
        if (args[0] == "--code-server-cli" && args.size() >= 2) {
            reelcut::set_code_server_cli(args[1]);
            args.erase(args.begin(), args.begin() + 2);
        } else if (args[0] == "--media-limits" && args.size() >= 3) {
            reelcut::set_default_media_limits(
                {std::chrono::milliseconds(std::atol(args[1].c_str())),
                 std::chrono::milliseconds(std::atol(args[2].c_str()))});
            args.erase(args.begin(), args.begin() + 3);
        } else {
            break;
        }
    }
    if (args.empty()) {
        reelcut::write_fd(2, "usage: voiceover-fixture-server [--code-server-cli PATH] "
                             "[--media-limits WAIT_MS RUN_MS] ARGS...\n");
        return 2;
    }
    return reelcut::run_command_line(args);
}
