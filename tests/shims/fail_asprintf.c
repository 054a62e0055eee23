/* Preloaded into a program under test: every asprintf fails as if memory had run out. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdarg.h>
#include <stdio.h>

int asprintf(char** out, const char* format, ...) {
    (void)format;
    *out = NULL;
    errno = ENOMEM;
    return -1;
}
