// Finding the monitored folder: aMule's install path from the package registry, then the
// "IncomingDir" of aMule's configuration below it.
//
// Both files are read as plain text with fixed-size pieces and substring searches. The
// appliance's registry files are written for exactly these rules (a 13-character install path,
// the number after a double quote), so they are kept as they are.
#include "discovery.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "folder_trust.h"

namespace watcher {
namespace {

constexpr size_t kInstallPathWidth = 13;
constexpr char kPathTag[] = "<path>";
constexpr char kAmuleName[] = "<name>aMule</name>";
constexpr char kIncomingKey[] = "IncomingDir";
// The key's 11 letters and the character after it, normally "=".
constexpr size_t kValueOffset = sizeof kIncomingKey;

// The errors that a read-access test by name would have seen: the file is not there for us.
bool cannot_be_reached(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == ELOOP ||
           error == ENAMETOOLONG;
}

// Opens `path` with open_config_file as a stream. Returns null with errno set on failure.
std::FILE* open_config_stream(const char* path, uid_t& changers, uid_t believed = kAnyUser) {
    const int fd = open_config_file(path, changers, believed);
    std::FILE* file = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (fd >= 0 && file == nullptr) close(fd);
    return file;
}

}  // namespace

int read_package_path(char install_path[16], const char* registry) {
    // /tmp is open to every user: whoever made the registry first could otherwise name any
    // install path, and so any folder, for a root daemon to open to everyone.
    uid_t changers;
    std::FILE* file = open_config_stream(registry, changers, geteuid());
    if (file == nullptr) return -1;
    if (changers != 0 && changers != geteuid()) {
        std::fclose(file);
        return -1;
    }
    char piece[64];
    bool named = false;
    long number = 0;
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        if (const char* quote = std::strchr(piece, '"'))
            number = std::strtol(quote + 1, nullptr, 10);
        if (std::strstr(piece, kAmuleName) != nullptr) named = true;
        const char* tag = std::strstr(piece, kPathTag);
        if ((named || number != 0) && tag != nullptr) {
            // Copies up to the end of the piece and zero-fills the rest of the fixed width.
            std::strncpy(install_path, tag + std::strlen(kPathTag), kInstallPathWidth);
            named = false;
        }
    }
    std::fclose(file);
    return 0;
}

void format_config_path(char out[64], const char* install_path) {
    std::snprintf(out, 64, kConfigPathFormat, install_path);
}

int read_monitor_folder(char folder[256], const char* registry, uid_t* config_owner) {
    char install_path[16] = {};
    if (read_package_path(install_path, registry) != 0) {
        std::puts(kReadXmlError);
        return -1;
    }
    char config_path[64];
    format_config_path(config_path, install_path);
    // Opened once: a read-access test by name first would look the name up twice. A file that
    // may not be believed counts as one that can't be opened.
    uid_t changers;
    std::FILE* file = open_config_stream(config_path, changers);
    if (file == nullptr) {
        std::puts(cannot_be_reached(errno) ? kNoConfigFile : kConfigReadError);
        return -1;
    }
    if (config_owner != nullptr) *config_owner = changers;
    char piece[256];
    while (std::fgets(piece, sizeof piece, file) != nullptr) {
        const char* key = std::strstr(piece, kIncomingKey);
        if (key == nullptr) continue;
        const char* value = std::strlen(key) >= kValueOffset ? key + kValueOffset : "";
        const size_t length = std::strlen(value);
        std::memcpy(folder, value, length + 1);
        // A piece holds at most one newline, at its end; a value without one (a last line
        // without a line end, or the start of an over-long line) stays as it is.
        if (length > 0 && folder[length - 1] == '\n') {
            folder[length - 1] = '/';
            std::printf(kMonitorFolderFormat, folder);
        }
    }
    std::fclose(file);
    return 0;
}

}  // namespace watcher
