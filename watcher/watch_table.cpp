#include "watch_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <inotifytools/inotifytools.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "directory_listing.h"
#include "event_rules.h"

namespace watcher {
namespace {

struct table_counts {
    int highest_wd;  // the highest descriptor handed out by this instance
    int live;        // records of watches the kernel still holds
    int duplicates;  // second records of a watch, moved out of the way
    unsigned retired;
};
table_counts counts;

// Rebuilding a small table often would cost more than the records it frees.
constexpr int kMinimumLeftBehind = 512;

std::string with_slash(const char* path) {
    std::string text = path;
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

enum class watch_result { failed, watched, watched_elsewhere };

// Watches `directory` (ending in "/") unless a record is held under its path already. Below the
// top, a name that is no longer a directory, or has become a symlink, is refused by the kernel.
watch_result watch_one(const std::string& directory, bool top) {
    if (inotifytools_wd_from_filename(directory.c_str()) >= 0) return watch_result::watched;
    const int mask = top ? kEventMask : kEventMask | IN_ONLYDIR | IN_DONT_FOLLOW;
    if (!inotifytools_watch_file(directory.c_str(), mask)) return watch_result::failed;
    const int wd = inotifytools_wd_from_filename(directory.c_str());
    const char* held = inotifytools_filename_from_wd(wd);
    if (held != nullptr && directory != held) {
        // The kernel watches this directory already, under the path it had before a move whose
        // events are still queued; they will move its records, in their turn. Renaming them now
        // would give the events before that move paths they didn't have (a false notice).
        // libinotifytools has filed a second record of the same watch under the new path: left
        // there, it would take the renames meant for the first, so it goes out of the way.
        const std::string duplicate = kRetiredPrefix + std::to_string(++counts.retired) + "/";
        inotifytools_replace_filename(directory.c_str(), duplicate.c_str());
        ++counts.duplicates;
        return watch_result::watched_elsewhere;
    }
    counts.highest_wd = std::max(counts.highest_wd, wd);
    ++counts.live;
    return watch_result::watched;
}

bool is_directory_entry(int dir_fd, const char* name, unsigned char type) {
    if (type != DT_UNKNOWN) return type == DT_DIR;
    struct stat status;
    return fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
}

// Appends the sub-directories of `directory` (ending in "/") to `found`, each ending in "/";
// none when it can't be listed (it may have gone already). Below the top, a name that has
// become a symlink is not followed.
void list_sub_directories(const std::string& directory, bool top, std::vector<std::string>& found) {
    const int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (top ? 0 : O_NOFOLLOW);
    const int fd = open(directory.c_str(), flags);
    if (fd < 0) return;
    list_directory(fd, [&](const char* name, unsigned char type) {
        if (is_directory_entry(fd, name, type)) found.push_back(directory + name + "/");
    });
    close(fd);
}

bool can_be_left_out(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == ELOOP ||
           error == ENAMETOOLONG;
}

struct record {
    int wd;
    std::string path;
};

// The records held under `prefix` (ending in "/"), the deepest first. Scanning the descriptors
// costs one lookup for each watch made since the table was built, which rebuild_due() bounds.
std::vector<record> records_below(const std::string& prefix) {
    std::vector<record> found;
    for (int wd = 1; wd <= counts.highest_wd; ++wd) {
        const char* path = inotifytools_filename_from_wd(wd);
        if (path != nullptr && std::strncmp(path, prefix.c_str(), prefix.size()) == 0)
            found.push_back({wd, path});
    }
    std::sort(found.begin(), found.end(),
              [](const record& a, const record& b) { return a.path.size() > b.path.size(); });
    return found;
}

void retire_records(const std::vector<record>& records) {
    for (const record& each : records) {
        const std::string name = kRetiredPrefix + std::to_string(++counts.retired) + "/";
        inotifytools_replace_filename(each.path.c_str(), name.c_str());
    }
}

}  // namespace

bool start_watch_table() {
    counts = {};
    return inotifytools_initialize() != 0;
}

bool watch_tree(const char* directory) {
    std::vector<std::string> pending{with_slash(directory)};
    bool top = true;
    while (!pending.empty()) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        const watch_result result = watch_one(path, top);
        if (result == watch_result::failed) {
            if (top || !can_be_left_out(inotifytools_error())) return false;
            continue;
        }
        // A directory watched elsewhere is listed when its queued move is handled.
        if (result == watch_result::watched) list_sub_directories(path, top, pending);
        top = false;
    }
    return true;
}

// The library's prefix rename walks its tree and re-keys each record it matches. Given a
// record's exact path, after everything below it has moved away, it matches that record alone,
// which it then re-keys safely; more than one match makes the walk skip records.
void rename_tree(const char* from, const char* to) {
    for (const record& each : records_below(from)) {
        const std::string renamed = to + each.path.substr(std::strlen(from));
        inotifytools_replace_filename(each.path.c_str(), renamed.c_str());
    }
}

bool unwatch_tree(const char* directory) {
    const std::vector<record> records = records_below(directory);
    bool held = false;
    for (const record& each : records) {
        held = held || each.path == directory;
        // A watch the kernel has dropped already (the directory was deleted out there) can only
        // be retired.
        if (!inotifytools_remove_watch_by_wd(each.wd)) retire_records({each});
    }
    counts.live -= static_cast<int>(records.size());
    return held;
}

void retire_tree(const char* directory) {
    const std::vector<record> records = records_below(directory);
    retire_records(records);
    counts.live -= static_cast<int>(records.size());
}

bool rebuild_due() {
    const int left_behind = counts.highest_wd - counts.live + counts.duplicates;
    return left_behind > std::max(counts.live, kMinimumLeftBehind);
}

bool rebuild_watch_table(const char* folder) {
    inotifytools_cleanup();
    return start_watch_table() && watch_tree(folder);
}

}  // namespace watcher
