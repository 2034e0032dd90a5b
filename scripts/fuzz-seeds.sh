#!/usr/bin/env bash
# Rewrites the seed corpora under tests/fuzz/corpus/ from the stand-in's
# encoders and our test documents (tests/fuzz/make_seeds.cpp). Entries that
# fuzzing found and that were added by hand (regressions) are kept; only the
# generated seeds are rewritten. Needs build/fuzz (scripts/fuzz.sh makes it).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake --build build/fuzz -j "$(nproc)" --target fuzz_make_seeds
build/fuzz/bin/fuzz_make_seeds tests/fuzz/corpus
