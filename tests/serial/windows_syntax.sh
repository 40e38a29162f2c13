#!/usr/bin/env bash
# Compiles every source of the driver's Windows build with MinGW-w64, syntax
# only, so the Windows layer cannot rot unnoticed.
# Usage: windows_syntax.sh SRC_ROOT JSON_INCLUDE_DIR WORK_DIR
set -euo pipefail
src=$1 json=$2 work=$3
here=$(cd "$(dirname "$0")" && pwd)
cxx=x86_64-w64-mingw32-g++-posix
if ! command -v "$cxx" >/dev/null; then
  echo "SKIP: $cxx not found (apt package g++-mingw-w64-x86-64)"
  exit 77
fi
# Only nlohmann's folder: the host's /usr/include must not reach MinGW.
mkdir -p "$work/include"
ln -sfn "$json/nlohmann" "$work/include/nlohmann"
flags=(-std=c++20 -D_WIN32_WINNT=0x0A00 -DNTDDI_VERSION=0x0A000006 -fsyntax-only -Wall -Wextra
       -Wno-unused-parameter -Werror -I "$src" -I "$work/include")
files=("$src"/serial/win32_serial.cpp "$src"/serial/serial_values.cpp "$src"/serial/list_ports_common.cpp
       "$src"/serial/comm_api_win32.cpp "$src"/serial/list_ports_win32.cpp "$here"/wine/wine_serial_check.cpp)
# Two at a time; each prints its own verdict, any failure fails the test.
printf '%s\n' "${files[@]}" | xargs -P2 -I{} bash -c \
  'if "${@:2}" "$1"; then echo "ok - $1"; else echo "not ok - $1"; exit 1; fi' _ {} "$cxx" "${flags[@]}"
