// Takes: the mux and loudness levelling of a finalize, normalised previews, the selection, the
// save over the output path and the listing of every version on disk.
#include "ffmpeg/media_tools.hpp"
#include "file_io.hpp"
#include "markers.hpp" // now_epoch
#include "subprocess.hpp"
#include "text_format.hpp"
#include "voiceover/routes.hpp"
#include "voiceover/routes_internal.hpp"
#include "webapp/json_body.hpp"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <dirent.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <functional>
#include <limits>
#include <map>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace reelcut {

namespace {

constexpr std::size_t kMuxErrorLines = 20;
constexpr std::size_t kLoudnormErrorLines = 10;
constexpr const char* kLoudnormFilter = "loudnorm=I=-16:TP=-1.5:LRA=11";

// The file names of a directory that are valid UTF-8, in listing order; none when it cannot be
// listed.
std::vector<std::string> utf8_names_in(const std::string& dir) {
    std::vector<std::string> names;
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(listing)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != ".." && valid_utf8(name)) {
            names.emplace_back(name);
        }
    }
    ::closedir(listing);
    return names;
}

// The take number at the start of `rest` (its longest run of ASCII digits) and what follows it.
struct TakeNumber {
    std::uint32_t take = 0;
    std::string_view after;
};
std::optional<TakeNumber> leading_take_number(std::string_view rest) {
    std::size_t digits = 0;
    std::uint64_t value = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
        value = value * 10 + static_cast<std::uint64_t>(rest[digits] - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
        ++digits;
    }
    if (digits == 0) {
        return std::nullopt;
    }
    return TakeNumber{static_cast<std::uint32_t>(value), rest.substr(digits)};
}

struct FileFacts {
    std::uint64_t size = 0;
    std::int64_t mtime = 0; // whole seconds; 0 when unavailable
};

FileFacts facts_of(const std::string& path, bool follow_links) {
    struct stat st {};
    const int rc = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
    if (rc != 0) {
        return {};
    }
    return {static_cast<std::uint64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec)};
}

std::vector<std::string_view> components(std::string_view path) {
    std::vector<std::string_view> parts;
    if (path.starts_with('/')) {
        parts.push_back("/");
    }
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        const std::string_view part = path.substr(at, end - at);
        // A leading "." names the current directory; elsewhere it changes nothing.
        if (!part.empty() && (part != "." || (at == 0 && parts.empty()))) {
            parts.push_back(part);
        }
        at = end + 1;
    }
    return parts;
}

// ffmpeg's loudness levelling with the video stream copied; what failed, or nothing.
struct LoudnormFailure {
    bool spawned = false;
    std::string message; // spawn error, or ffmpeg's error output
};
std::optional<LoudnormFailure> run_loudnorm(const std::string& source,
                                            const std::string& destination,
                                            const SpawnOptions& options) {
    auto ran = run_captured("ffmpeg",
                            {"-y", "-i", source, "-af", kLoudnormFilter, "-c:v", "copy", "-c:a",
                             "libopus", "-b:a", "128k", destination},
                            options);
    if (!ran) {
        return LoudnormFailure{false, ran.error()};
    }
    if (ran->status.timed_out) {
        return LoudnormFailure{true, overrun_message("ffmpeg", *options.time_limit)};
    }
    if (!ran->status.success()) {
        return LoudnormFailure{true, std::move(ran->err)};
    }
    return std::nullopt;
}

// Holds a take number for a finalize until its files are in place on disk.
class TakeReservation {
  public:
    explicit TakeReservation(TakeReservations& all) : all_(all) {}
    ~TakeReservation() { release(); }
    TakeReservation(const TakeReservation&) = delete;
    TakeReservation& operator=(const TakeReservation&) = delete;

