// Every fixed name, command word and line that quillwatch can print.
#pragma once

namespace watcher {

// Discovery: where aMule is registered and configured.
inline constexpr const char kRegistryPath[] = "/tmp/apkg.xml";
inline constexpr const char kConfigPathFormat[] = "%s/Nas_Prog/aMule/.aMule/amule.conf";
inline constexpr const char kReadXmlError[] = "read xml error";
inline constexpr const char kNoConfigFile[] = "No this file";
inline constexpr const char kConfigReadError[] = "Read error";
inline constexpr const char kMonitorFolderFormat[] = "amule monitor folder: %s\n";

// Path checks, on standard error.
inline constexpr const char kStatFailedFormat[] = "Stat failed on %s: %s\n";
inline constexpr const char kAssertionWithMessageFormat[] = "%s:%d assertion ( %s ) failed: %s\n";
inline constexpr const char kAssertionFormat[] = "%s:%d assertion ( %s ) failed.\n";

}  // namespace watcher

namespace watcher {

// Start-up.
inline constexpr const char kVersionFormat[] = "--->Version: %s\n";
inline constexpr const char kVersion[] = "v1.00.20090923";
inline constexpr const char kInotifyNode[] = "/dev/inotify";
inline constexpr const char kCreatingNode[] = "Create /dev/inotify !";
inline constexpr const char kInitFailed[] = "ERROR: inotify init fail!";
inline constexpr const char kNothingToWatch[] = "No files specified to watch!";
inline constexpr const char kWatchLimitFormat[] =
    "Failed to watch %s; upper limit on inotify watches reached!\n";
inline constexpr const char kWatchFailedFormat[] = "Couldn't watch %s: %s\n";

// Event loop.
inline constexpr const char kRemoveWatchFailedFormat[] = "Error removing watch on %s: %s\n";
inline constexpr const char kWatchNewDirFailedFormat[] = "Couldn't watch new directory %s: %s\n";
inline constexpr const char kFolderDeleted[] =
    "ERROR: the watched directory is not exist! Stop inotify Daemon.";
inline constexpr const char kNoCaseMatched[] = "SYSTEM: Event NO case matched !!";
inline constexpr const char kResetEchoFormat[] = "[chmod 777 -R %s]\n";
// What the reset leaves as it is, on standard error, in chmod's own words.
inline constexpr const char kCannotAccessFormat[] = "chmod: cannot access '%s': %s\n";
inline constexpr const char kCannotReadDirectoryFormat[] =
    "chmod: cannot read directory '%s': %s\n";
inline constexpr const char kChangeFailedFormat[] = "chmod: changing permissions of '%s': %s\n";
inline constexpr const char kHardLinkFormat[] =
    "chmod: not changing permissions of '%s': it has %ju links\n";
// A reset reports a few of each kind; the rest are summed up.
inline constexpr const char kLinkedFilesFormat[] =
    "chmod: not changing permissions of %ju files that have, or had, more than one link, "
    "such as '%s'\n";
inline constexpr const char kMoreFailuresFormat[] =
    "quillwatch: %d more entries could not be reset\n";
inline constexpr const char kCannotReturnFormat[] =
    "quillwatch: cannot return to '%s' during the reset: %s\n";
// A command that failed, on standard error: a notice it was to send may be lost.
inline constexpr const char kCommandNotStartedFormat[] = "quillwatch: cannot run %s: %s\n";
inline constexpr const char kCommandFailedFormat[] = "quillwatch: %s exited with status %d\n";
inline constexpr const char kCommandKilledFormat[] = "quillwatch: %s was killed by signal %d\n";
inline constexpr const char kTempDirWord[] = "TempDir";
inline constexpr const char kIncomingDirWord[] = "IncomingDir";

// Assertion reports of full paths that could not be built, on standard error.
inline constexpr const char kSourceName[] = "quillwatch";
inline constexpr const char kOutOfMemory[] = "out of memory";
inline constexpr const char kNewFileCheck[] =
    "-1 != asprintf(&new_file, \"%s%s\", inotifytools_filename_from_wd( event->wd ), event->name)";
inline constexpr const char kMovedFromCheck[] =
    "-1 != asprintf(&moved_from, \"%s%s\", inotifytools_filename_from_wd( event->wd ), "
    "event->name)";
inline constexpr const char kNewNameCheck[] =
    "-1 != asprintf(&new_name, \"%s%s\", inotifytools_filename_from_wd(event->wd), event->name)";
inline constexpr const char kDelNameSelfCheck[] =
    "-1 != asprintf(&del_name, \"%s\", inotifytools_filename_from_wd(event->wd))";
inline constexpr const char kDelNameCheck[] =
    "-1 != asprintf(&del_name, \"%s%s\", inotifytools_filename_from_wd(event->wd), event->name)";

}  // namespace watcher
