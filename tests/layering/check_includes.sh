#!/usr/bin/env bash
# Fails when a source folder includes a header from a folder it may not depend on
# (tests/layering/layers.txt), so an upward include breaks the suite.
# Usage: check_includes.sh SRC_ROOT LAYERS_FILE
set -euo pipefail
src=$1 layers=$2
declare -A allowed
while read -r line; do
  line=${line%%#*}
  [ -z "${line// }" ] && continue
  folder=${line%%:*}
  allowed[$folder]=" $folder ${line#*:} "
done < "$layers"
status=0
for dir in "$src"/*/; do
  folder=$(basename "$dir")
  ok=${allowed[$folder]:-" $folder util "}
  while IFS=: read -r file _ inc; do
    target=$(sed -E 's/.*#include "([^/"]+)\/.*/\1/' <<<"$inc")
    [ -d "$src/$target" ] || continue
    if [[ "$ok" != *" $target "* ]]; then
      echo "${file#$src/}: $folder may not include from $target: $inc"
      status=1
    fi
  done < <(grep -rnE '^\s*#\s*include "[^/"]+/' "$dir" || true)
done
[ $status -eq 0 ] && echo "every include follows the layers"
exit $status
