#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# and unpacks Prometheus (server and promtool) into a cache folder for the
# monitoring tests and the demo's --with-prometheus. Safe to run again:
# skips apt-get when everything is present already, and the unpacked
# Prometheus is kept.
set -euo pipefail

packages=(
  build-essential g++ cmake pkg-config clang libclang-rt-14-dev
  libmicrohttpd-dev libgnutls28-dev liburcu-dev libjson-c-dev
  libcurl4-openssl-dev uuid-dev libxml2-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  openssl curl binutils procps
  libsystemd-dev dpkg-dev fakeroot systemd python3 python3-yaml
)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
updated=0
apt_update() {
  [ "$updated" -eq 1 ] && return
  "${sudo_cmd[@]}" apt-get update -qq
  updated=1
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt_update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Prometheus: installing the package would enable and start a service on
# port 9090, so its .deb is only downloaded and unpacked (dpkg -x) into
# $WENDREL_CACHE_DIR/prometheus (default ~/.cache/wendrel); nothing is
# configured or started. The build looks for it there (cmake/deps.cmake).
cache=${WENDREL_CACHE_DIR:-$HOME/.cache/wendrel}
prom=$cache/prometheus
if [ ! -x "$prom/usr/bin/promtool" ] || [ ! -x "$prom/usr/bin/prometheus" ]; then
  echo "unpacking prometheus into $prom"
  mkdir -p "$cache"
  # The .deb is kept beside it, so a removed tree unpacks again offline.
  # apt-get download needs the package lists; a fresh machine may have none.
  if ! ls "$cache"/prometheus_*.deb >/dev/null 2>&1; then
    if ! (cd "$cache" && apt-get download -qq prometheus >/dev/null 2>&1); then
      apt_update
      (cd "$cache" && apt-get download -qq prometheus)
    fi
  fi
  rm -rf "$prom.tmp"
  dpkg -x "$(ls "$cache"/prometheus_*.deb | tail -1)" "$prom.tmp"
  rm -rf "$prom"
  mv "$prom.tmp" "$prom"
  "$prom/usr/bin/promtool" --version | head -1
fi
