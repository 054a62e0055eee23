// Decisions of the event loop, kept apart from inotify and processes so they can be tested alone.
#include "event_rules.h"

#include <sys/inotify.h>

#include <cstring>

#include "messages.h"

namespace watcher {

event_branch classify_event(std::uint32_t mask, bool pending_move) {
    if ((mask & IN_CREATE) || ((mask & IN_MOVED_TO) && !pending_move))
        return event_branch::new_item;
    if (mask & IN_MOVED_FROM) return event_branch::move_out;
    if (mask & IN_MOVED_TO) return event_branch::paired_move_in;
    if (mask & (IN_DELETE | IN_DELETE_SELF)) return event_branch::deletion;
    return event_branch::no_case;
}

bool drops_pending_move(std::uint32_t mask, bool pending_move, bool same_cookie) {
    return pending_move && !((mask & IN_MOVED_TO) && same_cookie);
}

bool is_monitored_folder(const char* path, const char* folder) {
    size_t path_length = std::strlen(path);
    size_t folder_length = std::strlen(folder);
    if (ends_with_slash(path)) --path_length;
    if (ends_with_slash(folder)) --folder_length;
    return folder_length > 0 && path_length == folder_length &&
           std::strncmp(path, folder, path_length) == 0;
}

bool is_stale_event(std::uint32_t mask, bool has_record) {
    if (mask & (IN_IGNORED | IN_Q_OVERFLOW)) return false;
    return !has_record;
}

bool ends_with_slash(const char* path) {
    const size_t length = std::strlen(path);
    return length > 0 && path[length - 1] == '/';
}

bool is_directory_deletion(std::uint32_t mask, const char* del_name) {
    return (mask & IN_ISDIR) || ((mask & IN_DELETE_SELF) && ends_with_slash(del_name));
}

const char* completed_download_name(const char* from, const char* to) {
    if (std::strstr(from, kTempDirWord) == nullptr || std::strstr(to, kIncomingDirWord) == nullptr)
        return nullptr;
    if (std::strchr(from, '/') == nullptr) return nullptr;
    // Where it arrived: aMule moves "001.part" from its temporary folder under the download's
    // real name, which is the one the user waits for.
    const char* slash = std::strrchr(to, '/');
    return slash == nullptr ? to : slash + 1;
}

}  // namespace watcher
