# Sourced by the scripts that run Windows programs: the Wine settings that
# every run shares. WINEPREFIX defaults to the test prefix under build/.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$root/build/wine-tests}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installers when a prefix is made; the programs need neither.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
WINE=/usr/lib/wine/wine64
# Debian keeps the server beside the loader, off the PATH.
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)

# Creates the prefix once; concurrent callers wait for the first.
wine_prefix_ready() {
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      timeout 180 "$WINE" wineboot -i </dev/null >/dev/null 2>&1 || true
      timeout 60 "$WINESERVER" -w </dev/null >/dev/null 2>&1 || true
    fi
  ) 9>"$WINEPREFIX.lock"
}

# Whether a wineboot of this prefix runs: another prefix's (another developer's
# tests, say) is none of this run's business. Wine hands WINEPREFIX on to it.
wine_prefix_booting() {
  local pid
  for pid in $(pgrep -f 'wineboot\.exe' 2>/dev/null); do
    # NUL-separated entries; no pipe, so that pipefail callers see grep's answer.
    if grep -qzxF "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null; then
      return 0
    fi
  done
  return 1
}

# A persistent server makes every later start quick. The first program run
# on a server starts Wine's own services, which live as long as the server and
# keep the output of whoever started them open: start them here, writing to
# /dev/null, so that no test runner waits on them for ever.
wine_server_start() {
  wine_prefix_ready
  setsid -f "$WINESERVER" -p </dev/null >/dev/null 2>&1
  timeout 120 "$WINE" cmd /c exit </dev/null >/dev/null 2>&1 || true
  # A new server's first program starts wineboot, which carries out the
  # operations pending for the "restart" and outlives that program by a
  # moment: wait for it, or it takes the pending renames of the run to come.
  local waited=0
  while wine_prefix_booting && [ "$waited" -lt 300 ]; do
    sleep 0.2
    waited=$((waited + 1))
  done
}

wine_server_stop() {
  timeout 30 "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
}

# Holds the Windows file `path` open for `seconds` with hold_file.exe `holder`, as a
# loaded driver's file is held, and returns once the file is held; its process id is
# then in wine_holder_pid. Fails when the file is not held within a minute. `marker`
# receives the holder's output ("held" once the file is open).
wine_hold_file() {
  local holder=$1 path=$2 seconds=$3 marker=$4
  rm -f "$marker"
  timeout $((seconds + 60)) "$WINE" "$holder" "$path" "$seconds" </dev/null >"$marker" 2>/dev/null &
  wine_holder_pid=$!
  local waited=0
  until grep -q held "$marker" 2>/dev/null; do
    [ "$waited" -lt 600 ] || return 1
    sleep 0.1
    waited=$((waited + 1))
  done
}
