#include "storyboard/manifest.hpp"

#include "file_io.hpp"
#include "json_scan.hpp"
#include "text_format.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace reelcut {

namespace {

constexpr const char* kInvalidPath = "path contains invalid UTF-8 characters";

// ---------------------------------------------------------------------------------------------
// Reading: derived-record rules over the strict scanner. A record is an object (unknown keys
// skipped, a repeated key an error, missing required fields named in field order) or an array of
// its field values in field order, whose optional tail may be left out.

class ManifestReader : public strict_json::Scanner {
  public:
    bool read(std::string_view text, Manifest& out) {
        start(text);
        if (!read_manifest(out)) {
            return false;
        }
        skip_ws();
        if (p_ < end_) {
            return fail("trailing characters", col() + 1);
        }
        return true;
    }

  private:
    using Scalar = strict_json::Scalar;
    using Kind = strict_json::Kind;

    // Skips white space; false (with the message) at the end of the text.
    bool peek_value() {
        skip_ws();
        if (p_ == end_) {
            return fail_eof("EOF while parsing a value");
        }
        return true;
    }

    // The type error for the value at the cursor, as "invalid type: {found}, expected {what}".
    // An array or object is named without being read; a scalar is read to describe it.
    bool invalid_type(std::string_view what) {
        if (*p_ == '[' || *p_ == '{') {
            return fail(
                fmt::format("invalid type: {}, expected {}", *p_ == '[' ? "sequence" : "map", what),
                col());
        }
        Scalar v;
        if (!parse_value(v, true)) {
            return false;
        }
        return fail(
            fmt::format("invalid type: {}, expected {}", strict_json::unexpected_text(v), what),
            v.end);
    }

    bool read_text(std::string& out, std::string_view what = "a string") {
        if (!peek_value()) {
            return false;
        }
        if (*p_ != '"') {
            return invalid_type(what);
        }
        return parse_string(&out);
    }

    bool read_path(std::string& out) { return read_text(out, "path string"); }

    template <class ReadInner> bool read_optional(std::optional<std::string>& out, ReadInner read) {
        skip_ws();
        if (p_ < end_ && *p_ == 'n') {
            Scalar v;
            out.reset();
            return parse_value(v, false);
        }
        std::string value;
        if (!read(value)) {
            return false;
        }
        out = std::move(value);
        return true;
    }
    bool read_optional_text(std::optional<std::string>& out) {
        return read_optional(out, [this](std::string& s) { return read_text(s); });
    }
    bool read_optional_path(std::optional<std::string>& out) {
        return read_optional(out, [this](std::string& s) { return read_path(s); });
    }

    bool read_u32(std::uint32_t& out) {
        if (!peek_value()) {
            return false;
        }
        if (*p_ != '-' && !strict_json::is_digit(*p_)) {
            return invalid_type("u32");
        }
        Scalar v;
        if (!parse_number(v)) {
            return false;
        }
        if (v.kind == Kind::U64 && v.u <= UINT32_MAX) {
            out = static_cast<std::uint32_t>(v.u);
            return true;
        }
        if (v.kind == Kind::U64 || v.kind == Kind::I64) {
            return fail(
                fmt::format("invalid value: {}, expected u32", strict_json::unexpected_text(v)),
                v.end);
        }
        return fail(fmt::format("invalid type: {}, expected u32", strict_json::unexpected_text(v)),
                    v.end);
    }

    template <class T, class ReadItem> bool read_list(std::vector<T>& out, ReadItem read_item) {
        if (!peek_value()) {
            return false;
        }
        if (*p_ != '[') {
            return invalid_type("a sequence");
        }
        out.clear();
        return read_members(']', [&] {
            T item{};
            if (!read_item(item)) {
                return false;
            }
            out.push_back(std::move(item));
            return true;
        });
    }

