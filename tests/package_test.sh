#!/bin/bash
# Installs the .deb, runs the installed programs' smoke tests (the quillwatch suite against the
# installed daemon, the installed updater's start) and removes the package again. Root only.
# A package for another architecture is tested the same way through multiarch and qemu-user.
# Usage: package_test.sh DEB
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
. "$here/lib.sh"
[ "$(id -u)" -eq 0 ] || skip "needs root to install a package"
command -v dpkg >/dev/null || skip "dpkg is not available"

files=(/usr/sbin/quillwatch /usr/libexec/corvan/updater /usr/share/man/man1/updater.1.gz
    /usr/share/man/man8/quillwatch.8.gz /usr/lib/systemd/system/quillwatch.service
    /usr/share/corvan-tools/init.d/quillwatch /usr/share/doc/corvan-tools/copyright
    /usr/share/doc/corvan-tools/changelog.gz)

case_install_run_remove() {
    dpkg -i "$deb" >/dev/null || { fail "dpkg -i failed"; return; }
    local f
    for f in "${files[@]}"; do assert_exists "$f"; done
    # A package for another architecture (installed through multiarch) must hold binaries
    # that run under emulation here, and a native one native binaries.
    local emulated=no
    runs_emulated /usr/sbin/quillwatch && emulated=yes
    local arch
    arch=$(dpkg-deb -f "$deb" Architecture)
    if [ "$arch" = "$(dpkg --print-architecture)" ]; then
        assert_eq no "$emulated" "quillwatch of the native package runs under emulation"
    else
        assert_eq yes "$emulated" "quillwatch of the $arch package runs natively"
    fi

    # The installed updater: no trigger in its directory, so only its start line.
    local out
    out=$("${STRACE[@]}" -f -qq -o /dev/null -e inject=clock_nanosleep,nanosleep:retval=0 \
        /usr/libexec/corvan/updater)
    assert_eq "(Re)Starting Corvan..
0" "$out"$'\n'"$?" "installed updater"

    local log
    log=$(mktemp)
    # A smoke test: the churn case short, the full one runs against every build.
    CHURN_OPS=200 bash "$here/quillwatch_test.sh" /usr/sbin/quillwatch >"$log" 2>&1 ||
        fail "the quillwatch suite failed against the installed daemon: $(grep FAIL "$log" | head)"
    rm -f "$log"

    dpkg -r corvan-tools >/dev/null || fail "dpkg -r failed"
    for f in "${files[@]}"; do assert_absent "$f"; done
}

run_cases
