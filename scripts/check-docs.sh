#!/usr/bin/env bash
# Runs every shell block that the docs mark as runnable (a fence opened with
# ```sh runnable) against the demo, so that the docs keep matching the code:
# starts scripts/run-demo.sh, waits until it prints its commands, runs the
# blocks of each file in one shell from the repository folder (a block may
# use what an earlier block of its file set, as in one terminal), then stops
# the demo with SIGINT, as Ctrl-C does, and checks that it exits 130 with
# its summary line. A block fails on the first failing command; curl fails
# on an HTTP status of 400 or more.
#
#   scripts/check-docs.sh          (the demo's ports must be free)
set -uo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
demo_log=build/check-docs.demo.log
docs=(README.md docs/*.md)

# A background job starts with SIGINT ignored, and a shell cannot trap a
# signal it was started with ignored: give the demo the default back.
env --default-signal=INT scripts/run-demo.sh > "$demo_log" 2>&1 &
demo=$!
trap 'kill -INT "$demo" 2>/dev/null; wait "$demo" 2>/dev/null' EXIT
for (( n=0; ; n++ )); do
  grep -q 'Ctrl-C stops everything' "$demo_log" && break
  if ! kill -0 "$demo" 2>/dev/null || [ $n -ge 1800 ]; then
    tail -30 "$demo_log"
    echo "check-docs: the demo did not get ready (see $demo_log)"
    exit 1
  fi
  sleep 0.5
done

failed=0
blocks=0
for doc in "${docs[@]}"; do
  script=$(awk -v doc="$doc" '
    /^```sh runnable[[:space:]]*$/ { inside = 1; printf "echo \"-- %s:%d\"\n", doc, NR + 1; next }
    inside && /^```/ { inside = 0; next }
    inside { print }' "$doc")
  [ -n "$script" ] || continue
  blocks=$((blocks + $(grep -c '^echo "-- ' <<< "$script")))
  echo "== $doc"
  if ! bash -c 'set -eo pipefail
                curl() { command curl --fail-with-body "$@"; }
                '"$script" 2>&1 | sed 's/^/   /'; then
    echo "check-docs: FAILED in $doc, in the block after the last '--' line above"
    failed=$((failed + 1))
  fi
done

kill -INT "$demo"
wait "$demo"; rc=$?
trap - EXIT
summary=$(grep '^run-demo: stopped on SIGINT' "$demo_log")
if [ $rc -ne 130 ] || [ -z "$summary" ]; then
  tail -5 "$demo_log"
  echo "check-docs: the demo's stop gave status $rc and no summary line"
  failed=$((failed + 1))
fi
echo "$summary"
echo "check-docs: $blocks runnable blocks, $failed failure(s)"
[ $failed -eq 0 ]
