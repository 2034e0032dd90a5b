#!/usr/bin/env bash
# promtool's own checks of packaging/monitoring/wendrel-rules.yml, then its
# unit tests in wendrel-rules-test.yml.
#   rules_test.sh PROMETHEUS_BIN_DIR
set -euo pipefail
promtool=$1/promtool
if [ ! -x "$promtool" ]; then
  echo "no promtool in $1: run scripts/install-deps.sh" >&2
  exit 1
fi
here=$(cd "$(dirname "$0")" && pwd)
"$promtool" check rules "$here/../../packaging/monitoring/wendrel-rules.yml"
cd "$here"
"$promtool" test rules wendrel-rules-test.yml
