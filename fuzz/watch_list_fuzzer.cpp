// Feeds arbitrary argument vectors (NUL-separated texts) to the watch-list builder.
#include <cstdint>
#include <string>
#include <vector>

#include "watch_list.h"

namespace {

// Returns the number of entries before the closing null, trapping if it is missing.
size_t checked_count(const char* const* array, size_t capacity) {
    for (size_t i = 0; i < capacity; ++i)
        if (array[i] == nullptr) return i;
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> texts(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            texts.emplace_back();
        } else {
            texts.back() += static_cast<char>(data[i]);
        }
    }
    std::vector<const char*> argv;
    for (const auto& t : texts) argv.push_back(t.c_str());

    watcher::watch_list list;
    if (watcher::build_watch_list(&list, static_cast<int>(argv.size()), argv.data()) == nullptr)
        return 0;
    const size_t paths = checked_count(list.paths, list.paths_capacity);
    const size_t excludes = checked_count(list.excludes, list.excludes_capacity);
    size_t expected_paths = 0, expected_excludes = 0;
    for (const auto& t : texts) {
        if (t.empty() || t == "@") continue;
        (t[0] == '@' ? expected_excludes : expected_paths)++;
    }
    if (paths != expected_paths || excludes != expected_excludes) __builtin_trap();
    watcher::free_watch_list(&list);
    return 0;
}
