#!/bin/bash
# Shows quillwatch at work in a private mount namespace: a sample package registry and aMule
# configuration, a download that completes (moved from TempDir to IncomingDir), the daemon's
# lines and the completion notice it sent. Usage: demo-quillwatch.sh <quillwatch binary>
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/tests/namespace.sh"
run_in_private_namespace "$@"
isolate_tmp_and_dev "$1"
require_private_tmp

# Stand-in for the appliance's mail command: shows how it was called.
cat >/mnt/stubs/email <<'STUB'
#!/bin/bash
{ printf 'email called with %d arguments:' $#; printf ' [%s]' "$@"; echo; } >>/tmp/email.log
STUB
chmod +x /mnt/stubs/email
export PATH=/mnt/stubs:$PATH

install=/tmp/qwdemo01   # the registry holds install paths of exactly 13 characters
share=$install/share
cat >/tmp/apkg.xml <<XML
<?xml version="1.0"?>
<apkg>
<item>
<name>aMule</name>
<path>$install</path>
</item>
</apkg>
XML
mkdir -p "$install/Nas_Prog/aMule/.aMule" "$share/TempDir" "$share/IncomingDir"
printf 'TempDir=%s/TempDir\nIncomingDir=%s\n' "$share" "$share" \
    >"$install/Nas_Prog/aMule/.aMule/amule.conf"
(umask 077 && echo "a finished download" >"$share/TempDir/Big Buck Bunny.avi")

echo "Registry /tmp/apkg.xml names aMule's install path $install; its amule.conf says"
echo "IncomingDir=$share. Before the download completes:"
(cd "$share" && find . -mindepth 1 -printf '  %M  %p\n' | sort -k2)

/mnt/bin/quillwatch >/tmp/quillwatch.out 2>&1 &
pid=$!
# Ready once it watches the folder and its two sub-directories.
for _ in $(seq 200); do
    [ "$(cat /proc/$pid/fdinfo/* 2>/dev/null | grep -c '^inotify wd:')" -ge 3 ] && break
    sleep 0.05
done

echo
echo "aMule moves the finished file from TempDir to IncomingDir..."
mv "$share/TempDir/Big Buck Bunny.avi" "$share/IncomingDir/"
for _ in $(seq 200); do [ -s /tmp/email.log ] && break; sleep 0.05; done
echo "After the download completed:"
(cd "$share" && find . -mindepth 1 -printf '  %M  %p\n' | sort -k2)

echo
echo "Deleting the monitored folder stops the daemon."
rm -rf "$share"
set +e
wait "$pid"
status=$?
set -e
echo
echo "quillwatch printed:"
sed 's/^/  | /' /tmp/quillwatch.out
echo "exit status: $status"
echo
echo "Completion notice:"
sed 's/^/  /' /tmp/email.log
