// Locating the directory that holds the running updater.
#pragma once

#include <string>

namespace updater {

// Returns the directory of the running executable, read whole from "/proc/self/exe" ("/" for
// one that lies there). Returns "", with errno set, when the link can't be read.
std::string find_application_directory();

// Returns `path` without its last "/" and everything after it; unchanged when it holds no "/".
std::string strip_last_component(const std::string& path);

// Returns the directory that holds `path`: "." for a bare name, "/" for a name directly in "/".
std::string directory_of(const std::string& path);

}  // namespace updater
