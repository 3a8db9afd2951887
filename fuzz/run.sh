#!/bin/sh
# Builds the fuzz targets with clang and runs each for the given time.
#   fuzz/run.sh [SECONDS] [TARGET...]     (default: 600 s each, every target)
# Findings land in build/fuzz/findings/TARGET/; coverage and executions are
# in the last lines of build/fuzz/logs/TARGET.log.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-600}
[ $# -gt 0 ] && shift
targets=${*:-"fuzz_binary fuzz_xml fuzz_openstep fuzz_load fuzz_roundtrip fuzz_formats"}
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" >/dev/null
mkdir -p build/fuzz/logs
# Freed memory AddressSanitizer holds back counts against the limit on
# memory below: 256 MB of it by default, which a grown corpus of large
# files reaches while it is read in.
export ASAN_OPTIONS="${ASAN_OPTIONS:-quarantine_size_mb=64}"
for t in $targets; do
    case $t in
        fuzz_binary) dict=binary.dict ;;
        fuzz_openstep) dict=openstep.dict ;;
        *) dict=xml.dict ;;
    esac
    corpus=build/fuzz/corpus/$t findings=build/fuzz/findings/$t
    mkdir -p "$corpus" "$findings"
    cp -n tests/data/corpus/*/*.plist tests/data/hostile/* tests/data/cf-differential/* demo/*.plist "$corpus"/ 2>/dev/null || true
    echo "running $t for $seconds s"
    build/fuzz/fuzz/$t "$corpus" -dict="fuzz/$dict" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
        -rss_limit_mb=512 -artifact_prefix="$findings/" -print_final_stats=1 >"build/fuzz/logs/$t.log" 2>&1 || true
    tail -n 12 "build/fuzz/logs/$t.log" | grep -E "stat::|cov:|SUMMARY|ERROR" | tail -n 6
done