    // Moves to a number above every take on disk and every take another finalize is writing;
    // none when the numbers are used up.
    std::optional<std::uint32_t> next(const TakeNames& names) {
        const std::uint32_t on_disk = highest_take_on_disk(names).value_or(0);
        std::lock_guard guard(all_.lock);
        if (take_) {
            all_.numbers.erase(*take_);
            take_.reset();
        }
        const std::uint32_t reserved = all_.numbers.empty() ? 0 : *all_.numbers.rbegin();
        const std::uint32_t highest = std::max(on_disk, reserved);
        if (highest == std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
        take_ = highest + 1;
        all_.numbers.insert(*take_);
        return take_;
    }

  private:
    void release() {
        std::lock_guard guard(all_.lock);
        if (take_) {
            all_.numbers.erase(*take_);
        }
    }
    TakeReservations& all_;
    std::optional<std::uint32_t> take_;
};

// How many names a finished file tries before its writer gives up, when other writers keep taking
// them first.
constexpr unsigned kPlacementTries = 1000;

// Copies `source` over `target` through a partial file beside it, renamed into place, so the
// previous file stays whole until the copy is complete. The copy takes the source's permission
// bits.
Status copy_into_place(const std::string& source, const std::string& target) {
    const std::string partial = partial_path_beside(target);
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        return fail(os_error_text(errno));
    }
    struct stat st {};
    if (::fstat(in, &st) != 0) {
        const int err = errno;
        ::close(in);
        return fail(os_error_text(err));
    }
    const int out = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return fail(os_error_text(err));
    }
    int err = 0;
    std::vector<char> buffer(1 << 20);
    while (err == 0) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0) {
            err = errno == EINTR ? 0 : errno;
            continue;
        }
        if (n == 0) {
            break;
        }
        for (ssize_t done = 0; done < n && err == 0;) {
            const ssize_t w =
                ::write(out, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                err = errno == EINTR ? 0 : errno;
            } else {
                done += w;
            }
        }
    }
    if (err == 0 && ::fchmod(out, st.st_mode & 07777) != 0) {
        err = errno;
    }
    if (err == 0 && ::fsync(out) != 0) {
        err = errno;
    }
    ::close(in);
    if (::close(out) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && ::rename(partial.c_str(), target.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(partial.c_str());
        return fail(os_error_text(err));
    }
    return {};
}

// Runs `write` into a partial file beside `target`; the partial is removed unless it succeeded.
Result<std::string> write_partial(const std::string& target,
                                  const std::function<Status(const std::string&)>& write) {
    std::string partial = partial_path_beside(target);
    if (Status written = write(partial); !written) {
        ::unlink(partial.c_str());
        return fail(written.error());
    }
    return partial;
}

} // namespace

std::string TakeNames::raw_take(std::uint32_t take) const {
    return join_path(dir, fmt::format("{}-take-{}.{}", stem, take, ext));
}

std::string TakeNames::normalized_take(std::uint32_t take) const {
    return join_path(dir, fmt::format("{}-take-{}-norm.{}", stem, take, ext));
}

std::string TakeNames::preview(std::uint64_t seconds, unsigned n) const {
    if (n > 1) {
        return join_path(dir, fmt::format("{}-norm-{}-{}.{}", stem, seconds, n, ext));
    }
    return join_path(dir, fmt::format("{}-norm-{}.{}", stem, seconds, ext));
}

TakeNames take_names(std::string_view output) {
    const PathParts parts = split_path(output);
    TakeNames names;
    names.dir = parts.parent.empty() || parts.last.empty() ? "." : std::string(parts.parent);
    const std::string_view file = parts.file_name().value_or(std::string_view{});
    const auto ext = file_extension(file);
    names.stem = lossy_utf8(file.empty() ? std::string_view{} : file_stem(file));
    names.ext = ext ? lossy_utf8(*ext) : std::string("webm");
    return names;
}

std::optional<std::uint32_t> highest_take_on_disk(const TakeNames& names) {
    const std::string prefix = names.stem + "-take-";
    std::optional<std::uint32_t> highest;
    for (const std::string& name : utf8_names_in(names.dir)) {
        if (!name.starts_with(prefix)) {
            continue;
        }
        if (const auto number = leading_take_number(std::string_view(name).substr(prefix.size()))) {
            highest = std::max(highest.value_or(0), number->take);
        }
    }
    return highest;
}

bool same_components(std::string_view a, std::string_view b) {
    return components(a) == components(b);
}