    // One record: `fields` in field order, the first `required` of them required; read_field(i)
    // reads field i's value at the cursor.
    template <class ReadField>
    bool read_record(std::string_view name, const char* const* fields, std::size_t count,
                     std::size_t required, ReadField read_field) {
        if (!peek_value()) {
            return false;
        }
        if (*p_ == '{') {
            return read_object_record(fields, count, required, read_field);
        }
        if (*p_ == '[') {
            return read_array_record(name, count, required, read_field);
        }
        return invalid_type(fmt::format("struct {}", name));
    }

    template <class ReadField>
    bool read_object_record(const char* const* fields, std::size_t count, std::size_t required,
                            ReadField& read_field) {
        std::uint32_t seen = 0;
        const bool read = read_object_members([&](std::string_view key) {
            std::size_t field = count;
            for (std::size_t f = 0; f < count; ++f) {
                if (key == fields[f]) {
                    field = f;
                    break;
                }
            }
            if (field < count && (seen & (1u << field)) != 0) {
                // Reported where the closing check of the object stops: past white space, and
                // past a `}` that follows at once.
                skip_ws();
                if (p_ < end_ && *p_ == '}') {
                    ++p_;
                }
                return fail(fmt::format("duplicate field `{}`", fields[field]), col());
            }
            if (!parse_colon()) {
                return false;
            }
            if (field < count) {
                seen |= 1u << field;
                return read_field(field);
            }
            return ignore_value();
        });
        if (!read) {
            return false;
        }
        for (std::size_t f = 0; f < required; ++f) {
            if ((seen & (1u << f)) == 0) {
                return fail(fmt::format("missing field `{}`", fields[f]), col());
            }
        }
        return true;
    }

    template <class ReadField>
    bool read_array_record(std::string_view name, std::size_t count, std::size_t required,
                           ReadField& read_field) {
        if (!enter()) {
            return false;
        }
        ++p_; // '['
        std::size_t found = 0;
        for (; found < count; ++found) {
            skip_ws();
            if (p_ == end_) {
                return fail_eof("EOF while parsing a list");
            }
            if (*p_ == ']') {
                break;
            }
            if (found > 0) {
                if (*p_ != ',') {
                    return fail("expected `,` or `]`", col() + 1);
                }
                ++p_;
                skip_ws();
                if (p_ == end_) {
                    return fail_eof("EOF while parsing a value");
                }
                if (*p_ == ']') {
                    return fail("trailing comma", col() + 1);
                }
            }
            if (!read_field(found)) {
                return false;
            }
        }
        skip_ws();
        if (found < required) {
            ++p_; // ']'
            return fail(fmt::format("invalid length {}, expected struct {} with {} elements", found,
                                    name, count),
                        col());
        }
        if (p_ == end_) {
            return fail_eof("EOF while parsing a list");
        }
        if (*p_ == ',') {
            ++p_;
            skip_ws();
            return fail(p_ < end_ && *p_ == ']' ? "trailing comma" : "trailing characters",
                        col() + 1);
        }
        if (*p_ != ']') {
            return fail("trailing characters", col() + 1);
        }
        ++p_;
        --depth_;
        return true;
    }

    bool read_speedup(SpeedupEvent& out) {
        static constexpr const char* kFields[] = {"speed", "label"};
        return read_record("SpeedupEvent", kFields, 2, 2, [&](std::size_t f) {
            return f == 0 ? read_u32(out.speed) : read_text(out.label);
        });
    }

    bool read_publish(std::optional<PublishTarget>& out) {
        skip_ws();
        if (p_ < end_ && *p_ == 'n') {
            Scalar v;
            out.reset();
            return parse_value(v, false);
        }
        static constexpr const char* kFields[] = {"page", "caption"};
        PublishTarget target;
        if (!read_record("PublishTarget", kFields, 2, 1, [&](std::size_t f) {
                return f == 0 ? read_text(target.page) : read_optional_text(target.caption);
            })) {
            return false;
        }
        out = std::move(target);
        return true;
    }

