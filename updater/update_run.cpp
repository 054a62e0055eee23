// One run of the updater: from finding its directory to the exit status.
#include "update_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app_directory.h"
#include "console.h"
#include "file_ops.h"
#include "manifest.h"
#include "messages.h"
#include "unique_fd.h"

namespace updater {
namespace {

// The trigger counts as present only when it can be opened for reading: a run that misses it
// changes nothing, and the next run finds it again.
// Opened without blocking: a FIFO by that name must not hang the run.
bool readable(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

// True when one name of `path` is longer than any file name can be.
bool has_overlong_name(const std::string& path) {
    size_t start = 0;
    for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
        if (slash - start > NAME_MAX) return true;
    }
    return path.size() - start > NAME_MAX;
}

// A staged copy or new manifest counts as present when its name exists at all, even if what it
// leads to can't be opened just now (a symlink into a volume not mounted yet, a chain of links
// too long): passing over one would let the run delete the trigger and leave its target old for
// good, while reporting success. Its copy fails instead, and the next run tries again. A name
// that can't exist (over the limit, or below a missing or looping directory) is absent: it would
// fail every run. A path too long as a whole may still name a file: it counts as present, and
// its copy fails.
bool present(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) == 0) return true;
    const int error = errno;
    if (error == ENAMETOOLONG) return !has_overlong_name(path);
    return error != ENOENT && error != ENOTDIR && error != ELOOP;
}

struct file_identity {
    dev_t device;
    ino_t inode;
    bool operator<(const file_identity& other) const {
        return device != other.device ? device < other.device : inode < other.inode;
    }
};

bool identify(const std::string& path, file_identity& identity) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0) return false;
    identity = {status.st_dev, status.st_ino};
    return true;
}

// Entries whose staged copy is, through a link or a symlink, the file another entry's target
// leads to (a stager that says "the new p2 is the old p1" with p2.rep -> p1, or two such names
// that swap p1 and p2). Found before anything is written, so that each target gets the content
// its staged copy had when the run began, in whatever order the entries come.
struct crossed_entries {
    // Targets written by rename, never in place: their old file is still another entry's source.
    std::set<std::string> shared_targets;
    // Such staged copies, opened before any write. A symlinked one would otherwise lead to the
    // new file once its target has been replaced; -1 when it could not be opened (its copy then
    // fails, and the next run tries again).
    std::map<std::string, unique_fd> held_sources;
};

crossed_entries find_crossed_entries(const std::vector<std::string>& entries) {
    std::multimap<file_identity, const std::string*> targets;
    for (const std::string& entry : entries) {
        file_identity identity;
        if (identify(entry, identity)) targets.emplace(identity, &entry);
    }
    crossed_entries crossed;
    for (const std::string& entry : entries) {
        const std::string staged = entry + kStagedSuffix;
        file_identity source, own_target;
        if (!identify(staged, source)) continue;
        // A staged copy that is its own target's file: the copy sees that case itself.
        if (identify(entry, own_target) && !(source < own_target) && !(own_target < source))
            continue;
        const auto range = targets.equal_range(source);
        if (range.first == range.second) continue;
        for (auto it = range.first; it != range.second; ++it) crossed.shared_targets.insert(*it->second);
        if (crossed.held_sources.count(entry) == 0) {
            crossed.held_sources.emplace(
                entry, unique_fd(open(staged.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)));
        }
    }
    return crossed;
}

struct file_list {
    std::vector<std::string> entries;
    // The new manifest exists but could not be read: the current one stood in for it, and the
    // update can't be completed in this run.
    bool new_manifest_unread = false;
};

// Reads the new manifest, else the current one. Returns false after printing why neither loaded.
bool load_file_list(file_list& list) {
    if (read_manifest(kNewManifest, list.entries)) return true;
    print_line(kNewManifestFailed);
    list.new_manifest_unread = present(kNewManifest);
    if (read_manifest(kCurrentManifest, list.entries)) return true;
    print_line(kCurrentManifestFailed);
    return false;
}

