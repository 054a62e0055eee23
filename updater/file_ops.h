// The file operations with which an update replaces and removes application files.
#pragma once

#include <string>

namespace updater {

// Copies `source` over `destination` in place: opens (creating it with the source's owner bits,
// mode & 0700, when absent, and then syncing the directory it was made in last, also where a
// dangling symlink at `destination` leads), truncates, writes every byte,
// fsyncs and closes it. Returns true
// only when all of that succeeded. A source that can't be opened or examined leaves the
// destination untouched; a later failure may leave it empty or partly written. When both names
// are the same file, nothing is written: through a hard link the result is true; through a
// symlink at `destination` it is false (deleting the source would leave the link dangling). Only
// regular files are copied: any other source or destination (a FIFO, a directory, a device)
// fails the copy without blocking and leaves the destination untouched.
bool copy_whole_file(const std::string& source, const std::string& destination);

// Replaces `target` atomically with the content of `source`: writes a temporary file beside the
// target, fsyncs it, gives it the target's permission bits (and owner, when run as root), renames
// it over the target and fsyncs the directory. Returns false and removes the temporary file on
// any failure; the target is then left as it was.
bool replace_by_rename(const std::string& source, const std::string& target);

// Returns true when `path` names the running executable (same device and inode as
// "/proc/self/exe"); false otherwise, also when either can't be examined.
bool is_running_executable(const std::string& path);

// Puts a staged copy in place of its target: replace_by_rename for the running executable
// (which can't be written in place) and for a target whose file must keep its content for
// another name (`shared`: it is another entry's staged copy); through a symlink, the file it
// leads to is replaced. copy_whole_file for every other target.
bool install_staged_copy(const std::string& staged, const std::string& target, bool shared = false);

// Unlinks `path`. Returns true exactly when unlink succeeds.
bool delete_file(const std::string& path);

// Makes the entries of directory `directory` durable. Returns false when it can't be synced.
bool fsync_directory(const std::string& directory);

}  // namespace updater
