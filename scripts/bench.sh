#!/usr/bin/env bash
# Runs every benchmark program that the build made, then the live picture's latency
# (bench/webrtc_latency.py), the local HLS's beside it (bench/hls_latency.py) and the web side's
# (bench/web_bench.py); each
# prints its own ratio against a peer.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
found=0
for b in "$build"/bench/bench_*; do
  [ -x "$b" ] || continue
  found=1
  echo "== $(basename "$b")"
  "$b"
done
[ $found -eq 1 ] || echo "no benchmarks built"
echo "== webrtc_latency"
/usr/bin/python3 "$repo/bench/webrtc_latency.py" --build "$build" --source "$repo"
echo "== hls_latency"
/usr/bin/python3 "$repo/bench/hls_latency.py" --build "$build" --source "$repo"
echo "== web_bench"
/usr/bin/python3 "$repo/bench/web_bench.py" --build "$build" --source "$repo"
