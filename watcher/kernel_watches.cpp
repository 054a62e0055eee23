#include "kernel_watches.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace watcher {
namespace {

constexpr int kHandleFid = 0x200;  // AT_HANDLE_FID

std::string format_handle(unsigned type, const char* hex_bytes) {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "%x:", type);
    return prefix + std::string(hex_bytes);
}

}  // namespace

// Its /proc/self/fd link reads "anon_inode:inotify".
int find_inotify_descriptor() {
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return -1;
    int found = -1;
    while (const dirent* entry = readdir(fds)) {
        char target[32];
        const ssize_t length = readlinkat(dirfd(fds), entry->d_name, target, sizeof target - 1);
        if (length <= 0) continue;
        target[length] = '\0';
        if (std::strcmp(target, "anon_inode:inotify") == 0) {
            found = std::atoi(entry->d_name);
            break;
        }
    }
    closedir(fds);
    if (found < 0) errno = ENOENT;
    return found;
}

std::string handle_of(int fd) {
    alignas(file_handle) unsigned char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
    auto* handle = reinterpret_cast<file_handle*>(storage);
    handle->handle_bytes = MAX_HANDLE_SZ;
    int mount_id;
    // The kernel encodes a watch's handle as an identifier only (AT_HANDLE_FID, Linux 6.5); the
    // file systems that encode one differently for opening have it from 6.5 on as well.
    if (name_to_handle_at(fd, "", handle, &mount_id, AT_EMPTY_PATH | kHandleFid) != 0) {
        handle->handle_bytes = MAX_HANDLE_SZ;
        if (errno != EINVAL || name_to_handle_at(fd, "", handle, &mount_id, AT_EMPTY_PATH) != 0)
            return "";
    }
    const unsigned char* bytes = storage + offsetof(file_handle, f_handle);
    std::string hex;
    char byte[3];
    for (unsigned i = 0; i < handle->handle_bytes; ++i) {
        std::snprintf(byte, sizeof byte, "%02x", bytes[i]);
        hex += byte;
    }
    return format_handle(static_cast<unsigned>(handle->handle_type), hex.c_str());
}

std::vector<kernel_watch> parse_inotify_fdinfo(const std::string& text) {
    std::vector<kernel_watch> watches;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        unsigned wd, kernel_device;
        std::uintmax_t inode;
        if (std::sscanf(line.c_str(), "inotify wd:%x ino:%" SCNxMAX " sdev:%x", &wd, &inode,
                        &kernel_device) != 3)
            continue;
        // The kernel's own encoding: 12 bits of major above 20 bits of minor.
        const dev_t device = makedev(kernel_device >> 20, kernel_device & 0xfffff);
        unsigned type;
        char bytes[2 * MAX_HANDLE_SZ + 1];
        const std::size_t handle_at = line.find(" fhandle-type:");
        std::string handle;
        if (handle_at != std::string::npos &&
            std::sscanf(line.c_str() + handle_at, " fhandle-type:%x f_handle:%256[0-9a-f]", &type,
                        bytes) == 2)
            handle = format_handle(type, bytes);
        watches.push_back({static_cast<int>(wd), device, static_cast<ino_t>(inode), handle});
    }
    return watches;
}

bool read_kernel_watches(std::vector<kernel_watch>& watches) {
    const int inotify_fd = find_inotify_descriptor();
    if (inotify_fd < 0) return false;
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", inotify_fd);
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    std::string text;
    char buffer[65536];
    ssize_t length;
    while ((length = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, length);
    const int error = errno;
    close(fd);
    if (length < 0) {
        errno = error;
        return false;
    }
    watches = parse_inotify_fdinfo(text);
    return true;
}

}  // namespace watcher
