// The storyboard review server: one manifest shared by the request threads and the watcher that
// follows the file while a demo script appends clips to it.
#pragma once

#include "result.hpp"
#include "storyboard/manifest.hpp"
#include "storyboard/poster_renders.hpp"
#include "webapp/server.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>

namespace reelcut {

// The manifest as last loaded or changed by a route. Routes read under the shared lock; the
// watcher's swap and the routes' changes take it exclusively.
struct SharedManifest {
    explicit SharedManifest(Manifest initial) : value(std::move(initial)) {}
    mutable std::shared_mutex lock;
    Manifest value;
};

// Grows by one on every reload and every saved change; the page refetches when it moves.
using VersionCounter = std::atomic<std::uint64_t>;

class StoryboardApp : public WebApp {
  public:
    StoryboardApp(std::string manifest_path, std::shared_ptr<SharedManifest> manifest,
                  std::shared_ptr<VersionCounter> version);

    std::string html() const override;
    std::string favicon() const override;
    RouteOutcome handle(http::Request request, const std::string& method,
                        const std::string& path) override;

    const std::string manifest_path; // as given on the command line
    const std::shared_ptr<SharedManifest> manifest;
    const std::shared_ptr<VersionCounter> version;
    PosterRenders posters; // this server's poster runs and remembered failures
    // One join at a time: two would write the same output file together.
    std::timed_mutex concat_runs;
};

std::string storyboard_html();
std::string storyboard_favicon();

struct StoryboardOptions {
    std::string manifest_path;
    std::uint16_t port = 8797;
    std::string tab_name;
    std::optional<std::string> panel_id;
    bool watch = true;
    bool no_open = false;
};

// Loads the manifest, starts the watcher (unless told not to) and serves until "/shutdown".
Status run_storyboard(const StoryboardOptions& options);

// How long a server that holds a StoryboardApp waits, after serving, for the poster runs that
// have begun: long enough for one (a first frame takes well under a second).
inline constexpr std::chrono::milliseconds kPosterShutdownWait{2000};

// A file modification time, compared exactly.
struct FileTime {
    std::int64_t seconds = 0;
    std::int64_t nanoseconds = 0;
    bool operator==(const FileTime&) const = default;
};

// The modification time of the file at `path` (links followed); nothing when it cannot be read.
std::optional<FileTime> modification_time(const std::string& path);

struct ManifestWatcher {
    std::string manifest_path;
    // The time of the version last loaded; only the watcher takes this lock.
    std::shared_ptr<std::mutex> last_mtime_lock;
    std::shared_ptr<FileTime> last_mtime;
    std::shared_ptr<SharedManifest> manifest;
    std::shared_ptr<VersionCounter> version;
    // The subcommand named in its messages ("storyboard", "app").
    std::string subcommand = "storyboard";
};

// One look at the file: reloads it when its time differs from the last loaded one (later or
// earlier), swaps the manifest and raises the version. A file that cannot be loaded prints
// "SUBCOMMAND: manifest reload failed: ..." on standard error and keeps the old manifest; a file
// whose time cannot be read is skipped silently. Whether it reloaded.
bool check_storyboard_manifest(ManifestWatcher& watcher);

// The watcher thread's body: a check every 500 ms, for the rest of the run.
void watch_storyboard_manifest(ManifestWatcher watcher);

// The state the request threads share over a freshly loaded manifest: the manifest behind its
// lock, the version at 1 and, when `watch` is set, `body` watching the file on a detached thread
// from the file's time now (the epoch when it cannot be read, so the first tick loads it again).
// Fails with "start manifest watcher: ...".
Result<std::shared_ptr<StoryboardApp>> share_manifest(const std::string& path, Manifest loaded,
                                                      bool watch, void (*body)(ManifestWatcher));

// Removes what a server over this manifest left when it was killed while writing: partial joins
// beside the manifest, concat lists and probe copies in the temporary directory.
void remove_abandoned_joins(const std::string& manifest_path);

} // namespace reelcut