    bool read_clip(Clip& out) {
        static constexpr const char* kFields[] = {
            "id",          "title",      "description",      "raw_path",       "fast_path",
            "poster_path", "image_path", "console_png_path", "speedup_events", "actions",
            "warnings",    "narration"};
        auto texts = [this](std::string& s) { return read_text(s); };
        return read_record("Clip", kFields, 12, 2, [&](std::size_t f) {
            switch (f) {
            case 0:
                return read_text(out.id);
            case 1:
                return read_text(out.title);
            case 2:
                return read_optional_text(out.description);
            case 3:
                return read_optional_path(out.raw_path);
            case 4:
                return read_optional_path(out.fast_path);
            case 5:
                return read_optional_path(out.poster_path);
            case 6:
                return read_optional_path(out.image_path);
            case 7:
                return read_optional_path(out.console_png_path);
            case 8:
                return read_list(out.speedup_events,
                                 [this](SpeedupEvent& e) { return read_speedup(e); });
            case 9:
                return read_list(out.actions, texts);
            case 10:
                return read_list(out.warnings, texts);
            default:
                return read_optional_text(out.narration);
            }
        });
    }

    bool read_manifest(Manifest& out) {
        static constexpr const char* kFields[] = {"title", "clips", "final_raw_path",
                                                  "final_fast_path", "publish"};
        return read_record("Manifest", kFields, 5, 1, [&](std::size_t f) {
            switch (f) {
            case 0:
                return read_text(out.title);
            case 1:
                return read_list(out.clips, [this](Clip& c) { return read_clip(c); });
            case 2:
                return read_optional_path(out.final_raw_path);
            case 3:
                return read_optional_path(out.final_fast_path);
            default:
                return read_publish(out.publish);
            }
        });
    }
};

// ---------------------------------------------------------------------------------------------
// Writing: the file's pretty layout, members in field order.

class PrettyWriter {
  public:
    std::string text;
    bool bad_path = false;

    void open(char bracket) {
        text.push_back(bracket);
        ++depth_;
        first_ = true;
    }
    void close(char bracket) {
        --depth_;
        newline();
        text.push_back(bracket);
        first_ = false;
    }
    void key(std::string_view name) {
        separator();
        append_json_string(text, name);
        text += ": ";
    }
    // A list element's place.
    void element() { separator(); }

    void string(std::string_view value) { append_json_string(text, lossy_utf8(value)); }
    void path(std::string_view value) {
        if (!valid_utf8(value)) {
            bad_path = true;
        }
        append_json_string(text, value);
    }

    void text_member(std::string_view name, std::string_view value) {
        key(name);
        string(value);
    }
    void path_member(std::string_view name, const std::optional<std::string>& value) {
        if (value) {
            key(name);
            path(*value);
        }
    }
    void optional_text_member(std::string_view name, const std::optional<std::string>& value) {
        if (value) {
            text_member(name, *value);
        }
    }
    void strings_member(std::string_view name, const std::vector<std::string>& values) {
        if (values.empty()) {
            return;
        }
        key(name);
        open('[');
        for (const auto& value : values) {
            element();
            string(value);
        }
        close(']');
    }

  private:
    int depth_ = 0;
    bool first_ = true;

    void newline() {
        text.push_back('\n');
        text.append(static_cast<std::size_t>(depth_) * 2, ' ');
    }
    void separator() {
        if (!first_) {
            text.push_back(',');
        }
        first_ = false;
        newline();
    }
};

void write_clip(PrettyWriter& w, const Clip& clip) {
    w.open('{');
    w.text_member("id", clip.id);
    w.text_member("title", clip.title);
    w.optional_text_member("description", clip.description);
    w.path_member("raw_path", clip.raw_path);
    w.path_member("fast_path", clip.fast_path);
    w.path_member("poster_path", clip.poster_path);
    w.path_member("image_path", clip.image_path);
    w.path_member("console_png_path", clip.console_png_path);
    if (!clip.speedup_events.empty()) {
        w.key("speedup_events");
        w.open('[');
        for (const auto& event : clip.speedup_events) {
            w.element();
            w.open('{');
            w.key("speed");
            w.text += std::to_string(event.speed);
            w.text_member("label", event.label);
            w.close('}');
        }
        w.close(']');
    }
    w.strings_member("actions", clip.actions);
    w.strings_member("warnings", clip.warnings);
    w.optional_text_member("narration", clip.narration);
    w.close('}');
}

std::string temporary_path(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string_view name =
        std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    const auto ext = file_extension(name);
    const std::string tmp =
        ext ? path.substr(0, path.size() - ext->size()) + "json.tmp" : path + ".json.tmp";
    // Unique per process, so that two savers never write into each other's temporary file.
    return tmp + "." + std::to_string(::getpid());
}

} // namespace

