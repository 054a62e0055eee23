#include "folder_trust.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
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

int trust_folder(const char* folder, uid_t config_owner, trusted_folder& trusted) {
    if (folder[0] != '/' || in_system_tree(folder)) return EPERM;
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
