// Which requests the loopback server answers. Any website open in the user's browser can send
// requests to 127.0.0.1, and one that rebinds its own name to 127.0.0.1 can even read the
// answers. Browsers say where a request comes from (Host, Origin, Sec-Fetch-Site/-Mode), so the
// server answers only its own pages (directly or through the workspace's proxy) and clients that
// send none of these headers, such as curl.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace reelcut {

// What the guard looks at in one request; a header that is absent is nothing.
struct GuardedRequest {
    std::string_view method;
    std::string_view path; // the URL up to its first "?"
    std::optional<std::string_view> host;
    std::optional<std::string_view> origin;
    std::optional<std::string_view> fetch_site; // Sec-Fetch-Site
    std::optional<std::string_view> fetch_mode; // Sec-Fetch-Mode
};

// A host and port as written in Host, Origin or an address: the host in lower case (an IPv6
// address keeps its brackets), the port when one is given.
struct HostAndPort {
    std::string host;
    std::optional<std::uint16_t> port;
};

class RequestGuard {
  public:
    // `proxy_uri` is the workspace's page address template (VSCODE_PROXY_URI, "{{port}}" not yet
    // filled in), or nothing when pages are reached on loopback only.
    RequestGuard(std::uint16_t port, std::optional<std::string> proxy_uri);
    // The guard for a server on `port`, with VSCODE_PROXY_URI from the environment.
    static RequestGuard from_environment(std::uint16_t port);

    // Why the request must be refused ("forbidden: ..."), or nothing when it may be served.
    std::optional<std::string> rejection(const GuardedRequest& request) const;

  private:
    bool is_own_host(const HostAndPort& host) const;
    bool is_own_origin(std::string_view scheme, const HostAndPort& origin,
                       const std::optional<HostAndPort>& request_host) const;

    std::uint16_t port_;
    bool proxy_set_ = false;
    std::optional<std::string> proxy_scheme_; // lower case; nothing for "//host" addresses
    std::optional<HostAndPort> proxy_;        // nothing when the address names no host
};

} // namespace reelcut
