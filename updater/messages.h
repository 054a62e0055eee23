// Every file name the updater works with and every line it can print.
#pragma once

namespace updater {

// Fixed names, relative to the application directory.
inline constexpr const char kTrigger[] = "doupdate";
inline constexpr const char kNewManifest[] = "manifest.xml.rep";
inline constexpr const char kCurrentManifest[] = "manifest.xml";
inline constexpr const char kStagedSuffix[] = ".rep";

// Console lines. The four prefixes are followed directly by the staged name.
inline constexpr const char kStartLine[] = "(Re)Starting Corvan..";
inline constexpr const char kNewManifestFailed[] =
    "Failed loading manifest.xml.rep, trying manifest.xml";
inline constexpr const char kCurrentManifestFailed[] = "Failed loading manifest.xml";
inline constexpr const char kUpdatingPrefix[] = "Updating ";
inline constexpr const char kCopyFailedPrefix[] = "Failed Copying ";
inline constexpr const char kDeletingPrefix[] = "Deleting ";
inline constexpr const char kDeleteFailedPrefix[] = "Failed Deleting ";
// On standard error, when the run can't find or enter its own directory.
inline constexpr const char kExecutableLink[] = "/proc/self/exe";
inline constexpr const char kNoDirectoryFormat[] =
    "updater: cannot find the application directory (%s: %s); nothing was changed\n";
inline constexpr const char kReinstallNotice[] =
    "Unable to launch application. Please reinstall application!";

}  // namespace updater
