#!/usr/bin/env bash
# A real browser's upload as the editor sends it: headless Chromium, on a page of another allowed
# origin (http://localhost:3000), posts /v1/blobs bodies (a JSON string, a bearer token, so a CORS
# preflight) to the agent and to a plain Node.js sink that only counts bytes, in turn, for 5 and
# 20 MiB of content (after a round per size that is not counted), and prints each size's agent ÷
# sink ratio: the median of the rounds. Their spread is mostly the browser's own: most of a post
# is the browser's work before the first byte of the request leaves it.
# Usage: bench/browser/run.sh [path to vellora-agent] [rounds]   (needs chromium and node; ports
# 3000, 3001 and 47999 must be free)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
agent_bin=$(realpath "${1:-$here/../../build-bench/vellora-agent}")
rounds=${2:-8}
work=$(mktemp -d)
agent_pid=
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  [ -n "$agent_pid" ] && wait "$agent_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_CACHE_HOME=$work/cache VELLORA_AGENT_PORT=47999
mkdir -p "$HOME"
"$agent_bin" --no-tray >"$work/agent.log" 2>&1 &
agent_pid=$!
node "$here/server.js" >"$work/results" 2>&1 &
for _ in $(seq 1 100); do grep -q "listening\|127.0.0.1:47999" "$work/agent.log" && break; sleep 0.1; done
code=$("$agent_bin" code | head -1)
token=$(curl -s -H 'Origin: http://localhost:3000' -d "{\"code\":\"$code\"}" \
  http://127.0.0.1:47999/v1/pair/confirm | python3 -c 'import json,sys; print(json.load(sys.stdin)["token"])')
# --expose-gc lets the page collect its own garbage before each post's clock starts.
chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --js-flags=--expose-gc --user-data-dir="$work/chrome" \
  "http://localhost:3000/?agent=http://127.0.0.1:47999&sink=http://127.0.0.1:3001/sink&token=$token&mib=5,20&rounds=$rounds" \
  >/dev/null 2>&1 &
for _ in $(seq 1 600); do [ -s "$work/results" ] && break; sleep 1; done
if ! grep -q '^[0-9]' "$work/results"; then
  echo "the browser benchmark gave no result: $(cat "$work/results")" >&2
  exit 1
fi
python3 - "$work/results" <<'PY'
import statistics, sys
rows = [line.split() for line in open(sys.argv[1]) if line[0].isdigit()]
print("upload from a browser page (headless Chromium), agent ÷ plain sink, new content each post")
for mib in sorted({int(r[0]) for r in rows}):
    ratios = [int(r[2]) / int(r[3]) for r in rows if int(r[0]) == mib]
    times = " ".join(f"{r[2]}/{r[3]}" for r in rows if int(r[0]) == mib)
    print(f"  {mib:2d} MiB: ms agent/sink per round {times}")
    print(f"          ratio {statistics.median(ratios):.2f}  (median of the rounds; aim: at most 1.20;"
          f" rounds {min(ratios):.2f} to {max(ratios):.2f})")
PY
