#!/bin/sh
# Sets up the full-system ARM stage (as root), everything from Debian's archive: qemu-system-arm
# (which holds qemu-system-aarch64 too), cpio and e2fsprogs on this machine, and for each
# architecture given (default: armhf arm64) Debian's kernel and busybox-static, of which
# /var/cache/corvan-arm-system/<arch>/ keeps the kernel image, BusyBox and the modules that a
# virtio disk with ext4 needs (with their order of loading). A no-op when it is all there.
set -eu
cache=/var/cache/corvan-arm-system
arches=${*:-armhf arm64}

. "$(dirname "$0")/packages.sh"
missing=$(missing_packages qemu-system-arm cpio e2fsprogs)
fetch=""
for arch in $arches; do
    [ -e "$cache/$arch/kernel-package" ] || fetch="$fetch $arch"
done
[ -z "$missing$fetch" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
    echo "the full-system ARM stage needs root to set up (missing:$missing$fetch)" >&2
    exit 1
fi

for arch in $fetch; do
    dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
done
apt_update
# shellcheck disable=SC2086
[ -z "$missing" ] || apt_install $missing

# Copies module $1 of kernel tree $tree to $dest, after the modules it depends on (named in its
# .modinfo), and appends its name to $dest/order.
add_module() {
    local file dep
    grep -qx "$1" "$dest/order" 2>/dev/null && return 0
    file=$(find "$tree" -name "$1.ko" | head -n 1)
    if [ -z "$file" ]; then
        echo "module $1 is not in the kernel package" >&2
        exit 1
    fi
    for dep in $(strings -a "$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
        add_module "$dep"
    done
    cp "$file" "$dest/"
    echo "$1" >>"$dest/order"
}

for arch in $fetch; do
    case $arch in
    armhf) flavour=armmp ;;
    arm64) flavour=arm64 ;;
    *)
        echo "no kernel flavour known for $arch" >&2
        exit 1
        ;;
    esac
    kernel=$(apt-cache depends "linux-image-$flavour:$arch" |
        sed -n 's/^ *Depends: \(linux-image-[^ ]*\).*/\1/p' | head -n 1)
    work=$(mktemp -d)
    chown _apt "$work" 2>/dev/null || true
    if [ -z "$kernel" ] || ! (cd "$work" && apt-get download "$kernel" "busybox-static:$arch"); then
        echo "$0: cannot download ${kernel:-the kernel of linux-image-$flavour:$arch} or" \
            "busybox-static:$arch" >&2
        exit 1
    fi
    dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
    dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
    rm -rf "${cache:?}/$arch"
    mkdir -p "$cache/$arch/modules"
    cp "$work"/kernel/boot/vmlinuz-* "$cache/$arch/vmlinuz"
    cp "$work/busybox/bin/busybox" "$cache/$arch/busybox"
    tree=$work/kernel/lib/modules
    dest=$cache/$arch/modules
    # The disk (virtio over MMIO on qemu's virt board) and ext4, whose checksums need crc32c.
    for module in virtio_mmio virtio_blk crc32c_generic ext4; do
        add_module "$module"
    done
    echo "$kernel" >"$cache/$arch/kernel-package"
    rm -rf "$work"
done
