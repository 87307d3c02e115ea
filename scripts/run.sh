#!/usr/bin/env bash
# The main job: builds gatesvc.exe, prepares a project-local Wine prefix with
# sample driver and catalog files beside the program, runs it with the given
# command (default /InstallCat) and shows what changed.
#
#   scripts/run.sh [--file | --etw] [--busy] [/InstallCat | /UninstallCat | ...]
#
#   --file   choose the file back end for this and later runs (hvlogcfg stores
#            "Logging Mechanism" enciphered in the prefix's registry); under
#            Wine the default ETW back end has no trace session to record to
#   --etw    go back to the ETW back end
#   --busy   hold the installed driver file open during the run, as a loaded
#            driver is, so that the copy fails and is logged and scheduled
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/deps.sh
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 --target gatesvc hvlogcfg hold_file >/dev/null

mechanism=""
busy=0
while [ $# -gt 0 ]; do
  case "$1" in
    --file) mechanism=file ;;
    --etw) mechanism=etw ;;
    --busy) busy=1 ;;
    *) break ;;
  esac
  shift
done

export WINEPREFIX="$root/run/wineprefix"
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

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(/InstallCat)

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
echo "== Log files"
if [ -d "$logs" ]; then
  find "$logs" -type f -name '*.log' | sort | while read -r file; do
    echo "-- ${file#$WINEPREFIX/}"
    iconv -f UTF-16 -t UTF-8 "$file" | tr -d '\r'
  done
  [ -n "$(find "$logs" -type f -name '*.log' -print -quit)" ] || echo "(none)"
else
  echo "(none)"
fi
