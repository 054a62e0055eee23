// The permission reset: "chmod 777 -R" of the monitored folder, done by the daemon itself on
// descriptors, so that no name below the folder (every one of them writable by everyone) can
// lead it outside the tree.
#pragma once

#include <string>
#include <vector>

#include "download_memory.h"
#include "folder_trust.h"

namespace watcher {

// Prints "[chmod 777 -R <folder>]", the line that announces a reset, and flushes it.
void announce_reset(const char* folder);

// Gives the approved folder `trusted` (named `folder` in reports) and everything below it the
// modes "chmod 777 -R" gives: 0777, with a directory's set-uid and set-gid bits kept. Every
// entry is reached from the folder through descriptors: symlinks are neither followed nor
// changed; mount points are crossed. The walk holds a fixed number of descriptors and memory for
// the names on its way down, whatever the depth. An entry already at its mode is not touched. A
// non-directory with more than one link, or once seen with more than one in the daemon's life, is
// left as it is; so is an entry that can't be changed or listed. What was left is reported on
// standard error, in chmod's words, a few lines a reset at most (the rest summed up), each path
// shortened in its middle beyond 245 characters; the walk goes on. A directory let go on the
// way down is found again through "..", or from the folder by its names when a move in between
// leads ".." elsewhere. Returns false when the walk lost its way all the same (a directory above
// moved out of place) and ended early, leaving what it had not reached: its events owe another
// reset. Nothing is done, and true returned, when nothing lies at the folder's path (deleted,
// or renamed away). `memory`, when given, is told of every entry the walk meets (meet_item).
bool reset_tree(const char* folder, const trusted_folder& trusted, download_memory* memory);

// announce_reset, then reset_tree.
bool reset_permissions(const char* folder, const trusted_folder& trusted);

// An entry of a directory as its listing gave it.
struct listed_entry {
    const char* name;
    unsigned char type;  // DT_REG, DT_DIR, DT_LNK, ... or DT_UNKNOWN
};

// Resets the entries `listed` of the open directory `dir_fd` (named `path` in reports), and
// everything below them, as reset_permissions does, as if a listing had just given them. A name
// that is gone, or has become a symlink, since it was listed is left alone. Returns false as
// reset_tree does.
bool reset_listed(int dir_fd, const std::string& path, const std::vector<listed_entry>& listed);

}  // namespace watcher