Manifest new_manifest(std::string title) {
    Manifest manifest;
    manifest.title = std::move(title);
    return manifest;
}

Result<Manifest> parse_manifest(std::string_view text) {
    Manifest manifest;
    ManifestReader reader;
    if (!reader.read(text, manifest)) {
        return fail(reader.error());
    }
    return manifest;
}

Result<Manifest> load_manifest(const std::string& path) {
    auto text = read_whole_file(path);
    if (text && !valid_utf8(*text)) {
        text = fail("stream did not contain valid UTF-8");
    }
    if (!text) {
        return fail(fmt::format("read {}: {}", lossy_utf8(path), text.error()));
    }
    auto manifest = parse_manifest(*text);
    if (!manifest) {
        return fail(fmt::format("parse {}: {}", lossy_utf8(path), manifest.error()));
    }
    return manifest;
}

Result<std::string> render_manifest(const Manifest& manifest) {
    PrettyWriter w;
    w.open('{');
    w.text_member("title", manifest.title);
    w.key("clips");
    if (manifest.clips.empty()) {
        w.text += "[]";
    } else {
        w.open('[');
        for (const auto& clip : manifest.clips) {
            w.element();
            write_clip(w, clip);
        }
        w.close(']');
    }
    w.path_member("final_raw_path", manifest.final_raw_path);
    w.path_member("final_fast_path", manifest.final_fast_path);
    if (manifest.publish) {
        w.key("publish");
        w.open('{');
        w.text_member("page", manifest.publish->page);
        w.optional_text_member("caption", manifest.publish->caption);
        w.close('}');
    }
    w.close('}');
    if (w.bad_path) {
        return fail(kInvalidPath);
    }
    return std::move(w.text);
}

Status save_manifest(const Manifest& manifest, const std::string& path) {
    const std::string tmp = temporary_path(path);
    auto text = render_manifest(manifest);
    if (!text) {
        return fail("serialize manifest: " + text.error());
    }
    if (const std::string dir = parent_directory(path); !dir.empty()) {
        if (const int err = make_directories(dir); err != 0) {
            return fail(fmt::format("mkdir {}: {}", lossy_utf8(dir), os_error_text(err)));
        }
    }
    if (auto written = write_whole_file(tmp, *text); !written) {
        return fail(fmt::format("write {}: {}", lossy_utf8(tmp), written.error()));
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        return fail(fmt::format("rename {} -> {}: {}", lossy_utf8(tmp), lossy_utf8(path),
                                os_error_text(errno)));
    }
    return {};
}

