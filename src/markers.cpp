#include "markers.hpp"

#include "json_scan.hpp"
#include "text_format.hpp"
#include "unique_fd.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fmt/format.h>
#include <limits>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace reelcut {

namespace {

using namespace strict_json;

constexpr const char* kDefaultMarkersPath = "/tmp/tevo-reelcut-markers.jsonl";

// ---------------------------------------------------------------------------------------------
// Files

// open(2) of a path text; a path holding a NUL byte cannot name a file. On failure returns -1
// with the error text in `error`.
int open_path(const std::string& path, int flags, std::string& error) {
    if (path.find('\0') != std::string::npos) {
        error = "file name contained an unexpected NUL byte";
        return -1;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        error = os_error_text(errno);
    }
    return fd;
}

// Writes all of `data` (one write(2) unless the kernel takes less); an error text on failure.
Status write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(os_error_text(errno));
        }
        if (n == 0) {
            return fail("failed to write whole buffer");
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

// ---------------------------------------------------------------------------------------------
// Text helpers

// The Unicode White_Space property of a code point: what trimming a line removes.
bool is_unicode_space(unsigned long cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
           cp == 0x205F || cp == 0x3000;
}

// Length of a white-space character starting at text[i] (valid UTF-8), or 0.
std::size_t space_at(std::string_view text, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
        return is_unicode_space(b0) ? 1 : 0;
    }
    if (b0 == 0xC2 && i + 1 < text.size()) {
        const auto b1 = static_cast<unsigned char>(text[i + 1]);
        return (b1 == 0x85 || b1 == 0xA0) ? 2 : 0;
    }
    if ((b0 == 0xE1 || b0 == 0xE2 || b0 == 0xE3) && i + 2 < text.size()) {
        unsigned long cp = ((b0 & 0x0Fu) << 12) |
                           ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                           (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
        return is_unicode_space(cp) ? 3 : 0;
    }
    return 0;
}

// Start of the UTF-8 character that ends at text[end - 1].
std::size_t char_start_before(std::string_view text, std::size_t end) {
    std::size_t i = end - 1;
    while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80 && end - i < 4) {
        --i;
    }
    return i;
}

