#!/usr/bin/env bash
# The whole system on this machine: installs what is missing, builds a
# release build (build/release), makes local certificates (run/certs), starts
# two stand-in database clusters with generated datasets, then the daemon
# with kavalin and ostrel, and prints what to try. Runs until Ctrl-C, which
# stops the daemon, then the stand-ins, and exits 130 with a one-line
# summary. Logs go to run/*.log; the previous run's are kept as
# run/*.log.1. docs/demo.md walks through what it shows.
#
#   cluster 1: nodes 127.0.0.1:18101 and :18102, admin API on :18103
#              (1,000 checks x 5 tags, seed 7)
#   cluster 2: nodes 127.0.0.1:18201 and :18202, admin API on :18203
#              (100 checks x 3 tags, seed 8)
#   daemon:    https://127.0.0.1:8443, configuration run/wendrel.conf
#              (a fresh copy of etc/wendrel.conf on every start, because the
#              update endpoints write the file they were started with)
#
# With --with-prometheus it also runs a Prometheus server (unpacked by
# scripts/install-deps.sh, never installed) on http://127.0.0.1:19090 that
# scrapes the daemon's /metrics over HTTPS with the client certificate and
# loads the shipped alert rules (run/prometheus.yml, data in
# run/prometheus-data, log run/prometheus.log).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
run=$root/run
bin=$root/build/release/bin

with_prometheus=0
for arg in "$@"; do
  case $arg in
    --with-prometheus) with_prometheus=1 ;;
    *) printf 'usage: %s [--with-prometheus]\n' "$0" >&2; exit 64 ;;
  esac
done
prometheus_port=19090

say() { printf '%s\n' "$*"; }
step() { printf '\n== %s\n' "$*"; }
die() { printf '\nrun-demo: %s\n' "$*" >&2; exit 1; }

step "packages (scripts/install-deps.sh)"
scripts/install-deps.sh
say "all present"

step "release build in build/release (a minute or two the first time)"
mkdir -p build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DZORV_SANITIZE=none \
      -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF > build/release.configure.log 2>&1 \
  || { cat build/release.configure.log; die "cmake configure failed"; }
cmake --build build/release -j "$(nproc)" > build/release.build.log 2>&1 \
  || { tail -40 build/release.build.log; die "build failed (build/release.build.log)"; }
say "built: $bin/wendrel, $bin/drask-standin, build/release/lib/*.so"

step "certificates in run/certs (scripts/make-certs.sh)"
mkdir -p "$run"
scripts/make-certs.sh "$run/certs"
certs=$run/certs
say "CA run/certs/ca.crt, server run/certs/server.crt, client run/certs/client.crt"
say "wendrelctl's settings: run/wendrelctl.conf"

# Every port the demo listens on must be free: an earlier demo that is still
# running, or anything else on these ports, would answer in our place.
port_busy() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
busy=()
ports=(18101 18102 18103 18201 18202 18203 8443)
[ "$with_prometheus" -eq 1 ] && ports+=("$prometheus_port")
for p in "${ports[@]}"; do
  if port_busy "$p"; then busy+=("$p"); fi
