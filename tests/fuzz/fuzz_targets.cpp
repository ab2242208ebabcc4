#include "fuzz/fuzz_targets.hpp"

#include "ctrl/instances.hpp"
#include "markers.hpp"
#include "storyboard/manifest.hpp"
#include "text_format.hpp"
#include "webapp/registry.hpp"
#include "webapp/request_guard.hpp"
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

const std::vector<Target>& all_targets() {
    static const std::vector<Target> targets = {
        {"markers", fuzz_markers},   {"manifest", fuzz_manifest},
        {"range", fuzz_range},       {"request_guard", fuzz_request_guard},
        {"registry", fuzz_registry},
    };
    return targets;
}

} // namespace reelcut::fuzz
