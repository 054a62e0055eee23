#include "permission_reset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory_listing.h"
#include "directory_walk.h"
#include "download_memory.h"
#include "messages.h"
#include "report_lines.h"

#ifndef SYS_fchmodat2
#define SYS_fchmodat2 452  // Linux 6.6; one number on every architecture
#endif

namespace watcher {
namespace {

// Entries reported one by one in a reset; the rest are counted in one line.
constexpr int kReportedFailures = 4;

// The mode "chmod 777" gives. GNU chmod keeps a directory's set-uid and set-gid bits for a
// numeric mode (a shared download directory stays set-gid) and clears every other bit.
mode_t reset_mode(const struct stat& status) {
    return S_ISDIR(status.st_mode) ? 0777 | (status.st_mode & (S_ISUID | S_ISGID)) : 0777;
}

bool needs_reset(const struct stat& status) {
    return (status.st_mode & 07777) != reset_mode(status);
}

// The name went away, or became a symlink or a file, after it was listed: that change raised an
// event, and so a reset, of its own.
bool changed_meanwhile(int error) { return error == ENOENT || error == ELOOP || error == ENOTDIR; }

// Files seen with more than one link, for the daemon's life: once the other name (perhaps
// outside the tree, where a user who can't change the file linked it from) goes, the file must
// not become everyone's. Tables of bits keyed by device and inode, one per owner: two files that
// share a bit leave an innocent one alone, never the other way round, and a user who floods the
// tree with links of their own files fills only their own table, never another owner's. Owners
// beyond the first 64 share one table.
constexpr std::size_t kLinkedBits = std::size_t{1} << 20;  // 128 KiB an owner
constexpr std::size_t kLinkedOwners = 64;
constexpr uid_t kSharedTable = static_cast<uid_t>(-1);
std::unordered_map<uid_t, std::vector<std::uint64_t>> linked_bits;

std::size_t linked_bit(const struct stat& status) {
    std::uint64_t key = static_cast<std::uint64_t>(status.st_ino) * 0x9E3779B97F4A7C15u ^
                        static_cast<std::uint64_t>(status.st_dev) * 0xC2B2AE3D27D4EB4Fu;
    key ^= key >> 29;
    return static_cast<std::size_t>(key % kLinkedBits);
}

std::vector<std::uint64_t>* linked_table(uid_t owner, bool make) {
    auto table = linked_bits.find(owner);
    if (table == linked_bits.end() && linked_bits.size() >= kLinkedOwners)
        table = linked_bits.find(owner = kSharedTable);
    if (table != linked_bits.end()) return &table->second;
    if (!make) return nullptr;
    return &linked_bits.emplace(owner, std::vector<std::uint64_t>(kLinkedBits / 64)).first->second;
}

bool seen_linked(const struct stat& status) {
    std::vector<std::uint64_t>* table = linked_table(status.st_uid, status.st_nlink > 1);
    if (table == nullptr) return false;
    const std::size_t bit = linked_bit(status);
    if (status.st_nlink > 1) {
        (*table)[bit / 64] |= std::uint64_t{1} << (bit % 64);
        return true;
    }
    return ((*table)[bit / 64] >> (bit % 64)) & 1;
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

// What a reset leaves as it was: a few lines whatever the tree holds.
struct reset_report {
    int failures = 0;
    std::uintmax_t linked = 0;
    std::string linked_example;
    nlink_t example_links = 0;
};

// A walk of the tree, down to the directory being reset.
struct walk {
    directory_walk dirs;
    reset_report& report;
    // The directory being listed.
    bool changing = false;  // its last file needed a change (see reset_file)
    descriptor_run held_files;
    download_memory* memory = nullptr;  // told of every entry met, when given
};

void meet(walk& w, const char* name, const struct stat& status) {
    if (w.memory != nullptr)
        meet_item(*w.memory, w.dirs.path, name, {status.st_dev, status.st_ino}, false);
}

// The path of `name` in the deepest level (of the level itself for ""), for a report: built only
// here, and shortened in its middle when long.
std::string report_path(const walk& w, const char* name = "") {
    const bool top = w.dirs.levels.size() == 1;
    std::string path = top && *name == '\0' ? w.dirs.levels[0].name : w.dirs.path;
    if (*name != '\0') {
        path += name;
    } else if (!top) {
        path.pop_back();
    }
    return shortened_path(path);
}

void report_failure(walk& w, const char* format, const char* name, int error) {
    if (++w.report.failures <= kReportedFailures)
        std::fprintf(stderr, format, report_path(w, name).c_str(), std::strerror(error));
}

void report_linked(walk& w, const char* name, const struct stat& status) {
    if (w.report.linked++ == 0) {
        w.report.linked_example = report_path(w, name);
        w.report.example_links = status.st_nlink;
    }
}

void print_summary(const reset_report& report) {
    if (report.failures > kReportedFailures)
        std::fprintf(stderr, kMoreFailuresFormat, report.failures - kReportedFailures);
    if (report.linked == 1 && report.example_links > 1) {
        std::fprintf(stderr, kHardLinkFormat, report.linked_example.c_str(),
                     static_cast<std::uintmax_t>(report.example_links));
    } else if (report.linked > 0) {
        std::fprintf(stderr, kLinkedFilesFormat, report.linked, report.linked_example.c_str());
    }
}

// Resets the non-directory `name` of the directory being listed. Returns true, doing nothing,
// when it is a directory.
bool reset_file(walk& w, const char* name) {
    const int dir_fd = w.dirs.levels.back().fd;
    struct stat status;
    if (!w.changing) {
        if (fstatat(dir_fd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
            if (!changed_meanwhile(errno)) report_failure(w, kCannotAccessFormat, name, errno);
            return false;
        }
        if (S_ISDIR(status.st_mode)) return true;
        if (S_ISLNK(status.st_mode) || !needs_reset(status)) {
            meet(w, name, status);
            return false;
        }
    }
    // From here on the file is held by a descriptor: its name may be swapped at any moment for
    // a symlink, or for a hard link to a file outside the tree, and is never looked up again.
    const int fd = openat(dir_fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (!changed_meanwhile(errno)) report_failure(w, kCannotAccessFormat, name, errno);
        return false;
    }
    hold(w.held_files, fd);
    if (fstat(fd, &status) != 0) {
        report_failure(w, kCannotAccessFormat, name, errno);
        return false;
    }
    if (S_ISDIR(status.st_mode)) return true;
    meet(w, name, status);
    w.changing = !S_ISLNK(status.st_mode) && needs_reset(status);
    if (!w.changing) return false;
    if (seen_linked(status)) {
        report_linked(w, name, status);
    } else if (!change_mode(fd, reset_mode(status))) {
        report_failure(w, kChangeFailedFormat, name, errno);
    }
    return false;
}

void visit_entry(walk& w, const char* name, unsigned char type) {
    if (type == DT_DIR || (type != DT_LNK && reset_file(w, name)))
        w.dirs.levels.back().sub_directories.emplace_back(name);
}

// Ends the listing of the deepest level: its sub-directories are entered the first first.
void end_listing(walk& w) {
    close_run(w.held_files);
    w.changing = false;
    std::vector<std::string>& subs = w.dirs.levels.back().sub_directories;
    std::reverse(subs.begin(), subs.end());
}

// Resets the deepest level's directory itself and lists it, resetting its files.
void reset_level(walk& w) {
    const int fd = w.dirs.levels.back().fd;
    struct stat status;
    if (fstat(fd, &status) == 0 && needs_reset(status) && fchmod(fd, reset_mode(status)) != 0)
        report_failure(w, kChangeFailedFormat, "", errno);
    if (w.memory != nullptr && w.dirs.levels.size() > 1) {
        const walk_level& level = w.dirs.levels.back();
        meet_item(*w.memory, w.dirs.path.substr(0, w.dirs.path.size() - level.name.size() - 1),
                  level.name.c_str(), {level.device, level.inode}, true);
    }
    const bool listed = list_directory(
        fd, [&w](const char* name, unsigned char type) { visit_entry(w, name, type); });
    if (!listed && !changed_meanwhile(errno))
        report_failure(w, kCannotReadDirectoryFormat, "", errno);
    end_listing(w);
}

// Resets everything below the top level, whose own listing is done, directory by directory.
// Returns false when the walk lost its way (the tree was moved under it): what it had not
// reached then is left as it was.
bool reset_below(walk& w) {
    for (;;) {
        switch (next_directory(w.dirs)) {
            case walk_step::entered:
                reset_level(w);
                break;
            case walk_step::not_entered:
                if (!changed_meanwhile(errno))
                    report_failure(w, kCannotReadDirectoryFormat, w.dirs.skipped.c_str(), errno);
                break;
            case walk_step::lost:
                report_failure(w, kCannotReturnFormat, "", errno);
                end_walk(w.dirs);
                return false;
            case walk_step::done:
                end_walk(w.dirs);
                return true;
        }
    }
}

}  // namespace

void announce_reset(const char* folder) {
    std::printf(kResetEchoFormat, folder);
    std::fflush(stdout);  // the line comes before the reports of the walk it announces
}

bool reset_permissions(const char* folder, const trusted_folder& trusted) {
    announce_reset(folder);
    return reset_tree(folder, trusted, nullptr);
}

bool reset_tree(const char* folder, const trusted_folder& trusted, download_memory* memory) {
    // Opened for each reset, not held: an open descriptor keeps the kernel from reporting the
    // folder's deletion (IN_DELETE_SELF comes with the last reference to it).
    const int fd = open_trusted_folder(trusted);
    if (fd < 0) {
        if (errno != ENOENT)
            std::fprintf(stderr, kCannotAccessFormat, shortened_path(folder).c_str(),
                         std::strerror(errno));
        return errno == ENOENT;
    }
    reset_report report;
    walk w{{}, report, false, {}, memory};
    bool complete = start_walk(w.dirs, fd, folder);
    if (complete) {
        reset_level(w);
        complete = reset_below(w);
    }
    close(fd);
    print_summary(report);
    return complete;
}

bool reset_listed(int dir_fd, const std::string& path, const std::vector<listed_entry>& listed) {
    reset_report report;
    walk w{{}, report, false, {}};
    if (!start_walk(w.dirs, dir_fd, path)) return false;
    for (const listed_entry& entry : listed) visit_entry(w, entry.name, entry.type);
    end_listing(w);
    const bool complete = reset_below(w);
    print_summary(report);
    return complete;
}

}  // namespace watcher
