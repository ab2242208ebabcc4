#include "webapp/request_guard.hpp"

#include "subprocess.hpp"
#include "text_format.hpp"
#include "webapp/tab.hpp"

#include <charconv>

namespace reelcut {

namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

// A decimal port: digits only, at most 65535.
std::optional<std::uint16_t> parse_port(std::string_view text) {
    if (text.empty() || text.size() > 5) {
        return std::nullopt;
    }
    unsigned value = 0;
    const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (err != std::errc() || end != text.data() + text.size() || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::optional<std::uint16_t> default_port(std::string_view scheme) {
    if (scheme == "http") {
        return 80;
    }
    if (scheme == "https") {
        return 443;
    }
    return std::nullopt;
}

bool valid_scheme(std::string_view scheme) {
    if (scheme.empty() ||
        !((scheme[0] >= 'a' && scheme[0] <= 'z') || (scheme[0] >= 'A' && scheme[0] <= 'Z'))) {
        return false;
    }
    for (char c : scheme) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "host", "host:port", "[v6]" or "[v6]:port"; nothing when malformed or the host is empty.
std::optional<HostAndPort> parse_authority(std::string_view text) {
    std::string_view host;
    std::string_view rest;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        host = text.substr(0, close + 1);
        rest = text.substr(close + 1);
        if (!rest.empty() && rest.front() != ':') {
            return std::nullopt;
        }
    } else {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string_view::npos ? std::string_view() : text.substr(colon);
    }
    if (host.empty() || host == "[]") {
        return std::nullopt;
    }
    for (char c : host) {
        // Separators and blanks have no place in a host name; reject rather than guess.
        if (c == '/' || c == '?' || c == '#' || c == '@' || c == ' ' || c == '\t' ||
            static_cast<unsigned char>(c) < 0x20 || (c == ':' && host.front() != '[')) {
            return std::nullopt;
        }
    }
    HostAndPort out{lower(host), std::nullopt};
    if (!rest.empty()) {
        out.port = parse_port(rest.substr(1));
        if (!out.port) {
            return std::nullopt;
        }
    }
    return out;
}

// Two ports of one scheme agree when equal, an absent one standing for the scheme's default
// (http and https both when the scheme is unknown).
bool same_port(std::optional<std::uint16_t> a, std::optional<std::uint16_t> b,
               std::optional<std::string_view> scheme) {
    if (a == b) {
        return true;
    }
    const std::optional<std::uint16_t> given = a ? a : b;
    if (scheme) {
        return default_port(*scheme) == given;
    }
    return given == 80 || given == 443;
}

bool is_loopback_name(std::string_view host) {
    return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
}

struct ParsedOrigin {
    std::string scheme; // lower case
    HostAndPort authority;
};

// "scheme://host[:port]" exactly, as browsers send it; "null" and anything else is nothing.
std::optional<ParsedOrigin> parse_origin(std::string_view text) {
    const std::size_t sep = text.find("://");
    if (sep == std::string_view::npos || !valid_scheme(text.substr(0, sep))) {
        return std::nullopt;
    }
    auto authority = parse_authority(text.substr(sep + 3));
    if (!authority) {
        return std::nullopt;
    }
    return ParsedOrigin{lower(text.substr(0, sep)), std::move(*authority)};
}

std::string quoted(std::string_view value) {
    std::string text = lossy_utf8(value);
    std::string out = "\"";
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            out += '?';
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

bool is_page_path(std::string_view path) {
    return path == "/" || path == "/index.html";
}

} // namespace

RequestGuard::RequestGuard(std::uint16_t port, std::optional<std::string> proxy_uri)
    : port_(port), proxy_set_(proxy_uri.has_value()) {
    if (!proxy_uri) {
        return;
    }
    const std::string uri = with_port(std::move(*proxy_uri), port);
    std::string_view rest = uri;
    if (rest.starts_with("//")) {
        rest.remove_prefix(2);
    } else if (const std::size_t sep = rest.find("://");
               sep != std::string_view::npos && valid_scheme(rest.substr(0, sep))) {
        proxy_scheme_ = lower(rest.substr(0, sep));
        rest.remove_prefix(sep + 3);
    } else {
        return; // a relative address names no host
    }
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1); // user information is not part of the host
    }
    proxy_ = parse_authority(authority);
}

RequestGuard RequestGuard::from_environment(std::uint16_t port) {
    // The same value the page's address is made from.
    return RequestGuard(port, proxy_uri_template());
}

bool RequestGuard::is_own_host(const HostAndPort& host) const {
    if (is_loopback_name(host.host) && same_port(host.port, port_, std::string_view("http"))) {
        return true;
    }
    return proxy_ && proxy_->host == host.host &&
           same_port(host.port, proxy_->port,
                     proxy_scheme_ ? std::optional<std::string_view>(*proxy_scheme_)
                                   : std::nullopt);
}

bool RequestGuard::is_own_origin(std::string_view scheme, const HostAndPort& origin,
                                 const std::optional<HostAndPort>& request_host) const {
    const bool web = scheme == "http" || scheme == "https";
    if (scheme == "http" && is_loopback_name(origin.host) &&
        same_port(origin.port, port_, scheme)) {
        return true;
    }
    if (proxy_ && proxy_->host == origin.host && (proxy_scheme_ ? scheme == *proxy_scheme_ : web) &&
        same_port(origin.port, proxy_->port, scheme)) {
        return true;
    }
    // The page reached through a proxy that keeps the browser's Host: same origin as the page.
    return web && request_host && request_host->host == origin.host &&
           same_port(origin.port, request_host->port, scheme);
}

std::optional<std::string> RequestGuard::rejection(const GuardedRequest& request) const {
    std::optional<HostAndPort> request_host;
    if (request.host) {
        request_host = parse_authority(*request.host);
        // Without a host in VSCODE_PROXY_URI the proxy's name is unknown, so any Host may be it.
        const bool host_known = !proxy_set_ || proxy_;
        if (host_known && (!request_host || !is_own_host(*request_host))) {
            return "forbidden: Host " + quoted(*request.host) + " does not name this server";
        }
    }
    if (request.origin) {
        const auto origin = parse_origin(*request.origin);
        if (!origin || !is_own_origin(origin->scheme, origin->authority, request_host)) {
            return "forbidden: Origin " + quoted(*request.origin) + " is not this server's page";
        }
    }
    if (request.fetch_site) {
        const std::string site = lower(*request.fetch_site);
        if (site == "cross-site") {
            return std::string("forbidden: cross-site request");
        }
        // A page on a sibling host (code-server's "{{port}}.host" proxy) may open the page itself;
        // anything else from another site, such as an image pointing at "/shutdown", is not ours.
        if (site == "same-site") {
            const bool page_load = (request.method == "GET" || request.method == "HEAD") &&
                                   request.fetch_mode && lower(*request.fetch_mode) == "navigate" &&
                                   is_page_path(request.path);
            if (!page_load) {
                return std::string("forbidden: request from another site");
            }
        }
    }
    return std::nullopt;
}

} // namespace reelcut
