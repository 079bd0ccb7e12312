#!/usr/bin/env bash
# One MCP tools/call (ntfy_send) publishing to a loopback ntfy server, over http and https,
# against curl publishing the same message, in one run. Starts Debian's ntfy server (from
# .deps/) on two free 127.0.0.1 ports (http and https with a self-signed certificate made here
# with openssl, message cache off).
# Usage: bench/mcp_publish.sh [BUILD_DIR]   (ROUNDS=30 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
rounds=${ROUNDS:-30}
ntfy="$top/.deps/ntfy/usr/bin/ntfy"
bench="$build/bench_mcp_publish"
exe="$build/chimewick"
say() { printf 'mcp_publish: %s\n' "$*" >&2; }
[ -x "$ntfy" ] || { say "ntfy is missing: run scripts/bootstrap"; exit 1; }
[ -x "$bench" ] || { say "$bench is missing: build first"; exit 1; }
[ -x "$exe" ] || { say "$exe is missing: build first"; exit 1; }

work=$(mktemp -d)
ntfy_pid=
# Keeps the script's own exit status: the status of the stopped server must not replace it.
cleanup() {
  local status=$?
  if [ -n "$ntfy_pid" ]; then
    kill "$ntfy_pid" 2>/dev/null || true
    wait "$ntfy_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT

# A self-signed certificate for localhost, and the SHA-256 pin of its public key.
cd "$work"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout key.pem \
  -out cert.pem -subj "/CN=localhost" -days 2 \
  -addext subjectAltName=DNS:localhost,IP:127.0.0.1 2>/dev/null
pin=$(openssl x509 -in cert.pem -pubkey -noout | openssl pkey -pubin -outform der |
  sha256sum | cut -d' ' -f1)

# Find two free ports: other processes on this machine may listen on common ones, so check that
# the server that answers is ours.
port=
for attempt in 1 2 3 4 5 6 7 8; do
  try=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
  try_tls=$(( try + 1 ))
  if (exec 3<>"/dev/tcp/127.0.0.1/$try") 2>/dev/null; then continue; fi
  if (exec 3<>"/dev/tcp/127.0.0.1/$try_tls") 2>/dev/null; then continue; fi
  cat > server.yml <<YML
listen-http: "127.0.0.1:$try"
listen-https: "127.0.0.1:$try_tls"
key-file: "$work/key.pem"
cert-file: "$work/cert.pem"
cache-duration: "0"
visitor-request-limit-exempt-hosts: "127.0.0.1"
log-level: "warn"
YML
  "$ntfy" serve --config server.yml > ntfy.log 2>&1 &
  ntfy_pid=$!
  for _ in $(seq 1 50); do
    if curl -fsS "http://127.0.0.1:$try/v1/health" 2>/dev/null | grep -q healthy &&
       curl -fsS --cacert cert.pem "https://localhost:$try_tls/v1/health" 2>/dev/null |
         grep -q healthy; then
      port=$try; break
    fi
    kill -0 "$ntfy_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] && break
  kill "$ntfy_pid" 2>/dev/null || true; wait "$ntfy_pid" 2>/dev/null || true; ntfy_pid=
done
[ -n "$port" ] || { say "the ntfy server did not start"; cat ntfy.log >&2; exit 1; }

"$bench" "$exe" "http://127.0.0.1:$port" "https://localhost:$((port + 1))" "$work/cert.pem" \
  "$pin" "$work" "$rounds"
