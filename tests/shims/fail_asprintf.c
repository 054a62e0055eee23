/* Preloaded into a program under test: every asprintf fails as if memory had run out, also in
   a build with _FORTIFY_SOURCE, which calls it as __asprintf_chk. */
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

int __asprintf_chk(char** out, int flag, const char* format, ...) {
    (void)flag;
    (void)format;
    *out = NULL;
    errno = ENOMEM;
    return -1;
}
