#!/usr/bin/env bash
# The Windows layer cross-built with MinGW-w64 and run under Wine.
#   build  SRC JSON_INCLUDE WORK   compiles the layer (one object per source, ccache, two at a
#                                  time) into WORK/libmorvane_win.a and links the check programs;
#                                  the browser host needs cpp-httplib's header-only form (below)
#   prefix WORK                    makes a fresh private Wine prefix and starts its server
#   run    WORK PROG ARGS...       runs WORK/PROG.exe ARGS... in that prefix
#   stdio  WORK                    the stdio host on real standard input and output
#   desktop WORK                   the desktop services, without a display and on Xvfb
#   putty  WORK POSIX_DUMPER       the registry walk against the POSIX store reader (see below)
#   stop   WORK                    ends the prefix's server
# A missing tool skips (exit 77) on a developer machine and fails when CI is set.
set -euo pipefail
mode=$1; shift
cxx=x86_64-w64-mingw32-g++-posix
here=$(cd "$(dirname "$0")" && pwd)

skip() { if [[ -n ${CI:-} ]]; then echo "FAIL: $* (CI is set)"; exit 1; fi; echo "SKIP: $*"; exit 77; }

# Every source of the Windows layer that builds without the WebView2 SDK.
layer_sources=(
  platform/net.cpp platform/net_win32.cpp platform/paths_win32.cpp platform/process_win32.cpp
  platform/atomic_file.cpp platform/atomic_file_win32.cpp platform/threads_win32.cpp platform/memory_win32.cpp
  platform/window_chrome_win32.cpp platform/desktop_win32.cpp
  backends/local_shell_win.cpp
  putty/putty_store_win32.cpp putty/putty_import.cpp
  serial/win32_serial.cpp serial/serial_values.cpp serial/list_ports_common.cpp serial/comm_api_win32.cpp
  serial/list_ports_win32.cpp
  platform/random_win32.cpp platform/quit_signal_win32.cpp
  core/bridge.cpp hosts/stdio_host.cpp hosts/http_guard.cpp hosts/http_host.cpp hosts/page_config.cpp
  util/diag.cpp util/json.cpp util/text.cpp util/uuid.cpp util/base64.cpp
)
libs=(-lole32 -lshell32 -luuid -ldwmapi -lsetupapi -ladvapi32 -luser32 -lws2_32 -lbcrypt)
checks=(wine_layer_check wine_desktop_check wine_hosts_check)

