#!/usr/bin/env bash
# The channel gateway (chimewick --daemon) against the ntfy command-line client bridging a topic to
# a command, in one run: inbound latency and throughput, reply latency, resident memory. Starts
# Debian's ntfy server (from .deps/) and the devnode on free 127.0.0.1 ports (bench/daemon.mjs).
# Usage: bench/daemon.sh [BUILD_DIR]
#   MESSAGES=10000 LATENCY_SAMPLES=200 REPLY_SAMPLES=40 REPLY_POLL_MS=700 PUBLISHERS=4
#   STREAM_ROUNDS=4 SERVER_PROBE=2000 STRACE_MESSAGES=1000 BASELINE_EXE=<another build, run beside it>
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
ntfy="$top/.deps/ntfy/usr/bin/ntfy"
exe="$build/chimewick"
say() { printf 'daemon: %s\n' "$*" >&2; }
[ -x "$ntfy" ] || { say "ntfy is missing: run scripts/bootstrap"; exit 1; }
[ -x "$exe" ] || { say "$exe is missing: build first"; exit 1; }
command -v node > /dev/null || { say "node is missing: run scripts/bootstrap"; exit 1; }
command -v mkfifo > /dev/null || { say "mkfifo is missing"; exit 1; }

exec node "$top/bench/daemon.mjs" "$exe"
