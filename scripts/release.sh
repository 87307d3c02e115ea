#!/usr/bin/env bash
# Builds what ships (the two programs and the libraries, i686, preset
# "release": no tests, no benchmarks) and makes the release archive from the
# installed tree:
#
#   build/release/gatesvc-<version>-win32.zip        programs, headers, libraries,
#                                                   package, README.txt, CHANGELOG.md
#   build/release/gatesvc-<version>-win32-debug/     gatesvc.exe.debug, hvlogcfg.exe.debug
#
# The programs in the archive are stripped; each carries a .gnu_debuglink to its
# .debug file (name and checksum): a debugger that finds that file beside the
# program (or in its .debug folder) matches a crash against the sources.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh

build=build/release-mingw32
cmake --preset release >/dev/null
echo "== Building the shipping programs and libraries (i686; the first build takes a few minutes)"
cmake --build --preset release

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
name=gatesvc-$version-win32
out=build/release
stage=$out/$name
debug=$out/$name-debug
rm -rf "$stage" "$debug" "$out/$name.zip"
mkdir -p "$debug"
cmake --install "$build" --prefix "$root/$stage" >/dev/null

for program in gatesvc hvlogcfg; do
  exe=$stage/bin/$program.exe
  i686-w64-mingw32-objcopy --only-keep-debug "$exe" "$debug/$program.exe.debug"
  i686-w64-mingw32-strip --strip-all "$exe"
  # The link names the file and carries its CRC, computed here from the file.
  i686-w64-mingw32-objcopy --add-gnu-debuglink="$debug/$program.exe.debug" "$exe"
  i686-w64-mingw32-objdump -h "$exe" | grep -q '\.gnu_debuglink' ||
    { echo "release: $exe has no debug link" >&2; exit 1; }
  i686-w64-mingw32-objdump -h "$debug/$program.exe.debug" | grep -q '\.debug_info' ||
    { echo "release: $program.exe.debug holds no debug information" >&2; exit 1; }
done

# A debugger that finds the .debug file beside the shipped program resolves
# its code to the sources again (checked with gdb where it is installed).
if command -v gdb >/dev/null; then
  check=$out/debug-check
  rm -rf "$check" && mkdir -p "$check"
  cp "$stage/bin/gatesvc.exe" "$debug/gatesvc.exe.debug" "$check/"
  timeout 120 gdb -batch -ex 'info line wmain' "$check/gatesvc.exe" 2>&1 |
    grep -q 'gatesvc/main.cpp' || { echo "release: gdb cannot match gatesvc.exe to its sources" >&2; exit 1; }
  rm -rf "$check"
fi

(cd "$out" && cmake -E tar cf "$name.zip" --format=zip "$name")
rm -rf "$stage"
echo "== $out/$name.zip"
ls -l "$out/$name.zip" "$debug"
