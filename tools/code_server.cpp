// Stand-in for code-server's remote command-line tool, for tests on machines without the editor:
// it accepts "--reuse-window FILE" (the way tevo-reelcut reveals a file) and logs every call.
//
// Environment:
//   CODE_SERVER_STATE_DIR  state directory (default $HOME/.code-server-standin)
//   CODE_SERVER_FAIL       fail every call whose arguments, joined by spaces, begin with these
//                          words (CODE_SERVER_FAIL_STDOUT, _STDERR and _STATUS as for tevo-cli)
//
// Files in the state directory: calls.log (one JSON array of the arguments per call).
#include "standin.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace {

const reelcut::standin::Tool kTool{"code-server", "CODE_SERVER"};

reelcut::standin::Answer dispatch(const std::filesystem::path&,
                                  const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "--reuse-window" && !args[1].empty()) {
        return {};
    }
    return kTool.usage_error("usage: code-server --reuse-window FILE\n");
}

} // namespace

int main(int argc, char** argv) {
    return reelcut::standin::run(
        argc, argv, kTool, [] {}, dispatch);
}
