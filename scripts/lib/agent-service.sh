# Installing, starting and finding the agent as a service in the current Wine
# prefix, for the measuring scripts; sourced, not run. Needs common.sh, a
# running prefix.

# A wait, unlike a command in the foreground, lets a signal end the script at
# once.
interruptible() {
  "$@" &
  wait $!
}

service_state() { wine sc query Kestrin 2>/dev/null | sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p'; }

wait_for_state() {
  local want="$1" i
  for i in $(seq 1 150); do
    [ "$(service_state)" = "$want" ] && return 0
    sleep 0.2
  done
  return 1
}

# Waits until something sends a datagram back from the port: the agent's
# reply, or an echo of the query.
wait_for_answer() {
  python3 - "$1" <<'PYTHON'
import socket
import sys

with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
    probe.settimeout(0.5)
    for _ in range(120):
        probe.sendto(bytes(8), ("127.0.0.1", int(sys.argv[1])))
        try:
            probe.recv(65535)
            sys.exit(0)
        except socket.timeout:
            pass
sys.exit(1)
PYTHON
}

# measure LABEL PORT: one line of figures per outstanding count.
measure() {
  local label="$1" port="$2" outstanding
  for outstanding in 1 16; do
    printf '%s\t' "$label" >>"$RESULTS"
    # Lost queries (exit status 3) are one of the figures.
    interruptible "$CLIENT" "$query" 127.0.0.1 -p "$port" --load --json --outstanding "$outstanding" \
      --duration "$duration" >>"$RESULTS" || [ $? -eq 3 ]
  done
}

# start_agent FOLDER [PROGRAM]: installs and starts the agent (by default the
# build's Kestrin.exe, copied as Kestrin.exe) from a folder of its own.
start_agent() {
  local folder="$1"
  wine sc stop Kestrin >/dev/null 2>&1 || true
  wait_for_state STOPPED || true
  wine sc delete Kestrin >/dev/null 2>&1 || true
  # The name is free only once the deleted service is gone.
  wait_for_state "" || true
  rm -rf "$folder"
  mkdir -p "$folder"
  cp "${2:-$KESTRIN_BUILD/src/Kestrin.exe}" "$folder/Kestrin.exe"
  local status=0
  wine "Z:${folder//\//\\}\\Kestrin.exe" -i >/dev/null 2>&1 || status=$?
  [ "$status" -eq 0 ] || die "Kestrin.exe -i failed with $status; see $folder/Kestrin.log"
  wine sc start Kestrin >/dev/null 2>&1 || true
  wait_for_state RUNNING || die "the agent did not start; see $folder/Kestrin.log"
  interruptible wait_for_answer 1305 || die "the agent does not answer; see $folder/Kestrin.log"
}

# The Linux process of the agent started from the folder: Wine gives it the
# program's Windows path as its command line.
agent_pid() {
  local program="Z:${1//\//\\}\\Kestrin.exe" pid
  for pid in $(pgrep -f 'Kestrin\.exe' || true); do
    if [ "$(tr '\0' '\n' <"/proc/$pid/cmdline" 2>/dev/null | head -n1)" = "$program" ]; then
      echo "$pid"
      return 0
    fi
  done
  return 1
}