// str::trim of valid UTF-8 text.
std::string_view trim_unicode(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t len = space_at(text, begin);
        if (len == 0) {
            break;
        }
        begin += len;
    }
    std::size_t end = text.size();
    while (end > begin) {
        std::size_t start = char_start_before(text, end);
        if (start < begin || space_at(text, start) != end - start) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

// ---------------------------------------------------------------------------------------------
// The event reader: a strict JSON parser of one line into an Event, with the JSON library's
// reading rules (internally tagged enum on "action", derived struct readers for the variants).
//
// The order in which errors are found follows the JSON library: the whole line is read first
// (syntax errors; a repeated or unknown "action" as soon as it is seen; a missing "action" at the
// closing brace), then the variant's fields in the order their keys appear (a repeated key or a
// value of the wrong type, whichever comes first), then missing fields in declaration order, and
// last any characters after the value. Positions are 1-based byte columns within the trimmed
// line: the last character of the offending token, or the closing bracket for missing fields.

enum class Tag { RecordingStart, SpeedupStart, SpeedupEnd };
enum Field { kEpoch = 0, kSpeed = 1, kLabel = 2, kFieldCount = 3 };

constexpr const char* kFieldNames[kFieldCount] = {"epoch", "speed", "label"};
constexpr std::string_view kExpectedTags =
    "one of `recording_start`, `speedup_start`, `speedup_end`";

// The error of reading `v` as the field's type, or an empty text when it reads.
std::string field_type_error(Field field, const Scalar& v) {
    switch (field) {
    case kEpoch:
        if (v.kind == Kind::U64 || v.kind == Kind::I64 || v.kind == Kind::F64) {
            return {};
        }
        return fmt::format("invalid type: {}, expected f64", unexpected_text(v));
    case kSpeed:
        if (v.kind == Kind::U64) {
            if (v.u <= std::numeric_limits<std::uint32_t>::max()) {
                return {};
            }
            return fmt::format("invalid value: integer `{}`, expected u32", v.u);
        }
        if (v.kind == Kind::I64) {
            return fmt::format("invalid value: integer `{}`, expected u32", v.i);
        }
        return fmt::format("invalid type: {}, expected u32", unexpected_text(v));
    case kLabel:
        if (v.kind == Kind::String) {
            return {};
        }
        return fmt::format("invalid type: {}, expected a string", unexpected_text(v));
    case kFieldCount:
        break;
    }
    return {};
}

double as_f64(const Scalar& v) {
    switch (v.kind) {
    case Kind::U64:
        return static_cast<double>(v.u);
    case Kind::I64:
        return static_cast<double>(v.i);
    default:
        return v.f;
    }
}

const char* variant_name(Tag tag) {
    switch (tag) {
    case Tag::RecordingStart:
        return "RecordingStart";
    case Tag::SpeedupStart:
        return "SpeedupStart";
    case Tag::SpeedupEnd:
        break;
    }
    return "SpeedupEnd";
}

// Appends the event; the label (used only by a start) is moved out of `label`.
void emplace_event(std::vector<Event>& out, Tag tag, double epoch, std::uint32_t speed,
                   std::string& label) {
    switch (tag) {
    case Tag::RecordingStart:
        out.emplace_back(std::in_place_type<RecordingStart>, RecordingStart{epoch});
        return;
    case Tag::SpeedupStart:
        out.emplace_back(std::in_place_type<SpeedupStart>,
                         SpeedupStart{epoch, speed, std::move(label)});
        return;
    case Tag::SpeedupEnd:
        break;
    }
    out.emplace_back(std::in_place_type<SpeedupEnd>, SpeedupEnd{epoch});
}

class EventParser : public strict_json::Scanner {
  public:
    // Parses one trimmed line and appends its event to `out`; on failure returns false, leaves
    // `out` as it was and the message (with its position) in error().
    bool parse(std::string_view text, std::vector<Event>& out) {
        start(text);
        if (!parse_document(out)) {
            return false;
        }
        skip_ws();
        if (p_ < end_) {
            out.pop_back();
            return fail("trailing characters", col() + 1);
        }
        return true;
    }

  private:
    // A field of the variant as seen in the object form: its first occurrence and its first
    // repetition, each with its place among the field keys of the line.
    struct Slot {
        bool seen = false;
        std::size_t order = 0;
        Scalar value;
        bool repeated = false;
        std::size_t repeat_order = 0;
        std::size_t repeat_col = 0;
    };

    Slot slots_[kFieldCount];
    Scalar items_[kFieldCount];
    Scalar discard_;

    // ---- Document level ----------------------------------------------------------------

    bool parse_document(std::vector<Event>& out) {
        skip_ws();
        if (p_ == end_) {
            return fail_eof("EOF while parsing a value");
        }
        if (*p_ == '{') {
            return parse_tagged_object(out);
        }
        if (*p_ == '[') {
            return parse_tagged_array(out);
        }
        if (!parse_value(discard_, true)) {
            return false;
        }
        return fail(fmt::format("invalid type: {}, expected internally tagged enum Event",
                                unexpected_text(discard_)),
                    discard_.end);
    }

    // The value of "action" (or the first element of the array form).
    bool parse_tag(Tag& tag) {
        skip_ws();
        if (p_ == end_) {
            return fail_eof("EOF while parsing a value");
        }
        if (*p_ == '[' || *p_ == '{') {
            return fail(fmt::format("invalid type: {}, expected variant identifier",
                                    *p_ == '[' ? "sequence" : "map"),
                        col() + 1);
        }
        Scalar& v = discard_;
        if (!parse_value(v, true)) {
            return false;
        }
        if (v.kind != Kind::String) {
            return fail(
                fmt::format("invalid type: {}, expected variant identifier", unexpected_text(v)),
                v.end);
        }
        if (v.s == "recording_start") {
            tag = Tag::RecordingStart;
        } else if (v.s == "speedup_start") {
            tag = Tag::SpeedupStart;
        } else if (v.s == "speedup_end") {
            tag = Tag::SpeedupEnd;
        } else {
            return fail(fmt::format("unknown variant `{}`, expected {}", v.s, kExpectedTags),
                        v.end);
        }
        return true;
    }

    static int field_of(std::string_view key) {
        for (int f = 0; f < kFieldCount; ++f) {
            if (key == kFieldNames[f]) {
                return f;
            }
        }
        return -1;
    }

    bool parse_tagged_object(std::vector<Event>& out) {
        for (Slot& slot : slots_) {
            slot.seen = false;
            slot.repeated = false;
        }
        std::size_t order = 0;
        bool have_tag = false;
        Tag tag = Tag::RecordingStart;
        const bool read = read_object_members([&](std::string_view key) {
            const std::size_t key_end = col();
            const bool is_action = key == "action";
            if (is_action && have_tag) {
                return fail("duplicate field `action`", key_end);
            }
            const int field = is_action ? -1 : field_of(key);
            if (!parse_colon()) {
                return false;
            }
            if (is_action) {
                have_tag = parse_tag(tag);
                return have_tag;
            }
            if (field >= 0 && !slots_[field].seen) {
                Slot& slot = slots_[field];
                slot.seen = true;
                slot.order = order++;
                return parse_value(slot.value, true);
            }
            if (field >= 0 && !slots_[field].repeated) {
                Slot& slot = slots_[field];
                slot.repeated = true;
                slot.repeat_order = order++;
                slot.repeat_col = key_end;
            }
            return parse_value(discard_, false);
        });
        if (!read) {
            return false;
        }
        const std::size_t close = col();
        if (!have_tag) {
            return fail("missing field `action`", close);
        }
        return build_from_slots(tag, close, out);
    }

    bool build_from_slots(Tag tag, std::size_t close, std::vector<Event>& out) {
        const int fields = tag == Tag::SpeedupStart ? kFieldCount : 1;
        // The first problem in key order: a repeated key or a value of the wrong type.
        std::size_t best_order = std::numeric_limits<std::size_t>::max();
        std::string best_message;
        std::size_t best_col = 0;
        for (int f = 0; f < fields; ++f) {
            const Slot& slot = slots_[f];
            if (slot.seen && slot.order < best_order) {
                std::string message = field_type_error(static_cast<Field>(f), slot.value);
                if (!message.empty()) {
                    best_order = slot.order;
                    best_message = std::move(message);
                    best_col = slot.value.end;
                }
            }
            if (slot.repeated && slot.repeat_order < best_order) {
                best_order = slot.repeat_order;
                best_message = fmt::format("duplicate field `{}`", kFieldNames[f]);
                best_col = slot.repeat_col;
            }
        }
        if (!best_message.empty()) {
            return fail(best_message, best_col);
        }
        for (int f = 0; f < fields; ++f) {
            if (!slots_[f].seen) {
                return fail(fmt::format("missing field `{}`", kFieldNames[f]), close);
            }
        }
        emplace_event(out, tag, as_f64(slots_[kEpoch].value),
                      static_cast<std::uint32_t>(slots_[kSpeed].value.u), slots_[kLabel].value.s);
        return true;
    }

    bool parse_tagged_array(std::vector<Event>& out) {
        if (!enter()) {
            return false;
        }
        ++p_; // '['
        skip_ws();
        if (p_ == end_) {
            return fail_eof("EOF while parsing a list");
        }
        if (*p_ == ']') {
            ++p_;
            return fail("missing field `action`", col());
        }
        Tag tag = Tag::RecordingStart;
        if (!parse_tag(tag)) {
            return false;
        }
        std::size_t count = 0;
        while (true) {
            const Next next = after_member(']', "EOF while parsing a list");
            if (next == Next::Error) {
                return false;
            }
            if (next == Next::Close) {
                break;
            }
            Scalar& item = count < kFieldCount ? items_[count] : discard_;
            if (!parse_value(item, count < kFieldCount)) {
                return false;
            }
            ++count;
        }
        ++p_; // ']'
        --depth_;
        return build_from_items(tag, count, col(), out);
    }

    bool build_from_items(Tag tag, std::size_t count, std::size_t close, std::vector<Event>& out) {
        const std::size_t fields = tag == Tag::SpeedupStart ? 3 : 1;
        const char* elements = fields == 1 ? "1 element" : "3 elements";
        for (std::size_t f = 0; f < fields; ++f) {
            if (f >= count) {
                return fail(
                    fmt::format("invalid length {}, expected struct variant Event::{} with {}", f,
                                variant_name(tag), elements),
                    close);
            }
            std::string message = field_type_error(static_cast<Field>(f), items_[f]);
            if (!message.empty()) {
                return fail(message, items_[f].end);
            }
        }
        if (count > fields) {
            return fail(fmt::format("invalid length {}, expected {} in sequence", count, elements),
                        close);
        }
        emplace_event(out, tag, as_f64(items_[0]), static_cast<std::uint32_t>(items_[1].u),
                      items_[2].s);
        return true;
    }
};

// The lines of one markers file, in order, into events: the file reader and the text reader
// share it, so both number lines and report them alike.
class LineReader {
  public:
    explicit LineReader(std::vector<Event>& events) : events_(events) {}

    std::size_t lines_read() const { return line_no_; }

    // One line without its "\n"; an error message for a bad line, or an empty string.
    std::string line(std::string_view text) {
        ++line_no_;
        if (!text.empty() && text.back() == '\r') {
            text.remove_suffix(1);
        }
        if (!valid_utf8(text)) {
            return fmt::format("read line {}: stream did not contain valid UTF-8", line_no_);
        }
        std::string_view trimmed = trim_unicode(text);
        if (trimmed.empty()) {
            return {};
        }
        if (!parser_.parse(trimmed, events_)) {
            return fmt::format("parse line {}: {} ({})", line_no_, parser_.error(), trimmed);
        }
        return {};
    }

  private:
    std::vector<Event>& events_;
    EventParser parser_;
    std::size_t line_no_ = 0;
};

} // namespace

