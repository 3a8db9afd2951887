#!/bin/sh
# Builds everything with warnings as errors and runs every test: once with
# gcc, once with clang under AddressSanitizer and UndefinedBehaviorSanitizer,
# and the concurrency tests under ThreadSanitizer.
#   scripts/test.sh          all three
#   scripts/test.sh quick    the gcc build only
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
jobs=$(nproc)

echo "== gcc build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs"
[ "${1:-}" = quick ] && exit 0

echo "== clang build, AddressSanitizer and UndefinedBehaviorSanitizer"
CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_WERROR=ON \
    -DTOLVANE_SANITIZE=address,undefined >/dev/null
cmake --build build-asan -j "$jobs"
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer, concurrency tests"
CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOLVANE_WERROR=ON \
    -DTOLVANE_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs" --target kivo_agent_tests
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -R KivoAgent
