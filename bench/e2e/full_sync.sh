#!/usr/bin/env bash
# End-to-end full sync: a one-node stand-in cluster with a generated dataset,
# and the daemon with kavalin and ostrel replicating it over loopback.
#
# Measures, in one run:
#   - baseline: fetching the same full-state stream with curl into /dev/null
#     (the cost of producing and moving the bytes, with no decoding or store);
#   - sync: from starting the daemon until ostrel logs that the full sync is
#     complete (the replica then holds every check);
#   - the daemon's resident memory: idle (both modules, replicating an empty
#     cluster), its peak (VmHWM) and after the sync, and the bytes per stored
#     tag: (RSS after - RSS idle) / (checks x tags), and the same growth over
#     the raw tag text (the sum of the tag lengths of the stand-in's dataset);
#   - diff follow: one new tag on each of DIFF_CHANGES checks (default
#     100,000) held back from the daemon (the node answers its feed requests
#     with 503 meanwhile) and then pulled in one diff: the time from the
#     node's log line of that request to the daemon's "advanced checkpoint"
#     line, beside curl fetching the same diff stream, and the RSS growth
#     per added tag.
#
# Usage: bench/e2e/full_sync.sh [BUILD_DIR] [CHECKS] [TAGS_PER_CHECK] [SEED]
#   defaults: build/release 1000000 10 1
# Needs a build without sanitizers (scripts/run-demo.sh makes build/release).
# Not run by the tests: it takes minutes and gigabytes.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$(cd "${1:-build/release}" && pwd)
checks=${2:-1000000}
tags=${3:-10}
seed=${4:-1}
baseline_runs=3
diff_changes=${DIFF_CHANGES:-100000}

bin=$build/bin
for f in "$bin/wendrel" "$bin/drask-standin" "$build/lib/ostrel.so" "$build/lib/kavalin.so"; do
  [ -e "$f" ] || { echo "full_sync: $f missing; build first (scripts/run-demo.sh builds build/release)" >&2; exit 1; }
done
if grep -qE '^ZORV_SANITIZE:STRING=(address|thread)' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "full_sync: $build is a sanitizer build; the figures would mean nothing" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/full_sync.XXXXXX")
scripts/make-certs.sh "$work/certs" >/dev/null

pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap 'cleanup; exit 130' INT
trap 'cleanup; exit 143' TERM
trap 'cleanup; echo "logs: $work"' EXIT

now() { date +%s.%N; }
calc() { awk "BEGIN { printf \"$1\", $2 }"; }  # calc FORMAT EXPRESSION
kib() { awk -v k="$2" '$1 == k":" { print $2 }' "/proc/$1/status"; }

# Prefixes every line with the wall-clock time (seconds, microseconds), so
# the stand-in's request lines can be set against the daemon's log.
stamp_lines() { local l; while IFS= read -r l; do printf '%s %s\n' "$EPOCHREALTIME" "$l"; done; }

# start_standin NAME CHECKS: sets node_port once the stand-in is ready. It
# logs every request (stamped) and hands out any backlog in one diff.
start_standin() {
  local log=$work/$1.log n=0
  : > "$log"
  "$bin/drask-standin" --nodes 1 --base-port 0 --checks "$2" \
      --tags-per-check "$tags" --seed "$seed" --log-level debug \
      --batch 10000000 > >(stamp_lines > "$log") 2>&1 &
  pids+=($!)
  while ! grep -qE '^[0-9.]+ ready ' "$log"; do
    kill -0 "${pids[-1]}" 2>/dev/null || { cat "$log" >&2; exit 1; }
    [ $n -lt 6000 ] || { echo "full_sync: stand-in not ready after 10 min" >&2; exit 1; }
    sleep 0.1; n=$((n + 1))
  done
  node_port=$(sed -n 's/^[0-9.]* ready .*nodes=\([0-9]*\).*/\1/p' "$log")
}

