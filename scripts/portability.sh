#!/bin/sh
# Fails on what macOS 10.13's C++ library lacks, and on platform-specific
# code outside platform/. Run from anywhere; prints each offending line.
cd "$(dirname "$0")/.."
status=0
check() {
    what=$1 pattern=$2
    shift 2
    found=$(grep -rnE "$pattern" "$@" 2>/dev/null)
    if [ -n "$found" ]; then
        echo "portability: $what:"
        echo "$found"
        status=1
    fi
}
product="Tolvane shared platform"
# Library features that need a later macOS than 10.13.
check "<filesystem> needs macOS 10.15" '#include <filesystem>|std::filesystem' $product
check "to_chars/from_chars for floating point need macOS 13.3" '\b(to_chars|from_chars)\b' $product
check "bad_optional_access, bad_variant_access and bad_any_cast need macOS 10.14" \
    '\.value\(\)|std::visit|std::get<|std::any\b|any_cast' $product
check "aligned allocation needs macOS 10.14" 'aligned_alloc|align_val_t|std::pmr' $product
check "shared_mutex timed locks and synchronisation waits need later releases" \
    'shared_timed_mutex|atomic_wait|atomic_notify|std::barrier|std::latch|_semaphore' $product
# An atomic's wait() takes the value it waits to change; a condition
# variable's takes the lock, which is named "lock" throughout.
found=$(grep -rnP '\.wait\((?!lock\b)' $product 2>/dev/null)
if [ -n "$found" ]; then
    echo "portability: waiting on an atomic needs macOS 11:"
    echo "$found"
    status=1
fi
# Platform differences belong in platform/ alone.
check "platform-specific code outside platform/" \
    '__APPLE__|__linux__|__MACH__|F_FULLFSYNC|pthread_threadid_np|getprogname|program_invocation|SYS_gettid|syscall\(' \
    Tolvane shared
exit $status
