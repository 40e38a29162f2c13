#!/usr/bin/env bash
# The driver's Windows build under Wine, against a real PTY.
#   build: cross-compiles wine/wine_serial_check.cpp with the driver sources.
#   run:   makes a socat PTY pair, links one end as COM5 in a private Wine
#          prefix (made once, kept under WORK_DIR), puts an upper-casing
#          echo on the other end and runs the program.
# Usage: wine_test.sh build|run SRC_ROOT JSON_INCLUDE_DIR WORK_DIR
set -euo pipefail
mode=$1 src=$2 json=$3 work=$4
here=$(cd "$(dirname "$0")" && pwd)
cxx=x86_64-w64-mingw32-g++-posix
exe=$work/wine_serial_check.exe
mkdir -p "$work"

# A missing tool skips (exit 77) on a developer machine and fails under CI.
skip() { if [ -n "${CI:-}" ]; then echo "FAIL: $* (CI is set)"; exit 1; fi; echo "SKIP: $*"; exit 77; }

if [[ $mode == build ]]; then
  command -v "$cxx" >/dev/null || skip "$cxx not found (apt package g++-mingw-w64-x86-64)"
  mkdir -p "$work/include"
  ln -sfn "$json/nlohmann" "$work/include/nlohmann"
  launcher=()
  command -v ccache >/dev/null && launcher=(ccache)
  flags=(-std=c++20 -O1 -D_WIN32_WINNT=0x0A00 -DNTDDI_VERSION=0x0A000006 -I "$src" -I "$work/include")
  sources=("$here/wine/wine_serial_check.cpp" "$src/serial/win32_serial.cpp" "$src/serial/serial_values.cpp"
           "$src/serial/list_ports_common.cpp" "$src/serial/comm_api_win32.cpp" "$src/serial/list_ports_win32.cpp")
  # One object per source, two at a time, so ccache can serve reruns.
  mkdir -p "$work/obj"
  objects=()
  for f in "${sources[@]}"; do objects+=("$work/obj/$(basename "${f%.cpp}").o"); done
  printf '%s\n' "${sources[@]}" | xargs -P2 -I{} bash -c \
    'o="$0/obj/$(basename "${1%.cpp}").o"; exec "${@:2}" -c "$1" -o "$o"' \
    "$work" {} "${launcher[@]}" "$cxx" "${flags[@]}"
  "$cxx" -static "${objects[@]}" -lsetupapi -ladvapi32 -o "$exe"
  echo "built $exe"
  exit 0
fi

[[ $mode == run ]] || { echo "unknown mode $mode"; exit 2; }
command -v wine >/dev/null || skip "wine not found (apt packages wine64 wine)"
command -v socat >/dev/null || skip "socat not found"
[[ -f $exe ]] || { echo "no $exe: run the build step first"; exit 1; }

export WINEPREFIX=$work/prefix WINEDEBUG=-all
# No Mono or Gecko download prompts while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
# shellcheck source=../common/wine_prefix.sh
source "$here/../common/wine_prefix.sh"
make_wine_prefix || exit 1

run_dir=$(mktemp -d "$work/run.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -f "$WINEPREFIX/dosdevices/com5"
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$run_dir"
}
trap cleanup EXIT

socat PTY,link="$run_dir/ttyA",raw,echo=0 PTY,link="$run_dir/ttyB",raw,echo=0 2>"$run_dir/pair.log" &
pids+=($!)
for _ in $(seq 200); do [[ -e $run_dir/ttyA && -e $run_dir/ttyB ]] && break; sleep 0.05; done
[[ -e $run_dir/ttyA && -e $run_dir/ttyB ]] || { echo "socat made no PTY pair"; exit 1; }
# The far end answers with what it received, upper-cased, byte for byte.
socat OPEN:"$run_dir/ttyB",raw,echo=0 SYSTEM:'exec stdbuf -o0 tr a-z A-Z' 2>"$run_dir/peer.log" &
pids+=($!)

mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$run_dir/ttyA" "$WINEPREFIX/dosdevices/com5"
rm -f "$WINEPREFIX/dosdevices/com9"

# Our own server, so its diagnostics stay out of the test's output.
wineserver -p5 2>"$run_dir/wineserver.log" || true
# Where Windows lists serial ports for programs; the volatile HARDWARE key
# lives as long as this server.
wine reg add 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' /v '\Device\MorvaneTest5' /t REG_SZ /d COM5 /f \
  >/dev/null 2>&1 || echo "could not register COM5 in SERIALCOMM"

# Answers the program's requests for the PTY's line settings (see the check program).
mkdir -p "$run_dir/handshake"
(
  for _ in $(seq 3000); do
    for req in "$run_dir"/handshake/stty-request-*; do
      [[ -e $req ]] || continue
      n=${req##*-}
      stty -F "$run_dir/ttyA" -a >"$run_dir/handshake/answer.tmp" 2>&1 || true
      mv "$run_dir/handshake/answer.tmp" "$run_dir/handshake/stty-answer-$n"
      rm -f "$req"
    done
    sleep 0.02
  done
) &
pids+=($!)

set +e
timeout 120 wine "$exe" COM5 COM9 "Z:${run_dir//\//\\}\\handshake"
status=$?
set -e
exit $status
