// A file with a path, rewritten with each fuzz input.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

struct fuzz_file {
    std::string path;

    // A plain file in a directory of its own: the daemon opens its registry and configuration
    // one component at a time and believes them only as a real file that only its owner (and
    // the owners of the directories above) may change, never through /proc's magic links.
    explicit fuzz_file(const char* name) {
        char dir[] = "/tmp/fuzz.XXXXXX";
        if (mkdtemp(dir) == nullptr) std::abort();
        path = std::string(dir) + "/" + name;
        set(nullptr, 0);
    }
    void set(const uint8_t* data, size_t size) {
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) std::abort();
        close(fd);
    }
};
