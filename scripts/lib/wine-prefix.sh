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

# Starts an existing prefix under a persistent wineserver. With
# KESTRIN_TEST_DISPLAY set, the prefix's desktop lives on that X display, so
# that programs started with DISPLAY set can show message boxes and console
# windows; programs started without it still fail at once to show a window.
wine_prefix_start() {
  export WINEPREFIX="$1"
  # A server left behind by an interrupted run would refuse a second one.
  wineserver -k 2>/dev/null || true
  # In a session of their own, the prefix's processes (services included)
  # never see the Ctrl+C that a terminal sends to the script's group.
  setsid wineserver -p
  DISPLAY="${KESTRIN_TEST_DISPLAY:-}" setsid -w wineboot >>"$1.boot.log" 2>&1 || die "wineboot failed; see $1.boot.log"
}

wine_prefix_stop() {
  [ -n "${WINEPREFIX:-}" ] && wineserver -k 2>/dev/null || true
}
