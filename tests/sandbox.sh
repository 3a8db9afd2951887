#!/bin/sh
# Runs COMMAND with LIBRARY_DIR standing in for /Library, inside a private
# user and mount namespace: a tmpfs becomes the new root, every top-level
# folder of / is bound into it, LIBRARY_DIR is bound at /Library, and the
# command runs chrooted there. The host's /Library is never touched.
#
#   SANDBOX_SETUP  shell commands run in the namespace before the command,
#                  with $NEWROOT naming the new root (for read-only binds,
#                  small file systems and the like)
#   SANDBOX_AFTER  shell commands run in the namespace after the command
#                  (to look at what a small file system holds, say)
#
# Exits with the command's status, or 125 when the sandbox cannot be made.
set -u
if [ $# -lt 2 ]; then
    echo "usage: $0 LIBRARY_DIR COMMAND [ARG...]" >&2
    exit 125
fi
library=$(cd "$1" && pwd) || exit 125
shift
newroot=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-root.XXXXXX") || exit 125

unshare --user --map-root-user --mount --fork -- /bin/sh -c '
    set -u
    newroot=$1 library=$2
    shift 2
    fail() { echo "sandbox: $*" >&2; exit 125; }
    mount --make-rprivate / 2>/dev/null
    mount -t tmpfs -o size=1m,mode=755 tolvane-root "$newroot" || fail "cannot mount the new root"
    for entry in /* /.[!.]*; do
        [ -e "$entry" ] || [ -L "$entry" ] || continue
        name=${entry#/}
        [ "$name" = Library ] && continue
        if [ -L "$entry" ]; then
            ln -s "$(readlink "$entry")" "$newroot/$name" || fail "cannot link /$name"
        elif [ -d "$entry" ]; then
            mkdir "$newroot/$name" && mount --rbind "$entry" "$newroot/$name" 2>/dev/null \
                || { [ "$name" = sys ] || fail "cannot bind /$name"; }
        fi
    done
    mkdir "$newroot/Library" && mount --bind "$library" "$newroot/Library" || fail "cannot bind the library"
    export NEWROOT="$newroot"
    if [ -n "${SANDBOX_SETUP:-}" ]; then
        /bin/sh -c "$SANDBOX_SETUP" || fail "setup failed"
    fi
    chroot "$newroot" "$@"
    status=$?
    if [ -n "${SANDBOX_AFTER:-}" ]; then
        /bin/sh -c "$SANDBOX_AFTER"
    fi
    exit $status
' sandbox "$newroot" "$library" "$@"
status=$?
rmdir "$newroot" 2>/dev/null
exit $status
