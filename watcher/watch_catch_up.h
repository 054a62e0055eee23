// Closing the gap libinotifytools' recursive watch leaves: it lists a directory before it
// watches it, so a sub-directory made in between is neither listed nor announced by an event.
#pragma once

namespace watcher {

// Walks the tree below `directory` (with or without a final "/"), which must be watched already,
// and watches every directory found without a watch before listing it, so that from then on the
// kernel announces whatever is made below it. Symlinks are not followed. Returns false when a watch
// fails (inotifytools_error() tells why); directories that vanish during the walk or may not be
// read (ENOENT, EACCES) are skipped, with what is below them.
bool watch_unwatched_below(const char* directory, int mask);

}  // namespace watcher
