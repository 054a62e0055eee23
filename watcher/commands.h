// The commands quillwatch starts: mknod and the appliance's email.
#pragma once

namespace watcher {

// Flushes standard output, starts the program `argv[0]` (looked up on PATH) with `argv` (null-
// terminated), with no descriptor of ours open but the standard streams, and waits for it to
// end. Returns true when it ended with status 0. Otherwise says on standard error that it could
// not be started, or with which status or signal it ended, and returns false.
bool run_command(const char* const argv[]);

// Creates the character device "/dev/inotify" (major 10, minor 63) with mknod.
void create_inotify_node();

// Sends the completion notice for the downloaded item `name`: email -m 1024 -c <name>.
void send_completion_notice(const char* name);

}  // namespace watcher
