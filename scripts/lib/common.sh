# Shared settings of the project's scripts; sourced, not run.
KESTRIN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
KESTRIN_BUILD="${KESTRIN_BUILD:-$KESTRIN_ROOT/build}"
KESTRIN_DEPS="$KESTRIN_BUILD/_deps"
KESTRIN_MINIZIP_DIR="$KESTRIN_DEPS/minizip"

export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers in a test prefix; nothing here needs them.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

log() { printf '[kestrin] %s\n' "$*" >&2; }
die() { printf '[kestrin] error: %s\n' "$*" >&2; exit 1; }
