// What lies in the temporary folder, by identity.
#include "download_memory.h"

#include <cstring>
#include <utility>

namespace watcher {
namespace {

bool holds(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// An item of the temporary folder itself (the first directory on its path whose name holds
// "TempDir", or that directory): what a download is while it downloads. What lies deeper is the
// item's own, and goes where it goes.
bool lies_in_temp_folder(const std::string& directory, const char* name) {
    const std::size_t at = directory.find("TempDir");
    if (at == std::string::npos) return std::strstr(name, "TempDir") != nullptr;
    return directory.find('/', at) == directory.size() - 1;
}

}  // namespace

bool is_temp_folder(const std::string& directory) { return lies_in_temp_folder(directory, ""); }

void begin_memory_walk(download_memory& memory) {
    memory.met.clear();
    memory.due.clear();
    memory.announced_directories.clear();
}

void meet_item(download_memory& memory, const std::string& directory, const char* name,
               const item_id& id, bool is_directory) {
    if (holds(directory, "TempDir") || std::strstr(name, "TempDir") != nullptr) {
        if (lies_in_temp_folder(directory, name) && memory.met.size() < kRememberedItems)
            memory.met.insert(id);
        return;
    }
    if (!holds(directory, "IncomingDir") && std::strstr(name, "IncomingDir") == nullptr) return;
    if (memory.in_temp.erase(id) + memory.arrived.erase(id) == 0) return;
    if (!memory.events_lost) {
        // Its move's events are read, or still queued: they tell.
        memory.arrived.insert(id);
        return;
    }
    for (const std::string& announced : memory.announced_directories) {
        if (directory.compare(0, announced.size(), announced) == 0) return;
    }
    memory.due.emplace_back(name);
    memory.announced.insert(id);
    if (is_directory) memory.announced_directories.push_back(directory + name + "/");
}

std::vector<std::string> end_memory_walk(download_memory& memory, bool complete) {
    if (complete) {
        memory.in_temp = std::move(memory.met);
        memory.events_lost = false;
    } else {
        // What it didn't reach may still lie anywhere.
        for (const item_id& id : memory.met) {
            if (memory.in_temp.size() >= kRememberedItems) break;
            memory.in_temp.insert(id);
        }
    }
    memory.met = item_ids();
    memory.announced_directories.clear();
    return std::move(memory.due);
}

void remember_temp_item(download_memory& memory, const char* path, const item_id& id) {
    const char* slash = std::strrchr(path, '/');
    const std::string directory(path, slash == nullptr ? 0 : slash + 1 - path);
    if (lies_in_temp_folder(directory, path + directory.size()) &&
        memory.in_temp.size() < kRememberedItems)
        memory.in_temp.insert(id);
}

void queue_read(download_memory& memory) {
    memory.announced.clear();
    if (!memory.events_lost) memory.arrived.clear();
}

bool announce_from_move(download_memory& memory, const item_id& id) {
    memory.in_temp.erase(id);
    memory.arrived.erase(id);
    return memory.announced.erase(id) == 0;
}

}  // namespace watcher
