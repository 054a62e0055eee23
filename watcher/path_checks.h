// The directory test and the assertion reporter. Both have C linkage under these exact names
// and are exported from the quillwatch executable, where they take precedence over the
// libinotifytools symbol of the same name.
#pragma once

extern "C" {

// Returns 1 when `path` itself (a symlink is not followed) is a directory, else 0. A missing
// path is silently 0; any other lstat failure writes "Stat failed on <path>: <error>" to
// standard error. The status read lands in one record shared by all calls.
int isdir(char const* path);

// Writes nothing when `cond` is non-zero; otherwise writes
// "<file>:<line> assertion ( <condstr> ) failed[: <mesg>]" to standard error. Always returns.
void _niceassert(long cond, int line, char const* file, char const* condstr, char const* mesg);
}
