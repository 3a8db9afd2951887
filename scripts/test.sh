#!/bin/sh
# Checks portability and the man page, then builds everything with warnings
# as errors and runs every test: once with gcc, once with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the concurrency tests
# under ThreadSanitizer; last, cross-builds the universal macOS tool.
#   scripts/test.sh          all of it
#   scripts/test.sh quick    the checks and the gcc build only (no macOS build)
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
jobs=$(nproc)

echo "== portability guard and man page"
scripts/portability.sh
mandoc -T lint -W warning Tolvane/Tolvane.8

echo "== gcc build and tests"
cmake --preset default >/dev/null
cmake --build --preset default -j "$jobs"
ctest --preset default -j "$jobs"
[ "${1:-}" = quick ] && exit 0

echo "== clang build, AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset sanitizers >/dev/null
cmake --build --preset sanitizers -j "$jobs"
ctest --preset sanitizers -j "$jobs"

echo "== ThreadSanitizer: the agent locations, the writer that checks on a second thread, and work done in two parts"
cmake --preset thread >/dev/null
cmake --build --preset thread -j "$jobs"
ctest --preset thread -j "$jobs"

echo "== macOS universal binary, cross-built with Zig"
scripts/macos.sh
