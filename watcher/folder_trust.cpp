#include "folder_trust.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

namespace watcher {
namespace {

constexpr const char* kSystemTrees[] = {"bin", "boot", "dev", "etc", "proc", "root",
                                        "run", "sbin", "sys", "usr", "var"};

}  // namespace

bool only_owner_writes(const struct stat& status) {
    return S_ISREG(status.st_mode) && (status.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool in_system_tree(const char* path) {
    while (*path == '/') ++path;
    const std::string top(path, std::strcspn(path, "/"));
    if (top.empty() || top.compare(0, 3, "lib") == 0) return true;
    for (const char* tree : kSystemTrees) {
        if (top == tree) return true;
    }
    return false;
}

bool may_watch(const char* folder, uid_t config_owner) {
    if (folder[0] != '/' || in_system_tree(folder)) return false;
    char resolved[PATH_MAX];
    if (realpath(folder, resolved) == nullptr) return true;
    if (in_system_tree(resolved)) return false;
    struct stat status;
    if (stat(resolved, &status) != 0) return true;
    return status.st_uid == 0 || status.st_uid == config_owner;
}

}  // namespace watcher
