// tevo-reelcut: post-production studio for screen-recorded product demos.
#include "main/cli.hpp"
#include "main/dispatch.hpp"
#include "main/output.hpp"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A vanished reader (a pipe into `head`, a closed HTTP client) must be a write error,
    // never the end of the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    auto outcome = reelcut::parse_command_line(args);
    if (const auto* exit = std::get_if<reelcut::ParserExit>(&outcome)) {
        reelcut::write_fd(1, exit->out);
        reelcut::write_fd(2, exit->err);
        return exit->status;
    }
    return reelcut::dispatch(std::get<reelcut::Cli>(outcome));
}
