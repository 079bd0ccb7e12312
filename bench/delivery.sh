#!/usr/bin/env bash
# The delivery run under faults at a larger N (bench/delivery.mjs): node outages, a conversation reset, a slow
# node, a full disk (where a tmpfs can be mounted), an ntfy server restart
# and two daemon kills; prints what was delivered, lost and duplicated each way and the queue's drain time.
# Usage: bench/delivery.sh [BUILD_DIR]     MESSAGES=600 KEEP_DIR=... (where the evidence of a loss is kept)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
exe="$build/chimewick"
say() { printf 'delivery: %s\n' "$*" >&2; }
[ -x "$top/.deps/ntfy/usr/bin/ntfy" ] || { say "ntfy is missing: run scripts/bootstrap"; exit 1; }
[ -x "$exe" ] || { say "$exe is missing: build first"; exit 1; }
command -v node > /dev/null || { say "node is missing: run scripts/bootstrap"; exit 1; }
exec node "$top/bench/delivery.mjs" "$exe"
