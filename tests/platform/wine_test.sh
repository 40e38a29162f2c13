#!/usr/bin/env bash
# The Windows socket layer under Wine.
#   build: cross-compiles wine/wine_net_check.cpp with the platform's socket sources.
#   run:   runs it in a private Wine prefix (made once, kept under WORK_DIR).
# Usage: wine_test.sh build|run SRC_ROOT WORK_DIR
set -euo pipefail
mode=$1 src=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
cxx=x86_64-w64-mingw32-g++-posix
exe=$work/wine_net_check.exe
mkdir -p "$work"

skip() {
  # Under CI a missing program is a failure, not a skip.
  if [[ -n ${CI:-} ]]; then echo "FAIL: $*"; exit 1; fi
  echo "SKIP: $*"; exit 77
}

if [[ $mode == build ]]; then
  command -v "$cxx" >/dev/null || skip "$cxx not found (apt package g++-mingw-w64-x86-64)"
  launcher=()
  command -v ccache >/dev/null && launcher=(ccache)
  "${launcher[@]}" "$cxx" -std=c++20 -O1 -D_WIN32_WINNT=0x0A00 -I "$src" -static \
    "$here/wine/wine_net_check.cpp" "$src/platform/net.cpp" "$src/platform/net_win32.cpp" -lws2_32 -o "$exe"
  echo "built $exe"
  exit 0
fi

[[ $mode == run ]] || { echo "unknown mode $mode"; exit 2; }
command -v wine >/dev/null || skip "wine not found (apt packages wine64 wine)"
[[ -f $exe ]] || { echo "no $exe: run the build step first"; exit 1; }
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# shellcheck source=../common/wine_prefix.sh
source "$here/../common/wine_prefix.sh"
make_wine_prefix || exit 1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
timeout 120 wine "$exe"
