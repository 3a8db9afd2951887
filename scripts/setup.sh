#!/bin/sh
# Installs the packages the build and the tests need, when they are missing
# and this runs as root. Sourced by the other scripts.
tolvane_packages="cmake make g++ clang libclang-rt-dev libgtest-dev util-linux strace mandoc llvm-14 file"
tolvane_missing=""
for p in $tolvane_packages; do
    dpkg -s "$p" >/dev/null 2>&1 || tolvane_missing="$tolvane_missing $p"
done
if [ -n "$tolvane_missing" ]; then
    if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
        echo "Installing:$tolvane_missing" >&2
        apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $tolvane_missing >&2 \
            || { echo "could not install:$tolvane_missing" >&2; exit 1; }
    else
        echo "missing packages:$tolvane_missing (install them, or run this as root)" >&2
        exit 1
    fi
fi
