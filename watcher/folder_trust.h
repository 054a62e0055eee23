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

// Who can change a file read as configuration, when more than one user can, or anyone.
inline constexpr uid_t kAnyUser = static_cast<uid_t>(-1);

// Opens the file `path` (absolute) for reading, resolving it one component at a time from "/"
// (at most 40 symlinks followed, none looked up twice), and sets `changers` to who can change
// what is read there: 0 when only root can; a user's id when that user (and root) only can;
// kAnyUser otherwise. The owners of every directory looked in, of every symlink followed and of
// the file count; a group- or world-writable directory without the sticky bit counts as anyone.
// With `believed` other than kAnyUser, resolution stops (EPERM) at the first component that
// someone but root and `believed` can change. Nothing is opened for reading before it is found
// to be a regular file that only its owner may write, with one link, on a real file system (not
// procfs, sysfs and their kin): anything else gives EPERM. Returns a close-on-exec descriptor,
// or -1 with errno set: EPERM as said, the resolution's error otherwise (ENOENT, EACCES, ELOOP).
int open_config_file(const char* path, uid_t& changers, uid_t believed = kAnyUser);

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
// neither "/" nor in a system tree, as written and with its symlinks resolved, named by a
// configuration only root can change (`config_owner` 0) or owned by the one user who can
// change it besides root (never when that is kAnyUser). The checks
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
