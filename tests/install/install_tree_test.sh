#!/usr/bin/env bash
# The installed tree on its own: `cmake --install` of this build into a
# throwaway prefix, then the installed daemon (no path into the build tree)
# checks and serves the installed configuration, tells a service manager
# READY=1 only once it answers, reopens its moved-away log file on SIGHUP
# and stops cleanly.
#
#   install_tree_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d /tmp/wendrel-install.XXXXXX)
root=$tmp/root
pid=""
notify_pid=""
failures=0
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null
  [ -n "$notify_pid" ] && kill "$notify_pid" 2>/dev/null
  rm -rf "$tmp"
}
trap cleanup EXIT
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
die() { printf 'FAIL: %s\n' "$*"; exit 1; }

cmake --install "$build" --prefix "$root" > "$tmp/install.log" 2>&1 ||
  { cat "$tmp/install.log"; die "cmake --install failed"; }

# Every installed ELF file finds our libraries through $ORIGIN only.
for f in "$root"/bin/* "$root"/lib/*.so* "$root"/lib/wendrel/*.so; do
  [ -L "$f" ] && continue
  paths=$(readelf -d "$f" | sed -n 's/.*(\(RUNPATH\|RPATH\)).*\[\(.*\)\]/\2/p')
  case ":$paths:" in *"$build"*|*"$(dirname "$build")"*) fail "$f: RUNPATH $paths reaches into the build tree" ;; esac
  for p in ${paths//:/ }; do
    case $p in '$ORIGIN'*) ;; *) fail "$f: RUNPATH entry $p is not relative to \$ORIGIN" ;; esac
  done
done
for f in bin/wendrel bin/drask-standin lib/wendrel/kavalin.so lib/wendrel/ostrel.so \
         lib/wendrel/quib_director.so etc/wendrel/wendrel.conf lib/systemd/system/wendrel.service \
         share/man/man8/wendrel.8.gz share/man/man1/drask-standin.1.gz include/zorv/dso.h \
         bin/wendrelctl share/man/man1/wendrelctl.1.gz \
         share/wendrel/monitoring/wendrel-rules.yml share/wendrel/monitoring/wendrel-dashboard.json; do
  [ -e "$root/$f" ] || fail "$f is not installed"
done

wendrel=$root/bin/wendrel
"$wendrel" --version | grep -q '^wendrel [0-9]' || fail "--version"

# The installed configuration, on a free port and logging to a file.
conf_dir=$root/etc/wendrel
"$root/share/wendrel/make-certs.sh" "$conf_dir/certs" > "$tmp/certs.log" 2>&1 ||
  { cat "$tmp/certs.log"; die "make-certs.sh failed"; }
log=$tmp/wendrel.log
conf=$conf_dir/wendrel.conf
sed -i -e 's/port="8443"/port="0"/' -e "s|<logs output=\"stderr\"/>|<logs output=\"file:$log\"/>|" "$conf"
grep -q "file:$log" "$conf" || die "cannot point the installed configuration's log at $log"

# --check-config: the good configuration passes without listening or
# logging; each broken one fails with its reason.
out=$("$wendrel" --check-config -c "$conf" 2>&1); rc=$?
[ $rc -eq 0 ] || fail "--check-config on the installed configuration: rc $rc: $out"
case $out in *"is valid (modules from $root/lib/wendrel)"*) ;; *) fail "--check-config said: $out" ;; esac
[ -e "$log" ] && fail "--check-config created the log file"
# With standard error as the journal's stream, lines carry the journal
# priority of their stream instead of a timestamp, and keep the stream name.
journal=$tmp/journal.out
: > "$journal"
JOURNAL_STREAM=$(stat -c %d:%i "$journal") "$wendrel" -t -c "$conf" > /dev/null 2>> "$journal"
grep -q '^<5>\[notice\] metric director loaded from ' "$journal" ||
  fail "no journal priority on the notice line: $(head -3 "$journal")"
grep -q '^\[20' "$journal" && fail "journal lines still carry the timestamp"
check_broken() {  # NAME EXPECTED-TEXT SED-EXPRESSION
  sed -e "$3" "$conf" > "$conf_dir/$1.conf"
  out=$("$wendrel" -t -c "$conf_dir/$1.conf" 2>&1); rc=$?
  [ $rc -eq 1 ] || fail "check of $1: rc $rc, expected 1: $out"
  case $out in *"$2"*) ;; *) fail "check of $1 does not say '$2': $out" ;; esac
}
check_broken missing-key "cannot read key file" 's|certs/server.key|certs/absent.key|'
check_broken missing-module "nowhere.so" 's|image="ostrel"|image="nowhere"|'
check_broken bad-port "port missing or not a number" 's|port="0"|port="http"|'
check_broken not-xml "cannot load configuration" 's|</wendrel>||'

# A stand-in for the service manager: collects what the daemon sends to
# $NOTIFY_SOCKET, one datagram a line.
notify_sock=$tmp/notify.sock
notify_out=$tmp/notify.out
/usr/bin/python3 - "$notify_sock" "$notify_out" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
s.settimeout(60)
with open(sys.argv[2], "a", buffering=1) as out:
    while True:
        try:
            out.write(s.recv(4096).decode() + "\n")
        except socket.timeout:
            break
PY
notify_pid=$!
for _ in $(seq 50); do [ -S "$notify_sock" ] && break; sleep 0.1; done

NOTIFY_SOCKET=$notify_sock "$wendrel" -c "$conf" > "$tmp/stderr" 2>&1 &
pid=$!
port=""
for _ in $(seq 300); do
  port=$(sed -n 's|.*listening on https://127.0.0.1:\([0-9]*\).*|\1|p' "$log" 2>/dev/null | head -1)
  grep -q 'wendrel ready' "$log" 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { cat "$tmp/stderr" "$log"; die "installed daemon exited"; }
  sleep 0.1
done
grep -q "wendrel ready (pid $pid, modules from $root/lib/wendrel)" "$log" ||
  { cat "$log"; die "installed daemon not ready with its installed modules"; }
health=$(curl -s --cacert "$conf_dir/certs/ca.crt" "https://127.0.0.1:$port/health")
case $health in '{"status":"ok"'*) ;; *) fail "/health answered: $health" ;; esac
# The installed client with the client file that make-certs.sh wrote.
out=$("$root/bin/wendrelctl" -c "$conf_dir/wendrelctl.conf" --url "https://127.0.0.1:$port" health 2>&1) ||
  fail "installed wendrelctl health: $out"
case $out in "ok (up "*) ;; *) fail "installed wendrelctl health said: $out" ;; esac
for _ in $(seq 50); do grep -q READY=1 "$notify_out" && break; sleep 0.1; done
grep -qx READY=1 "$notify_out" || fail "no READY=1 on NOTIFY_SOCKET"

# Log rotation: the file is moved away, SIGHUP makes a new one.
mv "$log" "$log.1"
kill -HUP "$pid"
for _ in $(seq 100); do grep -q 'reopened 1 log file' "$log" 2>/dev/null && break; sleep 0.1; done
grep -q '\[notice\] SIGHUP: reopened 1 log file (the configuration is not reloaded)' "$log" ||
  fail "no reopen line in the new log file"
grep -q 'wendrel ready' "$log.1" || fail "the moved-away log lost its lines"
grep -q 'reopened' "$log.1" && fail "the reopen line went to the moved-away file"
kill -0 "$pid" 2>/dev/null || fail "SIGHUP ended the daemon"

kill -TERM "$pid"
wait "$pid"; rc=$?
pid=""
[ $rc -eq 0 ] || fail "daemon exit status $rc after SIGTERM"
grep -q 'wendrel stopped' "$log" || fail "the stop lines did not reach the new log file"
grep -qx STOPPING=1 "$notify_out" || fail "no STOPPING=1 on NOTIFY_SOCKET"

if [ $failures -ne 0 ]; then
  echo "--- daemon log"; cat "$log" "$tmp/stderr" 2>/dev/null
  exit 1
fi
echo "install tree: all checks passed"
