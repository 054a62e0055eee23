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
