// Locating the directory that holds the running updater.
#include "app_directory.h"

#include <unistd.h>

namespace updater {

std::string find_application_directory() {
    // Not "/proc/<getpid()>/exe": under a /proc of another pid namespace (a container or chroot
    // with the host's /proc) that number names another process, and its directory's update
    // would be applied. "self" is always the reader itself.
    const std::string link = "/proc/self/exe";
    // Read into a buffer that grows until the whole target fits: a cut target would name a
    // directory above the application's own, and the run would apply whatever update lies there.
    std::string target(2048, '\0');
    for (;;) {
        const ssize_t n = readlink(link.c_str(), &target[0], target.size());
        if (n < 0) return "";
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            const std::string directory = strip_last_component(target);
            return directory.empty() ? "/" : directory;
        }
        target.resize(target.size() * 2);
    }
}

std::string strip_last_component(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    return path.substr(0, slash);
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace updater
