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
    int highest_wd;  // the highest descriptor handed out by this instance
    int live;        // records of watches the kernel still holds
    int duplicates;  // second records of a watch, moved out of the way
    unsigned retired;
};
table_counts counts;

// Rebuilding a small table often would cost more than the records it frees.
constexpr int kMinimumLeftBehind = 512;

// Where a walk met a directory that the kernel watches under another path. Should the move that
// took it there never be seen whole (it went into a directory whose watch came after it), this
// is where it went.
struct sighting {
    std::string path;
    dev_t device;
    ino_t inode;
};
std::unordered_map<int, sighting> sightings;  // by descriptor

// Where records wait while a resync moves them, so that none is renamed onto another's path.
constexpr char kMovingPrefix[] = "(moving)/";
// Where the records of a directory wait when another directory moves onto their path (an
// exchange of two directories, whose second half brings them back), until a move names them.
constexpr char kParkedPrefix[] = "(parked)/";

// The kernel's file handle of each live watch, and the watch of each handle: which directory a
// record stands for, whatever path it has.
std::unordered_map<int, std::string> handle_by_wd;
std::unordered_map<std::string, int> wd_by_handle;

void forget_handle(int wd) {
    const auto known = handle_by_wd.find(wd);
    if (known == handle_by_wd.end()) return;
    const auto back = wd_by_handle.find(known->second);
    if (back != wd_by_handle.end() && back->second == wd) wd_by_handle.erase(back);
    handle_by_wd.erase(known);
}

void remember_handle(int wd, const std::string& handle) {
    forget_handle(wd);
    if (handle.empty()) return;
    handle_by_wd[wd] = handle;
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
        struct stat status;
        if (lstat(directory.c_str(), &status) == 0)
            sightings[wd] = {directory, status.st_dev, status.st_ino};
        return watch_result::watched_elsewhere;
    }
    counts.highest_wd = std::max(counts.highest_wd, wd);
    ++counts.live;
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
        forget_handle(each.wd);
        const std::string name = kRetiredPrefix + std::to_string(++counts.retired) + "/";
        inotifytools_replace_filename(each.path.c_str(), name.c_str());
    }
}

