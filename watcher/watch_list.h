// The watch list: paths to watch recursively and paths to leave out of those watches.
#pragma once

#include <cstddef>

namespace watcher {

struct watch_list {
    // Both arrays end with a null entry. Entries point into the caller's argument texts.
    const char** paths;
    const char** excludes;
    // Room in each array, in entries, including the closing null entry.
    size_t paths_capacity;
    size_t excludes_capacity;
};

// Fills `list` from `argv[0..argc)`: an empty text and "@" alone are skipped, "@path" adds
// "path" to excludes, anything else is added whole to paths. Each array starts with room for
// 1024 entries and grows by 1024. Returns `list`, or null (with nothing allocated) when memory
// runs out. The caller releases the arrays with free_watch_list.
watch_list* build_watch_list(watch_list* list, int argc, const char* const* argv);

// Releases the arrays of a list filled by build_watch_list.
void free_watch_list(watch_list* list);

}  // namespace watcher
