// Paths in the lines the daemon prints: any name below the folder is a user's choice, so a line
// that carries one is bounded whatever the name's length.
#pragma once

#include <string>

namespace watcher {

// Returns `path` as it is up to 245 characters; a longer one keeps its first and last 120
// characters with "/.../" between them.
std::string shortened_path(const std::string& path);

}  // namespace watcher
