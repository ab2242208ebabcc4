// `tevo-reelcut` for the tests that need the voiceover's code-server tool elsewhere than its
// fixed path:
//
//   voiceover-fixture-server --code-server-cli PATH ARGS...
//
// runs the command line ARGS exactly as tevo-reelcut would, with POST "/reveal" starting PATH.
#include "main/dispatch.hpp"
#include "terminal.hpp"
#include "voiceover/voiceover_app.hpp"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (args.size() < 2 || args[0] != "--code-server-cli") {
        reelcut::write_fd(2, "usage: voiceover-fixture-server --code-server-cli PATH ARGS...\n");
        return 2;
    }
    reelcut::set_code_server_cli(args[1]);
    args.erase(args.begin(), args.begin() + 2);
    return reelcut::run_command_line(args);
}