// -------------------------------------------------------------------------------------------------

std::string default_markers_path() {
    const char* value = std::getenv("VIDEO_SPEEDUP_MARKERS");
    if (value != nullptr && valid_utf8(value)) {
        return value;
    }
    return kDefaultMarkersPath;
}

double now_epoch() {
    struct timespec ts {};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0 || ts.tv_sec < 0) {
        return 0.0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string serialize_event(const Event& event) {
    std::string out;
    out.reserve(96);
    if (const auto* start = std::get_if<SpeedupStart>(&event)) {
        out += R"({"action":"speedup_start","epoch":)";
        out += json_f64(start->epoch);
        out += R"(,"speed":)";
        out += std::to_string(start->speed);
        out += R"(,"label":)";
        append_json_string(out, start->label);
        out.push_back('}');
    } else if (const auto* rec = std::get_if<RecordingStart>(&event)) {
        out += R"({"action":"recording_start","epoch":)";
        out += json_f64(rec->epoch);
        out.push_back('}');
    } else {
        out += R"({"action":"speedup_end","epoch":)";
        out += json_f64(std::get<SpeedupEnd>(event).epoch);
        out.push_back('}');
    }
    return out;
}

std::string debug_event(const Event& event) {
    if (const auto* start = std::get_if<SpeedupStart>(&event)) {
        return fmt::format("SpeedupStart {{ epoch: {}, speed: {}, label: {} }}",
                           display_f64_point(start->epoch), start->speed,
                           debug_string(start->label));
    }
    if (const auto* rec = std::get_if<RecordingStart>(&event)) {
        return fmt::format("RecordingStart {{ epoch: {} }}", display_f64_point(rec->epoch));
    }
    return fmt::format("SpeedupEnd {{ epoch: {} }}",
                       display_f64_point(std::get<SpeedupEnd>(event).epoch));
}

Result<double> init_markers(const std::string& path) {
    const double epoch = now_epoch();
    std::string error;
    UniqueFd fd(open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, error));
    if (fd.get() < 0) {
        return fail(fmt::format("create {}: {}", lossy_utf8(path), error));
    }
    std::string line = serialize_event(RecordingStart{epoch});
    line.push_back('\n');
    if (auto written = write_all(fd.get(), line); !written) {
        return fail(fmt::format("write {}: {}", lossy_utf8(path), written.error()));
    }
    return epoch;
}