# write_conf FILE NODE_PORT: one cluster, both modules, ostrel pulling every second.
write_conf() {
  cat > "$1" <<XML
<?xml version="1.0"?>
<wendrel>
  <clusters my_id="0b5e7a10-2c3d-4e5f-8a9b-0c1d2e3f4a5b"/>
  <logs output="stderr">
    <log name="debug/ostrel/control" disabled="false"/>
  </logs>
  <listeners>
    <listener address="127.0.0.1" port="0" cert="certs/server.crt"
              key="certs/server.key" client_ca="certs/ca.crt"/>
  </listeners>
  <metric_director enabled="true"/>
  <modules>
    <module image="kavalin" name="kavalin"/>
    <module image="ostrel" name="ostrel">
      <config><update_interval>1</update_interval><failover_timeout>3600</failover_timeout></config>
    </module>
  </modules>
  <drask>
    <swimlane>
      <bootstrap cluster="1" host="127.0.0.1:$2"/>
    </swimlane>
  </drask>
</wendrel>
XML
}

# wait_log FILE PATTERN PID LIMIT_S: polls every 20 ms.
wait_log() {
  local n=0 limit=$(( $4 * 50 ))
  while ! grep -q "$2" "$1"; do
    kill -0 "$3" 2>/dev/null || { tail -20 "$1" >&2; echo "full_sync: daemon exited" >&2; exit 1; }
    [ $n -lt "$limit" ] || { tail -20 "$1" >&2; echo "full_sync: no '$2' after $4 s" >&2; exit 1; }
    sleep 0.02; n=$((n + 1))
  done
}

https_port() { sed -n 's|.*listening on https://127.0.0.1:\([0-9]*\).*|\1|p' "$1" | head -1; }

echo "dataset: $checks checks x $tags tags (seed $seed); generating..."
t=$(now)
start_standin standin "$checks"
node=$node_port
standin_pid=${pids[-1]}
printf 'stand-in ready on 127.0.0.1:%s after %.1f s (RSS %d MiB)\n' "$node" \
  "$(calc %.1f "$(now) - $t")" $(( $(kib "$standin_pid" VmRSS) / 1024 ))

# Baseline: the same stream, fetched and thrown away.
best=""
bytes=0
for i in $(seq 1 $baseline_runs); do
  out=$(curl -s -o /dev/null -w '%{size_download} %{time_total} %{http_code}' \
        "http://127.0.0.1:$node/meta/check/tag")
  read -r bytes secs code <<< "$out"
  [ "$code" = 200 ] || { echo "full_sync: baseline fetch answered $code" >&2; exit 1; }
  printf 'baseline %d: %s bytes in %.3f s\n' "$i" "$bytes" "$secs"
  if [ -z "$best" ] || [ "$(calc %d "$secs < $best")" = 1 ]; then best=$secs; fi
done

# Idle daemon: both modules, replicating an empty cluster.
start_standin empty 0
empty=$node_port
mkdir -p "$work/idle" "$work/sync"
ln -s ../certs "$work/idle/certs"
ln -s ../certs "$work/sync/certs"
write_conf "$work/idle/wendrel.conf" "$empty"
"$bin/wendrel" -c "$work/idle/wendrel.conf" > "$work/idle.log" 2>&1 &
idle_pid=$!
pids+=("$idle_pid")
wait_log "$work/idle.log" 'full sync complete' "$idle_pid" 60
sleep 3
idle_rss=$(kib "$idle_pid" VmRSS)
kill -TERM "$idle_pid"; wait "$idle_pid" || true
echo "idle daemon: RSS $idle_rss KiB"

