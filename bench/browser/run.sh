#!/usr/bin/env bash
# A real browser's upload: headless Chromium sends the same /v1/blobs body (20 MiB of content) to
# the agent and to a plain Node.js sink that discards it, five times each, and prints the times.
# Usage: bench/browser/run.sh [path to vellora-agent]   (needs chromium and node; ports 3000, 3001
# and 47999 must be free)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
agent_bin=$(realpath "${1:-$here/../../build-bench/vellora-agent}")
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache VELLORA_AGENT_PORT=47999
mkdir -p "$HOME"
"$agent_bin" --no-tray >"$work/agent.log" 2>&1 &
node "$here/server.js" >"$work/results" 2>&1 &
sleep 1
code=$("$agent_bin" code | head -1)
token=$(curl -s -H 'Origin: http://localhost:3000' -d "{\"code\":\"$code\"}" \
  http://127.0.0.1:47999/v1/pair/confirm | python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])')
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$work/chrome" \
  "http://localhost:3000/?agent=http://127.0.0.1:47999&token=$token&mib=20" >/dev/null 2>&1 &
for _ in $(seq 1 120); do grep -q round "$work/results" 2>/dev/null && break; sleep 1; done
sleep 1
cat "$work/results"
