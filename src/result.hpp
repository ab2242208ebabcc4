// Result types shared by every module: a value or a human-readable error message.
#pragma once

#include <string>
#include <tl/expected.hpp>

namespace reelcut {

template <class T> using Result = tl::expected<T, std::string>;
using Status = tl::expected<void, std::string>;

inline tl::unexpected<std::string> fail(std::string message) {
    return tl::unexpected<std::string>(std::move(message));
}

// "{description} (os error {n})", the form every system error takes inside a message.
std::string os_error_text(int errnum);

} // namespace reelcut
