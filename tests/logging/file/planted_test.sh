#!/usr/bin/env bash
# What a user can plant in the log tree before a privileged writer runs: folder links (as
# a junction or mount point is followed), file links, hard links and files where folders
# belong. Each form is set up in a scratch prefix, then a logger (file_log_writer.exe) or
# the operator tool runs. Afterwards the victim outside the tree is byte for byte
# unchanged, a planted link to a missing file has made no file, and the writer has said
# that the folder is not used (the logger once, as debugger output; the tool with exit 1).
#
#   planted_test.sh <folder of the programs> <Wine prefix>
set -euo pipefail
bin=$1
export WINEPREFIX=$(realpath -m "$2")
. "$(dirname "$0")/../../../scripts/wine-env.sh"

trap wine_server_stop EXIT
wine_server_start

drive="$WINEPREFIX/drive_c"
halvik="$drive/ProgramData/Halvik"
tree="$halvik/HVLOGS"
folder="$tree/RQD/file_log_writer"
victims="$drive/victimdir"
missing="$drive/windows/system32/planted.dll"
out="$WINEPREFIX/planted-run.txt"
failures=0

fail() {
  echo "FAIL [$case_name]: $*" >&2
  failures=$((failures + 1))
}

# A fresh tree, and victims that the writers must leave alone.
reset() {
  rm -rf "$halvik" "$victims" "$missing"
  mkdir -p "$victims"
  printf 'victim file\r\n' >"$victims/victim.txt"
  printf '[Config]\r\nkeep=me\r\n' >"$victims/log.ini"
  sums=$(cd "$victims" && sha256sum victim.txt log.ini)
}

victims_unchanged() {
  [ "$(cd "$victims" && sha256sum victim.txt log.ini)" = "$sums" ] || fail "a victim was changed"
  [ ! -e "$missing" ] || fail "the missing target of a link was created"
  [ "$(ls "$victims" | wc -l)" -eq 2 ] || fail "files appeared in the victims' folder: $(ls "$victims")"
}

# Runs the logger for `count` lines; Wine writes its debugger output to $out.
run_logger() {
  local count=$1
  set +e
  WINEDEBUG=-all,warn+seh timeout 120 "$WINE" "$bin/file_log_writer.exe" - planted "$count" \
    </dev/null >/dev/null 2>"$out"
  logger_rc=$?
  set -e
}

expect_logger_refused() {
  run_logger "${1:-20}"
  [ "$logger_rc" -ne 0 ] || fail "the logger wrote its lines"
  [ "$(grep -c 'OutputDebugString.*no log is written to' "$out")" -eq 1 ] ||
    fail "the refusal was not said once"
  victims_unchanged
}

run_tool() {
  set +e
  tool_output=$(timeout 120 "$WINE" "$bin/hvlogcfg.exe" "$@" </dev/null 2>&1 | tr -d '\r')
  tool_rc=${PIPESTATUS[0]}
  set -e
}

expect_tool_refused() {
  run_tool "$@"
  [ "$tool_rc" -eq 1 ] || fail "the tool exited $tool_rc: $tool_output"
  case "$tool_output" in
    *refusing*) ;;
    *) fail "the tool did not say why: $tool_output" ;;
  esac
  victims_unchanged
}

case_name="a clean tree is written"
reset
run_logger 20
[ "$logger_rc" -eq 0 ] || fail "the logger failed ($logger_rc)"
[ -s "$folder/file_log_writer000.log" ] || fail "no log file"

# Each form of the logger's table: a name, then how it is planted.
logger_cases=(
  "module folder linked|mkdir -p '$tree/RQD' && ln -s '$victims' '$folder'"
  "group folder linked|mkdir -p '$tree' && ln -s '$victims' '$tree/RQD'"
  "log root linked|mkdir -p '$halvik' && ln -s '$victims' '$tree'"
  "log file linked to a missing file|mkdir -p '$folder' && ln -s '$missing' '$folder/file_log_writer000.log'"
  "log file linked to a victim|mkdir -p '$folder' && ln -s '$victims/victim.txt' '$folder/file_log_writer000.log'"
  "log file hard-linked to a victim|mkdir -p '$folder' && ln '$victims/victim.txt' '$folder/file_log_writer000.log'"
  "log.ini linked to a victim|mkdir -p '$folder' && ln -s '$victims/log.ini' '$folder/log.ini'"
  "log.ini hard-linked to a victim|mkdir -p '$folder' && ln '$victims/log.ini' '$folder/log.ini'"
  "a file where the module folder belongs|mkdir -p '$tree/RQD' && touch '$folder'"
)
for entry in "${logger_cases[@]}"; do
  case_name=${entry%%|*}
  reset
  eval "${entry#*|}"
  expect_logger_refused
done

# The ring turning over onto a planted link: 500 lines leave file 000 short of the
# smallest MaxSize; a link then stands as file 001, and the next lines fill 000.
case_name="the next ring file linked to a victim"
reset
run_logger 500
[ "$logger_rc" -eq 0 ] || fail "the first lines failed ($logger_rc)"
ln -s "$victims/victim.txt" "$folder/file_log_writer001.log"
expect_logger_refused 400

tool_cases=(
  "tool: module folder linked|mkdir -p '$tree/RQD' && ln -s '$victims' '$folder'|set file Options 60 --module file_log_writer"
  "tool: log.ini linked to a victim|mkdir -p '$folder' && ln -s '$victims/log.ini' '$folder/log.ini'|set file Options 60 --module file_log_writer"
  "tool: log.ini hard-linked to a victim|mkdir -p '$folder' && ln '$victims/log.ini' '$folder/log.ini'|unset file Options --module file_log_writer"
  "tool: log root linked|mkdir -p '$halvik' && ln -s '$victims' '$tree'|set file Severity 6 --shared"
)
for entry in "${tool_cases[@]}"; do
  IFS='|' read -r case_name plant command <<<"$entry"
  reset
  eval "$plant"
  # shellcheck disable=SC2086
  expect_tool_refused $command
done

# A name the tool used to delete and re-create as its temporary copy: now it is never
# touched, and the change is made all the same.
case_name="tool: a planted temporary name"
reset
mkdir -p "$folder"
ln -s "$victims/victim.txt" "$folder/log.ini.hvlogcfg-tmp"
run_tool set file Options 60 --module file_log_writer
[ "$tool_rc" -eq 0 ] || fail "the change failed: $tool_output"
[ -L "$folder/log.ini.hvlogcfg-tmp" ] || fail "the planted name was removed"
[ "$(ls "$folder" | grep -c '\.tmp$' || true)" -eq 0 ] || fail "a copy was left behind"
victims_unchanged

rm -rf "$halvik" "$victims"
if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "PASS: nothing planted in the log tree turned a writer against another file"
