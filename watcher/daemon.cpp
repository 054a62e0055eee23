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
#include "messages.h"
#include "path_checks.h"
#include "watch_catch_up.h"
#include "watch_list.h"

namespace watcher {
namespace {

// Watches every path of the list recursively, leaving out its excludes. Returns false after
// printing why a watch could not be set.
bool watch_all(const watch_list& list) {
    // The catch-up for directories made while the recursive watch listed their parents can't
    // honour excludes; it runs when there are none (always, with the folder as the only entry).
    const bool catch_up = list.excludes[0] == nullptr;
    for (const char* const* path = list.paths; *path != nullptr; ++path) {
        if (inotifytools_watch_recursively_with_exclude(*path, kEventMask, list.excludes) &&
            inotifytools_watch_file(*path, kEventMask) &&
            (!catch_up || watch_unwatched_below(*path, kEventMask))) {
            continue;
        }
        const int error = inotifytools_error();
        if (error == ENOSPC) {
            std::printf(kWatchLimitFormat, *path);
        } else {
            std::printf(kWatchFailedFormat, *path, std::strerror(error));
        }
        return false;
    }
    return true;
}

// Reads and handles events until the monitored folder is deleted or the queue fails.
int event_loop(daemon_state& state) {
    for (;;) {
        const inotify_event* event = inotifytools_next_event(0);
        if (event == nullptr) {
            const int error = inotifytools_error();
            if (error == 0) return 2;
            std::puts(std::strerror(error));
            return 1;
        }
        const event_outcome outcome = handle_event(state, *event);
        std::fflush(nullptr);
        if (outcome == event_outcome::folder_deleted) return 0;
    }
}

// Sets up the watches for the folder in `state`. Returns 0 when the loop may start, else the
// exit status, after printing why.
int start_watching(daemon_state& state) {
    if (!inotifytools_initialize()) {
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
    read_monitor_folder(state.folder);

    int status = start_watching(state);
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
