#!/bin/sh
# Sets up the systemd stage (as root), everything from Debian's archive: mmdebstrap and
# systemd-nspawn (systemd-container, pinned to this machine's systemd version: a newer one would
# upgrade the machine's own systemd along with it), and for each mail transfer agent (exim4,
# postfix) a Debian root file system in /var/cache/corvan-nspawn/<agent>/ with systemd, the
# package's dependencies, mailx and that agent. The roots are made once (about a minute each)
# and never changed: the stage boots them under a throw-away overlay.
set -eu
cache=/var/cache/corvan-nspawn
base=systemd-sysv,dbus,bsd-mailx,libinotifytools0,libtinyxml2.6.2v5

. "$(dirname "$0")/packages.sh"
missing=$(missing_packages mmdebstrap systemd-container)
if [ -n "$missing" ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "the systemd stage needs root to set up (missing:$missing)" >&2
        exit 1
    fi
    apt_update
    apt_install mmdebstrap "systemd-container=$(dpkg-query -W -f='${Version}' systemd)"
fi

# The machine's own Debian sources (only those of Debian's archive).
sources=$(grep -l 'debian\.org' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
    /etc/apt/sources.list.d/*.sources 2>/dev/null || true)
# None found: Debian's own mirror (mmdebstrap would otherwise read sources from standard input).
sources=${sources:-http://deb.debian.org/debian}
for agent in exim4-daemon-light postfix; do
    root=$cache/$agent
    # A root made with another list of packages is made again.
    [ "$(cat "$root.packages" 2>/dev/null)" = "$base,$agent" ] && continue
    rm -rf "$root" "$root.packages"
    mkdir -p "$cache"
    # shellcheck disable=SC2086
    mmdebstrap --variant=minbase --include="$base,$agent" bookworm "$root" $sources
    echo "$base,$agent" >"$root.packages"
done
