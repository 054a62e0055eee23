#include "watch_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <inotifytools/inotifytools.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "directory_listing.h"
#include "event_rules.h"
#include "kernel_watches.h"
#include "messages.h"

namespace watcher {
namespace {

struct table_counts {
    // libinotifytools' records that only a new instance frees: those of watches the kernel has
    // dropped (deleted directories), and second records of a watch it held already.
    int left_behind;
    unsigned retired;
};
table_counts counts;

// A rebuild loses the events that come while the new watches are set, so it waits until the
// records left behind are many (some 300 bytes each).
constexpr int kMinimumLeftBehind = 2048;

// The table: the watch at each path, in path order so that the records below a directory lie
// together; and for each watch, its path there and the kernel's file handle of its directory
// ("" when unknown), which tells which directory it stands for whatever path it has.
std::map<std::string, int> wd_by_path;
struct watch_record {
    std::map<std::string, int>::iterator at;
    std::string handle;
};
std::unordered_map<int, watch_record> records;
std::unordered_map<std::string, int> wd_by_handle;

// Where a walk met a directory that the kernel watches under another path. Should the move that
// took it there never be seen whole (it went into a directory whose watch came after it), this
// is where it went.
struct sighting {
    std::string path;
    dev_t device;
    ino_t inode;
};
std::unordered_map<int, sighting> sightings;  // by descriptor

// Where the records of a directory wait when another directory moves onto their path (an
// exchange of two directories, whose second half brings them back), until a move names them.
constexpr char kParkedPrefix[] = "(parked)/";
// Where libinotifytools' own entry for a path goes when a new watch needs that path.
constexpr char kRetiredPrefix[] = "(retired)/";

void forget_handle(int wd, watch_record& record) {
    const auto back = wd_by_handle.find(record.handle);
    if (back != wd_by_handle.end() && back->second == wd) wd_by_handle.erase(back);
    record.handle.clear();
}

// For a watch with a record.
void remember_handle(int wd, const std::string& handle) {
    watch_record& record = records[wd];
    forget_handle(wd, record);
    if (handle.empty()) return;
    record.handle = handle;
    wd_by_handle[handle] = wd;
}

// The handle of the directory at `path` (a final symlink not followed); "" when none is there.
std::string handle_at(const std::string& path) {
    const int fd = open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return "";
    const std::string handle = handle_of(fd);
    close(fd);
    return handle;
}

std::string with_slash(const char* path) {
    std::string text = path;
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

struct record {
    int wd;
    std::string path;
};

// The records held under `prefix` (ending in "/"), in path order: each one's sub-records follow
// it.
std::vector<record> records_below(const std::string& prefix) {
    std::vector<record> found;
    for (auto it = wd_by_path.lower_bound(prefix);
         it != wd_by_path.end() && starts_with(it->first, prefix); ++it)
        found.push_back({it->second, it->first});
    return found;
}

// Files watch `wd` under `path`, which no other record holds.
void place_record(int wd, const std::string& path) {
    records[wd].at = wd_by_path.insert_or_assign(path, wd).first;
}

void drop_record(const record& each) {
    wd_by_path.erase(each.path);
    forget_handle(each.wd, records[each.wd]);
    records.erase(each.wd);
}

// Parks the records below `prefix`: each one that no other lies above goes to
// "(parked)/<its descriptor>/", with those below it.
void park_below(const std::string& prefix) {
    std::string group_from, group_to;
    for (const record& each : records_below(prefix)) {
        if (group_from.empty() || !starts_with(each.path, group_from)) {
            group_from = each.path;
            group_to = kParkedPrefix + std::to_string(each.wd) + "/";
        }
        wd_by_path.erase(each.path);
        place_record(each.wd, group_to + each.path.substr(group_from.size()));
    }
}

// libinotifytools files each watch under the path it was set with, and a new watch's descriptor
// is found there. The table's records move on without it (a rename there walks its whole index),
// so its entry under a path the table has left (a directory moved away or deleted) is moved out
// of the way before a new watch takes that path: one walk, only when a path is watched again.
void free_library_name(const std::string& directory) {
    while (inotifytools_wd_from_filename(directory.c_str()) >= 0) {
        const std::string name = kRetiredPrefix + std::to_string(++counts.retired) + "/";
        inotifytools_replace_filename(directory.c_str(), name.c_str());
    }
}

enum class watch_result { failed, watched, watched_elsewhere };

// Watches `directory` (ending in "/") unless a record is held under its path already. Below the
// top, a name that is no longer a directory, or has become a symlink, is refused by the kernel.
watch_result watch_one(const std::string& directory, bool top) {
    if (wd_by_path.count(directory) != 0) return watch_result::watched;
    free_library_name(directory);
    const int mask = top ? kEventMask : kEventMask | IN_ONLYDIR | IN_DONT_FOLLOW;
    if (!inotifytools_watch_file(directory.c_str(), mask)) return watch_result::failed;
    const int wd = inotifytools_wd_from_filename(directory.c_str());
    if (wd < 0) return watch_result::failed;  // libinotifytools ran out of memory
    if (records.count(wd) != 0) {
        // The kernel watches this directory already, under the path it had before a move whose
        // events are still queued; they will move its records, in their turn. Moving them now
        // would give the events before that move paths they didn't have (a false notice).
        ++counts.left_behind;
        struct stat status;
        if (lstat(directory.c_str(), &status) == 0)
            sightings[wd] = {directory, status.st_dev, status.st_ino};
        return watch_result::watched_elsewhere;
    }
    place_record(wd, directory);
    remember_handle(wd, handle_at(directory));
    return watch_result::watched;
}

bool is_directory_entry(int dir_fd, const char* name, unsigned char type) {
    if (type != DT_UNKNOWN) return type == DT_DIR;
    struct stat status;
    return fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
}

// Opens `directory` for listing. Below the top, a name that has become a symlink is not followed.
int open_directory(const std::string& directory, bool top) {
    return open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (top ? 0 : O_NOFOLLOW));
}

// Appends the sub-directories of the open directory `fd`, named `directory` (ending in "/"), to
// `found`, each ending in "/".
void list_sub_directories(int fd, const std::string& directory, std::vector<std::string>& found) {
    list_directory(fd, [&](const char* name, unsigned char type) {
        if (is_directory_entry(fd, name, type)) found.push_back(directory + name + "/");
    });
}

bool can_be_left_out(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == ELOOP ||
           error == ENAMETOOLONG;
}

// Set once the shortage of watches has been reported; cleared by a pass that lacked none.
bool short_of_watches = false;
bool watches_lacked = false;  // in the current pass

void report_watch_shortage(const std::string& directory) {
    watches_lacked = true;
    if (short_of_watches) return;
    short_of_watches = true;
    std::printf(kWatchLimitFormat, directory.c_str());
}

// Starts a pass that tries to watch every directory it meets; ends it, telling whether any
// lacked a watch.
void begin_pass() { watches_lacked = false; }
void end_pass() {
    if (!watches_lacked) short_of_watches = false;
}

// Watches `directory` (ending in "/") and everything below it, as watch_tree does; `top` tells
// whether it is the top of such a walk, which may be reached through a symlink.
bool watch_from(const std::string& directory, bool top) {
    std::vector<std::string> pending;
    pending.push_back(directory);
    while (!pending.empty()) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        const watch_result result = watch_one(path, top);
        if (result == watch_result::failed) {
            const int error = inotifytools_error();
            // Out of watches (a user can make directories until they run out): with the folder
            // watched, what could be watched is kept, and the tree is still reset at each event.
            if (error == ENOSPC && !records.empty()) {
                report_watch_shortage(path);
                continue;
            }
            if (top || !can_be_left_out(error)) return false;
            continue;
        }
        // A directory watched elsewhere is listed when its queued move is handled.
        const int fd = result == watch_result::watched ? open_directory(path, top) : -1;
        if (fd >= 0) {
            list_sub_directories(fd, path, pending);
            close(fd);
        }
        top = false;
    }
    return true;
}

// Walks the tree below `folder` and puts each directory watched by the kernel (`watched_as`, by
// file handle) on its path in `true_path`, each other one in `unwatched`. Returns false when
// `folder` can't be opened, or a directory's handle can't be read (EOPNOTSUPP).
bool find_true_paths(const char* folder, const std::unordered_map<std::string, int>& watched_as,
                     std::unordered_map<int, std::string>& true_path,
                     std::vector<std::string>& unwatched) {
    std::vector<std::string> pending;
    pending.push_back(with_slash(folder));
    for (bool top = true; !pending.empty(); top = false) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        const int fd = open_directory(path, top);
        if (fd < 0) {
            if (top) return false;
            continue;
        }
        const std::string handle = handle_of(fd);
        if (handle.empty()) {
            close(fd);
            errno = EOPNOTSUPP;
            return false;
        }
        const auto watch = watched_as.find(handle);
        if (watch != watched_as.end()) {
            true_path[watch->second] = path;
        } else {
            unwatched.push_back(path);
        }
        list_sub_directories(fd, path, pending);
        close(fd);
    }
    return true;
}

}  // namespace

