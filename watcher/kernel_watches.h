// What the kernel itself watches for this process: each inotify watch's descriptor and the
// directory it is on, as /proc/self/fdinfo lists them. The truth a watch table can be checked
// against when events were lost.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace watcher {

struct kernel_watch {
    int wd;
    dev_t device;  // as stat() gives it
    ino_t inode;
};

// Returns the watches listed in `text`, the content of /proc/self/fdinfo/<inotify descriptor>
// ("inotify wd:<hex> ino:<hex> sdev:<hex> ..." lines); other lines are skipped.
std::vector<kernel_watch> parse_inotify_fdinfo(const std::string& text);

// Reads the watches of this process's inotify instance (the first it holds) into `watches`.
// Returns false, with errno set, when no instance is open or its fdinfo can't be read.
bool read_kernel_watches(std::vector<kernel_watch>& watches);

}  // namespace watcher
