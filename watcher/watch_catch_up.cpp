// Closing the gap libinotifytools' recursive watch leaves.
#include "watch_catch_up.h"

#include <dirent.h>
#include <inotifytools/inotifytools.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace watcher {
namespace {

bool is_directory_entry(const std::string& parent, const dirent& entry) {
    if (entry.d_type != DT_UNKNOWN) return entry.d_type == DT_DIR;
    struct stat status;
    return lstat((parent + entry.d_name).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The sub-directories of `directory` (ending in "/"), each ending in "/"; none when it can't be
// listed (it may have gone already).
std::vector<std::string> sub_directories(const std::string& directory) {
    std::vector<std::string> found;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return found;
    while (const dirent* entry = readdir(listing)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (is_directory_entry(directory, *entry)) found.push_back(directory + entry->d_name + "/");
    }
    closedir(listing);
    return found;
}

}  // namespace

bool watch_unwatched_below(const char* directory, int mask) {
    // Depth first, and each directory is watched before it is listed: anything made in it after
    // the listing raises an event, anything made before is in the listing.
    std::string top = directory;
    if (top.empty() || top.back() != '/') top += '/';
    std::vector<std::string> pending = sub_directories(top);
    while (!pending.empty()) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        if (inotifytools_wd_from_filename(path.c_str()) < 0 &&
            !inotifytools_watch_file(path.c_str(), mask)) {
            // Deleted meanwhile (its event follows), or not readable: the recursive watch of
            // libinotifytools leaves such a directory out too, and so does the catch-up.
            const int error = inotifytools_error();
            if (error == ENOENT || error == EACCES) continue;
            return false;
        }
        for (std::string& below : sub_directories(path)) pending.push_back(std::move(below));
    }
    return true;
}

}  // namespace watcher