bool start_watch_table() {
    counts = {};
    wd_by_path.clear();
    records.clear();
    wd_by_handle.clear();
    sightings.clear();
    return inotifytools_initialize() != 0;
}

const char* watch_path(int wd) {
    const auto held = records.find(wd);
    return held == records.end() ? "" : held->second.at->first.c_str();
}

int watch_at(const char* directory) {
    const auto held = wd_by_path.find(directory);
    return held == wd_by_path.end() ? -1 : held->second;
}

bool watch_tree(const char* directory) { return watch_from(with_slash(directory), true); }

std::string relocate_tree(const char* directory) {
    const auto seen = sightings.find(watch_at(directory));
    if (seen == sightings.end()) return "";
    const sighting where = std::move(seen->second);
    sightings.erase(seen);
    struct stat status;
    if (lstat(where.path.c_str(), &status) != 0 || status.st_dev != where.device ||
        status.st_ino != where.inode)
        return "";
    rename_tree(directory, where.path.c_str());
    return where.path;
}

bool resync_watch_table(const char* folder) {
    std::vector<kernel_watch> kernel;
    if (!read_kernel_watches(kernel)) return false;
    // By the kernel's file handle: device and inode numbers repeat across btrfs sub-volumes,
    // whose directories then all look gone. Without handles the table can't be matched at all.
    std::unordered_map<std::string, int> watched_as;
    std::unordered_set<int> alive;
    for (const kernel_watch& each : kernel) {
        if (each.handle.empty()) {
            errno = EOPNOTSUPP;
            return false;
        }
        watched_as[each.handle] = each.wd;
        alive.insert(each.wd);
    }
    std::unordered_map<int, std::string> true_path;
    std::vector<std::string> unwatched;
    if (!find_true_paths(folder, watched_as, true_path, unwatched)) return false;
    // One pass over the table. The records of directories that left the tree go, with their
    // watches; then the others off their true path are all taken out of the path index before
    // any is put back, so that none lands on a path another still holds.
    std::vector<record> moving;
    for (const auto& [path, wd] : wd_by_path) {
        const auto place = true_path.find(wd);
        if (place == true_path.end() || place->second != path) moving.push_back({wd, path});
    }
    for (const record& each : moving) {
        if (true_path.count(each.wd) != 0) continue;
        drop_record(each);
        if (alive.count(each.wd) == 0 || !inotifytools_remove_watch_by_wd(each.wd))
            ++counts.left_behind;
    }
    for (const record& each : moving) {
        if (true_path.count(each.wd) != 0) wd_by_path.erase(each.path);
    }
    for (const record& each : moving) {
        const auto place = true_path.find(each.wd);
        if (place != true_path.end()) place_record(each.wd, place->second);
    }
    sightings.clear();
    for (auto& each : records) each.second.handle.clear();
    wd_by_handle.clear();
    for (const kernel_watch& each : kernel) {
        if (true_path.count(each.wd) != 0) remember_handle(each.wd, each.handle);
    }
    begin_pass();
    for (const std::string& path : unwatched) {
        if (watch_at(path.c_str()) < 0 && !watch_from(path, false)) return false;
    }
    end_pass();
    return true;
}

