// A file descriptor that is closed when it goes out of scope.
#pragma once

#include <unistd.h>

namespace updater {

struct unique_fd {
    int fd = -1;

    explicit unique_fd(int descriptor) : fd(descriptor) {}
    ~unique_fd() {
        if (fd >= 0) ::close(fd);
    }
    unique_fd(unique_fd&& other) noexcept : fd(other.fd) { other.fd = -1; }
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;

    bool valid() const { return fd >= 0; }
    // Closes the descriptor now. Returns false when close fails (for a written file, the data
    // may then not have reached the disk).
    bool close() {
        const int descriptor = fd;
        fd = -1;
        return ::close(descriptor) == 0;
    }
};

}  // namespace updater
