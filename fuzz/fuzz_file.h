// An in-memory file with a path, rewritten with each fuzz input.
#pragma once

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

struct fuzz_file {
    int fd;
    std::string path;

    explicit fuzz_file(const char* name) : fd(memfd_create(name, 0)) {
        // Writable by its owner alone, as the daemon requires of its registry and configuration
        // (a memfd starts with mode 0777).
        if (fd < 0 || fchmod(fd, 0644) != 0) std::abort();
        path = "/proc/self/fd/" + std::to_string(fd);
    }
    void set(const uint8_t* data, size_t size) {
        if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != static_cast<ssize_t>(size))
            std::abort();
    }
};
