// quillwatch: keeps aMule's incoming folder readable by everyone and announces finished
// downloads.
#include <cstdio>

#include "path_checks.h"

int main() {
    std::printf("%d\n", isdir("/"));
    return 0;
}