std::string takes_json(const std::string& input, const TakeNames& names,
                       const std::optional<std::string>& current) {
    struct Takes {
        std::optional<std::string> raw;
        std::optional<std::string> normalized;
    };
    std::map<std::uint32_t, Takes> takes;
    std::optional<std::string> committed;
    struct Legacy {
        std::string path;
        std::int64_t mtime;
        std::uint64_t size;
    };
    std::vector<Legacy> legacy;

    const std::string take_prefix = names.stem + "-take-";
    const std::string legacy_prefix = names.stem + "-norm-";
    for (const std::string& name : utf8_names_in(names.dir)) {
        const auto ext = file_extension(name);
        // A file still being written (or left by a killed run) is no version of anything.
        if (!ext || *ext != "webm" || !name.starts_with(names.stem) || is_scratch_name(name)) {
            continue;
        }
        const std::string path = join_path(names.dir, name);
        if (name.starts_with(take_prefix)) {
            if (const auto number =
                    leading_take_number(std::string_view(name).substr(take_prefix.size()))) {
                if (number->after == ".webm") {
                    takes[number->take].raw = path;
                } else if (number->after == "-norm.webm") {
                    takes[number->take].normalized = path;
                }
                continue;
            }
        }
        if (name.starts_with(legacy_prefix)) {
            struct stat st {};
            if (::lstat(path.c_str(), &st) == 0) {
                legacy.push_back({path, static_cast<std::int64_t>(st.st_mtim.tv_sec),
                                  static_cast<std::uint64_t>(st.st_size)});
            }
        } else if (name == names.stem + ".webm") {
            committed = path;
        }
    }
    std::stable_sort(legacy.begin(), legacy.end(),
                     [](const Legacy& a, const Legacy& b) { return a.mtime < b.mtime; });

    const auto selected = [&](const std::string& path) {
        return current && same_components(*current, path);
    };
    std::vector<std::string> items;
    items.push_back(fmt::format(
        R"({{"label":"Original","kind":"original","path":"{}","size":{},"selected":false}})",
        escape_json_text(input), facts_of(input, true).size));
    for (const auto& [take, files] : takes) {
        if (files.raw) {
            const FileFacts f = facts_of(*files.raw, true);
            items.push_back(fmt::format(
                R"({{"label":"Take {0}","kind":"raw","take":{0},"path":"{1}","size":{2},"mtime":{3},"selected":{4}}})",
                take, escape_json_text(*files.raw), f.size, f.mtime, selected(*files.raw)));
        }
        if (files.normalized) {
            const FileFacts f = facts_of(*files.normalized, true);
            items.push_back(fmt::format(
                R"json({{"label":"Take {0} (auto-leveled)","kind":"normalized","take":{0},"path":"{1}","size":{2},"mtime":{3},"selected":{4}}})json",
                take, escape_json_text(*files.normalized), f.size, f.mtime,
                selected(*files.normalized)));
        }
    }
    if (committed) {
        const FileFacts f = facts_of(*committed, true);
        items.push_back(fmt::format(
            R"({{"label":"Recovered mux","kind":"committed","path":"{}","size":{},"mtime":{},"selected":{}}})",
            escape_json_text(*committed), f.size, f.mtime, selected(*committed)));
    }
    for (std::size_t i = 0; i < legacy.size(); ++i) {
        // The size as it is now; the time as the listing read it.
        const FileFacts f = facts_of(legacy[i].path, true);
        items.push_back(fmt::format(
            R"({{"label":"Legacy #{}","kind":"legacy","path":"{}","size":{},"mtime":{},"selected":{}}})",
            i + 1, escape_json_text(legacy[i].path), f.size, legacy[i].mtime,
            selected(legacy[i].path)));
    }
    std::string body = R"({"ok":true,"takes":[)";
    for (std::size_t i = 0; i < items.size(); ++i) {
        body += (i == 0 ? "" : ",") + items[i];
    }
    return body + "]}";
}

Status mux_narration(const std::string& video, const std::string& audio, const std::string& output,
                     const SpawnOptions& options) {
    auto ran = run_captured("ffmpeg",
                            {"-y", "-i", video, "-i", audio, "-map", "0:v:0", "-map", "1:a:0",
                             "-c:v", "copy", "-c:a", "libopus", "-shortest", output},
                            options);
    if (!ran) {
        return fail(fmt::format("ffmpeg spawn failed: {}", ran.error()));
    }
    if (ran->status.timed_out) {
        return fail("ffmpeg mux failed:\n" + overrun_message("ffmpeg", *options.time_limit));
    }
    if (!ran->status.success()) {
        return fail("ffmpeg mux failed:\n" + last_error_lines(ran->err, kMuxErrorLines, "\n"));
    }
    return {};
}

