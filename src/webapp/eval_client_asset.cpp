// The eval-client script from assets/eval-client.html, placed here at configure time.
#include "webapp/eval.hpp"

namespace reelcut {

std::string_view eval_client_script() {
    static constexpr std::string_view script =
#include "eval_client_script.inc"
        ;
    return script;
}

} // namespace reelcut
