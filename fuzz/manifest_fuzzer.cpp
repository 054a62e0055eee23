// Feeds arbitrary bytes to the manifest reader as the content of a manifest file.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_file.h"
#include "manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static fuzz_file manifest("manifest");
    manifest.set(data, size);
    std::vector<std::string> files{"kept"};
    const bool loaded = updater::read_manifest(manifest.path, files);
    // A refused manifest appends nothing; the caller's entries always stay first.
    if ((!loaded && files.size() != 1) || files.front() != "kept") __builtin_trap();
    return 0;
}
