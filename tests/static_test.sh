#!/bin/bash
# The static binaries need nothing of the system they run on: each runs in an otherwise empty
# root directory (chroot, with only /proc mounted) holding itself and the files it works on.
# ARM binaries run there under qemu-user, whose binfmt entry opens the emulator beforehand.
# Usage: static_test.sh UPDATER QUILLWATCH
UPDATER=$(realpath "$1")
QW=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root: chroot and a private mount namespace"
command -v strace >/dev/null || skip "strace is not installed"
. "$here/namespace.sh" || exit 1
run_in_private_namespace "$@"

for binary in "$UPDATER" "$QW"; do
    is_static "$binary" || { echo "$binary is not linked statically" >&2; exit 1; }
done
work=$(mktemp -d /tmp/static_test.XXXXXX)
trap 'umount -R "$work"/*/proc 2>/dev/null; rm -rf "$work"' EXIT

# Makes an empty root $1 with /proc mounted.
make_root() {
    mkdir -p "$1/proc"
    mount -t proc proc "$1/proc"
}

case_updater_applies_an_update_in_an_empty_root() {
    local root=$work/updater app=$work/updater/app
    make_root "$root"
    mkdir -p "$app"
    cp "$UPDATER" "$app/updater"
    echo old >"$app/data"
    echo new >"$app/data.rep"
    echo '<CorvanManifest><Files><File Path="data"/></Files></CorvanManifest>' \
        >"$app/manifest.xml.rep"
    : >"$app/doupdate"
    out=$(cd / && "${STRACE[@]}" -f -qq -o /dev/null -e inject=clock_nanosleep,nanosleep:retval=0 \
        chroot "$root" /app/updater </dev/null)
    assert_eq 0 $? "status"
    assert_eq "(Re)Starting Corvan..
Updating data.rep
Deleting data.rep" "$out" "output"
    assert_content "$app/data" new
    assert_content "$app/manifest.xml" \
        '<CorvanManifest><Files><File Path="data"/></Files></CorvanManifest>'
    assert_absent "$app/data.rep"
    assert_absent "$app/doupdate"
}

case_quillwatch_watches_in_an_empty_root() {
    # No mknod, chmod or email there: the daemon says so on standard error only and goes on.
    local root=$work/quillwatch install=/tmp/qwtest01
    local share=$install/share/ out=$work/qw.out err=$work/qw.err
    make_root "$root"
    mkdir -p "$root$install/Nas_Prog/aMule/.aMule" "$root$share"
    cp "$QW" "$root/quillwatch"
    printf '<apkg>\n<item>\n<name>aMule</name>\n<path>%s</path>\n</item>\n</apkg>\n' "$install" \
        >"$root/tmp/apkg.xml"
    echo "IncomingDir=${share%/}" >"$root$install/Nas_Prog/aMule/.aMule/amule.conf"
    (cd / && exec chroot "$root" /quillwatch >"$out" 2>"$err" </dev/null) &
    local pid=$! i
    # The start-up lines are flushed once every watch is set.
    for ((i = 0; i < 400; i++)); do
        grep -q "^amule monitor folder" "$out" && break
        sleep 0.05
    done
    touch "$root$share/file"
    for ((i = 0; i < 400; i++)); do grep -q "^\[chmod" "$out" && break; sleep 0.05; done
    rm -r "$root$share"  # the file's deletion resets once more, then the folder's ends the run
    wait "$pid"
    assert_eq 0 $? "status after the folder was deleted"
    assert_eq "--->Version: v1.00.20090923
Create /dev/inotify !
amule monitor folder: $share
[chmod 777 -R $share]
[chmod 777 -R $share]
ERROR: the watched directory is not exist! Stop inotify Daemon." "$(cat "$out")" "output"
    # Under qemu-user the spawn can't hand back the failed exec: the child ends with 127 instead.
    local missing="quillwatch: cannot run mknod: No such file or directory"
    runs_emulated "$QW" && missing="quillwatch: mknod exited with status 127"
    assert_eq "$missing" "$(cat "$err")" "standard error"
}

run_cases
