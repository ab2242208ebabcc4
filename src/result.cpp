#include "result.hpp"

#include <cstring>
#include <fmt/format.h>

namespace reelcut {

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return fmt::format("{} (os error {})", text, errnum);
}

} // namespace reelcut
