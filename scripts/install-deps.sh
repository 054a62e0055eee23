#!/bin/sh
# Installs the Debian packages that the build, the tests, the fuzzers and the benchmarks need, or
# with "build" only what building the programs needs. A no-op when everything is already there.
set -eu

# What building the programs needs (install-deps.sh build): compilers, CMake and the two
# libraries. What the tests need on top: GoogleTest, strace (fault injection), util-linux
# (unshare), procps (pgrep), valgrind, systemd (systemd-analyze rates and verifies the unit),
# amule-daemon (the real aMule writes the configuration the daemon reads, and downloads a file
# from another instance), amule-utils (amulecmd and ed2k drive it), openssl (the ed2k hash),
# busybox (its start-stop-daemon drives the init script; its ip and nc set up the download's
# network), lintian (checks the packages), btrfs-progs (a btrfs tree for the watch table's
# recovery); fuzzing: clang with its libFuzzer runtime; benchmarks: inotify-tools (inotifywait,
# for comparison), time, gnuplot.
build_packages="build-essential cmake pkg-config libtinyxml-dev libinotifytools0-dev"
test_packages="googletest libgtest-dev strace util-linux procps valgrind systemd amule-daemon
               amule-utils openssl busybox lintian clang libclang-rt-14-dev inotify-tools time gnuplot-nox
               btrfs-progs"
case "${1:-all}" in
build) packages=$build_packages ;;
all) packages="$build_packages $test_packages" ;;
*)
    echo "usage: $0 [build]" >&2
    exit 2
    ;;
esac

. "$(dirname "$0")/packages.sh"
# shellcheck disable=SC2086
missing=$(missing_packages $packages)
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing (run this script as root to install them)" >&2
    exit 1
fi
apt_update
# shellcheck disable=SC2086
apt_install $missing
