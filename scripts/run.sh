#!/usr/bin/env bash
# The main job: builds gatesvc.exe, prepares a project-local Wine prefix with
# sample driver and catalog files beside the program, runs it with the given
# command (default /InstallCat) and shows what changed.
#
#   scripts/run.sh [/InstallCat | /UninstallCat | other arguments]
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/deps.sh
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64 --target gatesvc >/dev/null

export WINEPREFIX="$root/run/wineprefix"
. scripts/wine-env.sh
trap wine_server_stop EXIT
wine_server_start

# The program and its sample payload. A real catalog must be a signed one;
# Wine's catalog database accepts any file, so a sample suffices here.
app="$root/run/app"
mkdir -p "$app"
cp build/mingw64/bin/gatesvc.exe "$app/"
[ -f "$app/BulwarkK.sys" ] || printf 'MZ sample BulwarkK driver image, not a real driver\r\n' >"$app/BulwarkK.sys"
[ -f "$app/bulwarkk_x86.cat" ] || printf 'sample catalog: a real one is signed\r\n' >"$app/bulwarkk_x86.cat"

args=("$@")
[ ${#args[@]} -gt 0 ] || args=(/InstallCat)

system32="$WINEPREFIX/drive_c/windows/system32"
driver="$system32/drivers/BulwarkK.sys"
catalog="$system32/catroot/{f750e6c3-38ee-11d1-85e5-00c04fc295ee}/Halvik HIPS Driver.cat"
logs="$WINEPREFIX/drive_c/ProgramData/Halvik/HVLOGS"

echo "== gatesvc.exe ${args[*]}   (prefix: $WINEPREFIX)"
set +e
(cd "$app" && timeout 120 "$WINE" "$app/gatesvc.exe" "${args[@]}" </dev/null)
echo "exit code: $?"
set -e

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
  find "$logs" -type f -name '*.log' | grep -q . || echo "(none)"
else
  echo "(none)"
fi
