#!/usr/bin/env bash
# Compiles the Windows code paths with the MinGW-w64 cross compiler for syntax, so they
# cannot rot while the program is built and tested on Linux. Usage: syntax_check.sh SRC_ROOT FILE...
set -euo pipefail
src=$1; shift
cxx=x86_64-w64-mingw32-g++-posix
command -v $cxx >/dev/null || { echo "missing $cxx (apt g++-mingw-w64-x86-64)"; exit 1; }
inc=$(mktemp -d)
trap 'rm -rf "$inc"' EXIT
# Only the header-only JSON library and libssh's headers (plain C, written for Windows too)
# come from the Linux include tree.
ln -s /usr/include/nlohmann "$inc/nlohmann"
ln -s /usr/include/libssh "$inc/libssh"
status=0
for f in "$@"; do
  if ! $cxx -std=c++20 -D_WIN32_WINNT=0x0A00 -DNTDDI_VERSION=0x0A000006 -fsyntax-only -Wall -Wextra \
      -Wno-unused-parameter -I"$src" -I"$inc" "$src/$f"; then
    echo "FAILED: $f"; status=1
  fi
done
exit $status
