#!/bin/busybox sh
# The init of the emulated ARM system (BusyBox): mounts the virtio disk as ext4, runs the static
# updater and quillwatch there and on tmpfs, and prints one line per case on the console
# ("ok   <case>" or "FAIL <case>", with "FAIL [<case>]: ..." lines before it), then
# "arm-system: done" and powers off. arm_system_test.sh reads the lines on the host.
/bin/busybox --install -s /bin
export PATH=/bin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
echo "arm-system: booted after $(cut -d' ' -f1 /proc/uptime) s: $(uname -r) $(uname -m)"
for module in $(cat /lib/modules/order); do
    insmod "/lib/modules/$module.ko" || echo "arm-system: insmod $module failed"
done
mkdir -p /disk
mount -t ext4 /dev/vda /disk || echo "arm-system: the ext4 disk did not mount"

failures=0
fail() {
    echo "FAIL [$case]: $*"
    failures=$((failures + 1))
}
check() {  # what expected actual
    [ "$2" = "$3" ] || fail "$1: expected [$2], got [$3]"
}
run_case() {
    case=$1
    local before=$failures
    "$1"
    if [ "$failures" -eq "$before" ]; then echo "ok   $1"; else echo "FAIL $1"; fi
}
# Waits until "$@" holds, up to 60 seconds (emulation is slow).
wait_for() {
    local i=0
    until "$@"; do
        i=$((i + 1))
        [ $i -le 600 ] || return 1
        sleep 0.1
    done
}

# An update in $1 of a small file, a 3 MiB file and the updater itself (its new content is
# itself with a few bytes after it): /bin/updater, or the build $2. The staged copies' checksums
# go to $1.expected.
stage_update() {
    local updater=${2:-/bin/updater}
    rm -rf "$1" && mkdir -p "$1/bin" "$1/lib"
    cp "$updater" "$1/updater"
    { cat "$updater"; echo "release 2"; } >"$1/updater.rep"
    echo "app 1" >"$1/bin/app" && echo "app 2" >"$1/bin/app.rep"
    head -c 100 /dev/urandom >"$1/lib/data.bin" && head -c 3145728 /dev/urandom >"$1/lib/data.bin.rep"
    echo '<CorvanManifest><Files><File Path="updater"/><File Path="bin/app"/><File Path="lib/data.bin"/></Files></CorvanManifest>' \
        >"$1/manifest.xml.rep"
    (cd "$1" && md5sum updater.rep bin/app.rep lib/data.bin.rep manifest.xml.rep |
        sed 's/\.rep$//' >"$1.expected" && md5sum updater bin/app lib/data.bin >"$1.old")
    : >"$1/doupdate"
}

# Checks that the update in $1 is complete: every target holds its staged content, nothing is
# left staged.
check_applied() {
    check "targets of $1" "" "$(cd "$1" && md5sum -c "$1.expected" 2>&1 | grep -v ': OK$')"
    check "files left in $1" "" "$(cd "$1" && ls doupdate ./*.rep bin/*.rep lib/*.rep 2>/dev/null)"
}

case_update_on_tmpfs() {
    stage_update /tmp/app
    check "status" 0 "$(/tmp/app/updater >/tmp/app.out; echo $?)"
    check "last line" "Deleting lib/data.bin.rep" "$(tail -n 1 /tmp/app.out)"
    check_applied /tmp/app
}

case_update_on_ext4_killed_then_rerun() {
    stage_update /disk/app
    check "status" 0 "$(/disk/app/updater >/dev/null; echo $?)"
    check_applied /disk/app
    # Killed at a random point of its work (it waits 5 seconds first), then run again.
    stage_update /disk/app
    /disk/app/updater >/tmp/killed.out &
    local pid=$!
    sleep "5.$((RANDOM % 10))"
    kill -9 $pid
    wait $pid
    echo "     (killed after $(grep -c . /tmp/killed.out) line(s))"
    check "status of the rerun" 0 "$(/disk/app/updater >/dev/null; echo $?)"
    check_applied /disk/app
}

# Writes $1 into 4 KiB block $2 of the disk, beyond the end of its file system, and makes it
# durable: the host finds it among the disk's logged writes.
mark() {
    printf '%s' "$1" | dd of=/dev/vda bs=4096 seek="$2" count=1 conv=sync,notrunc,fsync 2>/dev/null
}

# An update in $1 whose block writes lie between a mark at block $2 and one at the next block,
# the update staged and durable before the first; by the updater build $3 when given.
marked_update() {
    stage_update "$1" "${3:-}"
    sync
    mark start "$2"
    check "status" 0 "$("$1/updater" >/dev/null; echo $?)"
    sync
    mark end $(($2 + 1))
    check_applied "$1"
}

