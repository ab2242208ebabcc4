#include "fuzz/fuzz_targets.hpp"

#include "ctrl/instances.hpp"
#include "json_text.hpp"
#include "markers.hpp"
#include "storyboard/manifest.hpp"
#include "text_format.hpp"
#include "webapp/json_body.hpp"
#include "webapp/registry.hpp"
#include "webapp/request_guard.hpp"
#include "webapp/transfer_coding.hpp"
#include "webapp/video.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

namespace reelcut::fuzz {

namespace {

// A broken invariant is a crash to the fuzzer, which then keeps the input.
void check(bool ok, std::string_view what, std::string_view detail = {}) {
    if (ok) {
        return;
    }
    std::fprintf(stderr, "fuzz invariant broken: %.*s\n", static_cast<int>(what.size()),
                 what.data());
    if (!detail.empty()) {
        std::fprintf(stderr, "  %.*s\n", static_cast<int>(detail.size()), detail.data());
    }
    std::abort();
}

std::string_view as_text(const std::uint8_t* data, std::size_t size) {
    return {reinterpret_cast<const char*>(data), size};
}

bool same_epoch(double a, double b) {
    return a == b && std::signbit(a) == std::signbit(b);
}

bool same_event(const Event& a, const Event& b) {
    if (a.index() != b.index()) {
        return false;
    }
    if (const auto* start = std::get_if<SpeedupStart>(&a)) {
        const auto& other = std::get<SpeedupStart>(b);
        return same_epoch(start->epoch, other.epoch) && start->speed == other.speed &&
               start->label == other.label;
    }
    if (const auto* rec = std::get_if<RecordingStart>(&a)) {
        return same_epoch(rec->epoch, std::get<RecordingStart>(b).epoch);
    }
    return same_epoch(std::get<SpeedupEnd>(a).epoch, std::get<SpeedupEnd>(b).epoch);
}

} // namespace

int fuzz_markers(const std::uint8_t* data, std::size_t size) {
    const auto events = parse_events(as_text(data, size));
    if (!events) {
        return 0;
    }
    // What `mark` appends is what `inspect` and `process` read back.
    std::string rewritten;
    for (const Event& event : *events) {
        rewritten += serialize_event(event);
        rewritten.push_back('\n');
    }
    const auto reread = parse_events(rewritten);
    check(reread.has_value(), "serialized events do not read back",
          reread ? std::string_view() : std::string_view(reread.error()));
    check(std::equal(events->begin(), events->end(), reread->begin(), reread->end(), same_event),
          "serialized events read back changed", rewritten);

    const auto parsed = parse_segments(*events);
    if (!parsed) {
        return 0;
    }
    const auto starts = std::count_if(events->begin(), events->end(), [](const Event& e) {
        return std::holds_alternative<SpeedupStart>(e);
    });
    // Each start becomes one segment (closed by an end or by the next start) or stays open.
    check(parsed->unclosed.size() <= 1, "more than one unclosed start");
    check(static_cast<std::size_t>(starts) == parsed->segments.size() + parsed->unclosed.size(),
          "a speedup_start was lost or duplicated");
    check(std::is_sorted(parsed->segments.begin(), parsed->segments.end(),
                         [](const Segment& a, const Segment& b) { return a.start < b.start; }),
          "segments out of order");
    return 0;
}

int fuzz_manifest(const std::uint8_t* data, std::size_t size) {
    const auto manifest = parse_manifest(as_text(data, size));
    if (!manifest) {
        return 0;
    }
    const auto rendered = render_manifest(*manifest);
    // Both refuse exactly the manifests holding a path that is not UTF-8.
    check(manifest_to_value(*manifest).has_value() == rendered.has_value(),
          "render and value disagree on a manifest");
    if (!rendered) {
        return 0;
    }
    // Every save is read again by the next change; it must load and save unchanged.
    const auto reparsed = parse_manifest(*rendered);
    check(reparsed.has_value(), "a rendered manifest does not parse",
          reparsed ? std::string_view() : std::string_view(reparsed.error()));
    const auto rerendered = render_manifest(*reparsed);
    check(rerendered && *rerendered == *rendered, "a reloaded manifest renders differently",
          *rendered);
    return 0;
}

int fuzz_range(const std::uint8_t* data, std::size_t size) {
    if (size < 8) {
        return 0;
    }
    std::uint64_t file_size = 0;
    for (int k = 7; k >= 0; --k) {
        file_size = (file_size << 8) | data[k];
    }
    const auto range = parse_range_header(as_text(data + 8, size - 8), file_size);
    if (range) {
        check(range->start <= range->end && range->end < file_size,
              "range outside the file or reversed");
    }
    return 0;
}

int fuzz_request_guard(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const auto port = static_cast<std::uint16_t>((data[0] << 8) | data[1]);
    std::optional<std::string_view> rest = as_text(data + 2, size - 2);
    std::optional<std::string_view> fields[7];
    for (auto& field : fields) {
        if (!rest) {
            break;
        }
        const std::size_t nl = rest->find('\n');
        if (const std::string_view line = rest->substr(0, nl); line != "-") {
            field = line;
        }
        rest = nl == std::string_view::npos ? std::nullopt
                                            : std::optional<std::string_view>(rest->substr(nl + 1));
    }
    const std::optional<std::string> proxy =
        fields[0] ? std::optional<std::string>(*fields[0]) : std::nullopt;
    const RequestGuard guard(port, proxy);
    const GuardedRequest request{
        fields[1].value_or(""), fields[2].value_or(""), fields[3], fields[4], fields[5], fields[6]};
    // Clients that send no browser headers (curl), or only a Host naming the server on
    // loopback, are always served, whatever the proxy address.
    check(!guard.rejection(GuardedRequest{request.method, request.path, {}, {}, {}, {}}),
          "a request without browser headers refused");
    const std::string loopback = "127.0.0.1:" + std::to_string(port);
    check(!guard.rejection(GuardedRequest{request.method, request.path, loopback, {}, {}, {}}),
          "a request to the server's own loopback address refused");

    const auto rejection = guard.rejection(request);
    if (rejection) {
        check(rejection->starts_with("forbidden: "), "a rejection without \"forbidden: \"",
              *rejection);
        // The text goes into the answer and the log as is.
        check(valid_utf8(*rejection) &&
                  std::none_of(
                      rejection->begin(), rejection->end(),
                      [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }),
              "a rejection with control characters or bad UTF-8", *rejection);
    }
    return 0;
}

int fuzz_registry(const std::uint8_t* data, std::size_t size) {
    const auto record = parse_instance_record(as_text(data, size));
    if (!record) {
        return 0;
    }
    check(record->pid != 0, "a record without a pid");
    // A server's file must come back as the record it registered.
    const InstanceInfo info{record->subcommand, record->title, record->pid, record->port};
    const std::string written = render_instance_json(info, record->started_at, "/work");
    const auto reread = parse_instance_record(written);
    check(reread && reread->subcommand == record->subcommand && reread->title == record->title &&
              reread->started_at == record->started_at && reread->pid == record->pid &&
              reread->port == record->port,
          "a written registry file reads back differently", written);
    return 0;
}

int fuzz_transfer_encoding(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const bool has_length = (data[0] & 1) != 0;
    const bool http10 = (data[0] & 2) != 0;
    std::vector<std::string_view> values;
    for (std::string_view rest = as_text(data + 1, size - 1); !rest.empty();) {
        const std::size_t nl = rest.find('\n');
        values.push_back(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    const http::BodyFraming framing = http::judge_transfer_encoding(values, has_length, http10);
    check((framing == http::BodyFraming::as_announced) == values.empty(),
          "framing by length although Transfer-Encoding was given, or the reverse");
    if (framing != http::BodyFraming::chunked) {
        return 0;
    }
    check(!has_length && !http10, "chunked alongside a length, or in HTTP/1.0");
    // Every list element is blank or "chunked", and exactly one is.
    int chunked = 0;
    for (std::string_view value : values) {
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t comma = value.find(',', start);
            if (comma == std::string_view::npos) {
                comma = value.size();
            }
            std::string element(value.substr(start, comma - start));
            element.erase(0, element.find_first_not_of(" \t"));
            element.erase(element.find_last_not_of(" \t") + 1);
            std::transform(element.begin(), element.end(), element.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
            check(element.empty() || element == "chunked", "chunked taken with another coding",
                  value);
            chunked += element == "chunked";
            start = comma + 1;
        }
    }
    check(chunked == 1, "chunked taken although named more than once");
    return 0;
}

int fuzz_json_body(const std::uint8_t* data, std::size_t size) {
    const std::string text(as_text(data, size));
    BoundedJson bounded = parse_json_within(text, 1 << 20);
    auto* value = std::get_if<nlohmann::json>(&bounded);
    // The library's own parser must agree on what is JSON and what it says.
    nlohmann::json reference;
    bool reference_ok = true;
    try {
        reference = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception&) {
        reference_ok = false;
    }
    if (std::holds_alternative<JsonSyntaxError>(bounded)) {
        const auto& message = std::get<JsonSyntaxError>(bounded).message;
        check(!reference_ok || message.find("nesting deeper than") != std::string::npos,
              "JSON the library reads refused as a syntax error", message);
        return 0;
    }
    if (value == nullptr) {
        check(std::get<JsonRefusal>(bounded).status == 413, "a refusal other than the budget's");
        return 0;
    }
    check(reference_ok && *value == reference, "a tree other than the library's");
    const std::string compact = compact_json(*value);
    const JsonBody again = parse_json_text(compact);
    const auto* reread = std::get_if<nlohmann::json>(&again);
    check(reread != nullptr && compact_json(*reread) == compact,
          "compact JSON that reads back differently", compact);
    dismantle_json(*value);
    check(value->is_null(), "a dismantled tree that is not empty");
    return 0;
}

const std::vector<Target>& all_targets() {
    static const std::vector<Target> targets = {
        {"markers", fuzz_markers},     {"manifest", fuzz_manifest},
        {"range", fuzz_range},         {"request_guard", fuzz_request_guard},
        {"registry", fuzz_registry},   {"transfer_encoding", fuzz_transfer_encoding},
        {"json_body", fuzz_json_body},
    };
    return targets;
}

} // namespace reelcut::fuzz
