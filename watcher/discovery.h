// Finding the monitored folder: aMule's install path from the package registry, then the
// "IncomingDir" of aMule's configuration below it.
#pragma once

#include <sys/types.h>

#include "messages.h"

namespace watcher {

// Scans `registry` line by line in pieces of at most 63 characters and copies the 13 characters
// after "<path>" into `install_path` (16 characters, zeroed by the caller) whenever the piece
// belongs to aMule (the name flag) or the number after the last double quote seen is not 0.
// Returns 0 when the registry was read to its end, -1 when it can't be opened or may not be
// believed: open_config_file must open it, and only root (or the user running this) may change
// what is read there. Prints nothing.
int read_package_path(char install_path[16], const char* registry = kRegistryPath);

// Writes aMule's configuration path for `install_path` into `out`:
// "<install_path>/Nas_Prog/aMule/.aMule/amule.conf", cut to 63 characters.
void format_config_path(char out[64], const char* install_path);

// Reads aMule's configuration below the install path found in `registry` and copies the value
// of its last "IncomingDir" line into `folder` (256 characters, zeroed by the caller), with the
// line's newline turned into "/" and announced on standard output. Returns 0 when the file was
// read to its end, -1 after printing "read xml error", "No this file" (it can't be reached:
// missing, not readable, too many symlinks) or "Read error" (it can't be opened otherwise, or
// open_config_file refuses it). Who can change the configuration (see
// open_config_file) goes to `config_owner` when given.
int read_monitor_folder(char folder[256], const char* registry = kRegistryPath,
                        uid_t* config_owner = nullptr);

}  // namespace watcher
