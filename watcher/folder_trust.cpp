#include "folder_trust.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace watcher {
namespace {

constexpr const char* kSystemTrees[] = {"bin", "boot", "dev", "etc", "proc", "root",
                                        "run", "sbin", "sys", "usr", "var"};

// Closes `fd` (if open) and returns -1 with errno `error`.
int fail_with(int error, int fd = -1) {
    if (fd >= 0) close(fd);
    errno = error;
    return -1;
}

// File systems whose files are made up by the kernel: a root-owned file there can hold text a
// user chose (a process's command line, say).
// (f_type is a 32-bit int on 32-bit ARM: compared as 32-bit unsigned values everywhere.)
constexpr std::uint32_t kPseudoFileSystems[] = {
    PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEVPTS_SUPER_MAGIC,  DEBUGFS_MAGIC, TRACEFS_MAGIC,
    SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC,  PSTOREFS_MAGIC,
    EFIVARFS_MAGIC,   SELINUX_MAGIC,      SMACK_MAGIC,         0x62656570 /* configfs */};
constexpr int kMaxSymlinks = 40;

bool on_pseudo_file_system(int fd) {
    struct statfs fs;
    if (fstatfs(fd, &fs) != 0) return true;
    for (const auto type : kPseudoFileSystems) {
        if (static_cast<std::uint32_t>(fs.f_type) == type) return true;
    }
    return false;
}

void add_changer(uid_t& changers, uid_t user) {
    if (user != 0 && changers != user) changers = changers == 0 ? user : kAnyUser;
}

// Who can change the entries of the directory `status`: its owner, and anyone where group or
// others may write it without the sticky bit (with it, only an entry's owner can replace it).
void add_directory_changers(uid_t& changers, const struct stat& status) {
    add_changer(changers, status.st_uid);
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0)
        changers = kAnyUser;
}

// Checks the file found as `fd` (O_PATH) for open_config_file, counts its owner and opens it
// for reading, and closes `fd`. The /proc/self/fd name reaches the very file checked, whatever
// bears its name by now. Non-blocking: a FIFO must not stall the start (it is refused anyway).
int checked_config_file(int fd, uid_t& changers) {
    struct stat status;
    if (fstat(fd, &status) != 0) return fail_with(errno, fd);
    if (!only_owner_writes(status) || status.st_nlink != 1 || on_pseudo_file_system(fd))
        return fail_with(EPERM, fd);
    add_changer(changers, status.st_uid);
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    const int file = open(name, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    close(fd);
    if (file < 0) return fail_with(error);
    return file;
}

bool is_trusted(const struct stat& status, const trusted_folder& trusted) {
    return status.st_dev == trusted.device && status.st_ino == trusted.inode;
}

}  // namespace

bool only_owner_writes(const struct stat& status) {
    return S_ISREG(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool in_system_tree(const char* path) {
    while (*path == '/') ++path;
    const std::string top(path, std::strcspn(path, "/"));
    if (top.empty() || top.compare(0, 3, "lib") == 0) return true;
    for (const char* tree : kSystemTrees) {
        if (top == tree) return true;
    }
    return false;
}

int open_without_symlinks(const char* path) {
    if (path[0] != '/') return fail_with(EINVAL);
    int fd = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (const char* at = path; fd >= 0;) {
        at += std::strspn(at, "/");
        const std::string component(at, std::strcspn(at, "/"));
        if (component.empty()) break;
        at += component.size();
        if (component == "." || component == "..") return fail_with(EINVAL, fd);
        // Only the last component is opened for reading; the ones above need no permission.
        const int access = at[std::strspn(at, "/")] == '\0' ? O_RDONLY : O_PATH;
        const int next =
            openat(fd, component.c_str(), access | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int error = errno;
        close(fd);
        if (next < 0) return fail_with(error);
        fd = next;
    }
    return fd;
}

int open_config_file(const char* path, uid_t& changers, uid_t believed) {
    changers = 0;
    if (path[0] != '/') return fail_with(EINVAL);
    std::string rest = path;  // what is left to resolve, from `dir`
    int dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    // As soon as someone not believed could have changed what the path leads to, nothing more
    // of it is looked at.
    const auto believed_so_far = [&] {
        return believed == kAnyUser || changers == 0 || changers == believed;
    };
    for (int symlinks = 0; dir >= 0;) {
        const std::size_t start = rest.find_first_not_of('/');
        if (start == std::string::npos) return fail_with(EISDIR, dir);
        const std::size_t end = std::min(rest.find('/', start), rest.size());
        const std::string name = rest.substr(start, end - start);
        rest.erase(0, end);
        const bool last = rest.find_first_not_of('/') == std::string::npos;
        struct stat status;
        if (fstat(dir, &status) != 0) return fail_with(errno, dir);
        add_directory_changers(changers, status);
        if (!believed_so_far()) return fail_with(EPERM, dir);
        // Nothing is opened for reading before its type is known: opening a device node can
        // arm a watchdog or rewind a tape.
        const int next = openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 || fstat(next, &status) != 0) {
            const int error = errno;
            if (next >= 0) close(next);
            return fail_with(error, dir);
        }
        if (last && !S_ISLNK(status.st_mode)) {
            close(dir);
            return checked_config_file(next, changers);
        }
        if (S_ISDIR(status.st_mode)) {
            close(dir);
            dir = next;
            continue;
        }
        if (!S_ISLNK(status.st_mode)) {
            close(next);
            return fail_with(ENOTDIR, dir);
        }
        char target[PATH_MAX];
        const ssize_t length = readlinkat(next, "", target, sizeof target);
        close(next);
        if (++symlinks > kMaxSymlinks || length <= 0 || length == sizeof target)
            return fail_with(length < 0 ? errno : ELOOP, dir);
        add_changer(changers, status.st_uid);
        if (!believed_so_far()) return fail_with(EPERM, dir);
        rest.insert(0, target, static_cast<std::size_t>(length));
        if (target[0] == '/') {
            close(dir);
            dir = open("/", O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
    }
    return -1;
}

int trust_folder(const char* folder, uid_t config_owner, trusted_folder& trusted) {
    if (config_owner == kAnyUser || folder[0] != '/' || in_system_tree(folder)) return EPERM;
    char resolved[PATH_MAX];
    if (realpath(folder, resolved) == nullptr) return errno;
    if (in_system_tree(resolved)) return EPERM;
    // Without symlinks, the text checked above is where the directory lies, whatever changes
    // meanwhile: a path swapped under us fails to open.
    const int fd = open_without_symlinks(resolved);
    if (fd < 0) return errno;
    struct stat status;
    const int error = fstat(fd, &status) == 0 ? 0 : errno;
    close(fd);
    if (error != 0) return error;
    // A user's configuration names only that user's own tree; root's may name any.
    if (config_owner != 0 && status.st_uid != config_owner) return EPERM;
    trusted = {resolved, status.st_dev, status.st_ino};
    return 0;
}

int open_trusted_folder(const trusted_folder& trusted) {
    const int fd = open_without_symlinks(trusted.path.c_str());
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0) return fail_with(errno, fd);
    return is_trusted(status, trusted) ? fd : fail_with(ESTALE, fd);
}

bool leads_to_trusted_folder(const char* path, const trusted_folder& trusted) {
    struct stat status;
    if (stat(path, &status) != 0) return errno == ENOENT;
    return is_trusted(status, trusted);
}

}  // namespace watcher
