// The watch list: paths to watch recursively and paths to leave out of those watches.
#include "watch_list.h"

#include <cstdlib>

namespace watcher {
namespace {

constexpr size_t kCapacityStep = 1024;

struct growing_array {
    const char** items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
};

bool reserve_first(growing_array& array) {
    array.items = static_cast<const char**>(std::malloc(kCapacityStep * sizeof(const char*)));
    array.capacity = kCapacityStep;
    return array.items != nullptr;
}

// Appends `item`, first growing the array when only the slot for the closing null is left.
bool append(growing_array& array, const char* item) {
    if (array.count == array.capacity - 1) {
        const size_t capacity = array.capacity + kCapacityStep;
        void* grown = std::realloc(array.items, capacity * sizeof(const char*));
        if (grown == nullptr) return false;
        array.items = static_cast<const char**>(grown);
        array.capacity = capacity;
    }
    array.items[array.count++] = item;
    return true;
}

}  // namespace

watch_list* build_watch_list(watch_list* list, int argc, const char* const* argv) {
    growing_array paths, excludes;
    bool ok = reserve_first(paths) && reserve_first(excludes);
    for (int i = 0; ok && i < argc; ++i) {
        const char* text = argv[i];
        if (text[0] == '\0' || (text[0] == '@' && text[1] == '\0')) continue;
        ok = text[0] == '@' ? append(excludes, text + 1) : append(paths, text);
    }
    if (!ok) {
        std::free(paths.items);
        std::free(excludes.items);
        return nullptr;
    }
    paths.items[paths.count] = nullptr;
    excludes.items[excludes.count] = nullptr;
    *list = {paths.items, excludes.items, paths.capacity, excludes.capacity};
    return list;
}

void free_watch_list(watch_list* list) {
    std::free(list->paths);
    std::free(list->excludes);
    list->paths = list->excludes = nullptr;
}

}  // namespace watcher
