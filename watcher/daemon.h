// The quillwatch daemon: start-up, then one event at a time until the monitored folder goes.
#pragma once

namespace watcher {

// Runs the daemon. Returns 0 when the monitored folder was deleted, 1 when start-up or the
// event queue failed (after printing why), 2 when the event queue ended without an error.
int run_daemon();

}  // namespace watcher
