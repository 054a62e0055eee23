#!/bin/sh
# Installs the Debian packages the build, the tests and the demo need.
# A no-op when everything is already there.
set -eu

# Build: compilers, CMake, the two libraries. Tests: GoogleTest, strace (fault injection),
# util-linux (unshare), procps (pgrep), valgrind, systemd (systemd-analyze rates the unit),
# amule-daemon (the real aMule writes the configuration the daemon reads), busybox (its
# start-stop-daemon drives the init script), lintian (checks the packages).
# Fuzzing: clang with its libFuzzer runtime.
# Benchmarks: inotify-tools (inotifywait, for comparison), time, gnuplot.
packages="build-essential cmake pkg-config libtinyxml-dev libinotifytools0-dev
          googletest libgtest-dev strace util-linux procps valgrind systemd amule-daemon busybox lintian
          clang libclang-rt-14-dev inotify-tools time gnuplot-nox"

missing=""
for p in $packages; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run this script as root to install them)" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update
# shellcheck disable=SC2086
apt-get install -y --no-install-recommends $missing