Status append_event(const std::string& path, const Event& event) {
    std::string error;
    UniqueFd fd(open_path(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, error));
    if (fd.get() < 0) {
        return fail(fmt::format("open {}: {}", lossy_utf8(path), error));
    }
    std::string line = serialize_event(event);
    line.push_back('\n');
    if (auto written = write_all(fd.get(), line); !written) {
        return fail(fmt::format("write {}: {}", lossy_utf8(path), written.error()));
    }
    return {};
}

Result<std::vector<Event>> read_events(const std::string& path) {
    std::string error;
    UniqueFd fd(open_path(path, O_RDONLY | O_CLOEXEC, error));
    if (fd.get() < 0) {
        return fail(fmt::format("open {}: {}", lossy_utf8(path), error));
    }

    std::vector<Event> events;
    LineReader reader(events);

    // A guess at the number of lines from the size, to spare most regrowth of the list.
    struct stat st {};
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        events.reserve(
            std::min<std::size_t>(static_cast<std::size_t>(st.st_size) / 64, std::size_t{1} << 24));
    }

    std::vector<char> buf(std::size_t{1} << 20);
    std::size_t begin = 0; // first unprocessed byte
    std::size_t end = 0;   // end of the data read so far
    while (true) {
        // Every complete line in the buffer first.
        while (begin < end) {
            const void* nl = std::memchr(buf.data() + begin, '\n', end - begin);
            if (nl == nullptr) {
                break;
            }
            const std::size_t at = static_cast<const char*>(nl) - buf.data();
            std::string message = reader.line(std::string_view(buf.data() + begin, at - begin));
            if (!message.empty()) {
                return fail(std::move(message));
            }
            begin = at + 1;
        }
        // Keep the partial line and read more.
        if (begin > 0) {
            std::memmove(buf.data(), buf.data() + begin, end - begin);
            end -= begin;
            begin = 0;
        }
        if (end == buf.size()) {
            buf.resize(buf.size() * 2);
        }
        ssize_t n = ::read(fd.get(), buf.data() + end, buf.size() - end);
        if (n < 0) {
            const int err = errno;
            if (err == EINTR) {
                continue;
            }
            return fail(
                fmt::format("read line {}: {}", reader.lines_read() + 1, os_error_text(err)));
        }
        if (n == 0) {
            break;
        }
        end += static_cast<std::size_t>(n);
    }
    if (begin < end) { // a last line without "\n"
        std::string message = reader.line(std::string_view(buf.data() + begin, end - begin));
        if (!message.empty()) {
            return fail(std::move(message));
        }
    }
    return events;
}

