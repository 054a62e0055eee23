// Handling one inotify event: keeping the watches in step with the tree, resetting permissions
// and announcing completed downloads.
#pragma once

#include <sys/inotify.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "download_memory.h"
#include "folder_trust.h"

namespace watcher {

struct daemon_state {
    // The monitored folder, normally ending in "/"; the only path the permission reset is given.
    char folder[256];
    // The folder as approved at start-up: every reset walks from it, and `folder` must still
    // lead to it.
    trusted_folder trusted;
    // Full path of the item of the last unpaired IN_MOVED_FROM, owned; null when none is held.
    char* moved_from;
    // The cookie of that IN_MOVED_FROM: only an IN_MOVED_TO with the same one completes the move.
    std::uint32_t moved_cookie;
    // The watch of the directory it left, and where its name starts in `moved_from`.
    int moved_parent;
    std::size_t moved_name_at;
    // Set when events were lost and the table could not be put right at once (no /proc): the
    // watch paths may be out of date until the table is rebuilt.
    bool paths_in_doubt;
    // A permission reset announced and not walked yet, and since when (CLOCK_MONOTONIC).
    bool reset_due;
    timespec due_since;
    // Walks in a row that lost their way (the tree moved under them) and left the reset due.
    int walks_lost;
    // How long the last walk of the whole tree took.
    long long last_walk_ms;
    // Set by a recovery from lost events: once the next reset has been walked, the heap the
    // recovery and that walk grew is handed back (tens of megabytes on a large tree).
    bool memory_to_return;
    // The downloads in progress, for notices through lost events.
    download_memory downloads;
};

// When the loop offers to walk a due reset.
enum class reset_moment {
    queue_empty,    // no event is waiting, in the library or in the kernel
    before_notice,  // a completion notice is about to go out: the item must be open to all
    event_handled,  // after an event, with more waiting
};

enum class event_outcome { keep_going, folder_deleted, failed };

// Handles `event`: drops a stale pending move, then runs the one branch the event fits.
// Returns folder_deleted, after printing its line, when the monitored folder itself was deleted.
// A full path that can't be built is reported on standard error and ends the event's handling.
event_outcome handle_event(daemon_state& state, const inotify_event& event);

// Returns true when the watch table should be built again once the event queue is empty: events
// were lost and the table could not be put right.
bool wants_rebuild(const daemon_state& state);

// Builds the watch table again from the tree as it is now, then announces a reset (the tree may
// have changed unseen meanwhile). Returns folder_deleted, after its line, when the
// folder has gone; failed, after the error's text, when it can't be watched again.
event_outcome rebuild_watches(daemon_state& state);

// The one place that decides when the tree is walked: a due reset is walked when no event is
// waiting, before a completion notice, and otherwise once it has waited a second, so that a
// burst of events costs one walk (its lines are all printed, in order) and a steady stream never
// starves the reset. A walk that lost its way leaves the reset due: walked again at once, and
// after three such walks in a row no sooner than a second after the last.
void settle_reset(daemon_state& state, reset_moment moment);

// Frees the pending move, if any.
void release_pending_move(daemon_state& state);

}  // namespace watcher
