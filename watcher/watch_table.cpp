#include "watch_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <inotifytools/inotifytools.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "directory_listing.h"
#include "directory_walk.h"
#include "event_rules.h"
#include "folder_trust.h"
#include "kernel_watches.h"
#include "messages.h"
#include "report_lines.h"

namespace watcher {
namespace {

// The inotify instance that libinotifytools reads events from. The table sets and removes its
// watches itself, on descriptors: libinotifytools takes only names.
int inotify_fd = -1;
int last_error = 0;  // of the last watch that failed
// The monitored folder, when the table was started for one: paths below `root_path` are opened
// from it, never through a name above it.
const trusted_folder* root = nullptr;
std::string root_path;

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

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Opens `relative` below the directory `top` with open_beneath, and closes `top`.
int open_from(int top, const std::string& relative, int flags) {
    if (top < 0) return -1;
    const int fd = open_beneath(top, relative, flags);
    const int error = errno;
    close(top);
    errno = error;
    return fd;
}

// Opens the directory at `path` with `flags` (O_DIRECTORY added), following no symlink on the
// way: from the monitored folder for a path below it, else from "/". Returns -1 with errno set
// when no directory lies there.
int open_directory_at(const std::string& path, int flags) {
    flags |= O_DIRECTORY;
    if (root != nullptr && starts_with(path, root_path))
        return open_from(open_trusted_folder(*root), path.substr(root_path.size()), flags);
    if (path.empty() || path[0] != '/') {
        errno = EINVAL;
        return -1;
    }
    return open_from(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), path.substr(1), flags);
}

// The handle of the directory at `path` (no symlink followed); "" when none is there.
std::string handle_at(const std::string& path) {
    const int fd = open_directory_at(path, O_PATH);
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

enum class watch_result { failed, watched, watched_elsewhere };

// Watches the open directory `fd`, named `directory` (ending in "/"), unless a record is held
// under its path already. The watch is set through the descriptor's /proc/self/fd name, which the
// kernel resolves to the open directory itself, never to whatever bears its name by now (a
// symlink swapped in, which a trailing "/" would have the kernel follow whatever the flags say).
watch_result watch_one(int fd, const std::string& directory) {
    if (wd_by_path.count(directory) != 0) return watch_result::watched;
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    const int wd = inotify_add_watch(inotify_fd, name, kEventMask | IN_ONLYDIR);
    if (wd < 0) {
        last_error = errno;
        return watch_result::failed;
    }
    if (records.count(wd) != 0) {
        // The kernel watches this directory already, under the path it had before a move whose
        // events are still queued; they will move its records, in their turn. Moving them now
        // would give the events before that move paths they didn't have (a false notice).
        struct stat status;
        if (fstat(fd, &status) == 0) sightings[wd] = {directory, status.st_dev, status.st_ino};
        return watch_result::watched_elsewhere;
    }
    place_record(wd, directory);
    remember_handle(wd, handle_of(fd));
    return watch_result::watched;
}

bool is_directory_entry(int dir_fd, const char* name, unsigned char type) {
    if (type != DT_UNKNOWN) return type == DT_DIR;
    struct stat status;
    return fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode);
}

// Lists the sub-directories of the walk's deepest level, to be entered next.
void list_sub_directories(directory_walk& w) {
    walk_level& level = w.levels.back();
    list_directory(level.fd, [&](const char* name, unsigned char type) {
        if (is_directory_entry(level.fd, name, type)) level.sub_directories.emplace_back(name);
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
    std::printf(kWatchLimitFormat, shortened_path(directory).c_str());
}

// Starts a pass that tries to watch every directory it meets; ends it, telling whether any
// lacked a watch.
void begin_pass() { watches_lacked = false; }
void end_pass() {
    if (!watches_lacked) short_of_watches = false;
}

// Watches the walk's deepest level and lists it. Returns false when the walk must stop.
bool watch_level(directory_walk& w, bool top) {
    // The table keeps a whole path a record: a chain deeper than a path may be long would cost
    // memory as the square of its depth. Left out with what lies below it, as a path-based walk
    // would leave it (ENAMETOOLONG); the reset still reaches it.
    if (w.path.size() >= PATH_MAX) return !top;
    const watch_result result = watch_one(w.levels.back().fd, w.path);
    if (result == watch_result::failed) {
        // Out of watches (a user can make directories until they run out): with the folder
        // watched, what could be watched is kept, and the tree is still reset at each event.
        if (last_error == ENOSPC && !records.empty()) {
            report_watch_shortage(w.path);
            return true;
        }
        return !top && can_be_left_out(last_error);
    }
    // A directory watched elsewhere is listed when its queued move is handled.
    if (result == watch_result::watched) list_sub_directories(w);
    return true;
}

// Walks the tree below the open directory `fd`, named `directory`, calling `visit` with the walk
// at each directory (the top first, told by its second argument). Returns false as soon as
// `visit` does. A directory that can't be entered is left out with what lies below it; a walk
// that loses its way (the tree moved under it: its events follow) ends there.
template <typename Visit>
bool walk_tree(int fd, const std::string& directory, Visit visit) {
    directory_walk w;
    if (!start_walk(w, fd, directory)) return false;
    bool going = visit(w, true);
    while (going) {
        const walk_step step = next_directory(w);
        if (step == walk_step::entered) {
            going = visit(w, false);
        } else if (step != walk_step::not_entered) {
            break;
        }
    }
    end_walk(w);
    return going;
}

// Watches `directory` (ending in "/") and everything below it, as watch_tree does.
bool watch_from(const std::string& directory) {
    const int fd = open_directory_at(directory, O_RDONLY);
    if (fd < 0) {
        last_error = errno;
        return false;
    }
    const bool watched = walk_tree(fd, directory, watch_level);
    close(fd);
    return watched;
}

// Walks the tree below `folder` and puts each directory watched by the kernel (`watched_as`, by
// file handle) on its path in `true_path`, each other one in `unwatched`. Returns false when
// `folder` can't be opened, or a directory's handle can't be read (EOPNOTSUPP).
bool find_true_paths(const char* folder, const std::unordered_map<std::string, int>& watched_as,
                     std::unordered_map<int, std::string>& true_path,
                     std::vector<std::string>& unwatched) {
    const int fd = open_directory_at(with_slash(folder), O_RDONLY);
    if (fd < 0) return false;
    const bool found = walk_tree(fd, with_slash(folder), [&](directory_walk& w, bool) {
        const std::string handle = handle_of(w.levels.back().fd);
        if (handle.empty()) {
            errno = EOPNOTSUPP;
            return false;
        }
        const auto watch = watched_as.find(handle);
        if (watch != watched_as.end()) {
            true_path[watch->second] = w.path;
        } else {
            unwatched.push_back(w.path);
        }
        list_sub_directories(w);
        return true;
    });
    close(fd);
    return found;
}

// Removes the kernel's watch `wd`. One the kernel has dropped already (its directory deleted)
// is gone: nothing to say.
void remove_watch(int wd) { inotify_rm_watch(inotify_fd, wd); }

}  // namespace

bool start_watch_table(const char* folder, const trusted_folder* trusted) {
    root = folder != nullptr ? trusted : nullptr;
    if (root != nullptr) root_path = with_slash(folder);
    wd_by_path.clear();
    records.clear();
    wd_by_handle.clear();
    sightings.clear();
    if (inotifytools_initialize() == 0) {
        last_error = inotifytools_error();
        return false;
    }
    inotify_fd = find_inotify_descriptor();
    last_error = errno;
    return inotify_fd >= 0;
}

int watch_error() { return last_error; }

const char* watch_path(int wd) {
    const auto held = records.find(wd);
    return held == records.end() ? "" : held->second.at->first.c_str();
}

int open_watched_directory(int wd) {
    const auto held = records.find(wd);
    if (held == records.end()) return -1;
    const int fd = open_directory_at(held->second.at->first, O_RDONLY);
    if (fd >= 0 && !held->second.handle.empty() && handle_of(fd) != held->second.handle) {
        close(fd);  // another directory: this one's move is still queued
        return -1;
    }
    return fd;
}

int watch_at(const char* directory) {
    const auto held = wd_by_path.find(directory);
    return held == wd_by_path.end() ? -1 : held->second;
}

bool watch_tree(const char* directory) { return watch_from(with_slash(directory)); }

std::string relocate_tree(const char* directory) {
    const auto seen = sightings.find(watch_at(directory));
    if (seen == sightings.end()) return "";
    const sighting where = std::move(seen->second);
    sightings.erase(seen);
    const int fd = open_directory_at(where.path, O_PATH);
    struct stat status;
    const bool there = fd >= 0 && fstat(fd, &status) == 0 && status.st_dev == where.device &&
                       status.st_ino == where.inode;
    if (fd >= 0) close(fd);
    if (!there) return "";
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
        if (alive.count(each.wd) != 0) remove_watch(each.wd);
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
        if (watch_at(path.c_str()) < 0 && !watch_from(path)) return false;
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
        remove_watch(each.wd);
    }
    return held;
}

void retire_tree(const char* directory) {
    for (const record& each : records_below(directory)) drop_record(each);
}

bool rebuild_watch_table(const char* folder) {
    inotifytools_cleanup();
    if (!start_watch_table(root != nullptr ? root_path.c_str() : nullptr, root)) return false;
    begin_pass();
    if (!watch_tree(folder)) return false;
    end_pass();
    return true;
}

}  // namespace watcher
