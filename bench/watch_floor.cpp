// The floor of a start-up: one inotify watch on every directory of a tree, by path, and nothing
// kept beside the kernel's. Prints "ready" once every watch is set, then waits to be killed.
// Usage: watch_floor TREE
#include <fcntl.h>
#include <ftw.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdio>

namespace {

int inotify_fd;

int watch_directory(const char* path, const struct stat*, int type, FTW*) {
    if (type == FTW_D) inotify_add_watch(inotify_fd, path, 0xFC0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    inotify_fd = inotify_init();
    if (inotify_fd < 0 || nftw(argv[1], watch_directory, 64, FTW_PHYS) != 0) return 1;
    std::puts("ready");
    std::fflush(stdout);
    pause();
    return 0;
}
