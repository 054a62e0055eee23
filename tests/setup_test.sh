#!/bin/bash
# The set-up scripts against an archive whose index can't be refreshed: stub apt-get, dpkg-query
# and id first on PATH (nothing installed, root), `apt-get update` failing with 100 as apt does
# while a mirror syncs. Only the install decides: test.sh stops at the step that failed, named;
# a step whose install works goes on.
# Usage: setup_test.sh
. "$(dirname "$0")/lib.sh"
root=$(realpath "$(dirname "$0")/..")
stubs=$(mktemp -d)
trap 'rm -rf "$stubs"' EXIT
cat >"$stubs/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >>"$STUBS/log"
case " $* " in
*" update "*) exit 100 ;;
*" install "*) [ "$INSTALL_WORKS" = yes ] || exit 100
    for a; do case $a in -*) ;; *) echo "$a" >>"$STUBS/installed" ;; esac; done ;;
esac
STUB
cat >"$stubs/dpkg-query" <<'STUB'
#!/bin/sh
for a; do :; done
grep -qx "$a" "$STUBS/installed" 2>/dev/null && printf 'install ok installed'
exit 0
STUB
printf '#!/bin/sh\necho 0\n' >"$stubs/id"
# Should test.sh ever go past a failed step, it must not start a whole run inside this one.
printf '#!/bin/sh\necho "cmake started" >&2\nexit 99\n' >"$stubs/cmake"
chmod +x "$stubs"/*

# Runs "$@" with the stubs; sets out and status.
with_stubs() {
    : >"$stubs/log"
    : >"$stubs/installed"
    out=$(STUBS=$stubs PATH="$stubs:$PATH" "$@" 2>&1 </dev/null)
    status=$?
}

case_failed_install_stops_test_sh_with_the_step_named() {
    INSTALL_WORKS=no CROSS_ARCHES= with_stubs sh "$root/scripts/test.sh"
    assert_eq 1 "$status" "test.sh's status"
    grep -q 'cannot install: build-essential cmake' <<<"$out" || fail "no list of missing packages: $out"
    grep -q 'set-up step install-deps.sh failed' <<<"$out" || fail "step not named: $out"
    ! grep -q '^=== plain build' <<<"$out" || fail "went on to build: $out"
}

case_failed_index_alone_is_not_fatal() {
    INSTALL_WORKS=yes with_stubs sh "$root/scripts/install-deps.sh"
    assert_eq 0 "$status" "install-deps.sh's status ($out)"
    grep -q 'apt-get -o Acquire::Retries=3 update' "$stubs/log" || fail "no retried update"
    grep -q 'apt-get install .* amule-daemon' "$stubs/log" || fail "nothing installed"
}

run_cases
