# Private mount namespace for running quillwatch, which reads and writes fixed absolute paths
# (/tmp/apkg.xml, /dev/inotify): fresh tmpfs over /tmp and /dev, nothing of the host touched.

# Re-runs the calling script, with the arguments given, in a private mount namespace (once).
run_in_private_namespace() {
    if [ -z "${IN_PRIVATE_NAMESPACE:-}" ]; then
        IN_PRIVATE_NAMESPACE=1 exec unshare -m --propagation private bash "$0" "$@"
    fi
}

# Makes this namespace's view of the root file system read-only, so that a case gone wrong can't
# change the machine's own files. Call it before the tmpfs mounts.
read_only_root() {
    mount --bind / / && mount -o remount,bind,ro /
}

# Copies the files given to /mnt/bin (the binaries may lie under /tmp, which is about to be
# hidden), then mounts fresh tmpfs over /tmp and /dev with the few device nodes tools need.
isolate_tmp_and_dev() {
    mount -t tmpfs tmpfs /mnt
    mkdir -p /mnt/bin /mnt/stubs
    cp "$@" /mnt/bin/
    mount -t tmpfs tmpfs /tmp
    mount -t tmpfs tmpfs /dev
    mknod -m 666 /dev/null c 1 3
    mknod -m 666 /dev/zero c 1 5
    mknod -m 666 /dev/urandom c 1 9
    ln -s /proc/self/fd /dev/fd
    : >/tmp/.private-namespace
}

# Ends the script unless it runs on the private /tmp made above: set-up code that clears /tmp
# must never reach the host's.
require_private_tmp() {
    if [ ! -e /tmp/.private-namespace ]; then
        echo "refusing to run outside the private mount namespace" >&2
        exit 1
    fi
}
