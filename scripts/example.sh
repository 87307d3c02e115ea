#!/usr/bin/env bash
# Installs the x86_64 build (scripts/test.sh builds it) into a scratch prefix,
# checks the installed layout (the public headers and nothing else, each
# compiling on its own), checks that the README's module is examples/module as
# it stands, builds that module against the installed ETWLogging package and
# runs it under Wine with the file back end: its lines must be in its log file.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
prefix=$root/build/install-mingw64
fail() { echo "example: $*" >&2; exit 1; }

rm -rf "$prefix" build/example
cmake --install build/mingw64 --prefix "$prefix" >/dev/null
for file in bin/gatesvc.exe bin/hvlogcfg.exe README.txt CHANGELOG.md \
            lib/libetwlogging.a lib/libbasalt.a \
            lib/cmake/ETWLogging/ETWLoggingConfig.cmake \
            lib/cmake/ETWLogging/ETWLoggingConfigVersion.cmake; do
  [ -f "$prefix/$file" ] || fail "$file is not installed"
done
# Test helpers and test doubles stay out of what is installed.
doubles=$(find "$prefix" -name '*StandIn*' -o -name 'TestSupport*' -o -name '*test*.exe')
[ -z "$doubles" ] || fail "test code installed: $doubles"

# include/ holds the public headers that cmake/Install.cmake lists, and no other.
public=$(sed -n '/^set(GATESVC_PUBLIC_HEADERS/,/^)/{/^ /s/^ *\([^ ]*\).*/\1/p}' cmake/Install.cmake |
         sort)
installed=$(cd "$prefix/include" && find . -type f | sed 's|^\./||' | sort)
[ "$public" = "$installed" ] ||
  fail "installed headers differ from the public ones:
$(diff <(echo "$public") <(echo "$installed") || true)"
# Each compiles on its own, in standard C++17, without UNICODE defined.
for header in $public; do
  echo "#include \"$header\"" |
    x86_64-w64-mingw32-g++-posix -std=c++17 -pedantic-errors -Wall -Wextra -Werror \
      -fsyntax-only -I"$prefix/include" -x c++ - ||
    fail "$header does not compile on its own"
done

# The README's module, copied as written, is examples/module.
for file in CMakeLists.txt main.cpp; do
  readme=$(awk -v name="examples/module/$file" '
    index($0, "`" name "`") == 1 { wanted = 1; next }
    wanted && /^```/ { if (inside) exit; inside = 1; next }
    inside { print }' README.md)
  [ -n "$readme" ] || fail "README.md shows no examples/module/$file"
  diff <(echo "$readme") "examples/module/$file" >/dev/null ||
    fail "README.md's examples/module/$file differs from the file"
done

cmake -S examples/module -B build/example --toolchain "$root/cmake/toolchain-mingw64.cmake" \
      -DETWLogging_DIR="$prefix/lib/cmake/ETWLogging" >/dev/null
cmake --build build/example
# Self-contained: no DLL of the compiler's runtime to find on the target.
runtime=$(x86_64-w64-mingw32-objdump -p build/example/my_module.exe |
          grep -iE 'DLL Name: (libstdc|libgcc|libwinpthread)' || true)
[ -z "$runtime" ] || fail "my_module.exe needs the compiler's runtime DLLs: $runtime"

export WINEPREFIX=$root/build/wine-example
. scripts/wine-env.sh
trap wine_server_stop EXIT
wine_server_start
timeout 120 "$WINE" "$prefix/bin/hvlogcfg.exe" set mechanism file </dev/null
rm -rf "$WINEPREFIX/drive_c/ProgramData/Halvik/HVLOGS/Examples"  # lines of this run only
timeout 120 "$WINE" build/example/my_module.exe </dev/null
lines=$(timeout 120 "$WINE" "$prefix/bin/hvlogcfg.exe" tail -n 10 --group Examples \
          --module my_module </dev/null | tr -d '\r')
echo "$lines"
grep -q '(Error)\$.*\$ Worker copy: error 5$' <<<"$lines" ||
  fail "the worker thread's Error line is not in the log file"
grep -q '(Information)\$.*\$ Started with 1 worker$' <<<"$lines" ||
  fail "the main thread's Information line is not in the log file"
! grep -q 'Dropped unless' <<<"$lines" ||
  fail "a Warning passed the default threshold of 3"
echo "== Example module: built against the installed package, its lines are in its log file"
