// The commands quillwatch starts: mknod and the appliance's email.
//
// Every command gets its arguments as a vector and never goes through a shell. Item names come
// from peer-to-peer downloads: through "sh -c", a download named  x"; reboot; "  would run
// reboot as root. Passed as one argv element, any byte sequence reaches the program unaltered.
#include "commands.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "messages.h"

extern char** environ;

namespace watcher {

bool run_command(const char* const argv[]) {
    // Our lines must come before anything the child writes to a shared log.
    std::fflush(stdout);
    // The child gets the standard streams and nothing else of ours: an inherited inotify
    // descriptor would keep the instance, and its watches, alive as long as any command it
    // started in the background runs.
    posix_spawn_file_actions_t streams_only;
    posix_spawn_file_actions_init(&streams_only);
    posix_spawn_file_actions_addclosefrom_np(&streams_only, 3);
    pid_t pid;
    const int spawned = posix_spawnp(&pid, argv[0], &streams_only, nullptr,
                                     const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&streams_only);
    if (spawned != 0) {
        std::fprintf(stderr, kCommandNotStartedFormat, argv[0], std::strerror(spawned));
        return false;
    }
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, kCommandFailedFormat, argv[0], WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        std::fprintf(stderr, kCommandKilledFormat, argv[0], WTERMSIG(status));
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void create_inotify_node() {
    const char* const argv[] = {"mknod", kInotifyNode, "c", "10", "63", nullptr};
    run_command(argv);
}

void send_completion_notice(const char* name) {
    const char* const argv[] = {"email", "-m", "1024", "-c", name, nullptr};
    run_command(argv);
}

}  // namespace watcher