Result<std::vector<Event>> parse_events(std::string_view text) {
    std::vector<Event> events;
    LineReader reader(events);
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        std::string message = reader.line(text.substr(0, nl));
        if (!message.empty()) {
            return fail(std::move(message));
        }
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    }
    return events;
}

Result<ParsedMarkers> parse_segments(const std::vector<Event>& events) {
    if (events.empty()) {
        return fail("markers file is empty. Hint: call `tevo-reelcut mark init` first.");
    }
    const auto* first = std::get_if<RecordingStart>(&events.front());
    if (first == nullptr) {
        return fail(fmt::format("first event must be recording_start, got {}. Hint: call "
                                "`tevo-reelcut mark init` before any other markers.",
                                debug_event(events.front())));
    }
    ParsedMarkers parsed;
    const double t0 = first->epoch;
    parsed.recording_start = t0;
    std::optional<UnclosedStart> open;
    for (std::size_t k = 1; k < events.size(); ++k) {
        const Event& event = events[k];
        if (std::holds_alternative<RecordingStart>(event)) {
            parsed.warnings.emplace_back("duplicate recording_start event ignored");
        } else if (const auto* start = std::get_if<SpeedupStart>(&event)) {
            const double t = start->epoch - t0;
            if (open) {
                parsed.warnings.push_back(fmt::format(
                    "speedup_start at {:.3f} found while previous speedup_start ({}, '{}') at "
                    "{:.3f} was unclosed; previous one will end at this start time",
                    t, open->speed, open->label, open->start));
                parsed.segments.push_back(
                    Segment{std::move(open->label), open->start, t, open->speed});
            }
            open = UnclosedStart{start->label, t, start->speed};
        } else {
            const double t = std::get<SpeedupEnd>(event).epoch - t0;
            if (open) {
                parsed.segments.push_back(
                    Segment{std::move(open->label), open->start, t, open->speed});
                open.reset();
            } else {
                parsed.warnings.push_back(fmt::format(
                    "speedup_end at {:.3f} with no matching speedup_start (ignored)", t));
            }
        }
    }
    if (open) {
        parsed.unclosed.push_back(std::move(*open));
    }
    auto by_start = [](const Segment& a, const Segment& b) { return a.start < b.start; };
    // Segments usually come out in order already; a stable sort would leave them as they are.
    if (!std::is_sorted(parsed.segments.begin(), parsed.segments.end(), by_start)) {
        std::stable_sort(parsed.segments.begin(), parsed.segments.end(), by_start);
    }
    return parsed;
}

} // namespace reelcut
