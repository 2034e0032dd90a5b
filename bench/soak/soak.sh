#!/usr/bin/env bash
# Soak run: the daemon with kavalin and ostrel replicating a three-node
# stand-in cluster for MINUTES minutes while, all at once,
#   - faults are injected on a schedule through the stand-in's admin API
#     (node restarts, 5xx answers, stalled and cut bodies, truncated and
#     corrupt full-state streams, forgotten checkpoints, fail-over);
#   - tags are added and removed on the stand-in (churn);
#   - the account map and cluster 1's bootstrap hosts are updated over REST;
#   - tagsets are completed, checks shown and /metrics scraped.
# Then every fault is lifted and the run checks, within a settling time,
# that the replica equals the stand-in's data (every check through the show
# route, and the store's totals in /metrics), that the configuration file
# holds every accepted update, and that the daemon neither crashed nor
# reported a sanitizer finding, and stops cleanly. It prints a summary and
# exits 1 on any divergence. See bench/soak/README.md.
#
# Usage: bench/soak/soak.sh [MINUTES] [BUILD_DIR]   (defaults: 10 build/release)
set -euo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-10}
build=$(cd "${2:-build/release}" && pwd)
checks=${SOAK_CHECKS:-2000}
tags=${SOAK_TAGS:-5}
seed=${SOAK_SEED:-1}
failover=${SOAK_FAILOVER_TIMEOUT:-5}
fault_every=${SOAK_FAULT_EVERY:-6}
cluster_every=${SOAK_CLUSTER_EVERY:-10}
settle=${SOAK_SETTLE:-180}
tail_s=${SOAK_TAIL:-20}
sabotage=${SOAK_SABOTAGE:-}  # replica | file: plant a divergence (the run must fail)

fail_usage() { echo "soak: $*" >&2; exit 2; }
[[ $minutes =~ ^[0-9]+([.][0-9]+)?$ ]] || fail_usage "MINUTES must be a number, not '$minutes'"
case $sabotage in ''|replica|file) ;; *) fail_usage "SOAK_SABOTAGE is 'replica' or 'file'" ;; esac
bin=$build/bin
for f in "$bin/wendrel" "$bin/drask-standin" "$build/lib/kavalin.so" "$build/lib/ostrel.so"; do
  [ -e "$f" ] || fail_usage "$f missing; build first"
