#!/bin/sh
# Builds everything with warnings as errors and runs every test.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_WERROR=ON >/dev/null
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)"
