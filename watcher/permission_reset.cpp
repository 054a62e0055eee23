#include "permission_reset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "directory_listing.h"
#include "messages.h"

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452  // Linux 6.6; one number on every architecture
#endif

namespace watcher {
namespace {

// The mode "chmod 777" gives. GNU chmod keeps a directory's set-uid and set-gid bits for a
// numeric mode (a shared download directory stays set-gid) and clears every other bit.
mode_t reset_mode(const struct stat& status) {
    return S_ISDIR(status.st_mode) ? 0777 | (status.st_mode & (S_ISUID | S_ISGID)) : 0777;
}

bool needs_reset(const struct stat& status) {
    return (status.st_mode & 07777) != reset_mode(status);
}

void report(const char* format, const std::string& path, int error) {
    std::fprintf(stderr, format, path.c_str(), std::strerror(error));
}

// The name went away, or became a symlink or a file, after it was listed: that change raised an
// event, and so a reset, of its own.
bool changed_meanwhile(int error) { return error == ENOENT || error == ELOOP || error == ENOTDIR; }

std::string child(const std::string& path, const char* name) {
    return path.back() == '/' ? path + name : path + "/" + name;
}

// Changes the mode of the file that `fd` (O_PATH) was opened for. fchmod refuses an O_PATH
// descriptor; fchmodat2 takes it. Older kernels get its /proc/self/fd name, which the kernel
// resolves to the open file itself, never to whatever bears the file's name by now.
bool change_mode(int fd, mode_t mode) {
    static bool fchmodat2_missing = false;
    if (!fchmodat2_missing) {
        if (syscall(SYS_fchmodat2, fd, "", mode, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0)
            return true;
        // Missing, or refused by a system-call filter older than the call.
        if (errno == ENOSYS) fchmodat2_missing = true;
        if (errno != ENOSYS && errno != EPERM && errno != EINVAL) return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return chmod(name, mode) == 0;
}

// Resets a non-directory. Returns true, doing nothing, when `name` is a directory.
bool reset_file(int dir_fd, const char* name, const std::string& path) {
    struct stat status;
    if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
        if (!changed_meanwhile(errno)) report(kCannotAccessFormat, path, errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) return true;
    if (S_ISLNK(status.st_mode) || !needs_reset(status)) return false;
    // From here on the file is held by a descriptor: its name may be swapped at any moment for
    // a symlink, or for a hard link to a file outside the tree, and is never looked up again.
    const int fd = openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (!changed_meanwhile(errno)) report(kCannotAccessFormat, path, errno);
        return false;
    }
    if (fstat(fd, &status) == 0 && !S_ISLNK(status.st_mode) && !S_ISDIR(status.st_mode) &&
        needs_reset(status)) {
        // Another name of the file may lie outside the tree, where a user who can't change the
        // file linked it from (possible where fs.protected_hardlinks is 0).
        if (status.st_nlink > 1) {
            std::fprintf(stderr, kHardLinkFormat, path.c_str(),
                         static_cast<std::uintmax_t>(status.st_nlink));
        } else if (!change_mode(fd, reset_mode(status))) {
            report(kChangeFailedFormat, path, errno);
        }
    }
    close(fd);
    return false;
}

void reset_directory(int fd, const std::string& path);

void reset_sub_directory(int dir_fd, const char* name, const std::string& path) {
    const int fd = openat(dir_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (!changed_meanwhile(errno)) report(kCannotReadDirectoryFormat, path, errno);
        return;
    }
    reset_directory(fd, path);
    close(fd);
}

// Resets the open directory `fd` and everything below it. Its sub-directories are entered
// after the listing, which can't be nested.
void reset_directory(int fd, const std::string& path) {
    struct stat status;
    if (fstat(fd, &status) == 0 && needs_reset(status) && fchmod(fd, reset_mode(status)) != 0)
        report(kChangeFailedFormat, path, errno);
    std::vector<std::string> sub_directories;
    const bool listed = list_directory(fd, [&](const char* name, unsigned char type) {
        if (type == DT_DIR || (type != DT_LNK && reset_file(fd, name, child(path, name))))
            sub_directories.emplace_back(name);
    });
    if (!listed && !changed_meanwhile(errno)) report(kCannotReadDirectoryFormat, path, errno);
    for (const std::string& name : sub_directories)
        reset_sub_directory(fd, name.c_str(), child(path, name.c_str()));
}

}  // namespace

void reset_permissions(const char* folder, const trusted_folder& trusted) {
    std::printf(kResetEchoFormat, folder);
    std::fflush(stdout);  // the line comes before the reports of the walk it announces
    // Opened for each reset, not held: an open descriptor keeps the kernel from reporting the
    // folder's deletion (IN_DELETE_SELF comes with the last reference to it).
    const int fd = open_trusted_folder(trusted);
    if (fd < 0) {
        if (errno != ENOENT) report(kCannotAccessFormat, folder, errno);
        return;
    }
    reset_directory(fd, folder);
    close(fd);
}

void reset_entry(int dir_fd, const char* name, unsigned char listed_type, const std::string& path) {
    if (listed_type == DT_LNK) return;
    if (listed_type == DT_DIR || reset_file(dir_fd, name, path))
        reset_sub_directory(dir_fd, name, path);
}

}  // namespace watcher
