#!/usr/bin/env bash
# Installs what is missing, builds everything twice and runs every test:
# the concurrency tests (label "concurrency") under ThreadSanitizer, all
# the others under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
build() {  # build <dir> <sanitizer>
  cmake -S . -B "$1" -DZORV_SANITIZE="$2" -DZORV_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$1.configure.log" 2>&1 \
    || { cat "$1.configure.log"; exit 1; }
  cmake --build "$1" -j "$jobs"
}

mkdir -p build
build build/asan address
build build/tsan thread

status=0
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer =="
ctest --test-dir build/asan -LE concurrency --output-on-failure -j 2 || status=1
echo "== concurrency tests under ThreadSanitizer =="
ctest --test-dir build/tsan -L concurrency --output-on-failure || status=1
exit $status
