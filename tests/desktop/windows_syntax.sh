#!/usr/bin/env bash
# The Windows sources of the platform layer compile with MinGW-w64 (syntax only), so the
# title-bar code cannot rot unnoticed on Linux.
#   windows_syntax.sh SRC_ROOT
set -euo pipefail
src=$1
cxx=x86_64-w64-mingw32-g++-posix
if ! command -v "$cxx" >/dev/null; then
  echo "SKIP: $cxx not found (apt package g++-mingw-w64-x86-64)"
  exit 77
fi
flags=(-std=c++20 -D_WIN32_WINNT=0x0A00 -DNTDDI_VERSION=0x0A000006 -fsyntax-only -Wall -Wextra -Werror -I "$src")
status=0
for f in "$src"/platform/window_chrome_win32.cpp "$src"/platform/image_files.cpp; do
  if "$cxx" "${flags[@]}" "$f"; then echo "ok - ${f#"$src"/}"; else echo "not ok - ${f#"$src"/}"; status=1; fi
done
exit $status
