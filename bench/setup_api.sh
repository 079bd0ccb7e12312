#!/usr/bin/env bash
# One setup API request as a whole process ("status", and "save" which also writes config.json),
# against starting /bin/true, interleaved in one run. Needs no peers: the requests touch only a
# temporary connector folder.
# Usage: bench/setup_api.sh [BUILD_DIR]   (ROUNDS=200 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
rounds=${ROUNDS:-200}
bench="$build/bench_setup_api"
exe="$build/chimewick"
say() { printf 'setup_api: %s\n' "$*" >&2; }
[ -x "$bench" ] || { say "$bench is missing: build first"; exit 1; }
[ -x "$exe" ] || { say "$exe is missing: build first"; exit 1; }
"$bench" "$exe" "$rounds"
