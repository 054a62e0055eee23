#include "watch_table.h"

#include <dirent.h>
#include <fcntl.h>
#include <inotifytools/inotifytools.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "directory_walk.h"
#include "event_rules.h"
#include "kernel_watches.h"
#include "messages.h"
#include "report_lines.h"

namespace watcher {
namespace {

// The inotify instance that libinotifytools reads events from.
int inotify_fd = -1;
int last_error = 0;  // of the last watch that failed
// The monitored folder, when the table was started for one: paths below `root_path` are opened
// from it, never through a name above it.
const trusted_folder* root = nullptr;
std::string root_path;

// Where a record lies: the watch of its directory (-1 for the top of a watched tree) and its
// name there (the top's whole path, ending in "/").
using place = std::pair<int, std::string>;

// The records by place, in order, so that a directory's sub-directories lie together. Records
// set aside are kept by the place they lost.
std::map<place, int> by_place;
std::multimap<place, int> set_aside;

struct watch_record {
    std::map<place, int>::iterator at;  // in by_place, or in set_aside when `aside`
    bool aside;
    // Moved to where no watch saw it arrive (out of the tree, or into a directory not watched
    // yet): no place until a walk meets it; a quiet moment that finds it still so removes it.
    bool detached;
    std::string handle;  // the kernel's file handle of the directory (handle_key); "" unknown
};
std::unordered_map<int, watch_record> records;

// Where a walk met a directory that is filed at another place. Should the move that took it
// there come without its other half (it went into a directory whose watch came after it), this
// is where it went.
std::unordered_map<int, place> sightings;  // by watch

// Directories that arrived in a directory not at its path when their event was read.
std::vector<place> deferred;

// Directories watched by name while events were read: the name was looked up after the events
// still queued behind its own had happened, so the queue may yet move what lies there (two new
// directories exchanged before their events were read are each found at the other's name).
std::vector<int> watched_by_name;

// The last directory move followed, until its IN_MOVE_SELF says which directory made it.
struct followed_move {
    int wd = -1;
    place from, to;
    bool was_aside = false;
    int displaced = -1;  // the record filed at `to` before, set aside by the move
};
followed_move last_move;
// A move was credited to a directory that did not make it: one without a watch made it (the
// other side of an exchange, or a directory whose creation is still queued), and where that one
// lies is known only by looking. The table is resynced once the queue is read.
bool mover_unknown = false;

const place& place_of(const watch_record& record) { return record.at->first; }

std::string with_slash(const char* path) {
    std::string text = path;
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Collects the names from `wd` up to its top into `names`, the top's last. Returns false when
// `wd` has no record, or a record on the way has no path (detached; or, in a table gone wrong,
// a loop).
bool names_up(int wd, std::vector<const std::string*>& names) {
    for (std::size_t hops = 0; hops <= records.size(); ++hops) {
        const auto held = records.find(wd);
        if (held == records.end() || held->second.detached) return false;
        const place& where = place_of(held->second);
        names.push_back(&where.second);
        if (where.first < 0) return true;
        wd = where.first;
    }
    return false;
}

// Built from the parents up, in one allocation (a path may be very long); "" when `wd` has no
// path.
std::string path_of(int wd) {
    std::vector<const std::string*> names;
    if (!names_up(wd, names)) return "";
    std::size_t length = 0;
    for (const std::string* name : names) length += name->size() + 1;
    std::string path;
    path.reserve(length);
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
        path += **name;
        if (path.back() != '/') path += '/';
    }
    return path;
}

void unfile(int wd) {
    watch_record& record = records.at(wd);
    if (record.detached) {
        record.detached = false;
    } else if (record.aside) {
        set_aside.erase(record.at);
    } else {
        by_place.erase(record.at);
    }
}

void put_aside(int wd, const place& where) {
    watch_record& record = records.at(wd);
    record.at = set_aside.emplace(where, wd);
    record.aside = true;
}

// Files `wd` (unfiled, or new) at `where`; a record that held it is set aside.
void file(int wd, const place& where) {
    const auto held = by_place.find(where);
    if (held != by_place.end()) {
        const int other = held->second;
        by_place.erase(held);
        put_aside(other, where);
    }
    watch_record& record = records[wd];
    record.at = by_place.emplace(where, wd).first;
    record.aside = false;
    record.detached = false;
}

// The record at `where`: one set aside from there first (its own move is the next from there),
// then the one filed there; -1 when none.
int record_at(const place& where) {
    const auto aside = set_aside.find(where);
    if (aside != set_aside.end()) return aside->second;
    const auto held = by_place.find(where);
    return held == by_place.end() ? -1 : held->second;
}

// `wd` and every record below it, each before those below it.
std::vector<int> subtree(int wd) {
    std::vector<int> found{wd};
    for (std::size_t i = 0; i < found.size(); ++i) {
        const place first{found[i], ""};
        for (auto it = by_place.lower_bound(first);
             it != by_place.end() && it->first.first == found[i]; ++it)
            found.push_back(it->second);
        for (auto it = set_aside.lower_bound(first);
             it != set_aside.end() && it->first.first == found[i]; ++it)
            found.push_back(it->second);
    }
    return found;
}

void drop_record(int wd) {
    unfile(wd);
    records.erase(wd);
    sightings.erase(wd);
    if (last_move.wd == wd) last_move.wd = -1;
}

// Removes the kernel's watch `wd`. One the kernel has dropped already (its directory deleted)
// is gone: nothing to say.
void remove_watch(int wd) { inotify_rm_watch(inotify_fd, wd); }

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

// Where a watch of the directory at `path` (ending in "/") goes: in the deepest record on the
// path, when the path leads on from it by one name; a new top otherwise. Sets `held` to the
// watch of the record that lies there already, or -1.
place place_for(const std::string& path, int& held) {
    held = -1;
    int top = -1;
    std::size_t top_length = 0;
    for (auto it = by_place.lower_bound({-1, ""}); it != by_place.end() && it->first.first == -1;
         ++it) {
        const std::string& name = it->first.second;
        if (name.size() > top_length && starts_with(path, name)) {
            top = it->second;
            top_length = name.size();
        }
    }
    if (top < 0) return {-1, path};
    if (top_length == path.size()) {
        held = top;
        return {-1, path};
    }
    int parent = top;
    std::size_t at = top_length;
    for (;;) {
        const std::size_t end = path.find('/', at);
        const std::string name = path.substr(at, end - at);
        const auto child = by_place.find({parent, name});
        if (end + 1 >= path.size()) {
            if (child != by_place.end()) held = child->second;
            return {parent, name};
        }
        if (child == by_place.end()) return {-1, path};
        parent = child->second;
        at = end + 1;
    }
}

enum class watch_result { failed, watched, watched_elsewhere };

// Watches the open directory `fd` at `where`, unless the record filed there is this directory's.
// The watch is set through the descriptor's /proc/self/fd name, which the kernel resolves to the
// open directory itself, never to whatever bears its name by now (a symlink swapped in, which a
// trailing "/" would have the kernel follow whatever the flags say). Sets `wd` to the watch.
watch_result watch_one(int fd, const place& where, int& wd) {
    std::string handle = handle_of(fd);
    const auto held = by_place.find(where);
    if (held != by_place.end()) {
        const std::string& filed = records.at(held->second).handle;
        if (filed.empty() || filed == handle) {
            wd = held->second;
            return watch_result::watched;
        }
        // Another directory lies there: the one filed there has moved on, its events still
        // queued. This one is watched and filed there; that one is set aside for its events.
    }
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    wd = inotify_add_watch(inotify_fd, name, kEventMask | IN_ONLYDIR);
    if (wd < 0) {
        last_error = errno;
        return watch_result::failed;
    }
    const auto known = records.find(wd);
    if (known != records.end() && known->second.detached) {
        file(wd, where);  // moved where no watch saw it arrive: here
        return watch_result::watched;
    }
    if (known != records.end()) {
        // The kernel watches this directory already, at the place it had before a move whose
        // events are still queued; they will move its record, in their turn. Moving it now
        // would give the events before that move paths they didn't have (a false notice).
        sightings[wd] = where;
        return watch_result::watched_elsewhere;
    }
    file(wd, where);
    records[wd].handle = std::move(handle);
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

// Walks the tree below the open directory `fd`, named `directory`, calling `visit` with the walk
// at each directory (the top first) and the watches of the levels above it (`level_wd`, one a
// level, which `visit` sets for the level it is at). Returns false as soon as `visit` does. A
// directory that can't be entered is left out with what lies below it; a walk that loses its way
// (the tree moved under it: its events follow) ends there.
template <typename Visit>
bool walk_tree(int fd, const std::string& directory, Visit visit) {
    directory_walk w;
    if (!start_walk(w, fd, directory)) return false;
    std::vector<int> level_wd(1, -1);
    bool going = visit(w, level_wd);
    while (going) {
        const walk_step step = next_directory(w);
        if (step == walk_step::entered) {
            level_wd.resize(w.levels.size(), -1);
            going = visit(w, level_wd);
        } else if (step != walk_step::not_entered) {
            break;
        }
    }
    end_walk(w);
    return going;
}

// Watches the open directory `fd` at `top` (its path `path`) and everything below it. Sets
// `top_wd`, when given, to the top's watch (also one filed elsewhere), or leaves it.
bool watch_from(int fd, const place& top, const std::string& path, int* top_wd = nullptr) {
    return walk_tree(fd, path, [&](directory_walk& w, std::vector<int>& level_wd) {
        const std::size_t depth = w.levels.size() - 1;
        const place where = depth == 0 ? top : place{level_wd[depth - 1], w.levels.back().name};
        int wd;
        const watch_result result = watch_one(w.levels.back().fd, where, wd);
        if (depth == 0 && top_wd != nullptr && result != watch_result::failed) *top_wd = wd;
        if (result == watch_result::failed) {
            // Out of watches (a user can make directories until they run out): with the folder
            // watched, what could be watched is kept, and the tree is still reset at each event.
            if (last_error == ENOSPC && !records.empty()) {
                report_watch_shortage(w.path);
                return true;
            }
            return depth > 0 && can_be_left_out(last_error);
        }
        // A directory watched elsewhere is listed when its queued move is handled.
        if (result == watch_result::watched) {
            level_wd[depth] = wd;
            list_sub_directories(w);
        }
        return true;
    });
}

// Opens the directory at `path` and watches it at `where`, with everything below it.
bool watch_path_at(const std::string& path, const place& where) {
    const int fd = open_directory_at(path, O_RDONLY);
    if (fd < 0) {
        last_error = errno;
        return false;
    }
    const bool watched = watch_from(fd, where, path);
    close(fd);
    return watched;
}

}  // namespace

bool start_watch_table(const char* folder, const trusted_folder* trusted) {
    root = folder != nullptr ? trusted : nullptr;
    if (root != nullptr) root_path = with_slash(folder);
    by_place.clear();
    set_aside.clear();
    records.clear();
    sightings.clear();
    deferred.clear();
    watched_by_name.clear();
    last_move = {};
    if (inotifytools_initialize() == 0) {
        last_error = inotifytools_error();
        return false;
    }
    inotify_fd = find_inotify_descriptor();
    last_error = errno;
    return inotify_fd >= 0;
}

int watch_error() { return last_error; }

std::size_t watch_count() { return records.size(); }

std::string watch_path(int wd) { return path_of(wd); }

bool has_record(int wd) { return records.count(wd) != 0; }

bool has_path(int wd) {
    std::vector<const std::string*> names;
    return names_up(wd, names);
}

int watch_at(const char* directory) {
    int held;
    place_for(with_slash(directory), held);
    return held;
}

std::vector<int> watches_named(const char* part) {
    std::vector<int> found;
    for (const auto& [where, wd] : by_place) {
        if (where.second.find(part) != std::string::npos) found.push_back(wd);
    }
    return found;
}

int open_watched_directory(int wd) {
    const auto held = records.find(wd);
    if (held == records.end()) return -1;
    const int fd = open_directory_at(path_of(wd), O_RDONLY);
    if (fd >= 0 && !held->second.handle.empty() && handle_of(fd) != held->second.handle) {
        close(fd);  // another directory: this one's move is still queued
        return -1;
    }
    return fd;
}

bool watch_tree(const char* directory) {
    const std::string path = with_slash(directory);
    int held;
    const place where = place_for(path, held);
    return watch_path_at(path, where);
}

bool watch_child(int parent, const char* name) {
    const int dir = open_watched_directory(parent);
    if (dir < 0) {
        if (records.count(parent) == 0) {
            last_error = ENOENT;
            return false;
        }
        // The parent is not where its path leads (a move above it is still queued): from its
        // parent's descriptor, once the queue is read.
        deferred.push_back({parent, name});
        return true;
    }
    const int fd = openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    last_error = errno;
    close(dir);
    if (fd < 0) return false;
    int wd = -1;
    const bool watched = watch_from(fd, {parent, name}, path_of(parent) + name + "/", &wd);
    close(fd);
    if (wd >= 0) watched_by_name.push_back(wd);
    return watched;
}

bool settle_watches() {
    // The queue is read: a move still unconfirmed will not be.
    confirm_move(-1);
    std::vector<place> waiting;
    waiting.swap(deferred);
    for (const place& each : waiting) watch_child(each.first, each.second.c_str());
    // A parent that can't be found when the queue is read is not where the table says: the
    // resync after lost events is what puts that right.
    deferred.clear();
    // Every arrival has been walked by now: a directory no walk met has left the tree.
    std::vector<int> gone;
    for (const auto& [wd, record] : records) {
        if (record.detached) gone.push_back(wd);
    }
    for (const int wd : gone) {
        if (records.count(wd) == 0) continue;
        for (const int each : subtree(wd)) {
            drop_record(each);
            remove_watch(each);
        }
    }
    // With every event read, each directory watched by name must lie where the table files it.
    // One that left (or seemed to: its name's later events may have been another directory's)
    // is looked for by one walk too.
    bool matches = true;
    for (const int wd : watched_by_name) {
        if (!matches) break;
        const auto held = records.find(wd);
        if (held == records.end() || held->second.detached) {
            matches = false;
            break;
        }
        const int fd = open_watched_directory(wd);
        if (fd >= 0) close(fd);
        matches = fd >= 0;
    }
    watched_by_name.clear();
    // Every move a sighting could stand for has been read: kept, one would place a directory
    // that later leaves the tree where it was met long ago.
    sightings.clear();
    matches = matches && !mover_unknown;
    mover_unknown = false;
    return matches;
}

bool move_tree(int from_parent, const char* from_name, int to_parent, const char* to_name) {
    const place from{from_parent, from_name};
    const int wd = record_at(from);
    if (wd < 0) return false;
    const place to{to_parent, to_name};
    const auto held = by_place.find(to);
    last_move = {wd, from, to, records.at(wd).aside, held == by_place.end() ? -1 : held->second};
    unfile(wd);
    file(wd, to);
    return true;
}

// Puts the record that `made` took back where it was (it had been filed, or set aside).
void put_back(const followed_move& made) {
    if (made.was_aside) {
        put_aside(made.wd, made.from);
    } else {
        file(made.wd, made.from);
    }
}

void confirm_move(int wd) {
    const followed_move made = last_move;
    last_move.wd = -1;
    if (made.wd < 0 || wd == made.wd) return;
    unfile(made.wd);
    if (wd < 0 || records.count(wd) == 0) {
        // No watched directory made the move (its IN_MOVE_SELF follows its IN_MOVED_TO at once):
        // the one taken for it goes back, with the one it displaced.
        const auto displaced = records.find(made.displaced);
        if (displaced != records.end() && displaced->second.aside &&
            place_of(displaced->second) == made.to) {
            unfile(made.displaced);
            file(made.displaced, made.to);
        }
        mover_unknown = true;
    } else {
        // Another directory made the move (one set aside at its place was taken for it): it
        // goes where the move went.
        unfile(wd);
        file(wd, made.to);
    }
    put_back(made);
}

bool detach_tree(int parent, const char* name, int mover) {
    const int wd = record_at({parent, name});
    if (wd < 0) return false;
    if (mover != wd) {
        // A watched directory's move comes with its IN_MOVE_SELF right after: without it, a
        // directory without a watch made the move (one exchanged with the one filed here while
        // the daemon was behind, say). The record stays; the table is resynced once the queue
        // is read.
        mover_unknown = true;
        return true;
    }
    unfile(wd);
    if (last_move.wd == wd) last_move.wd = -1;
    const auto seen = sightings.find(wd);
    if (seen != sightings.end()) {
        const place where = std::move(seen->second);
        sightings.erase(seen);
        if (records.count(where.first) != 0 && by_place.count(where) == 0) {
            // Met there by the walk of the directory it went into: it lies there, and what was
            // made in it meanwhile is watched.
            file(wd, where);
            const int fd = open_watched_directory(wd);
            if (fd >= 0) {
                watch_from(fd, where, path_of(wd));
                close(fd);
            }
            return true;
        }
    }
    records.at(wd).detached = true;
    return true;
}

void retire_tree(int wd) {
    if (records.count(wd) == 0) return;
    for (const int each : subtree(wd)) drop_record(each);
}

bool resync_watch_table(const char* folder) {
    // By the kernel's file handle: device and inode numbers repeat across btrfs sub-volumes,
    // whose directories then all look gone. Without handles the table can't be matched at all.
    std::unordered_map<std::string, int> watched_as;
    std::unordered_set<int> alive;
    bool without_handle = false;
    if (!read_kernel_watches([&](const kernel_watch& each) {
            without_handle = without_handle || each.handle.empty();
            watched_as[each.handle] = each.wd;
            alive.insert(each.wd);
        }))
        return false;
    const std::string top = with_slash(folder);
    const int fd = open_directory_at(top, O_RDONLY);
    if (without_handle || fd < 0) {
        if (fd >= 0) close(fd);
        errno = without_handle ? EOPNOTSUPP : errno;
        return false;
    }
    // One walk finds where each watched directory lies now and watches the others.
    std::unordered_map<int, place> truth;
    std::unordered_map<int, std::string> handles;
    begin_pass();
    const bool walked = walk_tree(fd, top, [&](directory_walk& w, std::vector<int>& level_wd) {
        const std::size_t depth = w.levels.size() - 1;
        const int dir_fd = w.levels.back().fd;
        std::string handle = handle_of(dir_fd);
        const auto watched = watched_as.find(handle);
        int wd = watched == watched_as.end() ? -1 : watched->second;
        if (wd < 0) {
            char name[32];
            std::snprintf(name, sizeof name, "/proc/self/fd/%d", dir_fd);
            wd = inotify_add_watch(inotify_fd, name, kEventMask | IN_ONLYDIR);
            if (wd < 0) {
                last_error = errno;
                if (errno == ENOSPC) report_watch_shortage(w.path);
                return depth > 0;
            }
        }
        level_wd[depth] = wd;
        truth[wd] = depth == 0 ? place{-1, top} : place{level_wd[depth - 1], w.levels.back().name};
        // Only a handle the table lacks is kept: a copy of each, made amid the walk's temporary
        // tables and kept by the records after them, would pin every page of them.
        const auto known = records.find(wd);
        if (known == records.end() || known->second.handle != handle) handles[wd] = std::move(handle);
        list_sub_directories(w);
        return true;
    });
    end_pass();
    close(fd);
    if (!walked || truth.empty()) {
        errno = last_error = walked ? ENOENT : errno;
        return false;
    }
    // The records of directories that left the tree go, with their watches; every other one is
    // filed afresh where it lies.
    for (auto it = records.begin(); it != records.end();) {
        if (truth.count(it->first) == 0) {
            if (alive.count(it->first) != 0) remove_watch(it->first);
            it = records.erase(it);
        } else {
            ++it;
        }
    }
    by_place.clear();
    set_aside.clear();
    sightings.clear();
    last_move = {};
    for (auto& [wd, where] : truth) {
        watch_record& record = records[wd];
        record.at = by_place.emplace(std::move(where), wd).first;
        record.aside = false;
        record.detached = false;
        const auto handle = handles.find(wd);
        if (handle != handles.end()) record.handle = std::move(handle->second);
    }
    return true;
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
