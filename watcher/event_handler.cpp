// Handling one inotify event: keeping the watches in step with the tree, resetting permissions
// and announcing completed downloads.
#include "event_handler.h"

#include <inotifytools/inotifytools.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "commands.h"
#include "event_rules.h"
#include "messages.h"
#include "path_checks.h"
#include "watch_catch_up.h"

namespace watcher {
namespace {

// The path libinotifytools holds for a watch; "" for a descriptor it doesn't know (such as the
// -1 of IN_Q_OVERFLOW), for which older versions return null.
const char* watch_path(int wd) {
    const char* path = inotifytools_filename_from_wd(wd);
    return path != nullptr ? path : "";
}

const char* event_name(const inotify_event& event) { return event.len > 0 ? event.name : ""; }

// Returns the event's full path (the watch's path, then the event's name) in a new allocation,
// or null after reporting `check` through _niceassert when it can't be built.
char* full_path(const inotify_event& event, int line, const char* check, bool with_name = true) {
    char* path = nullptr;
    const int built = with_name ? asprintf(&path, "%s%s", watch_path(event.wd), event_name(event))
                                : asprintf(&path, "%s", watch_path(event.wd));
    _niceassert(built != -1, line, kSourceName, check, kOutOfMemory);
    return built == -1 ? nullptr : path;
}

struct owned_path {
    char* text;
    ~owned_path() { std::free(text); }
};

// Moves the watch records held under `directory` (ending in "/") out of the tree's name space,
// so that a later directory of the same name is never mistaken for them.
void retire_watches(daemon_state& state, const char* directory) {
    const std::string name = kRetiredPrefix + std::to_string(++state.retired) + "/";
    inotifytools_replace_filename(directory, name.c_str());
}

// A moved-out directory's watch is held under its path with a trailing "/". It is removed at
// once; the watches below it are retired and removed when they next fire (libinotifytools
// can't list them). A plain file has no watch of its own.
void drop_pending_move(daemon_state& state) {
    const std::string directory = std::string(state.moved_from) + "/";
    const int wd = inotifytools_wd_from_filename(directory.c_str());
    if (wd < 0) {
        std::printf(kRemoveWatchFailedFormat, state.moved_from, std::strerror(ENOENT));
    } else {
        retire_watches(state, directory.c_str());
        if (!inotifytools_remove_watch_by_wd(wd))
            std::printf(kRemoveWatchFailedFormat, state.moved_from,
                        std::strerror(inotifytools_error()));
    }
    release_pending_move(state);
}

// An event from a watch that has left the tree. Its watch is removed unless the kernel has
// dropped it already (its own deletion), which libinotifytools would report as a failure.
void discard_stale_event(const inotify_event& event) {
    if (watch_path(event.wd)[0] != '\0' && !(event.mask & IN_DELETE_SELF))
        inotifytools_remove_watch_by_wd(event.wd);
}

// Watches a new directory and everything below it, including what was made below it while
// libinotifytools listed it.
bool watch_new_directory(const char* path) {
    return inotifytools_watch_recursively(path, kEventMask) &&
           watch_unwatched_below(path, kEventMask);
}

void handle_new_item(daemon_state& state, const inotify_event& event) {
    owned_path new_file{full_path(event, __LINE__, kNewFileCheck)};
    if (new_file.text == nullptr) return;
    if (isdir(new_file.text) && !watch_new_directory(new_file.text)) {
        std::printf(kWatchNewDirFailedFormat, new_file.text, std::strerror(inotifytools_error()));
    }
    reset_permissions(state.folder);
}

void handle_move_out(daemon_state& state, const inotify_event& event) {
    state.moved_from = full_path(event, __LINE__, kMovedFromCheck);
    if (state.moved_from == nullptr) return;
    reset_permissions(state.folder);
}

void handle_paired_move_in(daemon_state& state, const inotify_event& event) {
    owned_path new_name{full_path(event, __LINE__, kNewNameCheck)};
    if (new_name.text == nullptr) return;
    reset_permissions(state.folder);
    if (const char* name = completed_download_name(state.moved_from, new_name.text)) {
        char item[256];
        std::snprintf(item, sizeof item, "%s", name);
        send_completion_notice(item);
    }
    // With the trailing "/" only the moved directory and what lies below it are renamed, not
    // a sibling whose name merely starts with the same text.
    const std::string from = std::string(state.moved_from) + "/";
    const std::string to = std::string(new_name.text) + "/";
    inotifytools_replace_filename(from.c_str(), to.c_str());
    release_pending_move(state);
}

event_outcome handle_deletion(daemon_state& state, const inotify_event& event) {
    owned_path del_name{event.len > 0 ? full_path(event, __LINE__, kDelNameCheck)
                                      : full_path(event, __LINE__, kDelNameSelfCheck, false)};
    if (del_name.text == nullptr) return event_outcome::keep_going;
    if (!is_directory_deletion(event.mask, del_name.text)) {
        reset_permissions(state.folder);
    } else if (ends_with_slash(del_name.text)) {
        // The kernel has dropped the watch of a deleted directory by now: removing it through
        // libinotifytools would only fail (and say so on standard error). Its record is retired.
        if (std::strcmp(del_name.text, state.folder) == 0) {
            std::puts(kFolderDeleted);
            return event_outcome::folder_deleted;
        }
        retire_watches(state, del_name.text);
        reset_permissions(state.folder);
    }
    // A parent's report of a deleted sub-directory: the sub-directory's own event handles it.
    return event_outcome::keep_going;
}

// The kernel dropped events: directories created meanwhile have no watch, and would stay
// unwatched for the rest of the run. Watching the whole folder again adds the missing watches
// (existing ones are kept), with the same catch-up as for a new directory, since the tree is
// likely still growing; the reset covers whatever changed unseen. The lost events may have
// held the folder's own deletion, which ends the daemon as if it had been seen.
event_outcome recover_from_overflow(daemon_state& state) {
    if (!watch_new_directory(state.folder)) {
        const int error = inotifytools_error();
        if (access(state.folder, F_OK) != 0 && errno == ENOENT) {
            std::puts(kFolderDeleted);
            return event_outcome::folder_deleted;
        }
        std::printf(kWatchFailedFormat, state.folder, std::strerror(error));
    }
    reset_permissions(state.folder);
    return event_outcome::keep_going;
}

}  // namespace

void release_pending_move(daemon_state& state) {
    std::free(state.moved_from);
    state.moved_from = nullptr;
}

event_outcome handle_event(daemon_state& state, const inotify_event& event) {
    if (is_stale_event(event.mask, watch_path(event.wd))) {
        discard_stale_event(event);
        return event_outcome::keep_going;
    }
    if (drops_pending_move(event.mask, state.moved_from != nullptr)) drop_pending_move(state);

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

}  // namespace watcher
