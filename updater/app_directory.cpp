// Locating the directory that holds the running updater.
#include "app_directory.h"

#include <unistd.h>

namespace updater {

std::string find_application_directory() {
    const std::string link = "/proc/" + std::to_string(getpid()) + "/exe";
    char target[2048];
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    if (n < 0) return "";
    return strip_last_component(std::string(target, static_cast<size_t>(n)));
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
