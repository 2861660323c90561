# Finding and ending every process a script started, Wine's included; sourced,
# not run. A script marks itself with mark_processes NAME: every program it
# starts from then on inherits the variable NAME in its environment (the
# prefix's Windows processes too, though they live in a session of their
# own), and end_marked NAME ends whatever still carries it. Each script uses
# a name of its own, so that one run inside another keeps both marks.

# Whether the process exists and is not a zombie (the state follows the
# parenthesised command name); no program is started for it.
alive() {
  local stat
  { read -r stat <"/proc/$1/stat"; } 2>/dev/null || return 1
  stat=${stat##*) }
  [ "${stat%% *}" != Z ]
}

mark_processes() {
  export "$1=$1-$$-$(date +%s%N)"
}

# The live processes that carry the mark (the script itself and its
# subshells do not: they were not started with it).
marked_processes() {
  local name="$1" file pid
  env -u "$name" grep -lsxzF "$name=${!name}" /proc/[0-9]*/environ |
    while read -r file; do
      pid=${file#/proc/}
      pid=${pid%/environ}
      alive "$pid" && echo "$pid"
    done
  return 0
}

# Asks every marked process to end, then kills what is left; a process killed
# outright starts no other, so a few rounds end them all.
end_marked() {
  local name="$1" left
  left=$(marked_processes "$name")
  [ -n "$left" ] || return 0
  # shellcheck disable=SC2086
  kill -TERM $left 2>/dev/null
  for _ in $(seq 1 30); do
    left=$(marked_processes "$name")
    [ -n "$left" ] || return 0
    sleep 0.1
  done
  for _ in $(seq 1 10); do
    # shellcheck disable=SC2086
    kill -KILL $left 2>/dev/null
    sleep 0.1
    left=$(marked_processes "$name")
    [ -n "$left" ] || return 0
  done
  log "could not end: $(echo $left)"
}
