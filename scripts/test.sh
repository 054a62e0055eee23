#!/bin/sh
# Installs what is missing, then builds and runs every test: the plain build, the whole suite
# again with AddressSanitizer and UndefinedBehaviorSanitizer, the .deb installed, smoke-tested
# and removed again (as root), and each fuzz target for a minute.
# FUZZ_SECONDS sets the fuzzing time per target (0 skips fuzzing).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh

echo "=== plain build"
cmake -S . -B build -DWERROR=ON
cmake --build build -j "$(nproc)"
(cd build && ctest --output-on-failure -j 2)

echo "=== sanitizer build (ASan + UBSan)"
cmake -S . -B build-asan -DWERROR=ON -DSANITIZE=ON
cmake --build build-asan -j "$(nproc)"
(cd build-asan && ctest --output-on-failure -j 2)

echo "=== package"
(cd build && cpack -G DEB)
bash tests/package_test.sh build/corvan-tools_*_amd64.deb

if [ "${FUZZ_SECONDS:-60}" -gt 0 ]; then
    echo "=== fuzzing"
    ./scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
