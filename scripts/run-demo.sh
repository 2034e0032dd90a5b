#!/usr/bin/env bash
# The main job: installs what is missing, builds a release build, makes the
# certificates and runs the daemon with the example configuration in the
# foreground, serving HTTPS on 127.0.0.1:8443. Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

scripts/install-deps.sh

mkdir -p build
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release \
      -DZORV_BUILD_TESTS=OFF -DZORV_BUILD_BENCH=OFF > build/release.configure.log 2>&1 \
  || { cat build/release.configure.log; exit 1; }
cmake --build build/release -j "$(nproc)"

scripts/make-certs.sh run/certs

certs=$root/run/certs
base=https://127.0.0.1:8443
cat <<MSG

wendrel is starting with etc/wendrel.conf (HTTPS on 127.0.0.1:8443).
Try, from another terminal:

  # health (open route)
  curl --cacert $certs/ca.crt $base/health

  # a client-certificate route without the certificate: 403
  curl --cacert $certs/ca.crt -X POST --data 'payload' '$base/diag/route?prefix=check'

  # the same with the client certificate: the routing key
  curl --cacert $certs/ca.crt --cert $certs/client.crt --key $certs/client.key \\
       -X POST --data 'payload' '$base/diag/route?prefix=check'

  # a check tagset after the fixup hooks
  curl --cacert $certs/ca.crt --cert $certs/client.crt --key $certs/client.key \\
       '$base/diag/tagset/6f1c2a4e-3b5d-4c7e-9f80-1a2b3c4d5e6f?tag=env:demo'

MSG
exec build/release/bin/wendrel -c etc/wendrel.conf
