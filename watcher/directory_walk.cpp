#include "directory_walk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace watcher {
namespace {

// Directory descriptors the walk holds at most, the deepest levels'. Above them it climbs back
// through "..", checked against the directory it left there.
constexpr std::size_t kHeldDirectories = 32;

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

bool is_level(int fd, const walk_level& level) {
    struct stat status;
    return fstat(fd, &status) == 0 && status.st_dev == level.device && status.st_ino == level.inode;
}

// Opens levels[1..target] again from the top, name by name, each checked against the directory
// it was. Returns the descriptor of levels[target], or -1 (ESTALE) when a name leads elsewhere.
int reopen_from_top(const directory_walk& w, std::size_t target) {
    int fd = w.levels[0].fd;
    for (std::size_t i = 1; i <= target; ++i) {
        const int next = openat(fd, w.levels[i].name.c_str(), kDirectoryFlags);
        if (i > 1) close(fd);
        if (next < 0) return -1;
        if (!is_level(next, w.levels[i])) {
            close(next);
            errno = ESTALE;
            return -1;
        }
        fd = next;
    }
    return fd;
}

// Leaves the deepest level for its parent, opened again when it was let go. Returns false when
// the parent can't be found again.
bool ascend(directory_walk& w) {
    const int below = w.levels.back().fd;
    const std::size_t target = w.levels.size() - 2;
    walk_level& parent = w.levels[target];
    if (parent.fd < 0) {
        int fd = openat(below, "..", kDirectoryFlags);
        if (fd < 0 || !is_level(fd, parent)) {
            // The directory below was moved, or a level between: the path from the top may
            // still lead to the parent, which has sub-directories left to enter.
            if (fd >= 0) close(fd);
            fd = reopen_from_top(w, target);
        }
        parent.fd = fd;
        w.first_held = target;
    }
    close(below);
    w.levels.pop_back();
    w.path.resize(w.levels.back().path_length);
    return parent.fd >= 0;
}

bool descend(directory_walk& w, std::string name) {
    const int fd = openat(w.levels.back().fd, name.c_str(), kDirectoryFlags);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) {
        const int error = errno;
        if (fd >= 0) close(fd);
        w.skipped = std::move(name);
        errno = error;
        return false;
    }
    w.path += name;
    w.path += '/';
    w.levels.push_back({std::move(name), status.st_dev, status.st_ino, fd, {}, w.path.size()});
    if (w.levels.size() - w.first_held > kHeldDirectories) {
        close(w.levels[w.first_held].fd);
        w.levels[w.first_held++].fd = -1;
    }
    return true;
}

}  // namespace

bool start_walk(directory_walk& w, int fd, const std::string& path) {
    struct stat status;
    if (fstat(fd, &status) != 0) return false;
    w.path = path;
    if (w.path.empty() || w.path.back() != '/') w.path += '/';
    w.levels.clear();
    w.levels.push_back({path, status.st_dev, status.st_ino, fd, {}, w.path.size()});
    w.first_held = 1;
    return true;
}

walk_step next_directory(directory_walk& w) {
    while (!w.levels.empty()) {
        std::vector<std::string>& subs = w.levels.back().sub_directories;
        if (subs.empty()) {
            if (w.levels.size() == 1) return walk_step::done;
            if (!ascend(w)) return walk_step::lost;
            continue;
        }
        std::string name = std::move(subs.back());
        subs.pop_back();
        return descend(w, std::move(name)) ? walk_step::entered : walk_step::not_entered;
    }
    return walk_step::done;
}

void end_walk(directory_walk& w) {
    for (std::size_t i = 1; i < w.levels.size(); ++i) {
        if (w.levels[i].fd >= 0) close(w.levels[i].fd);
    }
    w.levels.resize(w.levels.empty() ? 0 : 1);
}

int open_beneath(int dir_fd, const std::string& relative, int flags) {
    int fd = dir_fd;
    std::size_t at = relative.find_first_not_of('/');
    if (at == std::string::npos) return openat(dir_fd, ".", flags | O_CLOEXEC);
    while (at != std::string::npos) {
        std::size_t end = relative.find('/', at);
        if (end == std::string::npos) end = relative.size();
        const std::string name = relative.substr(at, end - at);
        at = relative.find_first_not_of('/', end);
        const bool last = at == std::string::npos;
        int next = -1;
        if (name == "." || name == "..") {
            errno = EINVAL;
        } else {
            next = openat(fd, name.c_str(),
                          (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
        }
        const int error = errno;
        if (fd != dir_fd) close(fd);
        if (next < 0) {
            errno = error;
            return -1;
        }
        fd = next;
    }
    return fd;
}

}  // namespace watcher
