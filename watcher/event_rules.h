// Decisions of the event loop, kept apart from inotify and processes so they can be tested alone.
#pragma once

#include <cstdint>

namespace watcher {

// Every watch, at start and later: moves, creations and deletions, no attribute changes (so the
// permission reset raises no events of its own).
inline constexpr std::uint32_t kEventMask = 0xFC0;

enum class event_branch { new_item, move_out, paired_move_in, deletion, no_case };

// Returns the branch that handles an event with `mask`, given whether a pending move is held.
// Checked in order: a creation or an unpaired move-in is a new item; then move-out; then a
// paired move-in; then a deletion; anything else fits no case.
event_branch classify_event(std::uint32_t mask, bool pending_move);

// Returns true when a pending move must be dropped before an event with `mask` is handled: any
// event but the IN_MOVED_TO of the same move (`same_cookie`) ends it.
bool drops_pending_move(std::uint32_t mask, bool pending_move, bool same_cookie);

// Returns true when `path` names the monitored folder `folder`, with or without a final "/" on
// either (a configuration's last line may end without a newline, and so without the "/").
bool is_monitored_folder(const char* path, const char* folder);

// Returns true when a deletion concerns a directory watch: the event says so (IN_ISDIR) or it is
// the self-deletion of a watch held under a path ending in "/" (Linux 6 reports a deleted
// directory's IN_DELETE_SELF without IN_ISDIR).
bool is_directory_deletion(std::uint32_t mask, const char* del_name);

// Returns true when an event with `mask` on a watch no longer concerns the tree: the table holds
// no record for its watch (`has_record` false; a directory that left the tree). IN_IGNORED and
// IN_Q_OVERFLOW never count as stale; they take their normal course.
bool is_stale_event(std::uint32_t mask, bool has_record);

// Returns true when `path` ends with "/".
bool ends_with_slash(const char* path);

// Returns the moved item's name where it arrived (the text after the last "/" of `to`, at most
// 255 characters are used) when a move from `from` to `to` completes a download: `from` holds
// "TempDir" and a "/", and `to` holds "IncomingDir". Returns null otherwise.
const char* completed_download_name(const char* from, const char* to);

}  // namespace watcher
