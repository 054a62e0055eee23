// Feeds arbitrary bytes to the monitored-folder discovery as aMule's configuration file, found
// through a registry that names a real 13-character install directory.
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "discovery.h"

namespace {

struct layout {
    std::string registry;
    std::string config;
};

layout make_layout() {
    char install[] = "/tmp/qfXXXXXX";  // 13 characters, as the registry's field wants
    if (mkdtemp(install) == nullptr) std::abort();
    std::string dir = install;
    for (const char* part : {"/Nas_Prog", "/aMule", "/.aMule"}) {
        dir += part;
        mkdir(dir.c_str(), 0700);
    }
    layout l{std::string(install) + "/apkg.xml", dir + "/amule.conf"};
    std::ofstream(l.registry) << "<name>aMule</name><path>" << install << "</path>\n";
    return l;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const layout files = make_layout();
    static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
    (void)quiet;
    std::ofstream(files.config, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    char folder[256] = {};
    if (watcher::read_monitor_folder(folder, files.registry.c_str()) != 0) __builtin_trap();
    if (std::memchr(folder, '\0', sizeof folder) == nullptr) __builtin_trap();
    return 0;
}
