#!/bin/sh
# Sets up the ARM cross builds on a Debian 12 machine (as root): the armhf and arm64 foreign
# architectures, Debian's cross compilers, the target's development packages, and qemu-user
# registered with binfmt_misc so that the tests run ARM binaries as if they were native.
# A no-op for whatever is already in place.
set -eu

packages="g++-arm-linux-gnueabihf g++-aarch64-linux-gnu qemu-user-static
          libtinyxml-dev:armhf libinotifytools0-dev:armhf libgtest-dev:armhf
          libtinyxml-dev:arm64 libinotifytools0-dev:arm64 libgtest-dev:arm64"

. "$(dirname "$0")/packages.sh"
# shellcheck disable=SC2086
missing=$(missing_packages $packages)
if [ -n "$missing" ] || [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ] ||
    [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "the ARM cross builds need root to set up (missing:$missing," \
            "or qemu's binfmt entries)" >&2
        exit 1
    fi
fi

if [ -n "$missing" ]; then
    dpkg --add-architecture armhf
    dpkg --add-architecture arm64
    apt_update
    # shellcheck disable=SC2086
    apt_install $missing
fi

# qemu-user-static ships the entries; without binfmt-support or a running systemd nobody loads
# them, so write them to the kernel here. Each file holds exactly the line the kernel expects.
[ -e /proc/sys/fs/binfmt_misc/register ] ||
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
for arch in arm aarch64; do
    if [ ! -e "/proc/sys/fs/binfmt_misc/qemu-$arch" ]; then
        grep -v '^#' "/usr/lib/binfmt.d/qemu-$arch.conf" >/proc/sys/fs/binfmt_misc/register
    fi
done
