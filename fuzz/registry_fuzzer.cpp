// Feeds arbitrary bytes to the monitored-folder discovery as the package registry.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "discovery.h"
#include "fuzz_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_file registry("registry");
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    registry.set(data, size);

    char install_path[16] = {};
    if (watcher::read_package_path(install_path, registry.path.c_str()) != 0) __builtin_trap();
    // Exactly 13 characters are ever copied: the rest of the buffer stays zero.
    if (install_path[13] || install_path[14] || install_path[15]) __builtin_trap();

    char folder[256] = {};
    watcher::read_monitor_folder(folder, registry.path.c_str());
    if (std::memchr(folder, '\0', sizeof folder) == nullptr) __builtin_trap();
    return 0;
}
