// The directory test and the assertion reporter.
#include "path_checks.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "messages.h"
#include "report_lines.h"

namespace {
struct stat isdir_status;
}

extern "C" int isdir(char const* path) {
    if (lstat(path, &isdir_status) == 0) return S_ISDIR(isdir_status.st_mode) ? 1 : 0;
    if (errno != ENOENT) {
        std::fprintf(stderr, watcher::kStatFailedFormat, watcher::shortened_path(path).c_str(),
                     std::strerror(errno));
    }
    return 0;
}

extern "C" void _niceassert(long cond, int line, char const* file, char const* condstr,
                            char const* mesg) {
    if (cond) return;
    if (mesg != nullptr) {
        std::fprintf(stderr, watcher::kAssertionWithMessageFormat, file, line, condstr, mesg);
    } else {
        std::fprintf(stderr, watcher::kAssertionFormat, file, line, condstr);
    }
}
