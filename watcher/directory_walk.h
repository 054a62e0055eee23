// A depth-first walk of a directory tree by descriptors: each directory is opened from its
// parent's descriptor, its last component never followed, so that no name a user can swap (for a
// symlink, or for another directory) leads the walk out of the tree; and a fixed number of
// descriptors whatever the depth.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace watcher {

// One directory on the walk's way down: how it was reached, what is left of it to enter.
struct walk_level {
    std::string name;  // in its parent; the top's path for the top
    dev_t device;
    ino_t inode;
    int fd;                                    // -1 while it lies above the held levels
    std::vector<std::string> sub_directories;  // still to enter, the last first
    std::size_t path_length;                   // of the walk's path up to this level
};

struct directory_walk {
    std::vector<walk_level> levels;  // from the top down to the directory being visited
    std::size_t first_held = 1;      // levels from here down hold their descriptors; the top does
    std::string path;                // of the deepest level, ending in "/"
    std::string skipped;             // the name that next_directory could not enter
};

// Starts a walk at the open directory `fd` (which stays the caller's), named `path` in reports.
// Returns false with errno set when `fd` can't be examined.
bool start_walk(directory_walk& w, int fd, const std::string& path);

enum class walk_step {
    entered,      // the deepest level is the next directory: list it, fill its sub_directories
    not_entered,  // w.skipped could not be opened as a directory (errno tells why)
    done,         // everything below the top was entered
    lost,         // a directory above could not be found again (errno: ESTALE when another
                  // directory lies where it was): the walk ends early
};

// Moves to the next directory still to enter, the deepest level's sub-directories first (the
// last of each list first), climbing back as needed. A parent let go is opened again through
// "..", checked against the directory left there; when that leads elsewhere (the directory
// below was moved meanwhile) it is opened again from the top, name by name, each checked.
walk_step next_directory(directory_walk& w);

// Closes every descriptor the walk opened (not the top's).
void end_walk(directory_walk& w);

// Opens `relative` (components separated by "/", none "." or "..") below the open directory
// `dir_fd`, one component at a time, following no symlink. The last component is opened with
// `flags` (O_NOFOLLOW and O_CLOEXEC added), the others O_PATH|O_DIRECTORY. An empty `relative`
// re-opens `dir_fd` itself. Returns the new descriptor, or -1 with errno set (ELOOP or ENOTDIR
// for a symlink, EINVAL for a dot component).
int open_beneath(int dir_fd, const std::string& relative, int flags);

}  // namespace watcher
