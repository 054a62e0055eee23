// Whom quillwatch believes: a root daemon that opens a whole folder to everyone, named by other
// software's files, must not be pointed at the system, or at another user's files, by anyone
// but root.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace watcher {

// Returns true when `status` is a regular file that neither group nor others may write.
bool only_owner_writes(const struct stat& status);

// Returns true when `path` is "/" or lies in (or is) one of the system's own trees: /bin, /boot,
// /dev, /etc, /lib and its kin (/lib32, /lib64, ...), /proc, /root, /run, /sbin, /sys, /usr and
// /var. Looks at the text only; "" counts as "/".
bool in_system_tree(const char* path);

// Opens the directory `path` (absolute) one component at a time, refusing a symlink, "." or ".."
// in any component. Returns a read-only, close-on-exec descriptor, or -1 with errno set (ENOTDIR
// or ELOOP for a symlink, EINVAL for a relative path or a dot component).
int open_without_symlinks(const char* path);

// The monitored folder as approved at start-up: its path without symlinks, and which directory
// lay there.
struct trusted_folder {
    std::string path;
    dev_t device;
    ino_t inode;
};

// Approves `folder` into `trusted` when it may be watched and reset: an absolute path that is
// neither "/" nor in a system tree, as written and with its symlinks resolved, named by root's
// configuration (`config_owner` 0) or owned by the user whose configuration named it. The checks
// are made on the directory as opened. Returns 0; EPERM when the folder may not be watched; or
// the error that kept it from being opened (ENOENT when it doesn't exist).
int trust_folder(const char* folder, uid_t config_owner, trusted_folder& trusted);

// Opens the approved folder again along its path, following no symlink. Returns a read-only,
// close-on-exec descriptor, or -1 with errno set: ESTALE when another directory lies there now.
int open_trusted_folder(const trusted_folder& trusted);

// Returns false when `path` leads to something else than the approved folder (symlinks
// followed): it, or a directory above it, was swapped for another directory or a symlink. A path
// that leads nowhere passes: a folder deleted or renamed away is left to its own events.
bool leads_to_trusted_folder(const char* path, const trusted_folder& trusted);

}  // namespace watcher
