// Texts of the transport: the message of a failed transfer and the Date header.
#include "webapp/http_internal.hpp"

#include <ctime>

namespace reelcut::http {

std::string error_text(const boost::system::error_code& ec) {
    if (ec == asio::error::eof || ec == bhttp::error::end_of_stream ||
        ec == bhttp::error::partial_message) {
        return "connection closed by the client";
    }
    if (ec.category() == boost::system::system_category()) {
        return os_error_text(ec.value());
    }
    return ec.message();
}

// The parser's verdict on bytes that are no HTTP message (as opposed to a transport failure or
// a message that simply ended early).
bool is_malformed_message(const boost::system::error_code& ec) {
    return ec.category() == bhttp::make_error_code(bhttp::error::bad_method).category() &&
           ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message;
}

std::string http_date() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::gmtime_r(&now, &tm);
    char buf[64];
    const std::size_t n = std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return std::string(buf, n);
}

} // namespace reelcut::http
