#!/usr/bin/env bash
# Installs what is missing, builds and runs every test: the concurrency
# tests (CTest label "concurrency") under ThreadSanitizer, all the others
# under AddressSanitizer and UndefinedBehaviorSanitizer; then a short run of
# every fuzz target (scripts/fuzz.sh --check).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
configure() {  # configure <dir> <sanitizer>
  # -O1 keeps sanitized builds quick to compile and still fast to run;
  # -g1 keeps file and line in the sanitizers' reports.
  cmake -S . -B "$1" -DZORV_SANITIZE="$2" -DZORV_BUILD_BENCH=OFF \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
        -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1" > "$1.configure.log" 2>&1 \
    || { cat "$1.configure.log"; exit 1; }
}

mkdir -p build
configure build/asan address
cmake --build build/asan -j "$jobs"

# The ThreadSanitizer build needs only the concurrency tests (and what
# they depend on, which their targets pull in).
configure build/tsan thread
mapfile -t tsan_targets < <(ctest --test-dir build/tsan -N -L concurrency |
                            sed -n 's/^ *Test *#[0-9]*: *//p')
if [ ${#tsan_targets[@]} -gt 0 ]; then
  cmake --build build/tsan -j "$jobs" --target "${tsan_targets[@]}"
fi

# The Debian package, for the package test among the system tests.
scripts/package.sh build/package > build/package.log 2>&1 \
  || { tail -40 build/package.log; exit 1; }

status=0
echo "== tests under AddressSanitizer + UndefinedBehaviorSanitizer =="
ctest --test-dir build/asan -LE concurrency --output-on-failure -j 2 || status=1
echo "== concurrency tests under ThreadSanitizer =="
ctest --test-dir build/tsan -L concurrency --output-on-failure || status=1
# Every parser of outside input, fuzzed briefly from its seed corpus
# (about 10 s per target); any crash, leak or broken oracle fails the run.
echo "== fuzz targets (libFuzzer, clang) =="
scripts/fuzz.sh --check 10 || status=1
exit $status