Result<nlohmann::json> manifest_to_value(const Manifest& manifest) {
    bool bad_path = false;
    auto path_value = [&](const std::string& path) {
        if (!valid_utf8(path)) {
            bad_path = true;
        }
        return nlohmann::json(lossy_utf8(path));
    };
    auto put_path = [&](nlohmann::json& object, const char* key,
                        const std::optional<std::string>& path) {
        if (path) {
            object[key] = path_value(*path);
        }
    };
    auto put_text = [](nlohmann::json& object, const char* key,
                       const std::optional<std::string>& text) {
        if (text) {
            object[key] = lossy_utf8(*text);
        }
    };
    auto put_strings = [](nlohmann::json& object, const char* key,
                          const std::vector<std::string>& texts) {
        if (!texts.empty()) {
            auto& list = object[key] = nlohmann::json::array();
            for (const auto& text : texts) {
                list.push_back(lossy_utf8(text));
            }
        }
    };

    nlohmann::json value = nlohmann::json::object();
    value["title"] = lossy_utf8(manifest.title);
    auto& clips = value["clips"] = nlohmann::json::array();
    for (const auto& clip : manifest.clips) {
        nlohmann::json c = nlohmann::json::object();
        c["id"] = lossy_utf8(clip.id);
        c["title"] = lossy_utf8(clip.title);
        put_text(c, "description", clip.description);
        put_path(c, "raw_path", clip.raw_path);
        put_path(c, "fast_path", clip.fast_path);
        put_path(c, "poster_path", clip.poster_path);
        put_path(c, "image_path", clip.image_path);
        put_path(c, "console_png_path", clip.console_png_path);
        if (!clip.speedup_events.empty()) {
            auto& events = c["speedup_events"] = nlohmann::json::array();
            for (const auto& event : clip.speedup_events) {
                events.push_back({{"speed", event.speed}, {"label", lossy_utf8(event.label)}});
            }
        }
        put_strings(c, "actions", clip.actions);
        put_strings(c, "warnings", clip.warnings);
        put_text(c, "narration", clip.narration);
        clips.push_back(std::move(c));
    }
    put_path(value, "final_raw_path", manifest.final_raw_path);
    put_path(value, "final_fast_path", manifest.final_fast_path);
    if (manifest.publish) {
        nlohmann::json target = {{"page", lossy_utf8(manifest.publish->page)}};
        put_text(target, "caption", manifest.publish->caption);
        value["publish"] = std::move(target);
    }
    if (bad_path) {
        return fail(kInvalidPath);
    }
    return value;
}

ManifestLock ManifestLock::acquire(const std::string& manifest_path) {
    std::string dir = parent_directory(manifest_path);
    if (dir.empty()) {
        dir = ".";
    }
    std::vector<std::string> made;
    struct stat st {};
    for (std::string d = dir; !d.empty() && ::stat(d.c_str(), &st) != 0 && errno == ENOENT;) {
        made.push_back(d);
        const std::string up = parent_directory(d);
        if (up == d) {
            break;
        }
        d = up;
    }
    // A directory removed or replaced while we waited holds the lock of nobody else: lock anew.
    constexpr int kAttempts = 20;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        if (make_directories(dir) != 0) {
            break; // the save reports the directory
        }
        const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            break;
        }
        int locked = 0;
        while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat held {};
        struct stat now {};
        if (locked != 0 || ::fstat(fd, &held) != 0) {
            ::close(fd);
            break;
        }
        if (::stat(dir.c_str(), &now) == 0 && now.st_dev == held.st_dev &&
            now.st_ino == held.st_ino) {
            return ManifestLock(fd, std::move(made));
        }
        ::close(fd);
    }
    return ManifestLock(-1, std::move(made));
}

Status check_manifest_exists(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        return {};
    }
    auto loaded = load_manifest(path);
    return loaded ? Status{} : fail(loaded.error());
}

ManifestLock::~ManifestLock() {
    // Still under the lock, so a waiter sees the directory gone and makes it anew. One that holds
    // the saved manifest is not empty and stays.
    for (const std::string& dir : made_) {
        if (::rmdir(dir.c_str()) != 0) {
            break;
        }
    }
    if (fd_ >= 0) {
        ::close(fd_); // releases the lock
    }
}

std::optional<std::string> existing_clip_path_of_kind(const Clip& clip, const std::string& kind) {
    const std::optional<std::string>* path = nullptr;
    if (kind == "raw") {
        path = &clip.raw_path;
    } else if (kind == "fast") {
        path = &clip.fast_path;
    }
    if (path == nullptr || !*path || !path_exists(**path)) {
        return std::nullopt;
    }
    return **path;
}

} // namespace reelcut
