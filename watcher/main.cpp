// quillwatch: keeps aMule's incoming folder readable by everyone and announces finished
// downloads.
#include "daemon.h"

int main() { return watcher::run_daemon(); }
