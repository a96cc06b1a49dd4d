#!/usr/bin/env bash
# The Debian package as a user gets it: extracted into a temporary root, it holds both
# executables, their man pages, the docs and the example worlds, depends on the libraries it
# links, and its gattrelay-sim echoes a frame over pipes on the packaged demo world and on its
# built-in one, run from outside any source or build tree.
#   tests/package/installed_sim.sh build-package/gattrelay_*.deb
set -euo pipefail
deb=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "installed_sim: $*" >&2; exit 1; }

dpkg-deb -x "$deb" "$root"
for file in bin/gattrelay bin/gattrelay-sim share/man/man1/gattrelay.1.gz share/man/man1/gattrelay-sim.1.gz \
            share/doc/gattrelay/copyright share/doc/gattrelay/changelog.gz share/doc/gattrelay/README.md \
            share/doc/gattrelay/docs/protocol.md share/doc/gattrelay/docs/worlds.md \
            share/doc/gattrelay/docs/bluez.md share/gattrelay/worlds/echo.json; do
  [ -e "$root/usr/$file" ] || fail "missing /usr/$file"
done
# Every link from an installed page to another file, and every path a man page names, is there.
docs=$root/usr/share/doc/gattrelay
for page in "$docs"/README.md "$docs"/docs/*.md; do
  for target in $(grep -o '](\([^)#]*\)' "$page" | sed 's/^](//' | grep -v '^[a-z]*:'); do
    [ -e "$(dirname "$page")/$target" ] || fail "${page#$root}: link to $target, which is not installed"
  done
done
for path in $(zcat "$root"/usr/share/man/man1/*.gz | grep -o '/usr/share/[a-z/._-]*'); do
  [ -e "$root$path" ] || fail "a man page names $path, which is not installed"
done
depends=$(dpkg-deb -f "$deb" Depends)
for library in libsimdjson libsystemd0 libstdc++6; do
  [[ $depends == *"$library"* ]] || fail "Depends lacks $library: $depends"
done

peer=5EC1A5E0-0000-4000-8000-000000000001
# Reads as many lines of the bridge's output as given and checks them, in any order.
expect() {
  local line got=()
  for _ in "$@"; do
    IFS= read -r -t 10 line <&"${SIM[0]}" || fail "$name: no line where one of $* was due"
    got+=("$line")
  done
  [ "$(printf '%s\n' "${got[@]}" | sort)" == "$(printf '%s\n' "$@" | sort)" ] ||
    fail "$name: got ${got[*]} where $* were due"
}
cd "$root"
for world in usr/share/gattrelay/worlds/echo.json ""; do
  name="gattrelay-sim ${world:-(built-in world)}"
  coproc SIM { env -i timeout 10 usr/bin/gattrelay-sim ${world:+"$world"} 2>"$root/stderr"; }
  expect '{"event":"hello","protocol":1}'
  expect '{"event":"state","value":"ready"}'
  expect '{"connected":true,"event":"peer","id":"'$peer'","mtu":185}'
  printf '{"command":"send","id":"%s","data":"aGVsbG8="}\n' "$peer" >&"${SIM[1]}"
  expect '{"accepted":true,"bytes":5,"event":"write","id":"'$peer'"}' \
         '{"data":"aGVsbG8=","event":"frame","id":"'$peer'"}'
  printf '{"command":"stop"}\n' >&"${SIM[1]}"
  IFS= read -r -t 10 line <&"${SIM[0]}" && fail "$name: wrote $line after stop"
  status=0
  wait "$SIM_PID" || status=$?
  [ $status -eq 0 ] || fail "$name: exit status $status"
  [ ! -s "$root/stderr" ] || fail "$name wrote to standard error: $(cat "$root/stderr")"
done
echo "installed_sim: the package installs and its gattrelay-sim echoes"
