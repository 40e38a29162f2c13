# Sourced by the Wine tests: makes the private prefix at $WINEPREFIX, once.
# wineboot has left a prefix with its registry files but no system DLLs (wine then cannot load
# kernel32.dll); such a prefix is removed and made again, once.
wine_prefix_ready() {
  [[ -f $WINEPREFIX/system.reg && -f $WINEPREFIX/drive_c/windows/system32/kernel32.dll ]]
}

make_wine_prefix() {
  local try
  for try in 1 2; do
    wine_prefix_ready && return 0
    rm -rf "$WINEPREFIX"
    echo "making the Wine prefix (once)"
    timeout 180 wineboot -i >/dev/null 2>&1 || true
    # The registry files are written when the server goes down.
    timeout 60 wineserver -w || true
  done
  wine_prefix_ready || { echo "wineboot made no usable prefix"; return 1; }
}
