#!/usr/bin/env bash
# Builds the Debian package: a release build installed under /usr (and the
# configuration under /etc), packed by CPack. Prints the .deb's path last.
#
#   scripts/package.sh [BUILD_DIR]     (default build/package)
#
# Then: apt install ./build/package/wendrel_*.deb  (README.md, "Install").
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/package}

scripts/install-deps.sh

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
mkdir -p "$dir"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZORV_SANITIZE=none \
      -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF -DCMAKE_INSTALL_PREFIX=/usr \
      "${launcher[@]}" > "$dir/configure.log" 2>&1 \
  || { cat "$dir/configure.log"; exit 1; }
cmake --build "$dir" -j "$(nproc)" > "$dir/build.log" 2>&1 \
  || { tail -40 "$dir/build.log"; exit 1; }
rm -f "$dir"/wendrel_*.deb
(cd "$dir" && cpack -G DEB > cpack.log 2>&1) || { cat "$dir/cpack.log"; exit 1; }
ls "$dir"/wendrel_*.deb
