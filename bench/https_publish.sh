#!/usr/bin/env bash
# One https publish to a loopback ntfy server: chimewick's client against curl doing the same
# request, in one run. Starts Debian's ntfy server (from .deps/) on a free 127.0.0.1 port with
# TLS, a private root made here with openssl, and the message cache off.
# Usage: bench/https_publish.sh [BUILD_DIR]   (ROUNDS=30 by default)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
rounds=${ROUNDS:-30}
ntfy="$top/.deps/ntfy/usr/bin/ntfy"
bench="$build/bench_https_publish"
say() { printf 'https_publish: %s\n' "$*" >&2; }
[ -x "$ntfy" ] || { say "ntfy is missing: run scripts/bootstrap"; exit 1; }
[ -x "$bench" ] || { say "$bench is missing: build first"; exit 1; }

work=$(mktemp -d)
ntfy_pid=
cleanup() {
  # The status of the script is its own, not that of the server it stops here.
  if [ -n "$ntfy_pid" ]; then kill "$ntfy_pid" 2>/dev/null || true; wait "$ntfy_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A private root and a server certificate for localhost.
cd "$work"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout ca.key -out ca.pem \
  -subj "/CN=chimewick bench root" -days 2 \
  -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign 2>/dev/null
openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout key.pem -out leaf.csr \
  -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' > leaf.ext
openssl x509 -req -in leaf.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out cert.pem -days 2 \
  -extfile leaf.ext 2>/dev/null
# curl gets the same trust as chimewick: the public roots plus the private one.
cat /etc/ssl/certs/ca-certificates.crt ca.pem > curl-bundle.pem

# Find a free port: other processes on this machine may listen on common ones, so check that
# the server that answers is ours.
port=
for attempt in 1 2 3 4 5 6 7 8; do
  try=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
  if (exec 3<>"/dev/tcp/127.0.0.1/$try") 2>/dev/null; then continue; fi
  cat > server.yml <<YML
listen-http: ""
listen-https: "127.0.0.1:$try"
key-file: "$work/key.pem"
cert-file: "$work/cert.pem"
cache-duration: "0"
visitor-request-limit-exempt-hosts: "127.0.0.1"
log-level: "warn"
YML
  "$ntfy" serve --config server.yml > ntfy.log 2>&1 &
  ntfy_pid=$!
  for _ in $(seq 1 50); do
    if curl -fsS --cacert ca.pem "https://localhost:$try/v1/health" 2>/dev/null | grep -q healthy; then
      port=$try; break
    fi
    kill -0 "$ntfy_pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] && break
  kill "$ntfy_pid" 2>/dev/null || true; wait "$ntfy_pid" 2>/dev/null || true; ntfy_pid=
done
[ -n "$port" ] || { say "the ntfy server did not start"; cat ntfy.log >&2; exit 1; }

"$bench" "https://localhost:$port/benchtopic" "$work/ca.pem" "$work/curl-bundle.pem" "$rounds"
