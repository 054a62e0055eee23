// One run of the updater: from finding its directory to the exit status.
#include "update_run.h"

#include <unistd.h>

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

// A file counts as present only when it can be opened for reading.
bool readable(const std::string& path) {
    std::FILE* stream = std::fopen(path.c_str(), "r");
    if (stream == nullptr) return false;
    std::fclose(stream);
    return true;
}

// Reads the new manifest, else the current one. Returns false after printing why neither loaded.
bool load_file_list(std::vector<std::string>& files) {
    if (read_manifest(kNewManifest, files)) return true;
    print_line(kNewManifestFailed);
    if (read_manifest(kCurrentManifest, files)) return true;
    print_line(kCurrentManifestFailed);
    return false;
}

// Puts one entry's staged copy in place and deletes it; an entry without one is passed over.
// Returns false after printing the failure line.
bool apply_entry(const std::string& entry) {
    const std::string staged = entry + kStagedSuffix;
    if (!readable(staged)) return true;
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

// The trigger goes last: until it is gone a later run takes the update up again, so a crash
// at any point here leaves a state that the next run completes. The directory sync makes the
// manifest's promotion durable before the trigger's removal can be. Outcomes are not reported.
void finish_update() {
    copy_whole_file(kNewManifest, kCurrentManifest);
    delete_file(kNewManifest);
    fsync_directory(".");
    delete_file(kTrigger);
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
    std::vector<std::string> files;
    if (!load_file_list(files)) {
        print_reinstall_notice();
        return 1;
    }
    for (const std::string& entry : files) {
        if (!apply_entry(entry)) {
            print_reinstall_notice();
            return 1;
        }
    }
    finish_update();
    return 0;
}

}  // namespace updater
