#!/usr/bin/env bash
# The package's gateway service as systemd sees it: its unit passes `systemd-analyze verify`
# (every directive known and well formed, its executable where ExecStart says) against the
# package's own tree, nothing enables it, its options file is root's alone, and its user is made
# in the group bluetooth.
#   tests/package/service_unit.sh build-package/gattrelay_*.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "service_unit: $*" >&2; exit 1; }

dpkg-deb -x "$deb" "$root"
unit=$(cd "$root" && find . -path '*/systemd/system/gattrelay.service')
[ -n "$unit" ] || fail "the package holds no gattrelay.service"
# The units the service depends on (sysinit.target and the like) are the host's.
host_units=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
cp -a "$host_units"/. "$root/${unit%/gattrelay.service}/"
said=$(systemd-analyze verify --man=no --root="$root" gattrelay.service 2>&1) ||
  fail "systemd-analyze verify failed: $said"
[ -z "$said" ] || fail "systemd-analyze verify: $said"

contents=$(dpkg-deb -c "$deb")
if grep -q '\.wants/' <<<"$contents"; then fail "the package enables a unit"; fi
grep -q '^-rw------- root/root .* \./etc/default/gattrelay$' <<<"$contents" ||
  fail "/etc/default/gattrelay is not root's alone"
dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles | grep -qx /etc/default/gattrelay ||
  fail "/etc/default/gattrelay is not a conffile"
# The service's user, as the package's postinst makes it, in the group some D-Bus policies allow.
systemd-sysusers --root="$root" gattrelay.conf 2>/dev/null || fail "systemd-sysusers refused gattrelay.conf"
grep -q '^gattrelay:.*:/usr/sbin/nologin$' "$root/etc/passwd" || fail "no system user gattrelay"
grep -Eq '^bluetooth:x:[0-9]+:(.*,)?gattrelay(,|$)' "$root/etc/group" || fail "gattrelay is not in the group bluetooth"
echo "service_unit: the unit verifies and is not enabled, its options are root's, its user is made"
