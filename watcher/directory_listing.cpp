#include "directory_listing.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>

namespace watcher {

bool list_directory(int fd,
                    const std::function<void(const char* name, unsigned char type)>& visit) {
    // opendir would allocate (and fstat for) a buffer of its own for every directory of a tree.
    alignas(dirent64) static char buffer[32768];
    ssize_t length;
    while ((length = getdents64(fd, buffer, sizeof buffer)) > 0) {
        for (ssize_t at = 0; at < length;) {
            const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
            at += entry->d_reclen;
            const char* name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
            visit(name, entry->d_type);
        }
    }
    return length == 0;
}

}  // namespace watcher
