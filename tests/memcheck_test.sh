#!/bin/bash
# Runs a unit test binary under valgrind's memcheck, for code that calls into libraries built
# without the sanitizers (whose reads AddressSanitizer can't see). Any error fails the run.
# Usage: memcheck_test.sh UNIT_TESTS [GTEST_OPTIONS...]
binary=$1
shift
. "$(dirname "$0")/lib.sh"
if runs_emulated "$binary"; then
    skip "under emulation: valgrind runs only programs of the build machine's architecture"
elif ldd "$binary" 2>/dev/null | grep -q libasan; then
    skip "sanitizer build: valgrind can't run a program built with AddressSanitizer"
fi
command -v valgrind >/dev/null || skip "valgrind is not installed"
exec valgrind -q --error-exitcode=1 "$binary" "$@"