# Updates for the host to rebuild the disk after power cuts in between (power_cut_check.sh):
# on ext4 mounted as by default, with data=writeback, and with noauto_da_alloc (no data written
# early for a file truncated and rewritten: only the updater's own fsyncs order its copies).
case_update_on_ext4_between_marks() {
    marked_update /disk/pc/app 16128
    umount /disk
    mount -t ext4 -o data=writeback /dev/vda /disk || fail "no data=writeback mount"
    marked_update /disk/pcw/app 16130
    umount /disk
    mount -t ext4 -o noauto_da_alloc /dev/vda /disk || fail "no noauto_da_alloc mount"
    marked_update /disk/pcn/app 16132
    # The same by a build that skips its file fsyncs: the host's check must catch it.
    [ ! -e /bin/updater-no-file-sync ] || marked_update /disk/pcf/app 16134 /bin/updater-no-file-sync
    umount /disk
    mount -t ext4 /dev/vda /disk || fail "the disk did not mount again"
}

# Writes the registry and aMule's configuration (as root) that name folder $1.
register_folder() {
    local install=/tmp/qwtest01
    mkdir -p "$install/Nas_Prog/aMule/.aMule"
    printf '<apkg>\n<item>\n<name>aMule</name>\n<path>%s</path>\n</item>\n</apkg>\n' "$install" \
        >/tmp/apkg.xml
    printf 'TempDir=%s/TempDir\nIncomingDir=%s\n' "$1" "$1" >"$install/Nas_Prog/aMule/.aMule/amule.conf"
}

watches_of() { cat /proc/"$1"/fdinfo/* 2>/dev/null | grep -c '^inotify wd:'; }
watches_are() { [ "$(watches_of "$1")" = "$2" ]; }

case_daemon_on_ext4() {
    local share=/disk/share pid i
    mkdir -p "$share/TempDir/a/b" "$share/IncomingDir"
    # A directory large enough for ext4 to index it: its listing hands out hashed offsets.
    for i in $(seq 100 299); do mkdir "$share/IncomingDir/d$i"; done
    register_folder "$share"
    quillwatch >/tmp/qw.out 2>&1 &
    pid=$!
    wait_for watches_are $pid 205 || fail "watches at start-up: $(watches_of $pid), not 205"
    : >"$share/TempDir/a/b/Big Buck Bunny.avi"
    mv "$share/TempDir/a/b/Big Buck Bunny.avi" "$share/IncomingDir/"
    wait_for test -e /tmp/email.1 || fail "no completion notice"
    mkdir "$share/IncomingDir/new"
    wait_for watches_are $pid 206 || fail "watches after mkdir: $(watches_of $pid), not 206"
    : >"$share/IncomingDir/new/file"
    wait_for sh -c "[ \"\$(stat -c %a '$share/IncomingDir/new/file')\" = 777 ]" ||
        fail "a file in the new directory was not reset"
    rm -rf "$share"
    wait $pid
    check "status after the folder was deleted" 0 $?
    check "last line" "ERROR: the watched directory is not exist! Stop inotify Daemon." \
        "$(tail -n 1 /tmp/qw.out)"
    check "notices" "/tmp/email.1: -m|1024|-c|Big Buck Bunny.avi|" \
        "$(for f in /tmp/email.*; do echo "$f: $(tr '\n' '|' <"$f")"; done)"
}

case_init_script_under_busybox() {
    local share=/tmp/share out
    mkdir -p "$share"
    register_folder "$share"
    check "start" 0 "$(/etc/init.d/quillwatch start >/dev/null 2>&1; echo $?)"
    out=$(/etc/init.d/quillwatch status)
    check "status" "quillwatch is running|0" "$out|$?"
    local pid
    pid=$(cat /run/quillwatch.pid)
    wait_for watches_are "$pid" 1 || fail "the started daemon watches $(watches_of "$pid")"
    check "stop" 0 "$(/etc/init.d/quillwatch stop >/dev/null 2>&1; echo $?)"
    out=$(/etc/init.d/quillwatch status)
    check "status when stopped" "quillwatch is not running|3" "$out|$?"
}

# The appliance's mail command: writes each call's arguments, one per line, to /tmp/email.<n>.
cat >/bin/email <<'STUB'
#!/bin/sh
n=1
while [ -e /tmp/email.$n ]; do n=$((n + 1)); done
printf '%s\n' "$@" >/tmp/email.$n
STUB
chmod +x /bin/email

run_case case_update_on_tmpfs
run_case case_update_on_ext4_between_marks
run_case case_update_on_ext4_killed_then_rerun
run_case case_daemon_on_ext4
run_case case_init_script_under_busybox
umount /disk
echo "arm-system: done after $(cut -d' ' -f1 /proc/uptime) s, $failures failure(s)"
poweroff -f
