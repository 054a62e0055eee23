# Sourced by the set-up scripts.

# Prints the Debian packages named that are not installed, each after a space.
missing_packages() {
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            printf ' %s' "$p"
    done
}
