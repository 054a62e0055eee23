// What lies in the temporary folder, by identity: the downloads in progress, remembered so that
// one completed while events were lost is still announced.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace watcher {

// A file's identity (device and inode), whatever its name.
struct item_id {
    dev_t device;
    ino_t inode;
    bool operator==(const item_id& other) const {
        return device == other.device && inode == other.inode;
    }
};

struct item_id_hash {
    std::size_t operator()(const item_id& id) const {
        return std::hash<unsigned long long>()(static_cast<unsigned long long>(id.device) * 1000003u ^
                                               static_cast<unsigned long long>(id.inode));
    }
};

using item_ids = std::unordered_set<item_id, item_id_hash>;

// The temporary folder holds the downloads in progress and their metadata files: hundreds of
// items. Beyond this many at once the rest are not remembered (and get no notice through lost
// events, as before).
constexpr std::size_t kRememberedItems = 4096;

struct download_memory {
    item_ids in_temp;  // met in the temporary folder by the last walks, or seen arriving there
    item_ids met;      // met so by the walk under way
    // Remembered items a walk found under "IncomingDir" while no events were known lost: their
    // move's events may still be queued (an overflow among them), until the queue is read.
    item_ids arrived;
    bool events_lost = false;  // since the last complete walk
    // Announced by a walk after lost events: should their move's own events still be queued, they
    // announce nothing again. Forgotten once the queue has been read.
    item_ids announced;
    // The walk under way: what it found to announce, and the directories announced (what lies
    // below them is theirs).
    std::vector<std::string> due;
    std::vector<std::string> announced_directories;
};

// Starts a walk of the tree.
void begin_memory_walk(download_memory& memory);

// Tells the walk under way of the item `name` (identity `id`) in the directory at
// `directory` (ending in "/"). An item of the temporary folder (lying in the first directory of
// its path whose name holds "TempDir") is remembered; one under an "IncomingDir" path but no
// "TempDir" one that was remembered is due for a notice when events were lost.
void meet_item(download_memory& memory, const std::string& directory, const char* name,
               const item_id& id, bool is_directory);

// Returns true when `directory` (ending in "/") is a temporary folder: the first directory on its
// path whose name holds "TempDir".
bool is_temp_folder(const std::string& directory);

// Remembers item `id`, seen arriving at `path`, when that lies in the temporary folder.
void remember_temp_item(download_memory& memory, const char* path, const item_id& id);

// Ends the walk (`complete`: it met every entry of the tree). Returns the names to announce, each
// once. A complete walk leaves in memory only what it met under "TempDir", and what events may
// have lost is then known.
std::vector<std::string> end_memory_walk(download_memory& memory, bool complete);

// The queue has been read: a move that a walk met the item of before its events were read has
// had them read by now (or they were lost, and the overflow read says so).
void queue_read(download_memory& memory);

// A completed move of item `id` was seen in its events. Returns false when a walk announced it
// already (after lost events, with its move still queued); it is forgotten either way.
bool announce_from_move(download_memory& memory, const item_id& id);

}  // namespace watcher
