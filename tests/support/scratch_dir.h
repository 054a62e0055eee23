// A temporary directory for tests that touch the disk, removed with its contents at the end.
#pragma once

#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace test_support {

struct scratch_dir {
    std::string path;

    scratch_dir() {
        char name[] = "/tmp/scratch.XXXXXX";
        if (mkdtemp(name) == nullptr) std::abort();
        path = name;
    }
    ~scratch_dir() {
        // rm: a tree may lie deeper than a path can name, which nftw can't walk.
        const char* const argv[] = {"rm", "-rf", "--", path.c_str(), nullptr};
        pid_t pid;
        if (posix_spawnp(&pid, "rm", nullptr, nullptr, const_cast<char* const*>(argv), environ) ==
            0)
            waitpid(pid, nullptr, 0);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;

    // Returns the absolute path of `name` inside the directory.
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

inline mode_t mode_of(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

}  // namespace test_support