// Watches `directory` (ending in "/") and everything below it, as watch_tree does; `top` tells
// whether it is the top of such a walk, which may be reached through a symlink.
bool watch_from(const std::string& directory, bool top) {
    std::vector<std::string> pending{directory};
    while (!pending.empty()) {
        const std::string path = std::move(pending.back());
        pending.pop_back();
        const watch_result result = watch_one(path, top);
        if (result == watch_result::failed) {
            const int error = inotifytools_error();
            // Out of watches (a user can make directories until they run out): with the folder
            // watched, what could be watched is kept, and the tree is still reset at each event.
            if (error == ENOSPC && counts.live > 0) {
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

// Rebuilds `records` in two steps, each record renamed on its own by its exact path: first out
// of the way, the deepest first (so none drags another along), then to its place. A record
// whose `to` is empty has left the tree: its watch is removed, or retired once the kernel has
// dropped it.
void move_records(std::vector<record> records, const std::unordered_map<int, std::string>& to,
                  const std::unordered_set<int>& alive) {
    std::sort(records.begin(), records.end(),
              [](const record& a, const record& b) { return a.path.size() > b.path.size(); });
    for (const record& each : records) {
        inotifytools_replace_filename(each.path.c_str(),
                                      (kMovingPrefix + std::to_string(each.wd) + "/").c_str());
    }
    for (const record& each : records) {
        const std::string moving = kMovingPrefix + std::to_string(each.wd) + "/";
        const auto place = to.find(each.wd);
        if (place != to.end()) {
            inotifytools_replace_filename(moving.c_str(), place->second.c_str());
            continue;
        }
        --counts.live;
        forget_handle(each.wd);
        if (alive.count(each.wd) == 0 || !inotifytools_remove_watch_by_wd(each.wd)) {
            const std::string name = kRetiredPrefix + std::to_string(++counts.retired) + "/";
            inotifytools_replace_filename(moving.c_str(), name.c_str());
        }
    }
}

// Walks the tree below `folder` and puts each directory watched by the kernel (`watched_as`, by
// file handle) on its path in `true_path`, each other one in `unwatched`. Returns false when
// `folder` can't be opened, or a directory's handle can't be read (EOPNOTSUPP).
bool find_true_paths(const char* folder, const std::unordered_map<std::string, int>& watched_as,
                     std::unordered_map<int, std::string>& true_path,
                     std::vector<std::string>& unwatched) {
    std::vector<std::string> pending{with_slash(folder)};
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

// The records off their true path or out of the tree, and every record below one of them: the
// library's rename goes by prefix, and would drag those along.
std::vector<record> records_to_move(const std::unordered_map<int, std::string>& true_path) {
    // Every record in the tree's name space (retired ones are not) or parked, sorted by path:
    // the records below one follow it.
    std::vector<record> held = records_below("/");
    const std::vector<record> parked = records_below(kParkedPrefix);
    held.insert(held.end(), parked.begin(), parked.end());
    std::sort(held.begin(), held.end(),
              [](const record& a, const record& b) { return a.path < b.path; });
    std::vector<record> moving;
    for (std::size_t i = 0; i < held.size();) {
        const auto place = true_path.find(held[i].wd);
        if (place != true_path.end() && place->second == held[i].path) {
            ++i;
            continue;
        }
        const std::string prefix = held[i].path;
        for (; i < held.size() && held[i].path.compare(0, prefix.size(), prefix) == 0; ++i)
            moving.push_back(held[i]);
    }
    return moving;
}

}  // namespace

bool start_watch_table() {
    counts = {};
    sightings.clear();
    handle_by_wd.clear();
    wd_by_handle.clear();
    return inotifytools_initialize() != 0;
}

bool watch_tree(const char* directory) { return watch_from(with_slash(directory), true); }

std::string relocate_tree(const char* directory) {
    const auto seen = sightings.find(inotifytools_wd_from_filename(directory));
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
    move_records(records_to_move(true_path), true_path, alive);
    sightings.clear();
    handle_by_wd.clear();
    wd_by_handle.clear();
    for (const kernel_watch& each : kernel) {
        if (true_path.count(each.wd) != 0) remember_handle(each.wd, each.handle);
    }
    begin_pass();
    for (const std::string& path : unwatched) {
        if (inotifytools_wd_from_filename(path.c_str()) < 0 && !watch_from(path, false))
            return false;
    }
    end_pass();
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

void follow_move(const char* from, const char* to) {
    const std::string handle = handle_at(to);
    if (handle.empty()) {
        // Gone again, or moved on: by path, as the events still to come expect.
        rename_tree(from, to);
        return;
    }
    const auto watch = wd_by_handle.find(handle);
    if (watch == wd_by_handle.end()) return;  // not watched: the caller watches it
    const char* held = inotifytools_filename_from_wd(watch->second);
    if (held == nullptr || std::strcmp(held, to) == 0 ||
        (held[0] != '/' && std::strncmp(held, kParkedPrefix, sizeof kParkedPrefix - 1) != 0))
        return;
    const std::string now_at = held;
    const int other = inotifytools_wd_from_filename(to);
    if (other >= 0 && other != watch->second)
        rename_tree(to, (kParkedPrefix + std::to_string(other) + "/").c_str());
    rename_tree(now_at.c_str(), to);
}

bool unwatch_tree(const char* directory) {
    const std::vector<record> records = records_below(directory);
    bool held = false;
    for (const record& each : records) {
        held = held || each.path == directory;
        forget_handle(each.wd);
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
    if (!start_watch_table()) return false;
    begin_pass();
    if (!watch_tree(folder)) return false;
    end_pass();
    return true;
}

}  // namespace watcher
