#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need.
# Safe to run again; skips apt-get when everything is present already.
set -euo pipefail

packages=(
  build-essential g++ cmake pkg-config clang libclang-rt-14-dev
  libmicrohttpd-dev libgnutls28-dev liburcu-dev libjson-c-dev
  libcurl4-openssl-dev uuid-dev libxml2-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  openssl curl binutils procps
  libsystemd-dev dpkg-dev fakeroot systemd python3
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
