// The parsers that read outside input, each as a libFuzzer-style entry: any bytes are a valid
// input, and a broken invariant aborts. The fuzzers and the corpus replay test share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace reelcut::fuzz {

// A markers file's text: parse_events (read_events' line reader), then parse_segments on the
// events; every event read must come back unchanged after serialize_event and a second read.
int fuzz_markers(const std::uint8_t* data, std::size_t size);

// Manifest text: parse_manifest; a manifest that renders must parse back and render the same.
int fuzz_manifest(const std::uint8_t* data, std::size_t size);

// A Range header: the first 8 bytes are the file size (little-endian), the rest the header value;
// a range given must lie inside the file.
int fuzz_range(const std::uint8_t* data, std::size_t size);

// RequestGuard: the first 2 bytes are the server port (big-endian), the rest lines of proxy URI,
// method, path, Host, Origin, Sec-Fetch-Site and Sec-Fetch-Mode; a missing line or a line "-" is
// an absent value. A rejection must read "forbidden: ..." in printable UTF-8, and requests
// without browser headers pass.
int fuzz_request_guard(const std::uint8_t* data, std::size_t size);

// A registry file's text: parse_instance_record; a record given has a pid, and the file a server
// writes for it reads back as the same record.
int fuzz_registry(const std::uint8_t* data, std::size_t size);

// Transfer-Encoding field values, one a line after a first byte whose bit 0 says a
// Content-Length was given and bit 1 that the request is HTTP/1.0; a body is taken as chunked
// only when "chunked" is its one coding.
int fuzz_transfer_encoding(const std::uint8_t* data, std::size_t size);

// A JSON request body: parse_json_within with a 1 MiB budget must accept what the library's
// parser accepts (unless too deep or over the budget) and build the same tree, whose compact
// JSON reads back unchanged; dismantle_json empties it.
int fuzz_json_body(const std::uint8_t* data, std::size_t size);

struct Target {
    std::string_view name; // also the directory of its kept inputs under tests/fuzz/corpus
    int (*run)(const std::uint8_t*, std::size_t);
};

const std::vector<Target>& all_targets();

} // namespace reelcut::fuzz
