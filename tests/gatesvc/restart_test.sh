#!/usr/bin/env bash
# The restart fallback of "/InstallCat" and "/UninstallCat", end to end. The installed driver is
# held open as a loaded one is, so the copy is staged in the drivers folder and scheduled for
# the next restart; a cold start of the Wine server then carries out the pending renames as
# Windows does at boot. It runs in a prefix of its own, because stopping the server ends every
# program of the prefix.
#
#   1. A driver beside the program that is a link to a file elsewhere is not installed.
#   2. The driver beside the program is replaced after "/InstallCat": the restart still puts
#      in place the bytes the installer read, and leaves nothing staged or pending.
#   3. "/UninstallCat" after a staged install: the staged copy is gone at once, nothing
#      pending would bring the driver back, and after the restart there is no driver.
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
gatesvc() { (cd "$app" && wine_run 'C:\restart-test\gatesvc.exe' "$1") || fail "gatesvc.exe $1 failed"; }
staged_copies() { find "$drivers" -maxdepth 1 -iname 'BulwarkK.sys.*.staged' | wc -l; }

holder=""
cleanup() {
  wine_server_stop
  if [ -n "$holder" ]; then wait "$holder" 2>/dev/null || true; fi
}
trap cleanup EXIT

# Holds the installed driver as a loaded one is held, and waits until it is.
hold_driver() {
  wine_hold_file "$app/hold_file.exe" 'C:\windows\system32\drivers\BulwarkK.sys' 240 \
    "$app/held.txt" || fail "the driver file could not be held"
  holder=$wine_holder_pid
}

# The restart: every program of the prefix ends, and the new server's first start carries out
# the pending renames.
restart() {
  wine_server_stop
  if [ -n "$holder" ]; then wait "$holder" 2>/dev/null || true; fi
  holder=""
  wine_server_start
}

wine_server_start
app="$WINEPREFIX/drive_c/restart-test"
drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
driver="$drivers/BulwarkK.sys"
victim="$WINEPREFIX/drive_c/restart-victim/other.sys"
rm -rf "$app" "$(dirname "$victim")"
rm -f "$drivers"/BulwarkK.sys.*.staged
mkdir -p "$app" "$drivers" "$(dirname "$victim")"
cp "$bin/gatesvc.exe" "$bin/hold_file.exe" "$app/"
printf 'sample catalog' >"$app/bulwarkk_x86.cat"
printf 'old driver' >"$driver"

# 1. A link planted in place of the driver: the file it leads to is not installed.
printf 'not the driver' >"$victim"
ln -s "$victim" "$app/BulwarkK.sys"
gatesvc /InstallCat
[ "$(cat "$driver")" = "old driver" ] || fail "a linked driver was installed: '$(cat "$driver")'"
[ -z "$(pending)" ] || fail "a linked driver was scheduled: $(pending)"
rm "$app/BulwarkK.sys"
echo "PASS: a driver linked from elsewhere is not installed"

# 2. The source is swapped once the installer has run.
printf 'new driver' >"$app/BulwarkK.sys"
hold_driver
gatesvc /InstallCat
[ "$(cat "$driver")" = "old driver" ] || fail "the held driver was replaced at once"
scheduled=$(pending)
echo "scheduled: $scheduled"
case "$scheduled" in
  *'\??\C:\windows\system32\drivers\BulwarkK.sys.'*'.staged'*'!\??\C:\windows\system32\drivers\BulwarkK.sys'*) ;;
  *) fail "no rename of a staged copy onto the driver marked to replace it" ;;
esac
rm "$app/BulwarkK.sys"
printf 'swapped driver' >"$app/BulwarkK.sys"
restart
[ "$(cat "$driver")" = "new driver" ] || fail "after the restart the driver is '$(cat "$driver")'"
[ "$(staged_copies)" = 0 ] || fail "a staged copy is left after the restart"
[ -z "$(pending)" ] || fail "renames are still pending after the restart"
echo "PASS: the restart put the driver read at the install in place"

# 3. Uninstalled after a staged install, the driver still held.
hold_driver
gatesvc /InstallCat
[ "$(staged_copies)" = 1 ] || fail "no staged copy to uninstall"
gatesvc /UninstallCat
[ "$(staged_copies)" = 0 ] || fail "the uninstall left the staged copy"
scheduled=$(pending)
echo "scheduled: $scheduled"
case "$scheduled" in
  *'!\??\'*) fail "a rename onto the driver is still pending after the uninstall" ;;
esac
restart
[ ! -e "$driver" ] || fail "after the restart the driver is back: '$(cat "$driver")'"
[ -z "$(pending)" ] || fail "operations are still pending after the restart"
echo "PASS: the uninstall cancelled the staged copy"
