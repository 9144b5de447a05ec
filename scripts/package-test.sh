#!/usr/bin/env bash
# Builds the Debian packages in release mode (build-pkg), checks what they hold
# and depend on, unpacks them into a temporary root and runs the unpacked keldor
# and keldorctl against a demo installation laid out by the unpacked mkinstall.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build-pkg -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build build-pkg -j"$(nproc)" >/dev/null
rm -f build-pkg/*.deb
(cd build-pkg && cpack -G DEB >/dev/null)
deb=$(ls build-pkg/keldor_*.deb)
testing=$(ls build-pkg/keldor-testing_*.deb)

fail() { echo "package test: $*" >&2; exit 1; }

contents=$(dpkg-deb -c "$deb" | awk '{print $6}')
for path in ./usr/sbin/keldor ./usr/bin/keldorctl ./usr/bin/keldor-web \
  ./usr/share/man/man8/keldor.8.gz ./usr/share/man/man1/keldorctl.1.gz \
  ./usr/share/man/man1/keldor-web.1.gz ./usr/lib/systemd/system/keldor.service \
  ./usr/lib/systemd/system/keldor@.service ./etc/keldor/keldor.env \
  ./usr/share/bash-completion/completions/keldorctl ./usr/share/keldor/grafana-keldor.json; do
  grep -qx "$path" <<<"$contents" || fail "$deb lacks $path"
done
grep -q 'gamesim\|mkinstall' <<<"$contents" && fail "$deb holds the testing tools"
depends=$(dpkg-deb -f "$deb" Depends)
for library in liblzo2-2 libexpat1 libproc2-0 libstdc++6 passwd; do
  grep -q "$library" <<<"$depends" || fail "$deb does not depend on $library: $depends"
done
dpkg-deb -I "$deb" conffiles | grep -qx /etc/keldor/keldor.env || fail "keldor.env is no conffile"
dpkg-deb -I "$deb" postinst | grep -q useradd || fail "postinst makes no user"

root=$(mktemp -d /tmp/keldor-package.XXXXXX)
keldor_pid=""
# Keldor ends with status 15 after SIGTERM: that is no failure of the test.
cleanup() {
  if [ -n "$keldor_pid" ]; then
    kill "$keldor_pid" 2>/dev/null || true
    wait "$keldor_pid" 2>/dev/null || true
  fi
  if [ -d "$root/demo" ]; then
    "$root/usr/sbin/keldor" -path "$root/demo" -stop >/dev/null 2>&1 || true
  fi
  rm -rf "$root"
}
trap cleanup EXIT
dpkg-deb -x "$deb" "$root"
dpkg-deb -x "$testing" "$root"

[ "$("$root/usr/sbin/keldor" --version)" = "Keldor v$(dpkg-deb -f "$deb" Version) beta 4e" ] ||
  fail "keldor --version"
"$root/usr/bin/keldorctl" --version | grep -q '^keldorctl ' || fail "keldorctl --version"
"$root/usr/bin/keldor-web" --version | grep -q '^keldor-web ' || fail "keldor-web --version"
zcat "$root/usr/share/man/man8/keldor.8.gz" | grep -q '^\.TH "keldor" "8"' || fail "keldor(8)"
zcat "$root/usr/share/man/man1/keldorctl.1.gz" | grep -q '^\.TH "keldorctl" "1"' ||
  fail "keldorctl(1)"

"$root/usr/libexec/keldor/mkinstall" --server-binary "$root/usr/libexec/keldor/gamesim" \
  "$root/demo" >"$root/facts"
fact() { sed -n "s/^$1: //p" "$root/facts"; }
export KELDOR_PORT=$(fact listen-port) KELDOR_USER=$(fact admin-user)
export KELDOR_PASSWORD=$(fact admin-password)
"$root/usr/sbin/keldor" -path "$root/demo" -port "$KELDOR_PORT" -start >"$root/keldor.out" 2>&1 &
keldor_pid=$!
for _ in $(seq 60); do
  "$root/usr/bin/keldorctl" --timeout 2 ping >/dev/null 2>&1 && break
  sleep 0.5
done
"$root/usr/bin/keldorctl" status | grep -q '^Server name' || fail "keldorctl status"
"$root/usr/bin/keldorctl" --json status | grep -q '"server_name":' || fail "keldorctl --json status"
echo "package test: $(basename "$deb") and $(basename "$testing") install and run"