# The sync itself.
write_conf "$work/sync/wendrel.conf" "$node"
t0=$(now)
"$bin/wendrel" -c "$work/sync/wendrel.conf" > "$work/sync.log" 2>&1 &
wpid=$!
pids+=("$wpid")
wait_log "$work/sync.log" '\[1\] ostrelate full sync complete' "$wpid" 1800
t1=$(now)
sync_s=$(calc %.3f "$t1 - $t0")
hwm=$(kib "$wpid" VmHWM)
rss_now=$(kib "$wpid" VmRSS)
sleep 3
rss_after=$(kib "$wpid" VmRSS)
grep -E 'ostrelate full sync' "$work/sync.log" | sed 's/^/  /'
# The pull alone, between the worker's two log lines (start-up, topology and
# checkpoint excluded).
stamp() { date -d "$(grep -m1 "$1" "$work/sync.log" | sed 's/^\[\([^]]*\)\].*/\1/')" +%s.%N; }
pull_s=$(calc %.3f "$(stamp '\[1\] ostrelate full sync complete') - $(stamp '\[1\] ostrelate full sync against')")

# What the replica says it merged, and one check checked against the stand-in.
port=$(https_port "$work/sync.log")
c=(--cacert "$work/certs/ca.crt" --cert "$work/certs/client.crt" --key "$work/certs/client.key")
status=$(curl -s "${c[@]}" "https://127.0.0.1:$port/module/ostrel/status.json" || true)
merged=$(printf '%s' "$status" | sed -n 's/.*"elements_merged":\([0-9]*\).*/\1/p')
admin=$(sed -n 's/^[0-9.]* ready admin=\([0-9]*\).*/\1/p' "$work/standin.log")
curl -s "http://127.0.0.1:$admin/snapshot" > "$work/snapshot.txt"
line=$(sed -n '1p;1q' "$work/snapshot.txt")
# Raw tag text: the bytes of every tag of the dataset, nothing else.
raw_text=$(awk -F '\t' '{ for (i = 2; i <= NF; i++) n += length($i) } END { printf "%d", n }' "$work/snapshot.txt")
uuid=${line%%$'\t'*}
want=$(printf '%s\n' "${line#*$'\t'}" | tr '\t' '\n' | sort | tr '\n' ' ')
got=$(curl -s "${c[@]}" "https://127.0.0.1:$port/module/ostrel/show/$uuid.json" \
      | tr -d '{}[]"' | sed 's/^tags://' | tr ',' '\n' | sort | tr '\n' ' ')
same=no; [ "$want" = "$got" ] && same=yes

# Diff follow. A second subscriber's checkpoint marks where the changes
# start, for the curl baseline; the daemon's pulls fail with 503 while the
# changes are made, so that it takes them in one diff afterwards.
feed="http://127.0.0.1:$node/metafeed/check/tag"
bench_cp=$(curl -s -D - -o /dev/null -X POST "$feed?subscriber=bench-diff" |
           sed -n 's/^X-Drask-Feed-Checkpoint: *\([0-9a-f:]*\).*/\1/Ip')
[ -n "$bench_cp" ] || { echo "full_sync: no checkpoint for the diff baseline" >&2; exit 1; }
curl -s -o /dev/null -d '{"status":503}' "http://127.0.0.1:$admin/nodes/0/faults"
sleep 1.5
rss_before_diff=$(kib "$wpid" VmRSS)
awk -v n="$diff_changes" -v url="http://127.0.0.1:$admin/tag/add" '
  NR <= n { if (NR > 1) print "next"; printf "url = \"%s\"\ndata = \"{\\\"check\\\":\\\"%s\\\",\\\"tag\\\":\\\"bench:added-%07d\\\"}\"\noutput = /dev/null\n", url, $1, NR }' \
  FS='\t' "$work/snapshot.txt" > "$work/changes.curl"
t=$(now)
curl -s -K "$work/changes.curl"
printf 'diff follow: %d changes made in %.1f s\n' "$diff_changes" "$(calc %.1f "$(now) - $t")"
advanced_before=$(grep -c 'ostrelate advanced checkpoint' "$work/sync.log" || true)
marker=$(wc -l < "$work/standin.log")
curl -s -o /dev/null -X POST "http://127.0.0.1:$admin/nodes/0/clear"
n=0
while [ "$(grep -c 'ostrelate advanced checkpoint' "$work/sync.log" || true)" -le "$advanced_before" ]; do
  [ $n -lt 6000 ] || { echo "full_sync: the daemon never took the diff" >&2; exit 1; }
  sleep 0.02; n=$((n + 1))
