// Listing an open directory with one buffer for the whole program.
#pragma once

#include <functional>

namespace watcher {

// Calls `visit` with the name and listed type (DT_*; DT_UNKNOWN where the file system doesn't
// say) of every entry of the open directory `fd` but "." and "..". Returns false, with errno
// set, when the directory can't be read; entries seen before the failure have been visited.
// `visit` must not list a directory itself: every listing shares one buffer.
bool list_directory(int fd, const std::function<void(const char* name, unsigned char type)>& visit);

}  // namespace watcher
