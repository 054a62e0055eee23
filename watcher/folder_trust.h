// Whom quillwatch believes: a root daemon that runs "chmod 777 -R" on a folder named by other
// software's files must not be pointed at the system by anyone but root.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

namespace watcher {

// Returns true when `status` is a regular file that neither group nor others may write.
bool only_owner_writes(const struct stat& status);

// Returns true when `path` is "/" or lies in (or is) one of the system's own trees: /bin, /boot,
// /dev, /etc, /lib and its kin (/lib32, /lib64, ...), /proc, /root, /run, /sbin, /sys, /usr and
// /var. Looks at the text only; "" counts as "/".
bool in_system_tree(const char* path);

// Returns true when `folder` may be watched and reset: an absolute path that is neither "/" nor
// in a system tree, as written and with its symlinks resolved, and that is owned by root or by
// `config_owner`, the owner of the configuration that named it. A folder that doesn't exist
// passes (watching it fails later, as it always did).
bool may_watch(const char* folder, uid_t config_owner);

}  // namespace watcher
