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

// Descriptors of one directory's changed files, closed together. Files are opened one after
// another, so their descriptors mostly follow each other and one close_range ends a run of them;
// a run only ever holds descriptors that the walk itself opened.
struct descriptor_run {
    int first = -1;
    int count = 0;
};

void close_run(descriptor_run& run) {
    if (run.count > 0 && close_range(run.first, run.first + run.count - 1, 0) != 0) {
        for (int fd = run.first; fd < run.first + run.count; ++fd) close(fd);
    }
    run.count = 0;
}

void hold(descriptor_run& run, int fd) {
    if (run.count == 64 || (run.count > 0 && fd != run.first + run.count)) close_run(run);
    if (run.count == 0) run.first = fd;
    ++run.count;
}

// A directory being reset: its descriptor, its path for reports, and what its listing showed.
struct open_directory {
    int fd;
    const std::string& path;
    // The last file needed a change. A download arrives with all its files at one mode, so the
    // next one is opened at once rather than looked at by name first.
    bool changing;
    descriptor_run held;
    // Entered once the listing is over: listings can't be nested.
    std::vector<std::string> sub_directories;
};

// Resets the non-directory `name` of `dir`. Returns true, doing nothing, when it is a directory.
bool reset_file(open_directory& dir, const char* name) {
    struct stat status;
    if (!dir.changing) {
        if (fstatat(dir.fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!changed_meanwhile(errno)) report(kCannotAccessFormat, child(dir.path, name), errno);
            return false;
        }
        if (S_ISDIR(status.st_mode)) return true;
        if (S_ISLNK(status.st_mode) || !needs_reset(status)) return false;
    }
    // From here on the file is held by a descriptor: its name may be swapped at any moment for
    // a symlink, or for a hard link to a file outside the tree, and is never looked up again.
    const int fd = openat(dir.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (!changed_meanwhile(errno)) report(kCannotAccessFormat, child(dir.path, name), errno);
        return false;
    }
    hold(dir.held, fd);
    if (fstat(fd, &status) != 0) {
        report(kCannotAccessFormat, child(dir.path, name), errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) return true;
    dir.changing = !S_ISLNK(status.st_mode) && needs_reset(status);
    if (!dir.changing) return false;
    // Another name of the file may lie outside the tree, where a user who can't change the file
    // linked it from (possible where fs.protected_hardlinks is 0).
    if (status.st_nlink > 1) {
        std::fprintf(stderr, kHardLinkFormat, child(dir.path, name).c_str(),
                     static_cast<std::uintmax_t>(status.st_nlink));
    } else if (!change_mode(fd, reset_mode(status))) {
        report(kChangeFailedFormat, child(dir.path, name), errno);
    }
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

void visit_entry(open_directory& dir, const char* name, unsigned char type) {
    if (type == DT_DIR || (type != DT_LNK && reset_file(dir, name)))
        dir.sub_directories.emplace_back(name);
}

void finish_directory(open_directory& dir) {
    close_run(dir.held);
    for (const std::string& name : dir.sub_directories)
        reset_sub_directory(dir.fd, name.c_str(), child(dir.path, name.c_str()));
}

// Resets the open directory `fd` and everything below it.
void reset_directory(int fd, const std::string& path) {
    struct stat status;
    if (fstat(fd, &status) == 0 && needs_reset(status) && fchmod(fd, reset_mode(status)) != 0)
        report(kChangeFailedFormat, path, errno);
    open_directory dir{fd, path, false, {}, {}};
    const bool listed = list_directory(
        fd, [&dir](const char* name, unsigned char type) { visit_entry(dir, name, type); });
    if (!listed && !changed_meanwhile(errno)) report(kCannotReadDirectoryFormat, path, errno);
    finish_directory(dir);
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

void reset_listed(int dir_fd, const std::string& path, const std::vector<listed_entry>& listed) {
    open_directory dir{dir_fd, path, false, {}, {}};
    for (const listed_entry& entry : listed) visit_entry(dir, entry.name, entry.type);
    finish_directory(dir);
}

}  // namespace watcher