# cpp-httplib as one header. Debian's libcpp-httplib-dev keeps the code in a Linux library
# and installs only declarations, so the header comes from Debian's source package of the
# same version, fetched once with apt-get into WORK/httplib and patched as Debian's.
# Another header-only copy may be named with MORVANE_HTTPLIB_H.
fetch_httplib() {
  local work=$1 dest=$1/include/httplib.h
  if [[ -n ${MORVANE_HTTPLIB_H:-} ]]; then ln -sfn "$MORVANE_HTTPLIB_H" "$dest"; return; fi
  [[ -f $dest ]] && return
  command -v apt-get >/dev/null && command -v dpkg-source >/dev/null ||
    skip "apt-get and dpkg-source are needed for cpp-httplib's source (apt package dpkg-dev)"
  local dir=$work/httplib
  rm -rf "$dir"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial" "$dir/sources"
  local suite version
  suite=$( . /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  # The version the Linux build links, when Debian's package is installed.
  version=$(dpkg-query -W -f='${Version}' libcpp-httplib-dev 2>/dev/null || true)
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$suite" >"$dir/sources/debian-src.sources"
  # A private package list: the machine's own apt configuration is left alone.
  local opts=(-o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$dir/sources"
              -o "Dir::State::Lists=$dir/lists" -o "Dir::Cache=$dir/cache" -o Debug::NoLocking=1)
  timeout 300 apt-get -qq "${opts[@]}" update >"$dir/log" 2>&1 &&
    (cd "$dir" && timeout 300 apt-get -qq "${opts[@]}" source "cpp-httplib${version:+=$version}") >>"$dir/log" 2>&1 ||
    { cat "$dir/log"; skip "could not fetch cpp-httplib's source package from Debian"; }
  local header
  header=$(ls "$dir"/cpp-httplib-*/httplib.h 2>/dev/null | head -n1 || true)
  [[ -n $header ]] || { cat "$dir/log"; echo "no httplib.h in cpp-httplib's source package"; exit 1; }
  ln -sfn "$header" "$dest"
}

if [[ $mode == build ]]; then
  src=$1 json=$2 work=$(realpath -m "$3")
  command -v "$cxx" >/dev/null || skip "$cxx not found (apt package g++-mingw-w64-x86-64)"
  mkdir -p "$work/include" "$work/obj"
  # Only nlohmann's folder: the host's /usr/include must not reach MinGW.
  ln -sfn "$json/nlohmann" "$work/include/nlohmann"
  fetch_httplib "$work"
  launcher=()
  command -v ccache >/dev/null && launcher=(ccache)
  # Builds of other clones of the project reuse ccache's results.
  export CCACHE_BASEDIR=$src/.. CCACHE_NOHASHDIR=true
  flags=(-std=c++20 -O1 -Wall -Wextra -Wno-unused-parameter -Werror -D_WIN32_WINNT=0x0A00
         -DNTDDI_VERSION=0x0A000006 -I "$src" -I "$work/include")
  sources=()
  for f in "${layer_sources[@]}"; do sources+=("$src/$f"); done
  for prog in "${checks[@]}"; do sources+=("$here/wine/$prog.cpp"); done
  printf '%s\n' "${sources[@]}" | xargs -P2 -I{} bash -c \
    'o="$0/obj/$(basename "${1%.cpp}").o"; "${@:2}" -c "$1" -o "$o" || { echo "FAILED: $1"; exit 1; }' \
    "$work" {} "${launcher[@]}" "$cxx" "${flags[@]}"
  objs=()
  for f in "${layer_sources[@]}"; do objs+=("$work/obj/$(basename "${f%.cpp}").o"); done
  rm -f "$work/libmorvane_win.a"
  x86_64-w64-mingw32-ar rcs "$work/libmorvane_win.a" "${objs[@]}"
  for prog in "${checks[@]}"; do
    "$cxx" -static "$work/obj/$prog.o" "$work/libmorvane_win.a" "${libs[@]}" -o "$work/$prog.exe"
    echo "built $work/$prog.exe"
  done
  exit 0
fi

work=$(realpath -m "$1"); shift
export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No Mono or Gecko download prompts while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="

if [[ $mode == prefix ]]; then
  command -v wine >/dev/null || skip "wine not found (apt packages wine64 wine)"
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  # shellcheck source=../common/wine_prefix.sh
  source "$here/../common/wine_prefix.sh"
  make_wine_prefix || exit 1
  # A persistent server, so each program starts in tens of milliseconds.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  echo "prefix ready: $WINEPREFIX"
  exit 0
fi

if [[ $mode == stop ]]; then
  wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
  exit 0
fi

command -v wine >/dev/null || skip "wine not found (apt packages wine64 wine)"
[[ -f $WINEPREFIX/system.reg ]] || { echo "no Wine prefix in $work: the prefix step did not run"; exit 1; }
exe=$work/wine_layer_check.exe
[[ -f $exe ]] || { echo "no $exe: the build step did not run"; exit 1; }

if [[ $mode == run ]]; then
  prog=$work/$1.exe; shift
  [[ -f $prog ]] || { echo "no $prog: the build step did not run"; exit 1; }
  # Output goes through a file: Wine's helpers (explorer, services) that a program starts may
  # outlive it holding whatever output it had, and a reader would then wait for them too.
  out=$(mktemp)
  trap 'rm -f "$out"' EXIT
  status=0
  timeout 120 wine "$prog" "$@" >"$out" 2>&1 </dev/null || status=$?
  cat "$out"
  exit "$status"
fi

if [[ $mode == stdio ]]; then
  # Requests through a Unix pipe into the program's standard input, answers out of its
  # standard output: a call, a call with a missing op, broken JSON, and a last line without
  # its line end, which end of input still delivers.
  prog=$work/wine_hosts_check.exe
  [[ -f $prog ]] || { echo "no $prog: the build step did not run"; exit 1; }
  out=$(mktemp)
  trap 'rm -f "$out"' EXIT
  status=0
  printf '%s\n' '{"id":1,"op":"ping","args":["pong über stdin"]}' '{"id":"b","args":[]}' '{"id":' |
    { cat; printf '%s' '{"id":3,"op":"ping"}'; } |
    timeout 120 wine "$prog" stdio >"$out" 2>&1 || status=$?
  tr -d '\r' <"$out" >"$out.lf" && mv "$out.lf" "$out"
  cat "$out"
  fail=0
  expect() {
    if grep -qxF -- "$1" "$out"; then echo "ok - $2"; else echo "not ok - $2 (no line $1)"; fail=1; fi
  }
  expect '{"id": 1, "ok": true, "result": "pong über stdin"}' "a call is answered with its id"
  expect '{"id": "b", "ok": false, "error": "missing op"}' "a request without op gets an error"
  expect '{"id": 3, "ok": true, "result": "pong"}' "the last line without a line end is answered"
  grep -q '^{"id": null, "ok": false, "error": "invalid JSON: ' "$out" && echo "ok - broken JSON gets an error" ||
    { echo "not ok - broken JSON gets an error"; fail=1; }
  [[ $status == 0 ]] && echo "ok - end of input ends the host" || { echo "not ok - exit status $status"; fail=1; }
  exit "$fail"
fi

if [[ $mode == desktop ]]; then
  # Once without a display (what a headless prefix refuses) and once on a private Xvfb. Each
  # runs on a Wine desktop of its own: a desktop keeps the display its first program found.
  command -v xvfb-run >/dev/null || skip "xvfb-run not found (apt package xvfb)"
  prog=$work/wine_desktop_check.exe
  out=$(mktemp)
  trap 'rm -f "$out"' EXIT
  echo "# without a display" >"$out"
  DISPLAY= WAYLAND_DISPLAY= timeout 120 wine explorer "/desktop=morvane-headless-$$" "$prog" headless >>"$out" 2>&1 </dev/null || true
  echo "# on Xvfb" >>"$out"
  timeout 120 xvfb-run -a wine explorer "/desktop=morvane-xvfb-$$,800x600" "$prog" display >>"$out" 2>&1 </dev/null || true
  # explorer does not pass the program's exit status on: the lines are the verdict.
  grep -E "^(#|ok|not ok|info) " "$out" || true
  [[ $(grep -c '^ok - stop removes the icon' "$out") == 2 ]] || { echo "not ok - a run did not finish"; cat "$out"; exit 1; }
  ! grep -q '^not ok - ' "$out"
  exit $?
fi

if [[ $mode == putty ]]; then
  # The same sessions twice: as registry keys made with `wine reg add`, and as files of PuTTY's
  # Unix store. Both readers must give the same raw records. The names sort the same way in
  # both stores (the registry enumerates case-insensitively, the file store by bytes).
  dumper=$1
  [[ -x $dumper ]] || { echo "no $dumper"; exit 1; }
  store=$(mktemp -d)
  trap 'rm -rf "$store"' EXIT
  mkdir -p "$store/sessions"
  root='HKCU\Software\SimonTatham\PuTTY\Sessions'
  timeout 30 wine reg delete "$root" /f >/dev/null 2>&1 || true
  add() {  # key-name value-name type data
    timeout 30 wine reg add "$root\\$1" /v "$2" /t "$3" /d "$4" /f >/dev/null 2>&1 </dev/null
    printf '%s=%s\n' "$2" "$4" >>"$store/sessions/$1"
  }
  add 'lab%20router' HostName REG_SZ 192.0.2.1
  add 'lab%20router' Protocol REG_SZ telnet
  add 'lab%20router' PortNumber REG_DWORD 2323
  add 'lab%20router' TerminalType REG_SZ 'xterm-256color'
  add 'my%25box%2Fdev' HostName REG_SZ example.org
  add 'my%25box%2Fdev' UserName REG_SZ 'Zoë Maréchal'
  add 'my%25box%2Fdev' PortNumber REG_DWORD 22
  add 'my%25box%2Fdev' Compression REG_DWORD 1
  add 'my%25box%2Fdev' PublicKeyFile REG_SZ 'C:\Users\z\keys\id.ppk'
  add 'serial%20COM3' Protocol REG_SZ serial
  add 'serial%20COM3' SerialLine REG_SZ COM3
  add 'serial%20COM3' SerialSpeed REG_DWORD 115200
  add 'serial%20COM3' LFImpliesCR REG_DWORD 0
  add 'serial%20COM3' CRImpliesLF REG_DWORD 1
  # A value the import does not read is left out by both.
  add 'serial%20COM3' FontHeight REG_DWORD 12
  # A session with no values at all is still a record.
  timeout 30 wine reg add "$root\\empty" /f >/dev/null 2>&1 </dev/null
  : >"$store/sessions/empty"
  timeout 120 wine "$exe" putty >"$store/registry.json" </dev/null
  win=$(tr -d '\r' <"$store/registry.json")
  posix=$("$dumper" "$store/sessions")
  echo "registry:   $win"
  echo "file store: $posix"
  timeout 30 wine reg delete "$root" /f >/dev/null 2>&1 || true
  count=$(python3 -c 'import json,sys; print(len(json.loads(sys.argv[1])))' "$win" 2>/dev/null || echo none)
  [[ $count == 4 ]] || { echo "not ok - four sessions expected from the registry, got $count"; exit 1; }
  if [[ $win == "$posix" ]]; then echo "ok - the registry walk gives the file store's records"; exit 0; fi
  echo "not ok - the registry walk differs from the file store"
  pretty() { python3 -c 'import json,sys; print(json.dumps(json.loads(sys.argv[1]), indent=1, sort_keys=True))' "$1"; }
  diff <(pretty "$win") <(pretty "$posix") || true
  exit 1
fi

echo "unknown mode $mode"; exit 2
