// tevo-reelcut: post-production studio for screen-recorded product demos.
#include "main/dispatch.hpp"

#include <csignal>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    // A vanished reader (a pipe into `head`, a closed HTTP client) must be a write error,
    // never the end of the process.
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return reelcut::run_command_line(args);
}
