// Handling one inotify event: keeping the watches in step with the tree, resetting permissions
// and announcing completed downloads.
#pragma once

#include <sys/inotify.h>

namespace watcher {

struct daemon_state {
    // The monitored folder, normally ending in "/"; the only path the permission reset is given.
    char folder[256];
    // Full path of the item of the last unpaired IN_MOVED_FROM, owned; null when none is held.
    char* moved_from;
    // Counts the directories whose watches were retired; gives each a name of its own.
    unsigned retired;
};

enum class event_outcome { keep_going, folder_deleted };

// Handles `event`: drops a stale pending move, then runs the one branch the event fits.
// Returns folder_deleted, after printing its line, when the monitored folder itself was deleted.
// A full path that can't be built is reported on standard error and ends the event's handling.
event_outcome handle_event(daemon_state& state, const inotify_event& event);

// Frees the pending move, if any.
void release_pending_move(daemon_state& state);

}  // namespace watcher
