// The file operations with which an update replaces and removes application files.
#include "file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <new>

#include "app_directory.h"
#include "unique_fd.h"

namespace updater {
namespace {

// Suffix of the temporary file that replace_by_rename writes beside its target. The name is
// fixed, not random, so that a run interrupted by a crash leaves nothing that the next run does
// not clear away.
constexpr char kTemporarySuffix[] = ".updating";

// Copies everything from `in` to `out` through one buffer of `block` bytes. Each chunk read is
// written with a single write; a short write counts as a failure.
bool stream_copy(int in, int out, size_t block) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[block]);
    if (!buffer) return false;
    for (;;) {
        const ssize_t n = read(in, buffer.get(), block);
        if (n == 0) return true;
        if (n < 0) return false;
        if (write(out, buffer.get(), static_cast<size_t>(n)) != n) return false;
    }
}

size_t block_size(const struct stat& st) {
    return st.st_blksize > 0 ? static_cast<size_t>(st.st_blksize) : 4096;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool is_symlink(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

}  // namespace

bool copy_whole_file(const std::string& source, const std::string& destination) {
    // Never blocking: a FIFO would otherwise hang the run until some writer came along.
    unique_fd in(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) return false;
    struct stat source_stat;
    if (fstat(in.fd, &source_stat) != 0 || !S_ISREG(source_stat.st_mode)) return false;

    // A file this copy makes has a name only its directory's sync makes durable: without it a
    // power cut could keep the staged copy's deletion and lose the new file. Through a dangling
    // symlink the file is made where the link leads.
    struct stat existing;
    const bool created = stat(destination.c_str(), &existing) != 0 && errno == ENOENT;
    // Opened without O_TRUNC: if the destination is the source itself (a hard link, or a symlink
    // to it), truncating would destroy the only copy of the new content. Only a regular file is
    // written: a FIFO without a reader fails to open, a device or FIFO that opens is refused.
    unique_fd out(open(destination.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC,
                       source_stat.st_mode & 0700));
    if (!out.valid()) return false;
    struct stat destination_stat;
    if (fstat(out.fd, &destination_stat) != 0 || !S_ISREG(destination_stat.st_mode)) return false;
    // Through a hard link the content stays once the source is deleted; through a symlink it
    // would go with it, and the copy must not count as done.
    if (same_file(source_stat, destination_stat)) return !is_symlink(destination);
    if (ftruncate(out.fd, 0) != 0) return false;

    if (!stream_copy(in.fd, out.fd, block_size(source_stat))) return false;
    in.close();
    if (fsync(out.fd) != 0) return false;
    if (!out.close()) return false;
    if (!created) return true;
    char made[PATH_MAX];
    return realpath(destination.c_str(), made) != nullptr && fsync_directory(directory_of(made));
}

bool replace_by_rename(const std::string& source, const std::string& target) {
    struct stat target_stat;
    if (stat(target.c_str(), &target_stat) != 0) return false;
    unique_fd in(open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!in.valid()) return false;
    struct stat source_stat;
    if (fstat(in.fd, &source_stat) != 0 || !S_ISREG(source_stat.st_mode)) return false;

    const std::string temporary = target + kTemporarySuffix;
    unlink(temporary.c_str());  // a leftover of an interrupted run
    unique_fd out(
        open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!out.valid()) return false;

    // The owner goes first: fchown clears the set-id bits that fchmod then restores. Both come
    // before the fsync, so that the renamed file can't come back after a power cut with the
    // temporary's owner and mode (root's, 0700).
    bool ok = stream_copy(in.fd, out.fd, block_size(source_stat)) &&
              (geteuid() != 0 || fchown(out.fd, target_stat.st_uid, target_stat.st_gid) == 0) &&
              fchmod(out.fd, target_stat.st_mode & 07777) == 0 && fsync(out.fd) == 0;
    ok = out.close() && ok;
    ok = ok && rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        unlink(temporary.c_str());
        return false;
    }
    // The rename is done; without the directory sync a power cut could still bring back the old
    // file after the caller has deleted the staged copy.
    return fsync_directory(directory_of(target));
}

bool is_running_executable(const std::string& path) {
    struct stat candidate, self;
    if (stat(path.c_str(), &candidate) != 0) return false;
    if (stat("/proc/self/exe", &self) == 0 && same_file(self, candidate)) return true;
    // Under valgrind or qemu-user the process's executable is the emulator, which maps the
    // program without the kernel's protection against writes; the link's text still names it.
    char target[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    return stat(target, &self) == 0 && same_file(self, candidate);
}

bool install_staged_copy(const std::string& staged, const std::string& target, bool shared) {
    if (!shared && !is_running_executable(target)) return copy_whole_file(staged, target);
    // Written through a symlink like every other target: the rename replaces the file the link
    // leads to, not the link.
    char resolved[PATH_MAX];
    if (realpath(target.c_str(), resolved) == nullptr) return false;
    return replace_by_rename(staged, resolved);
}

bool delete_file(const std::string& path) { return unlink(path.c_str()) == 0; }

bool fsync_directory(const std::string& directory) {
    unique_fd dir(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return dir.valid() && fsync(dir.fd) == 0 && dir.close();
}

}  // namespace updater
