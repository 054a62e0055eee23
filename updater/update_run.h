// One run of the updater: from finding its directory to the exit status.
#pragma once

namespace updater {

// Enters the application directory, prints the start line, waits 5 seconds and, when the
// trigger "doupdate" is present, applies the staged update. Returns the exit status: 0 when no
// update was pending or it was applied, 1 when it failed (the last line printed is then the
// reinstall notice), which includes a new manifest that exists but can't be read.
int run_update();

}  // namespace updater
