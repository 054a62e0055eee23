// The daemon's watch table: which directory of the tree each inotify watch stands for, kept
// true to the tree through moves, deletions, walk errors and lost events.
//
// The table keeps its own records (the path of each watch, and the watch at each path in path
// order); libinotifytools' instance reads the events. A move costs the records below the moved
// directory (each re-filed in a sorted map), and a recovery after lost events one pass over the
// table.
//
// Every directory is reached by descriptor: opened from its parent's descriptor (or from the
// monitored folder, name by name) without following a symlink, and watched, listed and
// identified through that descriptor, never through a path the kernel would resolve again. A
// name a user swaps for a symlink meanwhile leads nowhere. Watches are set and removed by the table
// on libinotifytools' instance: the library's calls take names only, and a name ending in "/" has
// the kernel follow a final symlink whatever the flags say.
#pragma once

#include <string>

#include "folder_trust.h"

namespace watcher {

// Starts libinotifytools with an empty table. Paths below `folder` (approved as `trusted`) are
// then opened from the approved folder; without a folder, from "/", with no symlink on the way.
// Returns false when the instance can't be started (watch_error() tells why).
bool start_watch_table(const char* folder = nullptr, const trusted_folder* trusted = nullptr);

// The error number of the last watch or start that failed.
int watch_error();

// Watches `directory` (with or without a final "/") and every directory below it, each one
// before it is listed, so that whatever is made in it later raises an event and whatever was
// made before is in the listing. Directories already watched under their path are listed, not
// watched again; one the kernel watches under another path (a move whose events are still
// queued) is left to those events, with what lies below it. No symlink is followed, the top's
// last component included (ENOTDIR or ELOOP). Below the top, directories that vanish, may not
// be read or lie deeper than a path may be long (ENOENT, ENOTDIR, EACCES, ELOOP, ENAMETOOLONG)
// are left out with what lies below them. Once some watch is held,
// directories that can't be watched for lack of watches (ENOSPC) are left out too: the first is
// reported ("Failed to watch <path>; upper limit on inotify watches reached!"), once until a resync
// or rebuild lacks none; they are tried again at the next. Returns false when a watch fails
// otherwise, or the top's fails (watch_error() tells why); what was watched before stays
// watched, the top first.
bool watch_tree(const char* directory);

// Returns the path of watch `wd`'s record (ending in "/"), or "" when the table holds none for
// it (a directory that left the tree, or the -1 of IN_Q_OVERFLOW). Valid until the table changes.
const char* watch_path(int wd);

// Opens the directory of watch `wd` at its record's path for reading, following no symlink.
// Returns -1 when no record is held for it, or another directory lies there (its move is still
// queued).
int open_watched_directory(int wd);

// Returns the watch whose record is held under `directory` (ending in "/"), or -1.
int watch_at(const char* directory);

// Moves the records of directory `from` and of everything below it to the same places below
// `to` (both ending in "/"); records of other directories held under `to` are parked until a
// move names them. Nothing happens when none is held under `from` (a file, or a directory whose
// records moved already).
void rename_tree(const char* from, const char* to);

// Follows a completed move of `from` to `to` (both ending in "/") by what lies at `to` now: the
// records of the watched directory that is there (found by its file handle, wherever its
// records are: a resync may have put them there already, or an exchange parked them) move to
// `to`; records of another directory that hold `to` are parked until their own move names them.
// No record is ever renamed onto a path another live record holds. Nothing happens when what
// lies at `to` is not watched (the caller watches it); when nothing lies there any more (moved
// on), the records under `from` move to `to` by path.
void follow_move(const char* from, const char* to);

// For directory `directory` (ending in "/"), whose move out came without its other half: when a
// walk has met the same directory since, at another path in the tree (it went into a directory
// whose watch came after it), and it still lies there, moves its records there and returns that
// path (ending in "/"); what lies below it is still to be watched. Otherwise returns "": it has
// left the tree, or moved on (its own events tell where).
std::string relocate_tree(const char* directory);

// Puts the table right after lost events, without closing the instance (the kernel goes on
// queuing events): every record of a directory still in the tree below `folder` goes to the path
// where the directory lies now, records of directories that left the tree are dropped, and every
// directory without a watch gets one. Returns false, the table unchanged, when the kernel's list
// of watches can't be read or `folder` can't be opened (errno set); false after a watch failed
// otherwise (watch_error() tells why).
bool resync_watch_table(const char* folder);

// Removes the watches of directory `directory` (ending in "/"), which left the tree, and of
// everything below it. Returns false when no watch was held under `directory` itself.
bool unwatch_tree(const char* directory);

// Drops the records of a deleted directory `directory` (ending in "/") and of anything still
// held below it: the kernel has dropped their watches.
void retire_tree(const char* directory);

// Ends the libinotifytools instance, freeing every record, starts a new one and watches
// `folder` again (watch_tree). Events not yet read from the old instance are lost, and so are
// those that happen before the new watches are set: call it when the queue is empty.
// Returns false when the new instance or the folder's watch fails (watch_error()).
bool rebuild_watch_table(const char* folder);

}  // namespace watcher
