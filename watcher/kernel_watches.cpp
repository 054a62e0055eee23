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

}  // namespace

std::string handle_key(unsigned type, const std::string& bytes) {
    std::string key(4, '\0');
    for (int i = 0; i < 4; ++i) key[i] = static_cast<char>(type >> (8 * i));
    return key + bytes;
}

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
    const char* bytes = reinterpret_cast<const char*>(storage + offsetof(file_handle, f_handle));
    return handle_key(static_cast<unsigned>(handle->handle_type),
                      std::string(bytes, handle->handle_bytes));
}

bool parse_fdinfo_line(const char* line, kernel_watch& watch) {
    unsigned wd, kernel_device;
    std::uintmax_t inode;
    if (std::sscanf(line, "inotify wd:%x ino:%" SCNxMAX " sdev:%x", &wd, &inode, &kernel_device) !=
        3)
        return false;
    // The kernel's own encoding: 12 bits of major above 20 bits of minor.
    watch = {static_cast<int>(wd), makedev(kernel_device >> 20, kernel_device & 0xfffff),
             static_cast<ino_t>(inode), ""};
    unsigned type;
    char hex[2 * MAX_HANDLE_SZ + 1];
    const char* handle_at = std::strstr(line, " fhandle-type:");
    if (handle_at == nullptr ||
        std::sscanf(handle_at, " fhandle-type:%x f_handle:%256[0-9a-f]", &type, hex) != 2)
        return true;
    std::string bytes;
    for (const char* at = hex; at[0] != '\0' && at[1] != '\0'; at += 2) {
        const char pair[3] = {at[0], at[1], '\0'};
        bytes += static_cast<char>(std::strtoul(pair, nullptr, 16));
    }
    watch.handle = handle_key(type, bytes);
    return true;
}

std::vector<kernel_watch> parse_inotify_fdinfo(const std::string& text) {
    std::vector<kernel_watch> watches;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        kernel_watch watch;
        if (parse_fdinfo_line(text.substr(at, end - at).c_str(), watch)) watches.push_back(watch);
        at = end + 1;
    }
    return watches;
}

bool read_kernel_watches(const std::function<void(const kernel_watch&)>& each) {
    const int inotify_fd = find_inotify_descriptor();
    if (inotify_fd < 0) return false;
    char name[64];
    std::snprintf(name, sizeof name, "/proc/self/fdinfo/%d", inotify_fd);
    const int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    // Line by line through one buffer: the whole text runs to some 100 bytes a watch.
    char buffer[65536];
    std::size_t held = 0;
    ssize_t length;
    while ((length = read(fd, buffer + held, sizeof buffer - 1 - held)) > 0) {
        held += static_cast<std::size_t>(length);
        buffer[held] = '\0';
        char* line = buffer;
        while (char* end = std::strchr(line, '\n')) {
            *end = '\0';
            kernel_watch watch;
            if (parse_fdinfo_line(line, watch)) each(watch);
            line = end + 1;
        }
        held = static_cast<std::size_t>(buffer + held - line);
        std::memmove(buffer, line, held);
        if (held == sizeof buffer - 1) held = 0;  // no line is that long: skip it
    }
    const int error = errno;
    close(fd);
    if (length < 0) {
        errno = error;
        return false;
    }
    return true;
}

}  // namespace watcher