done
flavour=$(sed -n 's/^ZORV_SANITIZE:STRING=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
seconds=$(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }')

work=$(mktemp -d "${TMPDIR:-/tmp}/soak.XXXXXX")
mkdir -p "$work/counts"
scripts/make-certs.sh "$work/certs" >/dev/null

pids=()  # stand-in and daemon
loops=() # load and fault loops
stop_all() {
  local p
  for p in "${loops[@]}" "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${loops[@]}" "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  loops=() pids=()
}
trap 'stop_all; exit 130' INT
trap 'stop_all; exit 143' TERM
trap 'stop_all; echo "logs: $work"' EXIT

now() { date +%s; }
kib() { awk -v k="$2" '$1 == k":" { print $2 }' "/proc/$1/status" 2>/dev/null; }
mib() { awk -v k="${1:-0}" 'BEGIN { printf "%.1f", k / 1024 }'; }
count() { cat "$work/counts/$1" 2>/dev/null || echo 0; }  # a loop's latest figure
bump() { echo $(( $(count "$1") + ${2:-1} )) > "$work/counts/$1"; }

# ---- the stand-in cluster ------------------------------------------------
"$bin/drask-standin" --nodes 3 --base-port 0 --checks "$checks" \
    --tags-per-check "$tags" --seed "$seed" --batch 500 > "$work/standin.log" 2>&1 &
standin_pid=$!
pids+=("$standin_pid")
for _ in $(seq 1 600); do
  grep -q '^ready ' "$work/standin.log" && break
  kill -0 "$standin_pid" 2>/dev/null || { cat "$work/standin.log" >&2; exit 1; }
  sleep 0.1
done
grep -q '^ready ' "$work/standin.log" || { echo "soak: stand-in not ready" >&2; exit 1; }
admin=$(sed -n 's/^ready admin=\([0-9]*\).*/\1/p' "$work/standin.log")
IFS=, read -r -a node_ports <<< "$(sed -n 's/^ready .*nodes=\([0-9,]*\).*/\1/p' "$work/standin.log")"
adm="http://127.0.0.1:$admin"

# ---- the daemon ------------------------------------------------------------
# Cluster 1 is the stand-in; cluster 2 names the same cluster through one
# node (the same topology: ostrel replicates it once, and the second record
# takes over when the first is replaced). Short fail-over and speed limits
# make the faults bite within seconds.
cat > "$work/wendrel.conf" <<XML
<?xml version="1.0"?>
<wendrel>
  <clusters my_id="5a0c7e3b-1d2f-4a6b-8c9d-0e1f2a3b4c5d"/>
  <logs output="stderr"/>
  <listeners>
    <listener address="127.0.0.1" port="0" cert="certs/server.crt"
              key="certs/server.key" client_ca="certs/ca.crt"/>
  </listeners>
  <metric_director enabled="true"/>
  <modules>
    <module image="kavalin" name="kavalin"/>
    <module image="ostrel" name="ostrel">
      <config>
        <update_interval>1</update_interval>
        <failover_timeout>$failover</failover_timeout>
        <speed_limit>100</speed_limit>
        <speed_timeout>3</speed_timeout>
        <connect_timeout>2</connect_timeout>
      </config>
    </module>
  </modules>
  <drask timeout="3000" connecttimeout="1000">
    <swimlane>
      <bootstrap cluster="1" host="127.0.0.1:${node_ports[0]}"/>
      <bootstrap cluster="1" host="127.0.0.1:${node_ports[1]}"/>
      <bootstrap cluster="1" host="127.0.0.1:${node_ports[2]}"/>
      <bootstrap cluster="2" host="127.0.0.1:${node_ports[1]}"/>
      <account_map/>
    </swimlane>
  </drask>
</wendrel>
XML
started=$(now)
"$bin/wendrel" -c "$work/wendrel.conf" > "$work/wendrel.log" 2>&1 &
wpid=$!
pids+=("$wpid")
for _ in $(seq 1 3000); do
  grep -q 'ostrelate full sync complete' "$work/wendrel.log" && break
  kill -0 "$wpid" 2>/dev/null || { tail -30 "$work/wendrel.log" >&2; echo "soak: daemon exited" >&2; exit 1; }
  sleep 0.1
done
grep -q 'ostrelate full sync complete' "$work/wendrel.log" ||
  { tail -30 "$work/wendrel.log" >&2; echo "soak: no first full sync after 300 s" >&2; exit 1; }
sleep 2
rss_first=$(kib "$wpid" VmRSS)
port=$(sed -n 's|.*listening on https://127.0.0.1:\([0-9]*\).*|\1|p' "$work/wendrel.log" | head -1)
base="https://127.0.0.1:$port"
tls=(--cacert "$work/certs/ca.crt" --cert "$work/certs/client.crt" --key "$work/certs/client.key")

curl -s "$adm/snapshot" > "$work/snapshot.start"
mapfile -t uuids < <(cut -f1 "$work/snapshot.start")
mapfile -t lines < "$work/snapshot.start"
echo "soak: $minutes min on $build (${flavour:-?}); ${#uuids[@]} checks, nodes ${node_ports[*]}, daemon https port $port; logs in $work"

load_start=$(now)
deadline=$(( load_start + seconds ))
running() { [ "$(now)" -lt "$deadline" ]; }
# curl_batch FILE: runs a curl config of many transfers, each group naming
# its own output. (curl 7.88 writes a config group's write-out only for the
# last group, so answers are told apart by their files, not by -w.)
curl_batch() { curl -K "$1" >/dev/null 2>&1 || true; }

# ---- load loops ------------------------------------------------------------
# Tag churn: ten changes a second, adds and removes of soak tags on known
# and new checks, and removes of the dataset's own tags.
churn_loop() {
  set +e
  RANDOM=$((seed * 11 + 1))
  local f=$work/churn.curl out i op uuid tag line fields
  while running; do
    : > "$f"
    for i in $(seq 1 10); do
      op=add; (( RANDOM % 5 < 2 )) && op=remove
      if (( RANDOM % 5 == 0 )); then
        uuid=$(printf 'aaaaaaaa-0000-4000-8000-%012d' $((RANDOM % 200)))
      else
        uuid=${uuids[RANDOM % ${#uuids[@]}]}
      fi
      tag="soak:k$((RANDOM % 20))"
      if [ "$i" = 10 ]; then  # one of the dataset's own tags goes
        line=${lines[RANDOM % ${#lines[@]}]}
        IFS=$'\t' read -r -a fields <<< "$line"
        if [ ${#fields[@]} -gt 1 ]; then
          op=remove uuid=${fields[0]} tag=${fields[1 + RANDOM % (${#fields[@]} - 1)]}
        fi
      fi
      [ "$i" -gt 1 ] && echo next >> "$f"
      printf 'url = "%s/tag/%s"\ndata = "{\\"check\\":\\"%s\\",\\"tag\\":\\"%s\\"}"\n' \
        "$adm" "$op" "$uuid" "$tag" >> "$f"
    done
    out=$(curl -s -K "$f" 2>/dev/null)
    bump churn_tried 10
    bump churn_changed "$(grep -o '"changed": *true' <<< "$out" | wc -l)"
    sleep 1
  done
}

# reads_loop NAME EVERY URL-MAKER MARK: batches of GETs over TLS; an answer
# counts as good when its body holds MARK.
reads_loop() {
  set +e
  local name=$1 every=$2 make=$3 mark=$4 f=$work/$1.curl dir=$work/$1.d
  RANDOM=$((seed * 13 + ${#name}))
  mkdir -p "$dir"
  while running; do
    rm -f "$dir"/*
    $make "$dir" > "$f"
    curl_batch "$f"
    bump "${name}_done" "$(grep -c '^url' "$f")"
    bump "${name}_ok" "$(grep -l -F -- "$mark" "$dir"/* 2>/dev/null | wc -l)"
    sleep "$every"
  done
}
tls_lines() {  # tls_lines OUTPUT
  printf 'silent\ncacert = "%s"\ncert = "%s"\nkey = "%s"\noutput = "%s"\n' \
    "$work/certs/ca.crt" "$work/certs/client.crt" "$work/certs/client.key" "$1"
}
some_urls() {  # some_urls DIR PATH-BEFORE PATH-AFTER: 20 random checks
  local i
  for i in $(seq 1 20); do
    [ "$i" -gt 1 ] && echo next
    tls_lines "$1/$i"
    printf 'url = "%s%s%s%s"\n' "$base" "$2" "${uuids[RANDOM % ${#uuids[@]}]}" "$3"
  done
}
show_urls() { some_urls "$1" /module/ostrel/show/ .json; }
completion_urls() { some_urls "$1" /diag/tagset/ '?tag=env:soak&tag=host:soak01'; }
scrape_urls() { tls_lines "$1/1"; printf 'url = "%s/metrics"\n' "$base"; }

# Map updates: one to three entries a second, for 200 accounts, to the
# stand-in's two ids, to -1, and to an unconfigured cluster (202, written
# all the same). Every accepted entry is kept, in order, in map.accepted.
map_loop() {
  set +e
  RANDOM=$((seed * 17 + 3))
  local doc entries n i account cluster code pool=(1 1 2 -1 9)
  while running; do
    doc="<drask>" entries=""
    n=$((1 + RANDOM % 3))
    for i in $(seq 1 "$n"); do
      account=$((900000 + RANDOM % 200))
      cluster=${pool[RANDOM % ${#pool[@]}]}
      doc+="<map account=\"$account\" cluster=\"$cluster\"/>"
      entries+="$account $cluster"$'\n'
    done
    doc+="</drask>"
    code=$(curl -s "${tls[@]}" --max-time 120 -o /dev/null -w '%{http_code}' \
                -H 'Content-Type: application/xml' --data-binary "$doc" "$base/module/kavalin/map")
    case $code in
      204|202) printf '%s' "$entries" >> "$work/map.accepted"; bump map_accepted
               [ "$code" = 202 ] && bump map_accepted_202 ;;
      *) echo "map update answered $code: $doc" >> "$work/update.errors"; bump update_errors ;;
    esac
    sleep 1
  done
}

# Cluster updates, to clusters 1 and 2 in turn: the bootstrap hosts rotate
# through subsets of the three nodes. Rebuilding the record that replicates
# hands the topology over to the other; each accepted set goes to
# cluster.accepted as "ID host...".
cluster_loop() {
  set +e
  local sets=("0 1 2" "1 2" "2 0" "0" "1" "2" "0 1") k=0 doc hosts i code id
  while running; do
    sleep "$cluster_every"
    running || break
    id=$((1 + k % 2))
    doc="<drask>" hosts=""
    for i in ${sets[(k / 2) % ${#sets[@]}]}; do
      doc+="<bootstrap cluster=\"$id\" host=\"127.0.0.1:${node_ports[i]}\"/>"
      hosts+=" 127.0.0.1:${node_ports[i]}"
    done
    doc+="</drask>"
    code=$(curl -s "${tls[@]}" --max-time 120 -o /dev/null -w '%{http_code}' \
                -H 'Content-Type: application/xml' --data-binary "$doc" "$base/module/kavalin/cluster/$id")
    if [ "$code" = 204 ]; then
      echo "$id$hosts" >> "$work/cluster.accepted"; bump cluster_accepted
    else
      echo "cluster update answered $code: $doc" >> "$work/update.errors"; bump update_errors
    fi
    k=$((k + 1))
  done
}

# ---- faults ----------------------------------------------------------------
fault() { curl -s -o /dev/null -w '%{http_code}' -d "$2" "$adm/nodes/$1/faults"; }
clear_node() { curl -s -o /dev/null -X POST "$adm/nodes/$1/clear"; }
# The node cluster 1's worker uses now (from the status route), else any.
node_in_use() {
  local p i
  p=$(curl -s "${tls[@]}" --max-time 10 "$base/module/ostrel/status.json" |
      grep -o '"node": *"http://127.0.0.1:[0-9]*"' | head -1 | grep -o '[0-9]*"$' | tr -d '"')
  for i in "${!node_ports[@]}"; do [ "${node_ports[i]}" = "$p" ] && { echo "$i"; return; }; done
  echo $((RANDOM % ${#node_ports[@]}))
}
fault_loop() {
  set +e
  RANDOM=$((seed * 19 + 5))
  local kinds=(restart 5xx stall cut truncate corrupt forget failover) k=0 kind n i hold
  while running; do
    sleep "$fault_every"
    running || break
    kind=${kinds[k % ${#kinds[@]}]}
    n=$(node_in_use)
    case $kind in
      restart)  fault "$n" '{"down":true}' >/dev/null; sleep 2; fault "$n" '{"down":false}' >/dev/null ;;
      5xx)      fault "$n" '{"status":503}' >/dev/null; sleep 3; clear_node "$n" ;;
      stall)    fault "$n" '{"stall_rate":20}' >/dev/null; sleep 8; clear_node "$n" ;;
      cut)      fault "$n" "{\"close_after\":$((200 + RANDOM % 4000))}" >/dev/null; sleep 5; clear_node "$n" ;;
      truncate|corrupt)
        # Every node's next full-state stream is broken, and the node in
        # use forgets its checkpoints, so that a full sync follows.
        for i in "${!node_ports[@]}"; do
          if [ "$kind" = truncate ]; then
            fault "$i" "{\"truncate_next_full\":$((20 + RANDOM % 20000))}" >/dev/null
          else
            fault "$i" "{\"corrupt_next_full\":$((RANDOM % 2000))}" >/dev/null
          fi
        done
        fault "$n" '{"forget_checkpoints":true}' >/dev/null ;;
      forget)   fault "$n" '{"forget_checkpoints":true}' >/dev/null ;;
      failover) hold=$((failover + 3))
                fault "$n" '{"status":503}' >/dev/null; sleep "$hold"; clear_node "$n" ;;
    esac
    bump "fault_$kind"
    k=$((k + 1))
  done
}

churn_loop & loops+=($!)
map_loop & loops+=($!)
cluster_loop & loops+=($!)
fault_loop & loops+=($!)
reads_loop show 1 show_urls '"tags"' & loops+=($!)
reads_loop completion 1 completion_urls '__check_uuid:' & loops+=($!)
reads_loop scrape 2 scrape_urls 'ostrel_store_checks' & loops+=($!)

while running; do
  kill -0 "$wpid" 2>/dev/null || break
  sleep 5
done
for p in "${loops[@]}"; do wait "$p" 2>/dev/null || true; done
loops=()
load_end=$(now)

# ---- settle and compare ----------------------------------------------------
# Faults lifted, a last stretch of churn alone: its changes reach the replica
# through diffs only, where the load's frequent full syncs (every fail-over
# and hand-over makes one) would mend a change a diff lost.
problems=()
curl -s -o /dev/null -X POST "$adm/nodes/clear"
deadline=$(( $(now) + tail_s ))
kill -0 "$wpid" 2>/dev/null && (churn_loop)
if [ "$sabotage" = replica ]; then
  # Every node refuses the feed, then a tag changes: the replica cannot
  # learn it, and the comparison must say so.
  for i in "${!node_ports[@]}"; do fault "$i" '{"status":503}' >/dev/null; done
  curl -s -o /dev/null -d "{\"check\":\"${uuids[0]}\",\"tag\":\"soak:sabotage\"}" "$adm/tag/add"
fi
curl -s "$adm/snapshot" > "$work/snapshot.end"
# One "uuid<TAB>tag" line per live tag, "uuid<TAB>" for a check without.
awk -F '\t' '{ if (NF < 2) print $1 "\t"; else for (i = 2; i <= NF; i++) print $1 "\t" $i }' \
  "$work/snapshot.end" | LC_ALL=C sort > "$work/expected.pairs"
want_checks=$(grep -c . "$work/snapshot.end")
want_live=$(awk -F '\t' '{ n += NF - 1 } END { print n + 0 }' "$work/snapshot.end")

replica_pairs() {  # through the show route, every check of the snapshot
  local f=$work/compare.curl dir=$work/compare.d
  rm -rf "$dir"; mkdir -p "$dir"
  awk -v base="$base" -v ca="$work/certs/ca.crt" -v cert="$work/certs/client.crt" \
      -v key="$work/certs/client.key" -v dir="$dir" -F '\t' '
    NR > 1 { print "next" }
    { printf "silent\ncacert = \"%s\"\ncert = \"%s\"\nkey = \"%s\"\noutput = \"%s/%d\"\nurl = \"%s/module/ostrel/show/%s.json\"\n", ca, cert, key, dir, NR, base, $1 }' \
    "$work/snapshot.end" > "$f"
  curl_batch "$f"
  # One line per check, in the snapshot's order: its answer, or nothing.
  local i n line
  n=$(grep -c . "$work/snapshot.end")
  for ((i = 1; i <= n; i++)); do
    line=""
    [ -s "$dir/$i" ] && IFS= read -r line < "$dir/$i"
    printf '%s\n' "$line"
  done | paste <(cut -f1 "$work/snapshot.end") - |
    awk -F '\t' '{
      body = $2
      if (body !~ /"tags"/) { print $1 "\t(no answer)"; next }
      sub(/^[{] *"tags": *\[/, "", body); sub(/\] *[}] *$/, "", body)
      if (body == "") { print $1 "\t"; next }
      m = split(body, t, /" *, *"/)
      for (j = 1; j <= m; j++) { gsub(/^"|"$/, "", t[j]); print $1 "\t" t[j] }
    }' | LC_ALL=C sort
}
metric() {  # metric NAME: the sum of its samples in /metrics
  curl -s "${tls[@]}" --max-time 30 "$base/metrics" |
    awk -v m="$1" '$1 == m || index($1, m "{") == 1 { n += $2; seen = 1 }
                   END { if (seen) printf "%d", n }'
}

settled=no
settle_start=$(now)
settle_end=$(( settle_start + settle ))
while :; do
  kill -0 "$wpid" 2>/dev/null || break
  replica_pairs > "$work/replica.pairs"
  got_checks=$(metric ostrel_store_checks)
  got_live=$(metric ostrel_store_live_elements)
  if cmp -s "$work/expected.pairs" "$work/replica.pairs" &&
     [ "$got_checks" = "$want_checks" ] && [ "$got_live" = "$want_live" ]; then
    settled=yes; break
  fi
  [ "$(now)" -lt "$settle_end" ] || break
  sleep 3
done
settle_s=$(( $(now) - settle_start ))
if [ "$settled" != yes ]; then
  touch "$work/replica.pairs"
  differing=$( (LC_ALL=C comm -3 "$work/expected.pairs" "$work/replica.pairs" || true) | wc -l)
  problems+=("replica differs from the stand-in after ${settle_s} s: $differing tag lines (stand-in / replica, first ones below), store checks ${got_checks:-?} of $want_checks, live tags ${got_live:-?} of $want_live")
  LC_ALL=C diff "$work/expected.pairs" "$work/replica.pairs" | grep '^[<>]' | head -5 |
    sed 's/^/    /' > "$work/replica.diff" || true
fi
rss_end=$(kib "$wpid" VmRSS)
hwm=$(kib "$wpid" VmHWM)
full_syncs=$(metric ostrel_full_syncs_total)
failovers=$(metric ostrel_failovers_total)

# ---- the configuration file --------------------------------------------------
conf=$work/wendrel.conf
if [ "$sabotage" = file ] && [ -s "$work/map.accepted" ]; then
  # Behind the daemon's back, the file loses the last accepted mapping.
  victim=$(tail -1 "$work/map.accepted" | cut -d' ' -f1)
  sed -i "/<map account=\"$victim\"/d" "$conf"
fi
missing=0
if [ -s "$work/map.accepted" ]; then
  # The last accepted cluster of each account must be the cluster of the
  # account's last map element in the file.
  missing=$(awk '
    FNR == NR { want[$1] = $2; next }
    /<map / && match($0, /account="[^"]*"/) {
      a = substr($0, RSTART + 9, RLENGTH - 10)
      if (match($0, /cluster="[^"]*"/)) have[a] = substr($0, RSTART + 9, RLENGTH - 10)
    }
    END { n = 0; for (a in want) if (have[a] != want[a]) n++; print n }' \
    "$work/map.accepted" "$conf")
  [ "$missing" = 0 ] || problems+=("configuration file: $missing of $(cut -d' ' -f1 "$work/map.accepted" | sort -u | wc -l) accounts do not hold their last accepted mapping")
fi
# The live map (read back) holds each account's last accepted entry of a
# configured cluster; an entry for cluster 9 (202) is in the file only.
if [ -s "$work/map.accepted" ]; then
  readback=$(curl -s "${tls[@]}" --max-time 30 "$base/module/kavalin/map")
  awk '$2 != 9 { live[$1] = $2 } END { for (a in live) print a, live[a] }' \
    "$work/map.accepted" | sort > "$work/live.expected"
  grep -oE '"account": *9[0-9]{5}, *"cluster": *-?[0-9]+' <<< "$readback" |
    sed -E 's/"account": *([0-9]+), *"cluster": *(-?[0-9]+)/\1 \2/' | sort > "$work/live.read" || true
  cmp -s "$work/live.expected" "$work/live.read" ||
    problems+=("map read-back: $( (diff "$work/live.expected" "$work/live.read" || true) | grep -c '^[<>]') accounts differ from the last accepted live mappings")
fi
clusters_read=$(curl -s "${tls[@]}" --max-time 30 "$base/module/kavalin/clusters")
for id in 1 2; do
  want_hosts=$(grep "^$id " "$work/cluster.accepted" 2>/dev/null | tail -1 | cut -d' ' -f2- |
               tr ' ' '\n' | grep . | sort | tr '\n' ' ' || true)
  [ -n "$want_hosts" ] || continue
  file_hosts=$(grep '<bootstrap' "$conf" | grep "cluster=\"$id\"" | grep -o 'host="[^"]*"' |
               sed 's/host="\(.*\)"/\1/' | sort | tr '\n' ' ')
  [ "$file_hosts" = "$want_hosts" ] ||
    problems+=("configuration file: cluster $id bootstrap hosts '$file_hosts', last accepted '$want_hosts'")
  live_hosts=$(grep -oE "\"cluster_id\": *$id, *\"bootstrap\": *\\[[^]]*\\]" <<< "$clusters_read" |
               grep -o '127.0.0.1:[0-9]*' | sort | tr '\n' ' ')
  [ "$live_hosts" = "$want_hosts" ] ||
    problems+=("cluster read-back: cluster $id bootstrap hosts '$live_hosts', last accepted '$want_hosts'")
done
[ "$(count update_errors)" = 0 ] ||
  problems+=("$(count update_errors) updates were not accepted (see $work/update.errors)")

# ---- the daemon itself -------------------------------------------------------
if kill -0 "$wpid" 2>/dev/null; then
  kill -TERM "$wpid"
  rc=0; wait "$wpid" || rc=$?
  [ "$rc" = 0 ] || problems+=("the daemon exited with status $rc on SIGTERM")
else
  rc=0; wait "$wpid" || rc=$?
  problems+=("the daemon died during the run (status $rc)")
fi
pids=("$standin_pid")
findings=$(grep -cE 'AddressSanitizer|LeakSanitizer|ThreadSanitizer|runtime error:|\[FATAL\]|\[TERMINATE\]' \
           "$work/wendrel.log" || true)
[ "$findings" = 0 ] || problems+=("$findings sanitizer or fatal lines in the daemon's log")

# ---- summary -------------------------------------------------------------------
faults_total=0
fault_text=""
for kind in restart 5xx stall cut truncate corrupt forget failover; do
  fault_text+="$kind $(count "fault_$kind"), "
  faults_total=$((faults_total + $(count "fault_$kind")))
done
verdict=PASS
[ ${#problems[@]} -eq 0 ] || verdict=FAIL
cat <<SUMMARY

soak summary ($(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(nproc) cores)
  build            $build (${flavour:-?})${sabotage:+, sabotage: $sabotage}
  duration         $(awk -v s=$((load_end - load_start)) 'BEGIN { printf "%.1f", s / 60 }') min of load, ${tail_s} s of churn alone, then ${settle_s} s to settle; $(( $(now) - started )) s in all
  dataset          $checks checks x $tags tags, 3 nodes; at the end $want_checks checks, $want_live live tags
  faults           ${fault_text%, } ($faults_total)
  updates accepted map $(count map_accepted) (of them 202: $(count map_accepted_202)), cluster $(count cluster_accepted); not accepted $(count update_errors)
  churn changes    $(count churn_changed) of $(count churn_tried) tried
  completions      $(count completion_ok) ok of $(count completion_done)
  show             $(count show_ok) ok of $(count show_done)
  scrapes          $(count scrape_ok) ok of $(count scrape_done)
  replication      workers started $(grep -c 'ostrelate starting against' "$work/wendrel.log" || true); full syncs ${full_syncs:-?}, fail-overs ${failovers:-?} (of the workers alive at the end)
  RSS              after first sync $(mib "$rss_first") MiB, at end $(mib "$rss_end") MiB ($(awk -v a="${rss_first:-0}" -v b="${rss_end:-0}" 'BEGIN { printf "%+.1f", (b - a) / 1024 }') MiB), peak $(mib "$hwm") MiB
  replica          $([ "$settled" = yes ] && echo "equal to the stand-in" || echo "DIFFERS")
  configuration    $([ "$missing" = 0 ] && echo "holds every accepted update" || echo "MISSING $missing")
  verdict          $verdict
SUMMARY
for p in "${problems[@]}"; do echo "  - $p"; done
[ -s "$work/replica.diff" ] && cat "$work/replica.diff"
[ "$verdict" = PASS ]