done
if [ ${#busy[@]} -gt 0 ]; then
  who=""
  if command -v ss >/dev/null; then
    who=$(ss -ltnpH 2>/dev/null | grep -E ":($(IFS='|'; echo "${busy[*]}"))\b" || true)
  fi
  die "port(s) ${busy[*]} already in use on 127.0.0.1; is another demo still running?
${who:+$who
}Stop it (Ctrl-C in its terminal) and run this again."
fi

# The previous run's logs are kept one generation back.
for f in "$run"/*.log; do
  [ -f "$f" ] && mv -f "$f" "$f.1"
done

# From here on, whatever we started is stopped on exit, Ctrl-C or SIGTERM.
# Each process runs in a session of its own (setsid), so the terminal's
# Ctrl-C reaches this script alone, which then stops them in order: the
# daemon first, the stand-ins it replicates from after it.
pids=()
names=()
sleeper=""
stopping=0
started=$SECONDS
stop_all() {  # stop_all SIGNAL-NAME: stops everything, prints one summary line
  [ "$stopping" -eq 1 ] && return
  stopping=1
  trap '' INT TERM
  if [ -n "$sleeper" ]; then kill "$sleeper" 2>/dev/null || true; fi
  [ ${#pids[@]} -gt 0 ] || return 0
  local i n rc summary=""
  for (( i=${#pids[@]}-1; i>=0; i-- )); do
    kill -INT "${pids[$i]}" 2>/dev/null || true
    # Each stops on SIGINT within a moment; one that does not is killed.
    n=0
    while kill -0 "${pids[$i]}" 2>/dev/null && [ $n -lt 100 ]; do
      sleep 0.1; n=$((n + 1))
    done
    kill -KILL "${pids[$i]}" 2>/dev/null || true
    wait "${pids[$i]}" 2>/dev/null && rc=0 || rc=$?
    summary+="${summary:+, }${names[$i]} exited $rc"
  done
  printf '\nrun-demo: stopped on %s after %ds (%s); logs in run/*.log, the previous run'"'"'s in run/*.log.1\n' \
    "$1" $((SECONDS - started)) "$summary"
}
trap 'stop_all SIGINT; trap - EXIT; exit 130' INT
trap 'stop_all SIGTERM; trap - EXIT; exit 143' TERM
trap 'stop_all exit' EXIT

# wait_ready LOG PID: the stand-in prints "ready admin=... nodes=..." once
# every listener is up.
wait_ready() {
  local log=$1 pid=$2 n=0
  while ! grep -q '^ready ' "$log" 2>/dev/null; do
    kill -0 "$pid" 2>/dev/null || { tail -20 "$log"; die "stand-in exited early (see $log)"; }
    [ $n -lt 600 ] || die "stand-in not ready after 60 s (see $log)"
    sleep 0.1; n=$((n + 1))
  done
  grep -m1 '^ready ' "$log"
}

start_standin() {  # NAME LOG ARGS...
  local name=$1 log=$2; shift 2
  setsid "$bin/drask-standin" "$@" > "$log" 2>&1 &
  pids+=($!)
  names+=("$name")
  printf '%s (pid %d): ' "$name" "$!"
  wait_ready "$log" "$!"
}

step "stand-in clusters (logs run/standin-1.log, run/standin-2.log)"
start_standin "cluster 1" "$run/standin-1.log" --nodes 2 --base-port 18101 \
  --admin-port 18103 --checks 1000 --tags-per-check 5 --seed 7
start_standin "cluster 2" "$run/standin-2.log" --nodes 2 --base-port 18201 \
  --admin-port 18203 --checks 100 --tags-per-check 3 --seed 8

# A check that really exists in cluster 1: the first line of its snapshot.
curl -sf http://127.0.0.1:18103/snapshot > "$run/standin-1.snapshot" \
  || die "cannot read the stand-in's snapshot"
first=$(sed -n 1p "$run/standin-1.snapshot")
uuid=${first%%$'\t'*}
tags=${first#*$'\t'}
tags=${tags//$'\t'/ }
say "cluster 1 holds $(wc -l < "$run/standin-1.snapshot") checks (run/standin-1.snapshot); the demo uses"
say "  $uuid: $tags"

step "daemon (configuration run/wendrel.conf, log run/wendrel.log)"
[ -f "$run/wendrel.conf" ] && cp "$run/wendrel.conf" "$run/wendrel.conf.last"
# The example's certificate paths (../run/certs/...) resolve from run/ too.
cp etc/wendrel.conf "$run/wendrel.conf"
setsid "$bin/wendrel" -c "$run/wendrel.conf" > "$run/wendrel.log" 2>&1 &
wpid=$!
pids+=("$wpid")
names+=(daemon)
base=https://127.0.0.1:8443
n=0
until curl -sf --cacert "$certs/ca.crt" "$base/health" >/dev/null 2>&1; do
  kill -0 "$wpid" 2>/dev/null || { tail -20 "$run/wendrel.log"; die "wendrel exited early (see run/wendrel.log)"; }
  [ $n -lt 300 ] || die "wendrel does not answer /health after 30 s (see run/wendrel.log)"
  sleep 0.1; n=$((n + 1))
done
grep -m1 'wendrel ready' "$run/wendrel.log" || true

# Replication has caught up once the show route answers the check's tags.
c=(--cacert "$certs/ca.crt" --cert "$certs/client.crt" --key "$certs/client.key")
n=0
shown=""
while :; do
  shown=$(curl -s "${c[@]}" "$base/module/ostrel/show/$uuid.json" || true)
  case $shown in *'"tags":[]'*|'') ;; *) break ;; esac
  kill -0 "$wpid" 2>/dev/null || die "wendrel exited (see run/wendrel.log)"
  if [ $n -ge 300 ]; then
    say "replication has not caught up after 30 s; see run/wendrel.log (lines with 'ostrelate')"
    break
  fi
  sleep 0.1; n=$((n + 1))
done
grep -E 'ostrelate (starting|full sync complete)' "$run/wendrel.log" || true
say "replica of $uuid: $shown"

status_route=0
if curl -sf "${c[@]}" "$base/module/ostrel/status.json" >/dev/null 2>&1; then status_route=1; fi

if [ "$with_prometheus" -eq 1 ]; then
  step "prometheus on http://127.0.0.1:$prometheus_port (log run/prometheus.log)"
  prom_bin=${WENDREL_CACHE_DIR:-$HOME/.cache/wendrel}/prometheus/usr/bin/prometheus
  [ -x "$prom_bin" ] || die "$prom_bin missing (scripts/install-deps.sh unpacks it)"
  cat > "$run/prometheus.yml" <<YML
# Written by scripts/run-demo.sh --with-prometheus.
global: {scrape_interval: 5s, evaluation_interval: 5s}
rule_files: ['$root/packaging/monitoring/wendrel-rules.yml']
scrape_configs:
  - job_name: wendrel
    scheme: https
    tls_config:
      ca_file: $certs/ca.crt
      cert_file: $certs/client.crt
      key_file: $certs/client.key
    static_configs:
      - targets: ['127.0.0.1:8443']
YML
  setsid "$prom_bin" --config.file="$run/prometheus.yml" \
    --storage.tsdb.path="$run/prometheus-data" \
    --web.listen-address="127.0.0.1:$prometheus_port" > "$run/prometheus.log" 2>&1 &
  pids+=($!)
  names+=(prometheus)
  # Ready once its first scrape of the daemon is in.
  n=0
  until curl -sf "http://127.0.0.1:$prometheus_port/api/v1/query?query=up" 2>/dev/null |
        grep -q '"value":\[[0-9.]*,"1"\]'; do
    kill -0 "${pids[-1]}" 2>/dev/null || { tail -20 "$run/prometheus.log"; die "prometheus exited early (see run/prometheus.log)"; }
    [ $n -lt 300 ] || die "prometheus has not scraped the daemon after 30 s (see run/prometheus.log)"
    sleep 0.1; n=$((n + 1))
  done
  say "scraping https://127.0.0.1:8443/metrics every 5 s, rules from packaging/monitoring/wendrel-rules.yml"
fi

C="--cacert run/certs/ca.crt --cert run/certs/client.crt --key run/certs/client.key"
W="build/release/bin/wendrelctl"
payload="M\\t1765000000.000\\tnoit01\\tweb01\`http\`c_42_7_$uuid\\tvalue"
cat <<MSG

== ready. Try, from another terminal in $root. Each curl command has its
   wendrelctl form beside it, which takes the daemon's URL and certificates
   from run/wendrelctl.conf once you have typed:

  export WENDRELCTL_CONFIG=run/wendrelctl.conf

  # health (open route, no client certificate needed)
  curl --cacert run/certs/ca.crt $base/health
  $W health

  # the replicated tags of a check of cluster 1 (compare run/standin-1.snapshot)
  curl $C \\
       $base/module/ostrel/show/$uuid.json
  $W show $uuid
MSG
if [ "$status_route" -eq 1 ]; then cat <<MSG

  # what each replication worker is doing
  curl $C \\
       $base/module/ostrel/status.json
  $W status
MSG
fi
cat <<MSG

  # change a tag on the stand-in (admin API of cluster 1), then ask the show
  # route again: the tag arrives within about a second (update_interval 1)
  curl -s -X POST 127.0.0.1:18103/tag/add -d '{"check":"$uuid","tag":"demo:hello"}'
  curl -s -X POST 127.0.0.1:18103/tag/remove -d '{"check":"$uuid","tag":"demo:hello"}'

  # routing key of a check message of account 42 (mapped to cluster 2)
  curl $C \\
       -X POST --data-binary \$'$payload' \\
       '$base/diag/route?prefix=check'

  # move account 42 to cluster 1 (written to run/wendrel.conf), then repeat
  # the routing example: the swimlane in the key becomes 1
  curl $C \\
       -H 'Content-Type: application/xml' \\
       --data-binary '<drask><map account="42" cluster="1"/></drask>' \\
       $base/module/kavalin/map
  $W map set 42 1

  # give cluster 2 both of its nodes as bootstrap hosts; the daemon log shows
  # ostrel taking the rebuilt cluster over
  curl $C \\
       -H 'Content-Type: application/xml' \\
       --data-binary '<drask><bootstrap host="127.0.0.1:18201"/><bootstrap host="127.0.0.1:18202"/></drask>' \\
       $base/module/kavalin/cluster/2
  $W cluster set 2 127.0.0.1:18201 127.0.0.1:18202

  # read back the live account map (and where it differs from the file) and
  # the clusters with their nodes; then the metrics and health
  curl $C \\
       $base/module/kavalin/map
  $W map --differs
  curl $C \\
       $base/module/kavalin/clusters
  $W clusters
  curl $C \\
       $base/metrics
  $W metrics ostrel_store
  curl --cacert run/certs/ca.crt $base/health

  # a check tagset completed with the replicated tags
  curl $C \\
       '$base/diag/tagset/$uuid?tag=env:demo'

  # the stand-in's own view
  curl -s 127.0.0.1:18103/check/$uuid
  curl -s 127.0.0.1:18103/status
MSG
if [ "$with_prometheus" -eq 1 ]; then cat <<MSG

  # Prometheus (scraping the daemon, rules loaded): open
  #   http://127.0.0.1:$prometheus_port/graph   and   http://127.0.0.1:$prometheus_port/alerts
  # and try the queries
  #   sum by (cluster) (rate(ostrel_elements_merged_total[1m]))
  #   ostrel_store_elements
  curl -s 'http://127.0.0.1:$prometheus_port/api/v1/query?query=ostrel_store_elements'
MSG
fi
cat <<MSG

Logs: run/wendrel.log, run/standin-1.log, run/standin-2.log$([ "$with_prometheus" -eq 1 ] && printf ', run/prometheus.log'). Ctrl-C stops everything.
MSG

# Run until interrupted. Nothing else signals our processes (each has a
# session of its own), so one that ends now has failed: say which, stop the
# others and exit 1.
while :; do
  for i in "${!pids[@]}"; do
    if ! kill -0 "${pids[$i]}" 2>/dev/null; then
      wait "${pids[$i]}" 2>/dev/null && rc=0 || rc=$?
      printf '\nrun-demo: %s (pid %d) failed with exit status %d; see run/*.log\n' \
        "${names[$i]}" "${pids[$i]}" "$rc" >&2
      exit 1
    fi
  done
  sleep 1 &
  sleeper=$!
  wait "$sleeper" || true
  sleeper=""
done
