#!/bin/sh
# Cross-builds the universal macOS tool with the macos preset and checks it:
# a Mach-O universal binary with an x86_64 and an arm64 slice, each of whose
# load commands name the minimum macOS version, and the release tarball.
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
command -v npm >/dev/null 2>&1 || { echo "macos.sh: npm is needed to fetch Zig's toolchain" >&2; exit 1; }

cmake --preset macos >/dev/null
cmake --build --preset macos

binary=build/macos/Tolvane
fail() {
    echo "macos.sh: $*" >&2
    exit 1
}
file "$binary" | grep -q "Mach-O universal binary with 2 architectures" || fail "$binary is no universal binary"
archs=$(llvm-lipo-14 -archs "$binary" | xargs)
[ "$archs" = "x86_64 arm64" ] || fail "slices are '$archs', not 'x86_64 arm64'"
for arch in x86_64 arm64; do
    minos=$(llvm-objdump-14 --macho --private-headers --arch="$arch" "$binary" |
        awk '/cmd LC_BUILD_VERSION/ { found = 1 } found && $1 == "minos" { print $2; exit }')
    [ "$minos" = 11.0 ] || fail "the $arch slice gives minimum macOS '$minos', not 11.0"
    echo "$arch: LC_BUILD_VERSION minos $minos"
done
version=$(sed -n 's/^project(Tolvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
tarball=build/macos/Tolvane-$version-macos-universal.tar.gz
contents=$(tar -tzf "$tarball" | sort | tr '\n' ' ')
[ "$contents" = "Tolvane-$version-macos-universal/ Tolvane-$version-macos-universal/Tolvane Tolvane-$version-macos-universal/Tolvane.8 " ] ||
    fail "$tarball holds: $contents"
echo "macOS: $binary and $tarball"
