#!/usr/bin/env bash
# Installs the x86_64 build (scripts/test.sh builds it) into a scratch prefix,
# checks the installed layout, builds the example module against the
# installed ETWLogging package and runs it under Wine with the file back end:
# its line must appear in its log file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
prefix=$root/build/install-mingw64
fail() { echo "example: $*" >&2; exit 1; }

rm -rf "$prefix" build/example
cmake --install build/mingw64 --prefix "$prefix" >/dev/null
for file in bin/gatesvc.exe bin/hvlogcfg.exe README.md \
            include/logging/LogFacade.h include/logging/LogMacro.h include/basalt/RegKey.h \
            lib/libetwlogging.a lib/libbasalt.a \
            lib/cmake/ETWLogging/ETWLoggingConfig.cmake \
            lib/cmake/ETWLogging/ETWLoggingConfigVersion.cmake; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
# Test helpers and test doubles stay out of what is installed.
doubles=$(find "$prefix" -name '*StandIn*' -o -name 'TestSupport*' -o -name '*test*.exe')
[ -z "$doubles" ] || fail "test code installed: $doubles"

cmake -S examples/module -B build/example --toolchain "$root/cmake/toolchain-mingw64.cmake" \
      -DETWLogging_DIR="$prefix/lib/cmake/ETWLogging" >/dev/null
cmake --build build/example

export WINEPREFIX=$root/build/wine-example
. scripts/wine-env.sh
trap wine_server_stop EXIT
wine_server_start
timeout 120 "$WINE" "$prefix/bin/hvlogcfg.exe" set mechanism file </dev/null
rm -rf "$WINEPREFIX/drive_c/ProgramData/Halvik/HVLOGS/Examples"  # a line of this run only
timeout 120 "$WINE" build/example/example_module.exe </dev/null
line=$(timeout 120 "$WINE" "$prefix/bin/hvlogcfg.exe" tail -n 1 --group Examples \
         --module example_module </dev/null | tr -d '\r')
echo "$line"
grep -q '\$ Example module started logged line 1$' <<<"$line" ||
  fail "the example's line is not in its log file"
echo "== Example module: built against the installed package, its line is in its log file"
