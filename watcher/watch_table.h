// The daemon's watch table: which directory of the tree each inotify watch stands for, kept true
// to the tree by the events alone, and put right against the kernel's own list of watches when
// events were lost.
//
// A tree of names, as the kernel keeps its dentries: each record holds its watch, the watch of
// the directory it lies in and its name there; a path is built from the parents when one is
// needed (an event's path, a notice, a report). A move re-links one record, whatever lies below
// it; nothing on disk is looked at to follow it, since what lies there when an event is read may
// be several events later. The kernel's file handle of each directory (binary) serves to find
// the directories again after lost events.
//
// Every directory is reached by descriptor: opened from its parent's descriptor (or from the
// monitored folder, name by name) without following a symlink, and watched, listed and
// identified through that descriptor, never through a path the kernel would resolve again. A
// name a user swaps for a symlink meanwhile leads nowhere; a path longer than the system allows
// is no obstacle. Watches are set and removed by the table on libinotifytools' instance, which
// reads the events: the library's calls take names only, and a name ending in "/" has the kernel
// follow a final symlink whatever the flags say.
#pragma once

#include <string>
#include <vector>

#include "folder_trust.h"

namespace watcher {

// Starts libinotifytools with an empty table. Paths below `folder` (approved as `trusted`) are
// then opened from the approved folder; without a folder, from "/", with no symlink on the way.
// Returns false when the instance can't be started (watch_error() tells why).
bool start_watch_table(const char* folder = nullptr, const trusted_folder* trusted = nullptr);

// The error number of the last watch or start that failed.
int watch_error();

// Watches `directory` (with or without a final "/") and every directory below it, each one
// before it is listed, so that whatever is made in it later raises an event and whatever was made
// before is in the listing. A directory that lies in a watched one is filed there by name; one
// already watched is listed, not watched again; one the kernel watches at another place (a move
// whose events are still queued) is left to those events, with what lies below it. No symlink is
// followed, the top's last component included (ENOTDIR or ELOOP). Below the top, directories
// that vanish or may not be read (ENOENT, ENOTDIR, EACCES, ELOOP) are left out with what lies
// below them. Once some watch is held, directories that can't be watched for lack of watches
// (ENOSPC) are left out too: the first is reported ("Failed to watch <path>; upper limit on
// inotify watches reached!"), once until a resync or rebuild lacks none; they are tried again at
// the next. Returns false when a watch fails otherwise, or the top's fails (watch_error() tells
// why); what was watched before stays watched, the top first.
bool watch_tree(const char* directory);

// watch_tree for `name` in the directory of watch `parent`: a directory that arrived there,
// opened from the parent's descriptor. When the parent is not where its path leads (a move above
// it whose events are still queued), the watch waits for watch_deferred(); true then.
bool watch_child(int parent, const char* name);

// Call when the queue is read. Watches the directories whose watch_child waited: the table's
// paths are the tree's now (what can't be found then is left: gone, or put right by a resync).
// Then removes the watches of detached directories that no walk met: they left the tree.
// Returns false when a directory that watch_child found by name since the last call no longer
// lies where the table files it (moved before its events were read), or a directory move was
// made by a directory without a watch: the caller resyncs.
bool settle_watches();

// Returns the path of watch `wd` (ending in "/"), or "" when the table holds no record for it
// (a directory that left the tree, or the -1 of IN_Q_OVERFLOW) or it has no path (detached, or
// below a detached directory).
std::string watch_path(int wd);

// Returns true when the table holds a record for watch `wd` (with a path, or detached).
bool has_record(int wd);

// Returns true when watch `wd` has a path: watch_path(wd) is not "" (built without building it).
bool has_path(int wd);

// Returns the watch of the directory at `directory` (ending in "/") in the table, or -1.
int watch_at(const char* directory);

// Returns the watches of the directories whose own name holds `part`.
std::vector<int> watches_named(const char* part);

// Opens the directory of watch `wd` at its path for reading, following no symlink. Returns -1
// when no record is held for it, or another directory lies there (its move is still queued).
int open_watched_directory(int wd);

// Follows a directory's move: the record held as `from_name` in the directory of watch
// `from_parent` is now `to_name` in that of `to_parent`, with everything below it. A record
// that held the destination (the other side of an exchange, or an empty directory replaced) is
// set aside until its own events place it: the next move from that place is its. Returns false
// when no record was held there (the caller watches what arrived).
bool move_tree(int from_parent, const char* from_name, int to_parent, const char* to_name);

// Call with each event read: `wd` is the watch of an IN_MOVE_SELF, else -1. The IN_MOVE_SELF
// right after a move_tree names the directory that made it: when that move took another record
// (a set-aside one that wasn't the mover), the two are put right; when no watched directory made
// it (any other event, or none), the record taken goes back and settle_watches asks for a resync.
void confirm_move(int wd);

// The record held as `name` in the directory of watch `parent` moved where no watch saw it
// arrive (its move out came without its other half); `mover` is the watch of the IN_MOVE_SELF
// read next, else -1. When the walk of a directory made just before met it there, it is filed
// there (what was made in it meanwhile is watched); otherwise it waits, without a place (its
// events are stale), for a walk to meet it, until settle_watches. When `mover` is not its watch,
// another directory moved: the record stays and settle_watches asks for a resync. Returns false
// when no record was held there (a file).
bool detach_tree(int parent, const char* name, int mover);

// Drops the records of the deleted directory of watch `wd` and of anything still held below it:
// the kernel has dropped their watches.
void retire_tree(int wd);

// Puts the table right after lost events, without closing the instance (the kernel goes on
// queuing events): every record of a directory still in the tree below `folder` goes to the
// place where the directory lies now, records of directories that left the tree are dropped, and
// every directory without a watch gets one. Returns false, the table unchanged, when the kernel's
// list of watches can't be read, gives no file handles, or `folder` can't be opened (errno set).
bool resync_watch_table(const char* folder);

// Ends the libinotifytools instance, starts a new one and watches `folder` again (watch_tree).
// Events not yet read from the old instance are lost, and so are those that happen before the
// new watches are set: call it when the queue is empty. Returns false when the new instance or
// the folder's watch fails (watch_error()).
bool rebuild_watch_table(const char* folder);

// The number of records held.
std::size_t watch_count();

}  // namespace watcher
