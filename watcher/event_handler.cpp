#include "event_handler.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <inotifytools/inotifytools.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "directory_listing.h"
#include "event_rules.h"
#include "messages.h"
#include "path_checks.h"
#include "permission_reset.h"
#include "report_lines.h"
#include "watch_table.h"

namespace watcher {
namespace {

constexpr int kWalksRetriedAtOnce = 3;

const char* event_name(const inotify_event& event) { return event.len > 0 ? event.name : ""; }

// Returns the event's full path (the watch's path, then the event's name) in a new allocation,
// or null after reporting `check` through _niceassert when it can't be built.
char* full_path(const inotify_event& event, int line, const char* check, bool with_name = true) {
    char* path = nullptr;
    const std::string directory = watch_path(event.wd);
    const int built = with_name ? asprintf(&path, "%s%s", directory.c_str(), event_name(event))
                                : asprintf(&path, "%s", directory.c_str());
    _niceassert(built != -1, line, kSourceName, check, kOutOfMemory);
    return built == -1 ? nullptr : path;
}

// Announces the permission reset that the event calls for; settle_reset walks it.
void request_reset(daemon_state& state) {
    announce_reset(state.folder);
    if (state.reset_due) return;
    state.reset_due = true;
    clock_gettime(CLOCK_MONOTONIC, &state.due_since);
}

long long milliseconds_since(const timespec& since) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (now.tv_sec - since.tv_sec) * 1000LL + (now.tv_nsec - since.tv_nsec) / 1000000;
}

struct owned_path {
    char* text;
    ~owned_path() { std::free(text); }
};

// Watches directory `name` that arrived in the directory of watch `parent` (`path` in reports),
// with everything below it. The event's IN_ISDIR says what arrived; a name that no longer leads
// to a directory (deleted, renamed, or swapped for a symlink or a file since) has events of its
// own to come.
void watch_arrived_directory(int parent, const char* name, const char* path) {
    if (watch_child(parent, name)) return;
    const int error = watch_error();
    if (error != ENOENT && error != ENOTDIR && error != ELOOP)
        std::printf(kWatchNewDirFailedFormat, shortened_path(path).c_str(), std::strerror(error));
}

// Makes the item of a completed move, and whatever lies below it, open to all before its notice:
// reached by descriptor from its directory, whatever the walk of the whole tree, still due, can
// reach. When the directory can't be opened (moved on meanwhile), the whole tree is walked.
// Returns false when a walk after lost events has announced the item already.
bool reset_arrived_item(daemon_state& state, const inotify_event& event) {
    const int fd = open_watched_directory(event.wd);
    if (fd < 0 || !reset_listed(fd, watch_path(event.wd), {{event_name(event), DT_UNKNOWN}})) {
        state.reset_due = true;
        settle_reset(state, reset_moment::before_notice);
    }
    struct stat status;
    const bool found = fd >= 0 && fstatat(fd, event_name(event), &status, AT_SYMLINK_NOFOLLOW) == 0;
    if (fd >= 0) close(fd);
    return !found || announce_from_move(state.downloads, {status.st_dev, status.st_ino});
}

// Remembers the item of the event (at `path`) when it arrived under a "TempDir" path, as it lies
// there now: a download in progress, to be announced should its completion be lost.
void remember_arrival(daemon_state& state, const inotify_event& event, const char* path) {
    if (std::strstr(path, "TempDir") == nullptr) return;
    const int fd = open_watched_directory(event.wd);
    if (fd < 0) return;
    struct stat status;
    if (fstatat(fd, event_name(event), &status, AT_SYMLINK_NOFOLLOW) == 0)
        remember_temp_item(state.downloads, path, {status.st_dev, status.st_ino});
    close(fd);
}

// Remembers what lies in the temporary folders now. Called as events are found lost: the
// arrivals among them are, and under a flood of events the walks of the whole tree come too
// seldom to meet a download that lies there a second or two.
void remember_temp_folders(daemon_state& state) {
    for (const int wd : watches_named("TempDir")) {
        const std::string path = watch_path(wd);
        if (!is_temp_folder(path)) continue;
        const int fd = open_watched_directory(wd);
        if (fd < 0) continue;
        list_directory(fd, [&](const char* name, unsigned char) {
            struct stat status;
            if (fstatat(fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0)
                remember_temp_item(state.downloads, (path + name).c_str(),
                                   {status.st_dev, status.st_ino});
        });
        close(fd);
    }
}

// A move whose other half never came: the item went where no watch saw it arrive, out of the
// tree or into a directory not watched yet. A directory's record waits for a walk to meet it
// (see detach_tree); a file has no watch to remove, as the line says. `mover` is the watch of
// the IN_MOVE_SELF read right after the move (that of the watched directory that made it), else -1.
void drop_pending_move(daemon_state& state, int mover) {
    if (!detach_tree(state.moved_parent, state.moved_from + state.moved_name_at, mover))
        std::printf(kRemoveWatchFailedFormat, shortened_path(state.moved_from).c_str(),
                    std::strerror(ENOENT));
    release_pending_move(state);
}

void handle_new_item(daemon_state& state, const inotify_event& event) {
    owned_path new_file{full_path(event, __LINE__, kNewFileCheck)};
    if (new_file.text == nullptr) return;
    if (event.mask & IN_ISDIR) watch_arrived_directory(event.wd, event_name(event), new_file.text);
    remember_arrival(state, event, new_file.text);
    request_reset(state);
}

void handle_move_out(daemon_state& state, const inotify_event& event) {
    state.moved_from = full_path(event, __LINE__, kMovedFromCheck);
    if (state.moved_from == nullptr) return;
    state.moved_cookie = event.cookie;
    state.moved_parent = event.wd;
    state.moved_name_at = std::strlen(state.moved_from) - std::strlen(event_name(event));
    request_reset(state);
}

void handle_paired_move_in(daemon_state& state, const inotify_event& event) {
    owned_path new_name{full_path(event, __LINE__, kNewNameCheck)};
    if (new_name.text == nullptr) return;
    request_reset(state);
    if (const char* name = completed_download_name(state.moved_from, new_name.text)) {
        if (reset_arrived_item(state, event)) {
            char item[256];
            std::snprintf(item, sizeof item, "%s", name);
            send_completion_notice(item);
        }
    } else {
        remember_arrival(state, event, new_name.text);
    }
    // A directory's record moves as the events say; one that had none (made, or moved in from
    // where it was not watched, before its events were read) is watched where it arrived.
    if ((event.mask & IN_ISDIR) &&
        !move_tree(state.moved_parent, state.moved_from + state.moved_name_at, event.wd,
                   event_name(event)))
        watch_arrived_directory(event.wd, event_name(event), new_name.text);
    release_pending_move(state);
}

event_outcome handle_deletion(daemon_state& state, const inotify_event& event) {
    owned_path del_name{event.len > 0 ? full_path(event, __LINE__, kDelNameCheck)
                                      : full_path(event, __LINE__, kDelNameSelfCheck, false)};
    if (del_name.text == nullptr) return event_outcome::keep_going;
    if (!is_directory_deletion(event.mask, del_name.text)) {
        request_reset(state);
    } else if (ends_with_slash(del_name.text)) {
        // The kernel has dropped the watch of a deleted directory by now: removing it through
        // libinotifytools would only fail (and say so on standard error). Its records are dropped.
        if (is_monitored_folder(del_name.text, state.folder)) {
            std::puts(kFolderDeleted);
            return event_outcome::folder_deleted;
        }
        retire_tree(event.wd);
        request_reset(state);
    }
    // A parent's report of a deleted sub-directory: the sub-directory's own event handles it.
    return event_outcome::keep_going;
}

// Ends the daemon as if the folder's deletion had been seen when the folder is gone; otherwise
// reports why it could not be watched.
event_outcome folder_watch_failed(const daemon_state& state, int error) {
    if (access(state.folder, F_OK) != 0 && errno == ENOENT) {
        std::puts(kFolderDeleted);
        return event_outcome::folder_deleted;
    }
    std::printf(kWatchFailedFormat, state.folder, std::strerror(error));
    return event_outcome::failed;
}

// The kernel dropped events: the table is put right against the kernel's own list of watches at
// once, in the same instance, so that nothing happening meanwhile is lost. Without that list
// (no /proc), directories made meanwhile get a watch now, and renames lost with the events leave
// paths out of date until the table is rebuilt, once the queue is empty. The reset covers
// whatever changed unseen.
event_outcome recover_from_overflow(daemon_state& state) {
    if (!resync_watch_table(state.folder)) {
        state.paths_in_doubt = true;
        if (!watch_tree(state.folder)) return folder_watch_failed(state, watch_error());
    }
    request_reset(state);
    state.memory_to_return = true;
    state.downloads.events_lost = true;
    remember_temp_folders(state);
    return event_outcome::keep_going;
}

}  // namespace

void settle_reset(daemon_state& state, reset_moment moment) {
    if (!state.reset_due) return;
    // A walk that lost its way (a directory moved under it) is due again: at once, and after
    // a few such walks in a row once a second, so that names flipped on purpose can't keep the
    // daemon walking.
    // While events keep coming, a walk waits at least a second, and four times as long as the
    // last one took: on a large tree, walks then leave the events (and the notices among them)
    // four fifths of the time.
    const bool backing_off = state.walks_lost >= kWalksRetriedAtOnce;
    const long long pause_ms = backing_off ? 1000 : std::max(1000LL, 4 * state.last_walk_ms);
    if ((moment == reset_moment::event_handled || backing_off) &&
        milliseconds_since(state.due_since) < pause_ms)
        return;
    state.reset_due = false;
    timespec started;
    clock_gettime(CLOCK_MONOTONIC, &started);
    begin_memory_walk(state.downloads);
    const bool complete = reset_tree(state.folder, state.trusted, &state.downloads);
    state.last_walk_ms = milliseconds_since(started);
    // Downloads completed while events were lost, found by the walk that has just made them
    // open to all.
    for (const std::string& name : end_memory_walk(state.downloads, complete))
        send_completion_notice(name.c_str());
    if (complete) {
        if (state.memory_to_return) malloc_trim(0);
        state.memory_to_return = false;
        state.walks_lost = 0;
        return;
    }
    ++state.walks_lost;
    state.reset_due = true;
    clock_gettime(CLOCK_MONOTONIC, &state.due_since);
}

void release_pending_move(daemon_state& state) {
    std::free(state.moved_from);
    state.moved_from = nullptr;
}

event_outcome handle_event(daemon_state& state, const inotify_event& event) {
    // A directory's move is told whole by its IN_MOVE_SELF, the event right after its
    // IN_MOVED_TO (or its lone IN_MOVED_FROM), which names the directory that made the move just
    // read (whatever its path).
    const int mover = event.mask & IN_MOVE_SELF ? event.wd : -1;
    confirm_move(mover);
    // A watch whose directory left the tree has no record, and its events no meaning.
    // A directory without a path (detached: moved where no watch saw it arrive) has only its
    // moves followed: what moves out of it into the tree keeps its record.
    const bool followed = has_path(event.wd) ||
                          (has_record(event.wd) && (event.mask & (IN_MOVED_FROM | IN_MOVED_TO)));
    if (is_stale_event(event.mask, followed)) return event_outcome::keep_going;
    const bool pending = state.moved_from != nullptr;
    if (drops_pending_move(event.mask, pending, pending && event.cookie == state.moved_cookie))
        drop_pending_move(state, mover);

    switch (classify_event(event.mask, state.moved_from != nullptr)) {
        case event_branch::new_item:
            handle_new_item(state, event);
            break;
        case event_branch::move_out:
            handle_move_out(state, event);
            break;
        case event_branch::paired_move_in:
            handle_paired_move_in(state, event);
            break;
        case event_branch::deletion:
            return handle_deletion(state, event);
        case event_branch::no_case:
            std::puts(kNoCaseMatched);
            if (event.mask & IN_Q_OVERFLOW) return recover_from_overflow(state);
            break;
    }
    return event_outcome::keep_going;
}

bool wants_rebuild(const daemon_state& state) {
    return state.moved_from == nullptr && state.paths_in_doubt;
}

event_outcome rebuild_watches(daemon_state& state) {
    state.paths_in_doubt = false;
    if (!rebuild_watch_table(state.folder)) return folder_watch_failed(state, watch_error());
    request_reset(state);
    state.memory_to_return = true;
    return event_outcome::keep_going;
}

}  // namespace watcher
