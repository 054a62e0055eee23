#!/bin/sh
# Installs what is missing, builds everything with warnings as errors and runs every test.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake -S . -B build -DWERROR=ON
cmake --build build -j "$(nproc)"
cd build
ctest --output-on-failure -j 2
