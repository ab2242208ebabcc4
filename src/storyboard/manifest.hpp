// The storyboard manifest: the clips of one demo, in review order, and the file that holds them.
// No other module reads or writes the file's content.
#pragma once

#include "result.hpp"

#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reelcut {

struct SpeedupEvent {
    std::uint32_t speed = 0; // 20 means twenty times
    std::string label;
};

struct PublishTarget {
    std::string page;
    std::optional<std::string> caption;
};

// Paths are kept exactly as given (relative ones resolve against the user's current directory).
struct Clip {
    std::string id;
    std::string title;
    std::optional<std::string> description;
    std::optional<std::string> raw_path;
    std::optional<std::string> fast_path;
    std::optional<std::string> poster_path;
    std::optional<std::string> image_path;
    std::optional<std::string> console_png_path;
    std::vector<SpeedupEvent> speedup_events;
    std::vector<std::string> actions;
    std::vector<std::string> warnings;
    std::optional<std::string> narration;
};

struct Manifest {
    std::string title;
    std::vector<Clip> clips;
    std::optional<std::string> final_raw_path;
    std::optional<std::string> final_fast_path;
    std::optional<PublishTarget> publish;
};

Manifest new_manifest(std::string title);

// Parses manifest text; the error is the reader's message with its position.
Result<Manifest> parse_manifest(std::string_view text);

// "read {path}: {cause}" or "parse {path}: {message at line L column C}" on failure.
Result<Manifest> load_manifest(const std::string& path);

// The file's exact text: two-space pretty layout in field order, no trailing newline. Fails with
// "path contains invalid UTF-8 characters" when a path is not UTF-8.
Result<std::string> render_manifest(const Manifest& manifest);

// Writes a temporary file beside the target, then renames it onto the target in one step.
Status save_manifest(const Manifest& manifest, const std::string& path);

// The manifest as a dynamic JSON value (keys sorted), with the file's omissions.
Result<nlohmann::json> manifest_to_value(const Manifest& manifest);

// The clip's raw_path for "raw", its fast_path for "fast" (nothing for any other kind), when set
// and present on disk.
std::optional<std::string> existing_clip_path_of_kind(const Clip& clip, const std::string& kind);

// An exclusive advisory lock that serialises read-modify-write of one manifest across processes:
// flock on the directory that holds it (the one its save renames into), held until the value is
// destroyed, so nothing is left beside the manifest. Every change to a manifest takes it from
// before the load until after the save, or a concurrent writer's clip is lost. All manifests of
// one directory share the lock: never hold two at once.
class ManifestLock {
  public:
    // Creates the manifest's directory when missing (as the save would), then waits for the lock;
    // directories made here are removed again on release when they are still empty (the change
    // was refused). Best effort: when the directory cannot be made, opened or locked (no read
    // permission, say), the change goes ahead unlocked, so that its load and save report what is
    // wrong in their words.
    static ManifestLock acquire(const std::string& manifest_path);
    ManifestLock(ManifestLock&& other) noexcept : fd_(other.fd_), made_(std::move(other.made_)) {
        other.fd_ = -1;
        other.made_.clear();
    }
    ManifestLock& operator=(ManifestLock&&) = delete;
    ManifestLock(const ManifestLock&) = delete;
    ManifestLock& operator=(const ManifestLock&) = delete;
    ~ManifestLock();

  private:
    ManifestLock(int fd, std::vector<std::string> made) : fd_(fd), made_(std::move(made)) {}
    int fd_;
    std::vector<std::string> made_; // deepest first
};

// Fails with the load's message when nothing exists at `path`; succeeds otherwise.
Status check_manifest_exists(const std::string& path);

// Load, change and save under the lock. The manifest must exist (a missing one fails as its load
// does, leaving nothing behind); an error from `change` leaves the file untouched.
template <class Change> Status update_manifest(const std::string& path, Change&& change) {
    if (auto missing = check_manifest_exists(path); !missing) {
        return fail(missing.error());
    }
    const auto lock = ManifestLock::acquire(path);
    auto manifest = load_manifest(path);
    if (!manifest) {
        return fail(manifest.error());
    }
    if (Status changed = change(*manifest); !changed) {
        return changed;
    }
    return save_manifest(*manifest, path);
}

} // namespace reelcut