done
# The first diff the node served to the daemon after the fault was lifted.
t_req=$(tail -n +"$((marker + 1))" "$work/standin.log" |
        awk '/GET \/metafeed\/check\/tag/ && !/subscriber=bench-diff/ && / -> 200$/ { print $1; exit }')
t_done=$(date -d "$(grep 'ostrelate advanced checkpoint' "$work/sync.log" | sed -n "$((advanced_before + 1))p" |
                   sed 's/^\[\([^]]*\)\].*/\1/')" +%s.%N)
diff_s=$(calc %.3f "$t_done - $t_req")
sleep 3
rss_after_diff=$(kib "$wpid" VmRSS)
diff_best=""
for i in $(seq 1 $baseline_runs); do
  out=$(curl -s -o /dev/null -w '%{size_download} %{time_total} %{http_code}' \
        "$feed?subscriber=bench-diff&checkpoint=$bench_cp")
  read -r diff_bytes secs code <<< "$out"
  [ "$code" = 200 ] || { echo "full_sync: diff baseline answered $code" >&2; exit 1; }
  if [ -z "$diff_best" ] || [ "$(calc %d "$secs < $diff_best")" = 1 ]; then diff_best=$secs; fi
done
diff_merged=$(curl -s "${c[@]}" "https://127.0.0.1:$port/module/ostrel/status.json" |
              sed -n 's/.*"elements_merged":\([0-9]*\).*/\1/p')

elements=$(( checks * tags ))
per_tag=$(calc %.1f "($rss_after - $idle_rss) * 1024 / $elements")
ratio=$(calc %.2f "$sync_s / $best")
mib() { calc %.1f "$1 / 1024"; }

cat <<TABLE

full sync of $checks checks x $tags tags over loopback ($(nproc) cores)
| measure                                   | value |
|-------------------------------------------|-------|
| stream bytes                              | $bytes ($(calc %.1f "$bytes / 1048576") MiB) |
| baseline: curl to /dev/null, best of $baseline_runs    | $(printf '%.3f' "$best") s ($(calc %.0f "$bytes / 1048576 / $best") MiB/s) |
| daemon start to full sync complete        | $(printf '%.3f' "$sync_s") s |
| ratio sync / baseline                     | $ratio |
| of which the pull (worker's log lines)    | $pull_s s (ratio $(calc %.2f "$pull_s / $best")) |
| elements merged (status route)            | ${merged:-?} of $elements |
| first check's tags match the stand-in     | $same |
| idle daemon RSS                           | $(mib "$idle_rss") MiB |
| peak RSS (VmHWM)                          | $(mib "$hwm") MiB |
| RSS at sync complete / 3 s later          | $(mib "$rss_now") / $(mib "$rss_after") MiB |
| bytes per stored tag (RSS after - idle)   | $per_tag |
| raw tag text                              | $raw_text bytes ($(calc %.1f "$raw_text / 1048576") MiB) |
| (RSS after - idle) / raw tag text         | $(calc %.2f "($rss_after - $idle_rss) * 1024 / $raw_text") |
| diff follow: changes, stream bytes        | $diff_changes, $diff_bytes |
| diff baseline: curl, best of $baseline_runs           | $(printf '%.3f' "$diff_best") s |
| diff applied (request to checkpoint line) | $diff_s s |
| ratio diff apply / baseline               | $(calc %.2f "$diff_s / $diff_best") |
| elements merged after the diff            | ${diff_merged:-?} |
| RSS growth per added tag                  | $(calc %.1f "($rss_after_diff - $rss_before_diff) * 1024 / $diff_changes") (full sync: $per_tag) |
TABLE