namespace voiceover {

RouteOutcome finalize(VoiceoverApp& app, http::Request& request) {
    const auto audio = snapshot(app).audio_path;
    if (!audio || !path_exists(*audio)) {
        return send_failure(request, 400, "no audio recorded yet, click Record first");
    }
    auto slot = MediaSlot::acquire(app, request);
    if (const NoSlot* none = std::get_if<NoSlot>(&slot)) {
        return refuse_media(request, *none, true);
    }
    const auto failed = [&](std::string_view message) {
        {
            std::lock_guard guard(app.state_lock);
            app.state.phase = "error";
        }
        return send_failure(request, 500, message);
    };
    {
        std::lock_guard guard(app.state_lock);
        app.state.phase = "finalizing";
    }
    const VoiceoverMedia media = app.media();
    const TakeNames names = take_names(media.output);
    TakeReservation reservation(app.reservations);
    auto take = reservation.next(names);
    if (!take) {
        return failed(fmt::format("no take number left in {}", names.dir));
    }
    const SpawnOptions options = media_run_options(app);

    // Each file is written under a partial name and renamed into place only when its run
    // succeeded: a run that fails or is cut short (a signal, a full disk) leaves no take.
    console_line(fmt::format("muxing take {}: {} + {} -> {}", *take, lossy_utf8(media.input),
                             lossy_utf8(*audio), lossy_utf8(names.raw_take(*take))));
    auto muxed = write_partial(names.raw_take(*take), [&](const std::string& partial) {
        return mux_narration(media.input, *audio, partial, options);
    });
    if (!muxed) {
        return failed(muxed.error());
    }
    // Never over a take that another server wrote meanwhile: the next free number instead.
    std::optional<std::string> placed;
    for (unsigned tries = 0; take && !placed && tries < kPlacementTries; ++tries) {
        const auto free = rename_if_free(*muxed, names.raw_take(*take));
        if (!free) {
            ::unlink(muxed->c_str());
            return failed(free.error());
        }
        if (*free) {
            placed = names.raw_take(*take);
        } else {
            take = reservation.next(names);
        }
    }
    if (!placed) {
        ::unlink(muxed->c_str());
        return failed(fmt::format("no free take number left in {}", names.dir));
    }
    const std::string& raw = *placed;
    const std::string normalized = names.normalized_take(*take);
    console_line("mux complete: " + lossy_utf8(raw));

    bool levelled = false;
    if (auto partial = write_partial(normalized, [&](const std::string& path) -> Status {
            if (run_loudnorm(raw, path, options)) {
                return fail("loudnorm failed");
            }
            return {};
        })) {
        const auto free = rename_if_free(*partial, normalized);
        levelled = free && *free;
        if (!levelled) {
            ::unlink(partial->c_str());
        }
    }
    if (levelled) {
        console_line("auto-loudnorm complete: " + lossy_utf8(normalized));
    } else {
        console_line(
            fmt::format("auto-loudnorm failed; falling back to raw only for take {}", *take));
    }
    {
        std::lock_guard guard(app.state_lock);
        app.state.phase = "done";
        app.state.finalize_path = raw;
        app.state.preview_path = levelled ? normalized : raw;
    }
    (void)send_json(
        request, 200,
        fmt::format(
            R"({{"ok":true,"take":{},"rawPath":"{}","normalizedPath":"{}","normalizedOk":{}}})",
            *take, escape_json_text(raw), escape_json_text(normalized), levelled));
    {
        std::lock_guard guard(app.final_result->lock);
        app.final_result->value = FinalOutcome{true, raw};
    }
    return Handled{};
}

RouteOutcome normalize(VoiceoverApp& app, http::Request& request) {
    const std::string output = app.media().output;
    const std::string source = snapshot(app).current_file(output);
    if (!path_exists(source)) {
        return send_failure(request, 400, "nothing to normalize; finalize a recording first");
    }
    auto slot = MediaSlot::acquire(app, request);
    if (const NoSlot* none = std::get_if<NoSlot>(&slot)) {
        return refuse_media(request, *none, true);
    }
    const TakeNames names = take_names(output);
    const auto second = static_cast<std::uint64_t>(now_epoch());
    console_line(fmt::format("normalizing {} -> {} (loudnorm I=-16 TP=-1.5 LRA=11)",
                             lossy_utf8(source), lossy_utf8(names.preview(second))));
    // Written under a name of its own, so that a failure removes only its own file.
    const std::string partial = partial_path_beside(names.preview(second));
    if (const auto failed = run_loudnorm(source, partial, media_run_options(app))) {
        ::unlink(partial.c_str());
        if (!failed->spawned) {
            return send_failure(request, 500, "ffmpeg spawn failed: " + failed->message);
        }
        return send_failure(request, 500,
                            "ffmpeg loudnorm failed: " +
                                last_error_lines(failed->message, kLoudnormErrorLines, "\\n"));
    }
    // A preview never replaces another (one of the same second, or the source itself): the
    // next free name of that second instead.
    std::optional<std::string> destination;
    for (unsigned n = 1; !destination && n <= kPlacementTries; ++n) {
        const auto free = rename_if_free(partial, names.preview(second, n));
        if (!free) {
            ::unlink(partial.c_str());
            return send_failure(request, 500, "ffmpeg loudnorm failed: " + free.error());
        }
        if (*free) {
            destination = names.preview(second, n);
        }
    }
    if (!destination) {
        ::unlink(partial.c_str());
        return send_failure(request, 500, "ffmpeg loudnorm failed: no free preview name");
    }
    {
        std::lock_guard guard(app.state_lock);
        app.state.preview_path = *destination;
    }
    return send_json(
        request, 200,
        fmt::format(R"({{"ok":true,"previewPath":"{}"}})", escape_json_text(*destination)));
}

RouteOutcome revert_to_raw(VoiceoverApp& app, http::Request& request) {
    {
        std::lock_guard guard(app.state_lock);
        app.state.preview_path.reset();
    }
    return send_json(request, 200, R"({"ok":true})");
}

RouteOutcome select_take(VoiceoverApp& app, http::Request& request) {
    auto body = read_json_body(request);
    if (!body) {
        return Handled{fail(body.error())};
    }
    if (const auto* bad = std::get_if<JsonSyntaxError>(&*body)) {
        return send_json(request, 400, invalid_json_answer(*bad));
    }
    const auto& value = std::get<nlohmann::json>(*body);
    const auto path = value.is_object() ? value.find("path") : value.end();
    if (!value.is_object() || path == value.end() || !path->is_string()) {
        return send_failure(request, 400, "missing 'path' field");
    }
    const std::string chosen = path->get<std::string>();
    if (!path_exists(chosen)) {
        return send_failure(request, 404, "file not found: " + chosen);
    }
    {
        std::lock_guard guard(app.state_lock);
        app.state.preview_path = chosen;
    }
    return send_json(request, 200, R"({"ok":true})");
}

RouteOutcome save_final(VoiceoverApp& app, http::Request& request) {
    const auto chosen = snapshot(app).preview_path;
    const std::string output = app.media().output;
    // Copying the output onto itself would empty it: that selection is already saved.
    if (chosen && path_exists(*chosen) && !same_file(*chosen, output)) {
        // An output that is a link is written through: its target gets the take, the link stays.
        if (Status copied = copy_into_place(*chosen, through_links(output)); !copied) {
            return send_failure(request, 500, "save failed: " + copied.error());
        }
        return send_json(request, 200,
                         fmt::format(R"({{"ok":true,"path":"{}","preservedSidecar":"{}"}})",
                                     escape_json_text(output), escape_json_text(*chosen)));
    }
    return send_json(
        request, 200,
        fmt::format(
            R"({{"ok":true,"path":"{}","note":"nothing to save, output already holds the raw mux"}})",
            escape_json_text(output)));
}

RouteOutcome list_takes(VoiceoverApp& app, http::Request& request) {
    const auto current = snapshot(app).current_take();
    const VoiceoverMedia media = app.media();
    return send_json(request, 200, takes_json(media.input, take_names(media.output), current));
}

} // namespace voiceover

} // namespace reelcut
