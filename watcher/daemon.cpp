// The quillwatch daemon: start-up, then one event at a time until the monitored folder goes.
#include "daemon.h"

#include <inotifytools/inotifytools.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "discovery.h"
#include "event_handler.h"
#include "event_rules.h"
#include "folder_trust.h"
#include "messages.h"
#include "path_checks.h"
#include "watch_list.h"
#include "watch_table.h"

namespace watcher {
namespace {

// Watches every path of the list with everything below it. Returns false after printing why a
// watch could not be set. (A one-folder list never has excludes: only a folder beginning with
// "@" would give one, and it leaves no path.)
bool watch_all(const watch_list& list) {
    for (const char* const* path = list.paths; *path != nullptr; ++path) {
        if (watch_tree(*path)) continue;
        const int error = watch_error();
        if (error == ENOSPC) {
            std::printf(kWatchLimitFormat, *path);
        } else {
            std::printf(kWatchFailedFormat, *path, std::strerror(error));
        }
        return false;
    }
    return true;
}

// Reads and handles events until the monitored folder is deleted or the queue fails. An event
// already waiting (read by the library, or queued in the kernel) is taken at once; only when
// none is does the loop walk a due reset, rebuild a watch table that waits for a quiet moment,
// and then wait for the next event.
int event_loop(daemon_state& state) {
    for (;;) {
        // A folder whose path leads elsewhere is gone for the daemon as a deleted one is: the path
        // no longer names the tree it resets.
        if (!leads_to_trusted_folder(state.folder, state.trusted)) {
            std::puts(kFolderDeleted);
            return 0;
        }
        const inotify_event* event = inotifytools_next_events(0, 1);  // polls
        event_outcome outcome;
        if (event == nullptr && inotifytools_error() == 0) {
            if (!settle_watches() && !resync_watch_table(state.folder)) state.paths_in_doubt = true;
            queue_read(state.downloads);
            settle_reset(state, reset_moment::queue_empty);
            if (wants_rebuild(state)) {
                outcome = rebuild_watches(state);
                std::fflush(nullptr);
                if (outcome == event_outcome::folder_deleted) return 0;
                if (outcome == event_outcome::failed) return 1;
                continue;
            }
            std::fflush(nullptr);
            // A reset left due by walks that lost their way is walked again after a second.
            event = inotifytools_next_event(state.reset_due ? 1 : 0);  // waits
            if (event == nullptr && inotifytools_error() == 0 && state.reset_due) continue;
        }
        const int error = inotifytools_error();
        if (event != nullptr) {
            outcome = handle_event(state, *event);
        } else if (error != 0) {
            std::puts(std::strerror(error));
            return 1;
        } else {
            return 2;
        }
        settle_reset(state, reset_moment::event_handled);
        std::fflush(nullptr);
        if (outcome == event_outcome::folder_deleted) return 0;
        if (outcome == event_outcome::failed) return 1;
    }
}

// Sets up the watches for the folder in `state`, which could not be checked for `trust_error`
// when that is not 0. Returns 0 when the loop may start, else the exit status, after printing why.
int start_watching(daemon_state& state, int trust_error) {
    const bool approved = trust_error == 0 && state.folder[0] != '\0';
    if (!start_watch_table(approved ? state.folder : nullptr, &state.trusted)) {
        std::puts(kInitFailed);
        return 1;
    }
    const char* const folder[] = {state.folder};
    watch_list list;
    const bool built = build_watch_list(&list, 1, folder) != nullptr;
    _niceassert(built, __LINE__, kSourceName, "build_watch_list(&list, 1, folder)", kOutOfMemory);
    if (!built) return 1;
    int status = 0;
    if (list.paths[0] == nullptr) {
        std::puts(kNothingToWatch);
        status = 1;
    } else if (trust_error != 0) {
        std::printf(kWatchFailedFormat, state.folder, std::strerror(trust_error));
        status = 1;
    } else if (!watch_all(list)) {
        status = 1;
    }
    free_watch_list(&list);
    return status;
}

}  // namespace

int run_daemon() {
    std::printf(kVersionFormat, kVersion);
    if (access(kInotifyNode, F_OK) != 0) {
        std::puts(kCreatingNode);
        create_inotify_node();
    }
    daemon_state state{};
    uid_t config_owner = 0;
    read_monitor_folder(state.folder, kRegistryPath, &config_owner);
    // "/", a relative or empty value, a system tree, or a folder not owned by the user whose
    // configuration named it: never opened to everyone. It ends the start like no folder.
    int trust_error = 0;
    if (state.folder[0] != '\0') {
        trust_error = trust_folder(state.folder, config_owner, state.trusted);
        if (trust_error == EPERM) state.folder[0] = '\0';
    }

    int status = start_watching(state, trust_error);
    if (status == 0) {
        std::fflush(stdout);  // the start-up lines reach a log before the first event
        status = event_loop(state);
    }
    release_pending_move(state);
    inotifytools_cleanup();
    std::fflush(nullptr);
    return status;
}

}  // namespace watcher
