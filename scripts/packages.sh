# Sourced by the set-up scripts.

# Prints the Debian packages named that are not installed, each after a space (a version pin,
# "name=version", is checked by name).
missing_packages() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "${p%%=*}" 2>/dev/null | grep -q "install ok installed" ||
            printf ' %s' "$p"
    done
}

# Refreshes apt's package lists. One index that can't be refreshed (a mirror in the middle of a
# sync fails the same index for hours) is not fatal by itself: apt retries each download, then
# the lists already there are used and the install below says whether a package is missing.
apt_update() {
    apt-get -o Acquire::Retries=3 update ||
        echo "$0: apt-get update failed (status $?); going on with the package lists there are" >&2
}

# Installs the packages named, non-interactively and without recommends; fails naming every one
# of them that is still not installed.
apt_install() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$@" || true
    still_missing=$(missing_packages "$@")
    if [ -n "$still_missing" ]; then
        echo "$0: cannot install:$still_missing" >&2
        return 1
    fi
}
