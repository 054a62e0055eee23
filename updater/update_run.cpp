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
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "app_directory.h"
#include "console.h"
#include "file_ops.h"
#include "manifest.h"
#include "messages.h"

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

// True when the file at `target` is also the staged copy of another entry (a stager that links
// equal content, say "p2.rep" to "p1" because the new p2 is the old p1): written in place, that
// staged copy would change with it.
bool is_another_entrys_staged_copy(const std::string& target,
                                   const std::vector<std::string>& entries) {
    struct stat status;
    if (stat(target.c_str(), &status) != 0 || status.st_nlink < 2) return false;
    for (const std::string& entry : entries) {
        struct stat staged;
        if (entry != target && stat((entry + kStagedSuffix).c_str(), &staged) == 0 &&
            staged.st_dev == status.st_dev && staged.st_ino == status.st_ino)
            return true;
    }
    return false;
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
// Adds the directory it was deleted from to `emptied`. Returns false after printing the failure
// line.
bool apply_entry(const std::string& entry, const std::vector<std::string>& entries,
                 std::set<std::string>& emptied) {
    const std::string staged = entry + kStagedSuffix;
    if (!present(staged)) return true;
    print_line(kUpdatingPrefix + staged);
    if (!install_staged_copy(staged, entry, is_another_entrys_staged_copy(entry, entries))) {
        print_line(kCopyFailedPrefix + staged);
        return false;
    }
    print_line(kDeletingPrefix + staged);
    if (!delete_file(staged)) {
        print_line(kDeleteFailedPrefix + staged);
        return false;
    }
    emptied.insert(directory_of(staged));
    return true;
}

// Promotes the new manifest (when there is one) and deletes the trigger. The trigger goes last
// and only once the promotion and the deletions of the staged copies (from the directories in
// `emptied`) are durable: until it is gone a later run takes the update up again, so a crash or
// a failed step here leaves a state that the next run completes; a staged copy that came back
// after the trigger went would never be cleared. Nothing is reported either way.
// Returns false only when a directory can't be made durable: the trigger then stays, and the
// run must not report success.
bool finish_update(std::set<std::string> emptied) {
    if (present(kNewManifest) &&
        !(copy_whole_file(kNewManifest, kCurrentManifest) && delete_file(kNewManifest))) {
        return true;
    }
    emptied.insert(".");
    for (const std::string& directory : emptied) {
        // A file system that can't sync directories at all can't order anything either.
        if (!fsync_directory(directory) && errno != EINVAL && errno != ENOTSUP && errno != EROFS)
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
    std::set<std::string> emptied;
    for (const std::string& entry : list.entries) {
        if (!apply_entry(entry, list.entries, emptied)) {
            print_reinstall_notice();
            return 1;
        }
    }
    if (list.new_manifest_unread) {
        print_reinstall_notice();
        return 1;
    }
    if (!finish_update(std::move(emptied))) {
        print_reinstall_notice();
        return 1;
    }
    return 0;
}

}  // namespace updater
