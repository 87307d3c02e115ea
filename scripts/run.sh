#!/usr/bin/env bash
# The main job: builds gatesvc.exe, prepares a project-local Wine prefix with
# sample driver and catalog files beside the program, runs it with the given
# command (default /InstallCat) and shows what changed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

usage() {
  cat <<'TEXT'
Usage: scripts/run.sh [--file | --etw] [--busy] [/InstallCat | /UninstallCat]

Builds gatesvc.exe and hvlogcfg.exe (x86_64, build/mingw64), runs gatesvc.exe
with the command (default /InstallCat) in the Wine prefix run/wineprefix, with
sample BulwarkK.sys and bulwarkk_x86.cat beside it, and shows what changed:
the driver file, the catalog database, the operations pending for the next
restart and the log lines that this run added.

  --file   choose the file back end for this and later runs (hvlogcfg stores
           "Logging Mechanism" enciphered in the prefix's registry); under
           Wine the default ETW back end has no trace session to record to
  --etw    go back to the ETW back end
  --busy   hold the installed driver file open during the run, as a loaded
           driver is, so that the copy fails and is logged and scheduled
  --help   this text

Options come before the command.
TEXT
}

mechanism=""
busy=0
args=()
while [ $# -gt 0 ]; do
  if [ ${#args[@]} -gt 0 ] && [ "${1#-}" != "$1" ]; then
    echo "run.sh: $1 comes after the command ${args[0]}: options come first" >&2
    usage >&2
    exit 2
  fi
  case "$1" in
    --file) mechanism=file ;;
    --etw) mechanism=etw ;;
    --busy) busy=1 ;;
    --help | -h) usage; exit 0 ;;
    -*)
      echo "run.sh: unknown option $1" >&2
      usage >&2
      exit 2
      ;;
    *) args+=("$1") ;;
  esac
  shift
done
[ ${#args[@]} -gt 0 ] || args=(/InstallCat)

scripts/deps.sh
if [ ! -f build/mingw64/bin/gatesvc.exe ]; then
  echo "== Building gatesvc.exe and hvlogcfg.exe (the first build takes a few minutes)"
fi
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 --target gatesvc hvlogcfg hold_file >/dev/null

export WINEPREFIX="$root/run/wineprefix"
[ -f "$WINEPREFIX/system.reg" ] ||
  echo "== Making the Wine prefix run/wineprefix (the first time takes a minute or so)"
. scripts/wine-env.sh
trap wine_server_stop EXIT
wine_server_start

# The program and its sample payload. A real catalog must be a signed one;
# Wine's catalog database accepts any file, so a sample suffices here.
app="$root/run/app"
mkdir -p "$app"
cp build/mingw64/bin/gatesvc.exe build/mingw64/bin/hvlogcfg.exe "$app/"
[ -f "$app/BulwarkK.sys" ] || printf 'MZ sample BulwarkK driver image, not a real driver\r\n' >"$app/BulwarkK.sys"
[ -f "$app/bulwarkk_x86.cat" ] || printf 'sample catalog: a real one is signed\r\n' >"$app/bulwarkk_x86.cat"

system32="$WINEPREFIX/drive_c/windows/system32"
driver="$system32/drivers/BulwarkK.sys"
logs="$WINEPREFIX/drive_c/ProgramData/Halvik/HVLOGS"

hvlogcfg() { timeout 60 "$WINE" "$app/hvlogcfg.exe" "$@" </dev/null | tr -d '\r'; }
case "$mechanism" in
  file) hvlogcfg set mechanism file ;;
  etw) hvlogcfg unset mechanism ;;
esac
hvlogcfg show | sed -n '1,2p'

holder=""
if [ "$busy" = 1 ]; then
  mkdir -p "$system32/drivers"
  [ -f "$driver" ] || printf 'installed driver\r\n' >"$driver"
  # It says "held" once the file is open; the run starts only then.
  wine_hold_file build/mingw64/bin/hold_file.exe 'C:\windows\system32\drivers\BulwarkK.sys' 20 \
    "$root/run/held.txt" || { echo "the driver file could not be held" >&2; exit 1; }
  holder=$wine_holder_pid
fi

# The size of every log file before the run, so that only this run's lines are shown.
declare -A before=()
if [ -d "$logs" ]; then
  while read -r size file; do
    before[$file]=$size
  done < <(find "$logs" -type f -name '*.log' -printf '%s %p\n')
fi

echo "== gatesvc.exe ${args[*]}   (prefix: $WINEPREFIX)"
set +e
(cd "$app" && timeout 120 "$WINE" "$app/gatesvc.exe" "${args[@]}" </dev/null)
echo "exit code: $?"
set -e
if [ -n "$holder" ]; then
  kill "$holder" 2>/dev/null || true
  wait "$holder" 2>/dev/null || true
fi

echo
echo "== Driver file under the System folder"
if [ -f "$driver" ]; then ls -l "$driver"; else echo "(none) $driver"; fi

echo
echo "== Catalog database"
shopt -s nocaseglob
found=$(ls -d "$system32"/catroot/*/"Halvik HIPS Driver.cat" 2>/dev/null || true)
shopt -u nocaseglob
if [ -n "$found" ]; then ls -l "$found"; else echo "(no member \"Halvik HIPS Driver.cat\")"; fi

echo
echo "== Operations pending for the next restart"
timeout 60 "$WINE" reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' \
  /v PendingFileRenameOperations </dev/null 2>/dev/null | tr -d '\r' | grep -i pending ||
  echo "(none)"

echo
echo "== Log lines of this run"
shown=0
if [ -d "$logs" ]; then
  while read -r file; do
    size=$(stat -c %s "$file")
    old=${before[$file]:-0}
    [ "$size" -ne "$old" ] || continue
    echo "-- ${file#$WINEPREFIX/}"
    if [ "$size" -lt "$old" ] || [ "$old" -eq 0 ]; then
      # New, or emptied for reuse by the ring: all of it is this run's.
      iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
    else
      tail -c +$((old + 1)) "$file" | iconv -f UTF-16LE -t UTF-8 | tr -d '\r'
    fi
    shown=1
  done < <(find "$logs" -type f -name '*.log' | sort)
fi
# Under Wine the ETW back end has no session to record to, and a run in which
# everything succeeds logs nothing.
[ "$shown" = 1 ] || echo "(none)"
