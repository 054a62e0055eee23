#!/bin/sh
# Installs what is missing, then builds and runs every test:
# - amd64: the plain build, the whole suite again with AddressSanitizer and
#   UndefinedBehaviorSanitizer, and the static binaries through the black-box suites;
# - armhf and arm64 under qemu-user: the whole suite of the cross build, and the static binaries
#   through the black-box suites and booted with Debian's kernel under qemu-system;
# - the .deb of each architecture installed, smoke-tested and removed again (as root);
# - the amd64 .deb under systemd as PID 1 in a systemd-nspawn container, with exim4 and postfix;
# - each fuzz target for half a minute.
# FUZZ_SECONDS sets the fuzzing time per target (0 skips fuzzing); CROSS_ARCHES the foreign
# architectures (empty skips the cross builds).
set -eu
cd "$(dirname "$0")/.."

# setup SCRIPT [ARGS...]: runs a set-up script of scripts/; one that fails ends the run here,
# named, rather than an hour later in a build that lacks what it should have installed.
setup() {
    step=$1
    shift
    "./scripts/$step" "$@" || {
        echo "test.sh: set-up step $step failed (status $?); stopping" >&2
        exit 1
    }
}

# stage TITLE: starts a stage of the run, first printing how long the one before took.
stage_title=""
stage() {
    end_stage
    stage_title=$1
    stage_start=$(date +%s)
    echo "=== $1"
}
end_stage() {
    [ -z "$stage_title" ] || echo "=== $stage_title: done in $(($(date +%s) - stage_start)) s"
}

stage "set-up"
setup install-deps.sh
arches=${CROSS_ARCHES-armhf arm64}
if [ -n "$arches" ]; then
    setup setup-cross.sh
    # shellcheck disable=SC2086
    setup setup-arm-system.sh $arches
fi

# build DIR [CMAKE OPTIONS...]: configures and builds with warnings as errors.
build() {
    dir=$1
    shift
    # A configure that failed (a cross compiler not installed yet) leaves a cache that a later
    # configure doesn't fully put right: a directory never configured to the end starts afresh.
    [ -e "$dir/.configured" ] || rm -rf "$dir"
    cmake -S . -B "$dir" -DWERROR=ON -DBUILD_TESTING=ON "$@"
    touch "$dir/.configured"
    cmake --build "$dir" -j "$(nproc)"
}

stage "plain build (hardened as the packages are)"
build build -DDEB_HARDENING=ON
(cd build && ctest --output-on-failure -j 2)

stage "sanitizer build (ASan + UBSan)"
build build-asan -DSANITIZE=ON
(cd build-asan && ctest --output-on-failure -j 2)

stage "static build"
build build-static -DSTATIC=ON
(cd build-static && ctest --output-on-failure -j 2 -R blackbox)

for arch in $arches; do
    stage "$arch cross build, tested under qemu-user"
    build "build-$arch" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" -DDEB_HARDENING=ON
    (cd "build-$arch" && ctest --output-on-failure -j 2)
    stage "$arch static build, tested under qemu-user and booted on Debian's $arch kernel"
    build "build-$arch-static" -DCMAKE_TOOLCHAIN_FILE="cmake/toolchain-$arch.cmake" -DSTATIC=ON
    (cd "build-$arch-static" && ctest --output-on-failure -j 2 -R 'blackbox|arm_system')
done

stage "packages"
for dir in build $(for arch in $arches; do echo "build-$arch"; done); do
    (cd "$dir" && cpack -G DEB)
    # Debian's standard: no error and no warning.
    if ! lintian --fail-on error,warning "$dir"/corvan-tools_*.deb >"$dir/lintian.log" 2>&1; then
        cat "$dir/lintian.log"
        echo "lintian found errors or warnings in the package of $dir"
        exit 1
    fi
    grep -v 'root privileges' "$dir/lintian.log" || true
    bash tests/package_test.sh "$dir"/corvan-tools_*.deb
done

stage "the amd64 package's systemd route, in a systemd-nspawn container"
setup setup-systemd-guest.sh
bash tests/systemd_guest_test.sh build/corvan-tools_*.deb

if [ "${FUZZ_SECONDS:-30}" -gt 0 ]; then
    stage "fuzzing"
    ./scripts/fuzz.sh "${FUZZ_SECONDS:-30}"
fi
end_stage