// Puts one entry's staged copy in place and deletes it; an entry without one is passed over.
// Returns false after printing the failure line.
bool apply_entry(const std::string& entry, const crossed_entries& crossed) {
    const std::string staged = entry + kStagedSuffix;
    if (!present(staged)) return true;
    print_line(kUpdatingPrefix + staged);
    // A held staged copy is read through its descriptor: the name may lead elsewhere by now.
    const auto held = crossed.held_sources.find(entry);
    const bool copied =
        held == crossed.held_sources.end()
            ? install_staged_copy(staged, entry, crossed.shared_targets.count(entry) != 0)
            : held->second.valid() &&
                  install_staged_copy("/proc/self/fd/" + std::to_string(held->second.fd), entry,
                                      crossed.shared_targets.count(entry) != 0);
    if (!copied) {
        print_line(kCopyFailedPrefix + staged);
        return false;
    }
    print_line(kDeletingPrefix + staged);
    if (!delete_file(staged)) {
        print_line(kDeleteFailedPrefix + staged);
        return false;
    }
    return true;
}

// Promotes the new manifest (when there is one) and deletes the trigger. The trigger goes last
// and only once the promotion and the deletions of the staged copies are durable: until it is
// gone a later run takes the update up again, so a crash or a failed step here leaves a state
// that the next run completes; a staged copy that came back after the trigger went would never
// be cleared. Every listed entry's directory is synced, not only those this run emptied: a run
// killed halfway deleted staged copies that this run no longer finds. Nothing is reported
// either way. Returns false only when a directory can't be made durable: the trigger then
// stays, and the run must not report success.
bool finish_update(const std::vector<std::string>& entries) {
    if (present(kNewManifest) &&
        !(copy_whole_file(kNewManifest, kCurrentManifest) && delete_file(kNewManifest))) {
        return true;
    }
    std::set<std::string> directories{"."};
    for (const std::string& entry : entries) directories.insert(directory_of(entry + kStagedSuffix));
    for (const std::string& directory : directories) {
        if (fsync_directory(directory)) continue;
        // A directory that isn't there holds no staged copy that could come back. A file system
        // that can't sync directories at all can't order anything either.
        if (errno != ENOENT && errno != ENOTDIR && errno != ELOOP && errno != ENAMETOOLONG &&
            errno != EINVAL && errno != ENOTSUP && errno != EROFS)
            return false;
    }
    delete_file(kTrigger);
    return true;
}

}  // namespace

int run_update() {
    // A closed output (a log reader gone, "| head") must not kill the update halfway.
    signal(SIGPIPE, SIG_IGN);
    // Everything the run reads and writes lies in its own directory: without it (no /proc in a
    // chroot or early in a boot), the directory it was started from may hold another
    // application's update, so nothing is touched.
    const std::string directory = find_application_directory();
    if (directory.empty() || chdir(directory.c_str()) != 0) {
        std::fprintf(stderr, kNoDirectoryFormat,
                     directory.empty() ? kExecutableLink : directory.c_str(), std::strerror(errno));
        print_reinstall_notice();
        return 1;
    }
    print_line(kStartLine);
    sleep(5);

    if (!readable(kTrigger)) return 0;
    file_list list;
    if (!load_file_list(list)) {
        print_reinstall_notice();
        return 1;
    }
    const crossed_entries crossed = find_crossed_entries(list.entries);
    for (const std::string& entry : list.entries) {
        if (!apply_entry(entry, crossed)) {
            print_reinstall_notice();
            return 1;
        }
    }
    if (list.new_manifest_unread) {
        print_reinstall_notice();
        return 1;
    }
    if (!finish_update(list.entries)) {
        print_reinstall_notice();
        return 1;
    }
    return 0;
}

}  // namespace updater
