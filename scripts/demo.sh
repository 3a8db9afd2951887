#!/bin/sh
# Runs the tool's whole job once, on a sample agent: builds the tool if
# needed, lays out an agent with a binary patch-data file in a scratch
# folder, runs the real binary with that folder standing in for /Library
# (a private mount namespace; the host's /Library is never touched), and
# shows the log lines, the exit status and the file written.
#
#   scripts/demo.sh [ARGUMENT]     (default: true)
set -eu
cd "$(dirname "$0")/.."
. scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target Tolvane >/dev/null

library=$(mktemp -d "${TMPDIR:-/tmp}/tolvane-demo.XXXXXX")
trap 'rm -rf "$library"' EXIT
agent="$library/Velmora/Ostrel_Agent"
mkdir -p "$agent/bin" "$agent/data"
printf '#!/bin/sh\n# stands in for the agent service\n' > "$agent/bin/tqagentservice"
chmod 755 "$agent/bin/tqagentservice"
cp demo/tqpatch_data.plist "$agent/data/tqpatch_data.plist"

echo "== before: /Library/Velmora/Ostrel_Agent/data/tqpatch_data.plist, binary, $(wc -c < "$agent/data/tqpatch_data.plist") bytes"
echo "== running: Tolvane ${1-true}  (log lines follow)"
status=0
tests/sandbox.sh "$library" "$PWD/build/default/Tolvane" "${1-true}" 2>&1 || status=$?
echo "== exit status: $status"
echo "== after: /Library/Velmora/Ostrel_Agent/data/tqpatch_data.plist"
cat "$agent/data/tqpatch_data.plist"
