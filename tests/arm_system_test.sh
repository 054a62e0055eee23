#!/bin/bash
# The static binaries on a real ARM kernel: boots Debian's kernel for ARCH under qemu-system (the
# virt board) with an initramfs assembled here from BusyBox, the binaries, the init script and
# the guest's cases (arm_system_guest.sh), and an ext4 disk image; then reads each case's result
# from the serial console. Needs scripts/setup-arm-system.sh to have run.
# With REPLAY (replay_writes), the disk's block writes are logged (QEMU's blklogwrites) and the
# guest's marked updates are checked against power cuts (power_cut_check.sh); one of them runs
# FAULTY_UPDATER (an updater whose file fsyncs do nothing), which the check must catch.
# Usage: arm_system_test.sh ARCH UPDATER QUILLWATCH INIT_TEMPLATE [REPLAY FAULTY_UPDATER]
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
arch=$1 updater=$2 quillwatch=$3 template=$4 replay=${5:-} faulty=${6:-}
cache=/var/cache/corvan-arm-system/$arch
case $arch in
armhf) qemu=(qemu-system-arm -M virt -cpu cortex-a15) ;;
arm64) qemu=(qemu-system-aarch64 -M virt -cpu cortex-a57) ;;
*) skip "no emulated system for $arch" ;;
esac
[ -e "$cache/kernel-package" ] || skip "no kernel for $arch in $cache: run scripts/setup-arm-system.sh (as root)"
command -v "${qemu[0]}" >/dev/null || skip "${qemu[0]} is not installed: run scripts/setup-arm-system.sh"
cases=(case_update_on_tmpfs case_update_on_ext4_between_marks case_update_on_ext4_killed_then_rerun
    case_daemon_on_ext4 case_init_script_under_busybox)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,usr/sbin,etc/init.d,lib/modules,proc,sys,dev,tmp,run,var/log}
cp "$cache/busybox" "$updater" "$root/bin/"
[ -z "$faulty" ] || cp "$faulty" "$root/bin/updater-no-file-sync"
cp "$quillwatch" "$root/usr/sbin/quillwatch"
sed 's#@QUILLWATCH_PATH@#/usr/sbin/quillwatch#' "$template" >"$root/etc/init.d/quillwatch"
cp "$cache"/modules/* "$root/lib/modules/"
cp "$here/arm_system_guest.sh" "$root/init"
chmod +x "$root/init" "$root/etc/init.d/quillwatch"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd" || exit 1
# The file system leaves the disk's last MiB free for the guest's marks.
truncate -s 64M "$work/disk" && mkfs.ext4 -q -F "$work/disk" 63M || exit 1
disk=(-drive "if=none,file=$work/disk,format=raw,id=disk")
if [ -n "$replay" ]; then
    cp --sparse=always "$work/disk" "$work/disk.before"
    truncate -s 1G "$work/writes"
    disk=(-blockdev "driver=file,filename=$work/disk,node-name=disk-file"
        -blockdev "driver=file,filename=$work/writes,node-name=writes"
        -blockdev "driver=blklogwrites,node-name=disk,file=disk-file,log=writes,log-sector-size=512")
fi

echo "$(cat "$cache/kernel-package") under ${qemu[0]}"
start=$(date +%s)
timeout 270 "${qemu[@]}" -m 512 -display none -monitor none -nic none -no-reboot \
    -serial "file:$work/console" -kernel "$cache/vmlinuz" -initrd "$work/initrd" \
    "${disk[@]}" -device virtio-blk-device,drive=disk \
    -append "console=ttyAMA0 panic=-1 quiet" </dev/null
status=$?
tr -d '\r' <"$work/console" >"$work/console.txt"
grep -E '^(ok  |FAIL|arm-system:|     \()' "$work/console.txt"
echo "(qemu ended with status $status after $(($(date +%s) - start)) s)"

current_case=arm_system
grep -q '^arm-system: done' "$work/console.txt" ||
    { fail "the guest did not finish: the console's end:"; tail -n 30 "$work/console.txt"; }
for name in "${cases[@]}"; do
    grep -qx "ok   $name" "$work/console.txt" || fail "$name did not pass on the $arch kernel"
done
if [ -n "$replay" ] && grep -qx "ok   case_update_on_ext4_between_marks" "$work/console.txt"; then
    bash "$here/power_cut_check.sh" "$work/disk.before" "$work/writes" "$replay" ||
        fail "a power cut during the update on the $arch kernel's ext4 breaks it"
fi
[ "$failures" -eq 0 ] || exit 1
