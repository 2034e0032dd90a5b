#!/usr/bin/env bash
# Measures the stand-in cluster with a generated dataset: time to ready
# (generation included), resident memory, CPU time, and the throughput of
# full-state pulls and of the snapshot, read with curl into /dev/null.
#
#   bench/standin/measure.sh [build-dir] [checks] [tags-per-check] [pulls]
#
# Use a build without sanitizers (-DZORV_SANITIZE=none) for figures.
set -euo pipefail
build=${1:-build}
checks=${2:-1000000}
tags=${3:-10}
pulls=${4:-3}
binary="$build/bin/drask-standin"
[ -x "$binary" ] || { echo "no $binary: build the drask-standin target first" >&2; exit 1; }

out=$(mktemp)
trap 'kill "$pid" 2>/dev/null || true; rm -f "$out"' EXIT
start=$(date +%s.%N)
"$binary" --nodes 1 --base-port 0 --checks "$checks" --tags-per-check "$tags" --seed 1 >"$out" &
pid=$!
for _ in $(seq 1 1200); do grep -q '^ready' "$out" && break; sleep 0.1; done
grep -q '^ready' "$out" || { echo "no ready line" >&2; exit 1; }
ready=$(date +%s.%N)
node=$(sed -n 's/.*nodes=\([0-9]*\).*/\1/p' "$out")
admin=$(sed -n 's/.*admin=\([0-9]*\).*/\1/p' "$out")
ticks=$(getconf CLK_TCK)
cpu() { awk -v t="$ticks" '{printf "%.2f", ($14 + $15) / t}' "/proc/$pid/stat"; }

echo "dataset: $checks checks x $tags tags"
echo "ready after: $(echo "$ready - $start" | bc) s wall, $(cpu) s CPU"
echo "resident after generation: $(awk '/VmRSS/ {print $2, $3}' /proc/$pid/status)"
for i in $(seq 1 "$pulls"); do
  curl -s -o /dev/null -w "full-state pull $i: %{size_download} bytes in %{time_total} s (%{speed_download} bytes/s)\n" \
    "http://127.0.0.1:$node/meta/check/tag"
done
curl -s -o /dev/null -w "snapshot: %{size_download} bytes in %{time_total} s\n" \
  "http://127.0.0.1:$admin/snapshot"
echo "resident high-water mark: $(awk '/VmHWM/ {print $2, $3}' /proc/$pid/status)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
