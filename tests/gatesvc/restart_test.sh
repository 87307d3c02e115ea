#!/usr/bin/env bash
# The restart fallback of "/InstallCat", end to end: the installed driver is held open, so
# the copy is scheduled for the next restart; a cold start of the Wine server then carries
# out the pending renames as Windows does at boot, after which the new driver must be in
# place. It runs in a prefix of its own, because stopping the server ends every program of
# the prefix.
#
#   restart_test.sh <folder of gatesvc.exe and hold_file.exe> <Wine prefix>
set -euo pipefail
bin=$1
export WINEPREFIX=$(realpath -m "$2")
. "$(dirname "$0")/../../scripts/wine-env.sh"

fail() { echo "FAIL: $*" >&2; exit 1; }
wine_run() { timeout 120 "$WINE" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
pending() {
  wine_run reg query 'HKLM\SYSTEM\CurrentControlSet\Control\Session Manager' \
    /v PendingFileRenameOperations | grep -i PendingFileRenameOperations || true
}

holder=""
cleanup() {
  wine_server_stop
  if [ -n "$holder" ]; then wait "$holder" 2>/dev/null || true; fi
}
trap cleanup EXIT

wine_server_start
app="$WINEPREFIX/drive_c/restart-test"
driver="$WINEPREFIX/drive_c/windows/system32/drivers/BulwarkK.sys"
rm -rf "$app"
mkdir -p "$app" "$(dirname "$driver")"
cp "$bin/gatesvc.exe" "$bin/hold_file.exe" "$app/"
printf 'new driver' >"$app/BulwarkK.sys"
printf 'sample catalog' >"$app/bulwarkk_x86.cat"
printf 'old driver' >"$driver"

# Hold the installed driver as a loaded one is held, and wait until it is.
wine_hold_file "$app/hold_file.exe" 'C:\windows\system32\drivers\BulwarkK.sys' 240 "$app/held.txt" ||
  fail "the driver file could not be held"
holder=$wine_holder_pid

(cd "$app" && wine_run 'C:\restart-test\gatesvc.exe' /InstallCat) || fail "gatesvc.exe failed"
[ "$(cat "$driver")" = "old driver" ] || fail "the held driver was replaced at once"
scheduled=$(pending)
echo "scheduled: $scheduled"
case "$scheduled" in
  *'!\??\C:\windows\system32\drivers\BulwarkK.sys'*) ;;
  *) fail "no rename onto the driver marked to replace it" ;;
esac

# The restart: every program of the prefix ends, and the new server's first start carries
# out the pending renames.
wine_server_stop
wait "$holder" 2>/dev/null || true
holder=""
wine_server_start

[ "$(cat "$driver")" = "new driver" ] || fail "after the restart the driver is '$(cat "$driver")'"
[ ! -e "$app/BulwarkK.sys" ] || fail "the new driver is still beside the program"
[ -z "$(pending)" ] || fail "renames are still pending after the restart"
echo "PASS: the restart put the new driver in place"
