// The permission reset: "chmod 777 -R" of the monitored folder, done by the daemon itself on
// descriptors, so that no name below the folder (every one of them writable by everyone) can
// lead it outside the tree.
#pragma once

#include <string>

#include "folder_trust.h"

namespace watcher {

// Prints "[chmod 777 -R <folder>]" and gives the approved folder `trusted` (named `folder`) and
// everything below it the modes "chmod 777 -R" gives: 0777, with a directory's set-uid and
// set-gid bits kept. Every entry is reached from the folder through descriptors: symlinks are
// neither followed nor changed; mount points are crossed. An entry already at its mode is not
// touched. A non-directory with more than one link is left as it is; so is an entry that can't
// be changed or listed: each is reported on standard error as chmod reports it, and the walk
// goes on. Nothing is done when nothing lies at the folder's path (deleted, or renamed away).
void reset_permissions(const char* folder, const trusted_folder& trusted);

// Resets the entry `name` of the open directory `dir_fd`, listed with type `listed_type`, and
// everything below it, as reset_permissions does. `path` names it in reports. A name that is
// gone, or has become a symlink, since it was listed is left alone.
void reset_entry(int dir_fd, const char* name, unsigned char listed_type, const std::string& path);

}  // namespace watcher
