#!/usr/bin/env bash
# Installs the build into a temporary prefix and checks what a desktop and a user see there.
#   install_check.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=$(mktemp -d /tmp/morvane-prefix-XXXXXX)
data=$(mktemp -d /tmp/morvane-prefix-data-XXXXXX)
trap 'rm -rf "$prefix" "$data"' EXIT
fail=0
check() {  # description, command...
  local what=$1; shift
  if "$@"; then echo "ok - $what"; else echo "not ok - $what"; fail=1; fi
}
cmake --install "$build" --prefix "$prefix" >"$data/install.log" 2>&1 || { cat "$data/install.log"; exit 1; }

check "bin/morvane is a relative link to the program in lib/morvane" \
  test "$(readlink "$prefix/bin/morvane")" = "../lib/morvane/morvane" -a -x "$prefix/bin/morvane"
check "the page sits beside the program" test -f "$prefix/lib/morvane/html/index.html"
entry=$prefix/share/applications/morvane.desktop
check "the desktop entry starts the program by name" \
  grep -qx 'Exec=morvane' "$entry"
check "and names its icon" grep -qx 'Icon=morvane' "$entry"
if command -v desktop-file-validate >/dev/null; then
  out=$(desktop-file-validate "$entry" 2>&1)
  check "desktop-file-validate accepts the entry${out:+: $out}" test -z "$out"
elif [ -n "${CI:-}" ]; then
  echo "not ok - desktop-file-validate not found (apt package desktop-file-utils)"; fail=1
fi
svg=$prefix/share/icons/hicolor/scalable/apps/morvane.svg
png=$prefix/share/icons/hicolor/256x256/apps/morvane.png
check "the scalable icon is an SVG" grep -q '<svg' "$svg"
# PNG signature, then the IHDR width and height as big-endian numbers at bytes 16..23.
size=$(od -An -tu1 -j16 -N8 "$png" 2>/dev/null | awk '{print $3*256+$4 "x" $7*256+$8}')
check "the 256x256 icon is a PNG of that size ($size)" test "$size" = "256x256"

# Started through the link, the program finds its page and licence folders in the prefix.
check "--version answers" sh -c "'$prefix/bin/morvane' --version | grep -q '^morvane [0-9]'"
answer=$(printf '%s\n' '{"id": 1, "op": "get_third_party_licenses", "args": []}' |
  timeout 60 "$prefix/bin/morvane" --stdio --data-dir "$data" 2>/dev/null | grep '"id": *1')
installed=$(ls -d "$prefix"/lib/morvane/licenses/*.dist-info | wc -l)
listed=$(printf '%s' "$answer" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["result"]["items"]))' 2>/dev/null)
check "the installed program lists the installed licence folders ($listed of $installed)" \
  test -n "$listed" -a "$listed" = "$installed" -a "$installed" -gt 0
# The build folder gone from view: a copy of the prefix elsewhere still finds everything.
mv "$prefix" "$prefix.moved" && prefix=$prefix.moved
trap 'rm -rf "$prefix" "$data"' EXIT
check "a moved prefix still starts" sh -c "'$prefix/bin/morvane' --version >/dev/null"
answer=$(printf '%s\n' '{"id": 1, "op": "get_third_party_licenses", "args": []}' |
  timeout 60 "$prefix/bin/morvane" --stdio --data-dir "$data" 2>/dev/null | grep '"id": *1')
listed=$(printf '%s' "$answer" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)["result"]["items"]))' 2>/dev/null)
check "and lists its licence folders ($listed)" test "$listed" = "$installed"
exit $fail
