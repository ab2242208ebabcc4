#include "webapp/request_guard.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace reelcut {
namespace {

constexpr std::uint16_t kPort = 8797;

struct GuardCase {
    const char* name;
    std::optional<std::string> proxy; // VSCODE_PROXY_URI
    std::string method;
    std::string path;
    std::optional<std::string> host;
    std::optional<std::string> origin;
    std::optional<std::string> site;
    std::optional<std::string> mode;
    std::optional<std::string> refused; // the expected reason; nothing when allowed
};

const std::optional<std::string> none;

std::string host_reason(const std::string& host) {
    return "forbidden: Host \"" + host + "\" does not name this server";
}
std::string origin_reason(const std::string& origin) {
    return "forbidden: Origin \"" + origin + "\" is not this server's page";
}
const std::string cross_site = "forbidden: cross-site request";
const std::string other_site = "forbidden: request from another site";

const std::string proxy_path = "https://code.example.com/proxy/{{port}}/";
const std::string proxy_subdomain = "//{{port}}.code.example.com/";

std::vector<GuardCase> guard_cases() {
    return {
        // Command-line clients send none of the browser's headers.
        {"curl_without_headers", none, "POST", "/eval", none, none, none, none, none},
        {"curl_loopback_host", none, "GET", "/shutdown", "127.0.0.1:8797", none, none, none, none},
        {"localhost_any_case", none, "GET", "/", "LocalHost:8797", none, none, none, none},
        {"ipv6_loopback", none, "GET", "/", "[::1]:8797", none, none, none, none},
        {"other_port", none, "GET", "/", "127.0.0.1:8798", none, none, none,
         host_reason("127.0.0.1:8798")},
        {"missing_port_is_80", none, "GET", "/", "127.0.0.1", none, none, none,
         host_reason("127.0.0.1")},
        {"rebound_name", none, "GET", "/manifest", "rebind.test:8797", none, none, none,
         host_reason("rebind.test:8797")},
        {"port_with_suffix", none, "GET", "/", "127.0.0.1:8797.evil.test", none, none, none,
         host_reason("127.0.0.1:8797.evil.test")},
        {"empty_host", none, "GET", "/", "", none, none, none, host_reason("")},
        {"other_loopback_address", none, "GET", "/", "127.0.0.2:8797", none, none, none,
         host_reason("127.0.0.2:8797")},

        // The page's own requests, and pages elsewhere.
        {"own_origin", none, "POST", "/console", "127.0.0.1:8797", "http://127.0.0.1:8797",
         "same-origin", "cors", none},
        {"localhost_origin", none, "POST", "/console", "localhost:8797", "http://localhost:8797",
         "same-origin", "cors", none},
        {"other_local_port", none, "POST", "/eval", "127.0.0.1:8797", "http://127.0.0.1:9000",
         "same-site", "navigate", origin_reason("http://127.0.0.1:9000")},
        {"website", none, "POST", "/eval", "127.0.0.1:8797", "https://evil.test", "cross-site",
         "navigate", origin_reason("https://evil.test")},
        {"opaque_origin", none, "POST", "/eval", "127.0.0.1:8797", "null", none, none,
         origin_reason("null")},
        {"origin_with_path", none, "POST", "/eval", "127.0.0.1:8797", "http://127.0.0.1:8797/x",
         none, none, origin_reason("http://127.0.0.1:8797/x")},
        {"origin_without_host_header", none, "POST", "/eval", none, "http://127.0.0.1:8797", none,
         none, none},

        // Sec-Fetch-Site: a website's image or form, and a sibling page's.
        {"cross_site_image", none, "GET", "/shutdown", "127.0.0.1:8797", none, "cross-site",
         "no-cors", cross_site},
        {"cross_site_page_load", none, "GET", "/", "127.0.0.1:8797", none, "cross-site", "navigate",
         cross_site},
        {"same_site_image", none, "GET", "/shutdown", "127.0.0.1:8797", none, "same-site",
         "no-cors", other_site},
        {"same_site_frame_of_shutdown", none, "GET", "/shutdown", "127.0.0.1:8797", none,
         "same-site", "navigate", other_site},
        {"same_site_page_load", none, "GET", "/", "127.0.0.1:8797", none, "same-site", "navigate",
         none},
        {"same_site_index_load", none, "GET", "/index.html", "127.0.0.1:8797", none, "same-site",
         "navigate", none},
        {"typed_address", none, "GET", "/shutdown", "127.0.0.1:8797", none, "none", "navigate",
         none},

        // Through the workspace's path proxy, keeping the browser's Host or rewriting it.
        {"proxy_host_kept", proxy_path, "POST", "/console", "code.example.com",
         "https://code.example.com", "same-origin", "cors", none},
        {"proxy_host_default_port", proxy_path, "GET", "/", "code.example.com:443", none, none,
         none, none},
        {"proxy_host_other_port", proxy_path, "GET", "/", "code.example.com:8443", none, none, none,
         host_reason("code.example.com:8443")},
        {"proxy_host_rewritten", proxy_path, "POST", "/console", "127.0.0.1:8797",
         "https://code.example.com", "same-origin", "cors", none},
        {"proxy_origin_wrong_scheme", proxy_path, "POST", "/console", "127.0.0.1:8797",
         "http://code.example.com", none, none, origin_reason("http://code.example.com")},
        {"proxy_set_loopback_still_works", proxy_path, "GET", "/", "127.0.0.1:8797", none, none,
         none, none},
        {"proxy_set_rebound_name", proxy_path, "GET", "/", "rebind.test:8797", none, none, none,
         host_reason("rebind.test:8797")},
        {"proxy_set_website_origin", proxy_path, "POST", "/eval", "code.example.com",
         "https://evil.test", none, none, origin_reason("https://evil.test")},

        // code-server's scheme-less form, with the port in the host name.
        {"subdomain_host", proxy_subdomain, "POST", "/console", "8797.code.example.com",
         "https://8797.code.example.com", "same-origin", "cors", none},
        {"subdomain_other_port", proxy_subdomain, "GET", "/", "8798.code.example.com", none, none,
         none, host_reason("8798.code.example.com")},
        {"subdomain_workbench_opens_page", proxy_subdomain, "GET", "/?v=1", "8797.code.example.com",
         none, "same-site", "navigate", none},
        {"subdomain_http_origin", proxy_subdomain, "POST", "/console", "127.0.0.1:8797",
         "http://8797.code.example.com", none, none, none},
        {"subdomain_other_scheme", proxy_subdomain, "POST", "/console", "127.0.0.1:8797",
         "ftp://8797.code.example.com", none, none, origin_reason("ftp://8797.code.example.com")},

        // A proxy address without a host: its name cannot be known, so Host is not checked.
        {"hostless_proxy_any_host", "/proxy/{{port}}/", "GET", "/", "anything.test", none, none,
         none, none},
        {"hostless_proxy_same_origin", "/proxy/{{port}}/", "POST", "/console", "anything.test",
         "https://anything.test", none, none, none},
        {"hostless_proxy_other_origin", "/proxy/{{port}}/", "POST", "/eval", "127.0.0.1:8797",
         "https://evil.test", none, none, origin_reason("https://evil.test")},
        {"empty_proxy", "", "GET", "/", "anything.test", none, none, none, none},
        {"proxy_with_user_information", "http://me@127.0.0.1:8080/proxy/{{port}}/", "POST",
         "/console", "127.0.0.1:8080", "http://127.0.0.1:8080", none, none, none},
    };
}

class RequestGuardTable : public ::testing::TestWithParam<GuardCase> {};

TEST_P(RequestGuardTable, AllowsOwnPagesAndRefusesOthers) {
    const GuardCase& c = GetParam();
    const RequestGuard guard(kPort, c.proxy);
    auto view = [](const std::optional<std::string>& text) {
        return text ? std::optional<std::string_view>(*text) : std::nullopt;
    };
    const auto refused =
        guard.rejection(GuardedRequest{c.method, c.path.substr(0, c.path.find('?')), view(c.host),
                                       view(c.origin), view(c.site), view(c.mode)});
    EXPECT_EQ(refused, c.refused);
}

INSTANTIATE_TEST_SUITE_P(Cases, RequestGuardTable, ::testing::ValuesIn(guard_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RequestGuard, QuotesHeaderValuesSafely) {
    const RequestGuard guard(kPort, std::nullopt);
    // Control bytes and invalid UTF-8 must not reach the log line or the JSON answer raw.
    const std::string host = std::string("evil\x1b[2J\xff") + ":8797";
    const auto refused = guard.rejection(GuardedRequest{"GET", "/", host, {}, {}, {}});
    ASSERT_TRUE(refused);
    EXPECT_EQ(*refused, "forbidden: Host \"evil?[2J\xEF\xBF\xBD:8797\" does not name this server");
}

} // namespace
} // namespace reelcut
