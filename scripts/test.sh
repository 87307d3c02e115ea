#!/usr/bin/env bash
# Builds the x86_64 preset and runs every test under Wine.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
scripts/deps.sh
cmake --preset mingw64 >/dev/null
cmake --build --preset mingw64
. scripts/wine-env.sh
trap wine_server_stop EXIT
wine_server_start
ctest --preset mingw64 "$@"
