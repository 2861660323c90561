# Creating, starting and stopping a Wine prefix; sourced, not run.

# Creates a fresh prefix in $1 and leaves it running under a persistent
# wineserver. The first boot of a new prefix keeps starting the prefix's own
# services for a while after wineboot returns, and while it does, service
# starts time out; so the prefix is created, allowed to shut down, and booted
# again, which takes about a second.
wine_prefix_start_fresh() {
  local prefix="$1"
  rm -rf "$prefix"
  mkdir -p "$prefix"
  export WINEPREFIX="$prefix"
  # Never pipe these: the prefix's processes would inherit the pipe.
  DISPLAY= wineboot -i >"$prefix.boot.log" 2>&1 || die "wineboot -i failed; see $prefix.boot.log"
  wineserver -w
  wine_prefix_start "$prefix"
}

# Starts an existing prefix under a persistent wineserver.
wine_prefix_start() {
  export WINEPREFIX="$1"
  wineserver -p
  DISPLAY= wineboot >>"$1.boot.log" 2>&1 || die "wineboot failed; see $1.boot.log"
}

wine_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
