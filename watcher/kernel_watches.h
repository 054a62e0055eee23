// What the kernel itself watches for this process: each inotify watch's descriptor and the
// directory it is on, as /proc/self/fdinfo lists them. The truth a watch table can be checked
// against when events were lost.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace watcher {

struct kernel_watch {
    int wd;
    dev_t device;  // as stat() gives it
    ino_t inode;
    // The kernel's file handle of the directory (handle_key): unique on every file system, where
    // device and inode are not (btrfs sub-volumes, overlays). "" when none is shown.
    std::string handle;
};

// A file handle as one binary string: the handle's type (4 bytes, least significant first),
// then its bytes.
std::string handle_key(unsigned type, const std::string& bytes);

// Parses one line of an inotify descriptor's fdinfo into `watch`. Returns false for a line that
// describes no watch.
bool parse_fdinfo_line(const char* line, kernel_watch& watch);

// Returns the watches listed in `text`, the content of /proc/self/fdinfo/<inotify descriptor>
// ("inotify wd:<hex> ino:<hex> sdev:<hex> ... fhandle-type:<hex> f_handle:<hex>" lines); other
// lines are skipped.
std::vector<kernel_watch> parse_inotify_fdinfo(const std::string& text);

// Returns the kernel's file handle of the open file `fd` as parse_inotify_fdinfo gives a watch's
// (handle_key), or "" when its file system gives none.
std::string handle_of(int fd);

// Returns the descriptor of this process's inotify instance (the first it holds), or -1 with
// errno set (ENOENT when it holds none, or /proc can't be read).
int find_inotify_descriptor();

// Calls `each` with every watch of this process's inotify instance (the first it holds), read a
// line at a time. Returns false, with errno set, when no instance is open or its fdinfo can't be
// read.
bool read_kernel_watches(const std::function<void(const kernel_watch&)>& each);

}  // namespace watcher
