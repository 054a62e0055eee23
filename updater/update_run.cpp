// One run of the updater: from finding its directory to the exit status.
#include "update_run.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "app_directory.h"
#include "console.h"
#include "file_ops.h"
#include "manifest.h"
#include "messages.h"

namespace updater {
namespace {

// The trigger counts as present only when it can be opened for reading: a run that misses it
// changes nothing, and the next run finds it again.
bool readable(const std::string& path) {
    std::FILE* stream = std::fopen(path.c_str(), "r");
    if (stream == nullptr) return false;
    std::fclose(stream);
    return true;
}

// A staged copy or new manifest counts as present when it exists at all, even if it can't be
// opened just now: passing over one that exists would let the run delete the trigger and leave
// its target old for good, while reporting success.
bool present(const std::string& path) {
    if (readable(path)) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

struct file_list {
    std::vector<std::string> entries;
    // The new manifest exists but could not be read: the current one stood in for it, and the
    // update can't be completed in this run.
    bool new_manifest_unread = false;
};

// Reads the new manifest, else the current one. Returns false after printing why neither loaded.
bool load_file_list(file_list& list) {
    if (read_manifest(kNewManifest, list.entries)) return true;
    print_line(kNewManifestFailed);
    list.new_manifest_unread = present(kNewManifest);
    if (read_manifest(kCurrentManifest, list.entries)) return true;
    print_line(kCurrentManifestFailed);
    return false;
}

// Puts one entry's staged copy in place and deletes it; an entry without one is passed over.
// Returns false after printing the failure line.
bool apply_entry(const std::string& entry) {
    const std::string staged = entry + kStagedSuffix;
    if (!present(staged)) return true;
    print_line(kUpdatingPrefix + staged);
    if (!install_staged_copy(staged, entry)) {
        print_line(kCopyFailedPrefix + staged);
        return false;
    }
    print_line(kDeletingPrefix + staged);
    if (!delete_file(staged)) {
        print_line(kDeleteFailedPrefix + staged);
        return false;
    }
    return true;
}

// Promotes the new manifest (when there is one) and deletes the trigger. The trigger goes last
// and only once the promotion is durable: until it is gone a later run takes the update up
// again, so a crash or a failed step here leaves a state that the next run completes. Nothing
// is reported either way.
void finish_update() {
    if (present(kNewManifest) &&
        !(copy_whole_file(kNewManifest, kCurrentManifest) && delete_file(kNewManifest))) {
        return;
    }
    if (fsync_directory(".")) delete_file(kTrigger);
}

}  // namespace

int run_update() {
    const std::string directory = find_application_directory();
    if (!directory.empty() && chdir(directory.c_str()) != 0) {
        // Not fatal: the run goes on in the directory it was started from.
    }
    print_line(kStartLine);
    sleep(5);

    if (!readable(kTrigger)) return 0;
    file_list list;
    if (!load_file_list(list)) {
        print_reinstall_notice();
        return 1;
    }
    for (const std::string& entry : list.entries) {
        if (!apply_entry(entry)) {
            print_reinstall_notice();
            return 1;
        }
    }
    if (list.new_manifest_unread) {
        print_reinstall_notice();
        return 1;
    }
    finish_update();
    return 0;
}

}  // namespace updater