void rename_tree(const char* from, const char* to) {
    const std::vector<record> moving = records_below(from);
    if (moving.empty() || std::strcmp(from, to) == 0) return;
    for (const record& each : moving) wd_by_path.erase(each.path);
    park_below(to);
    const std::size_t from_length = std::strlen(from);
    for (const record& each : moving) place_record(each.wd, to + each.path.substr(from_length));
}

void follow_move(const char* from, const char* to) {
    const std::string handle = handle_at(to);
    if (handle.empty()) {
        // Gone again, or moved on: by path, as the events still to come expect.
        rename_tree(from, to);
        return;
    }
    const auto watch = wd_by_handle.find(handle);
    if (watch == wd_by_handle.end()) return;  // not watched: the caller watches it
    const auto held = records.find(watch->second);
    if (held == records.end() || held->second.at->first == to) return;
    const std::string now_at = held->second.at->first;
    rename_tree(now_at.c_str(), to);
}

bool unwatch_tree(const char* directory) {
    bool held = false;
    for (const record& each : records_below(directory)) {
        held = held || each.path == directory;
        drop_record(each);
        // A watch the kernel has dropped already (the directory was deleted out there) stays
        // in libinotifytools' index until the table is rebuilt.
        if (!inotifytools_remove_watch_by_wd(each.wd)) ++counts.left_behind;
    }
    return held;
}

void retire_tree(const char* directory) {
    for (const record& each : records_below(directory)) {
        drop_record(each);
        ++counts.left_behind;
    }
}

bool rebuild_due() {
    return counts.left_behind > std::max(static_cast<int>(records.size()), kMinimumLeftBehind);
}

bool rebuild_watch_table(const char* folder) {
    inotifytools_cleanup();
    if (!start_watch_table()) return false;
    begin_pass();
    if (!watch_tree(folder)) return false;
    end_pass();
    return true;
}

}  // namespace watcher
