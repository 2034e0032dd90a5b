#!/usr/bin/env bash
# The Debian package from scripts/package.sh, unpacked into a throwaway
# folder (dpkg -x: nothing is installed on this machine): its control data,
# its files, the unit (systemd-analyze verify against that folder), and the
# packaged daemon checking the packaged configuration.
#
#   package_test.sh PACKAGE_DIR VERSION
# Exits 77 (skipped) when PACKAGE_DIR holds no package.
set -uo pipefail
deb=$(ls "$1"/wendrel_*.deb 2>/dev/null | head -1)
version=$2
if [ -z "$deb" ]; then
  echo "no package in $1: run scripts/package.sh first"
  exit 77
fi
tmp=$(mktemp -d /tmp/wendrel-package.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { printf 'FAIL: %s\n' "$*"; failures=$((failures + 1)); }
field() { dpkg-deb -f "$deb" "$1"; }

[ "$(field Package)" = wendrel ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version $(field Version), the build says $version"
depends=$(field Depends)
for lib in libc6 libmicrohttpd12 libgnutls30 libcurl4 libxml2 liburcu8 libjson-c5; do
  case $depends in *"$lib "*|*"$lib,"*|*"$lib") ;; *) fail "Depends lacks $lib: $depends" ;; esac
done
dpkg-deb -e "$deb" "$tmp/control"
[ "$(cat "$tmp/control/conffiles")" = /etc/wendrel/wendrel.conf ] ||
  fail "conffiles: $(cat "$tmp/control/conffiles")"
for s in postinst prerm postrm; do
  [ -x "$tmp/control/$s" ] || fail "$s missing or not executable"
  sh -n "$tmp/control/$s" || fail "$s is not valid sh"
done
grep -q 'useradd --system' "$tmp/control/postinst" || fail "postinst creates no system user"
grep -q 'chown wendrel:wendrel /etc/wendrel ' "$tmp/control/postinst" ||
  fail "postinst does not hand /etc/wendrel to the user"
grep -q 'enable wendrel.service' "$tmp/control/postinst" || fail "postinst does not enable the unit"
grep -Eq '(start|restart) wendrel' "$tmp/control/postinst" && fail "postinst starts the service"

root=$tmp/root
dpkg -x "$deb" "$root"
for f in usr/bin/wendrel usr/bin/drask-standin usr/lib/wendrel/kavalin.so \
         usr/lib/wendrel/ostrel.so usr/lib/wendrel/quib_director.so \
         usr/lib/x86_64-linux-gnu/libzorv.so.0 usr/lib/x86_64-linux-gnu/libdrask.so.0 \
         usr/lib/x86_64-linux-gnu/libquib.so.0 etc/wendrel/wendrel.conf \
         usr/lib/systemd/system/wendrel.service usr/share/man/man8/wendrel.8.gz \
         usr/share/man/man1/drask-standin.1.gz usr/share/doc/wendrel/operations.md \
         usr/include/zorv/dso.h usr/share/wendrel/make-certs.sh usr/bin/wendrelctl \
         usr/share/man/man1/wendrelctl.1.gz usr/share/wendrel/monitoring/wendrel-rules.yml \
         usr/share/wendrel/monitoring/wendrel-dashboard.json; do
  [ -e "$root/$f" ] || fail "$f is not in the package"
done
zcat "$root/usr/share/man/man8/wendrel.8.gz" | grep -q '^\.TH WENDREL 8' || fail "wendrel(8) is no manual page"
zcat "$root/usr/share/man/man1/wendrelctl.1.gz" | grep -q '^\.TH WENDRELCTL 1' || fail "wendrelctl(1) is no manual page"

# The unit, checked against the unpacked tree plus this machine's own
# targets and kill (copied in; the machine itself is left alone).
if command -v systemd-analyze >/dev/null; then
  mkdir -p "$root/usr/lib/systemd/system" "$root/usr/bin"
  cp -an /usr/lib/systemd/system/. "$root/usr/lib/systemd/system/" 2>/dev/null
  ln -sfn usr/bin "$root/bin"
  cp /usr/bin/kill "$root/usr/bin/kill"
  out=$(systemd-analyze verify --man=no --root="$root" wendrel.service 2>&1) ||
    fail "systemd-analyze verify: $out"
  [ -z "$out" ] || fail "systemd-analyze verify warns: $out"
else
  fail "systemd-analyze is missing (scripts/install-deps.sh installs systemd)"
fi
unit=$root/usr/lib/systemd/system/wendrel.service
for line in Type=notify 'ExecStart=/usr/bin/wendrel -c /etc/wendrel/wendrel.conf' \
            'ExecReload=/bin/kill -HUP $MAINPID' Restart=on-failure \
            ProtectSystem=strict ReadWritePaths=/etc/wendrel User=wendrel; do
  grep -qxF "$line" "$unit" || fail "unit lacks $line"
done

# The packaged daemon, run from the unpacked tree through its RUNPATH,
# accepts the packaged configuration once it has certificates.
"$root/usr/share/wendrel/make-certs.sh" "$root/etc/wendrel/certs" > "$tmp/certs.log" 2>&1 ||
  fail "make-certs.sh: $(cat "$tmp/certs.log")"
out=$("$root/usr/bin/wendrel" --check-config -c "$root/etc/wendrel/wendrel.conf" 2>&1) ||
  fail "packaged daemon rejects the packaged configuration: $out"
case $out in *"modules from $root/usr/lib/wendrel"*) ;; *) fail "modules not from the package: $out" ;; esac
# The certificate step also wrote wendrelctl's client file, where the
# packaged wendrelctl looks by default.
grep -qx 'cert = certs/client.crt' "$root/etc/wendrel/wendrelctl.conf" ||
  fail "make-certs.sh wrote no client file /etc/wendrel/wendrelctl.conf"
"$root/usr/bin/wendrelctl" --help | grep -q '/etc/wendrel/wendrelctl.conf)' ||
  fail "the packaged wendrelctl does not default to /etc/wendrel/wendrelctl.conf"

[ $failures -eq 0 ] || exit 1
echo "package $deb: all checks passed"
